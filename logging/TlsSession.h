#pragma once
// TLS for the stream transports, done by Windows: Schannel through SSPI. The
// collector's certificate chain is checked against the machine's trusted
// roots, or must end in the CA a section names, and its name against the
// server name; there is no way to switch the check off.

#include <windows.h>

#include <cstddef>
#include <string>

namespace LogUtils {

// The connection under the session: its bytes as they travel.
class RawChannel {
public:
    virtual bool sendRaw(const char* data, std::size_t length) = 0;
    // Appends what arrives within the time; false when closed, failed or
    // silent.
    virtual bool receiveRaw(std::string& into, DWORD milliseconds) = 0;

protected:
    ~RawChannel() = default;
};

class TlsSession {
public:
    TlsSession() = default;
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // The handshake and the check of the collector's certificate for
    // serverName; caFile (PEM or DER, may be null) names the only CA to
    // accept. False, with the reason in problem, when either fails.
    bool start(RawChannel& raw, const wchar_t* serverName, const wchar_t* caFile,
               DWORD milliseconds, std::string& problem);
    bool send(RawChannel& raw, const std::string& plain);
    // Appends the plain text that arrives within the time; false when the
    // collector closed the session or the connection failed.
    bool receive(RawChannel& raw, std::string& plain, DWORD milliseconds);

    // Called when the connection is readable while nothing is awaited: true
    // when the collector closed it or said something.
    bool peerSpoke(RawChannel& raw);

private:
    bool decryptPending(std::string& plain, bool& closed);

    struct Handles;
    Handles* handles_ = nullptr;
    std::string pending_;  // received and not yet decrypted
};

}  // namespace LogUtils
