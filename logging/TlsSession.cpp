#include "TlsSession.h"

#include "SystemLibrary.h"

#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>
#include <sspi.h>
#include <wincrypt.h>

#include <cstring>
#include <vector>

namespace LogUtils {

namespace {

// Secur32 and Crypt32 from the system folder, loaded by the first TLS
// connection.
struct TlsCalls {
    orn::SystemLibrary secur32{L"secur32.dll"};
    orn::SystemLibrary crypt32{L"crypt32.dll"};
    PSecurityFunctionTableW sspi = nullptr;
#define ORN_CRYPT(name) decltype(&::name) name = crypt32.procedure<decltype(&::name)>(#name)
    ORN_CRYPT(CertOpenStore);
    ORN_CRYPT(CertCloseStore);
    ORN_CRYPT(CertAddEncodedCertificateToStore);
    ORN_CRYPT(CertAddCertificateContextToStore);
    ORN_CRYPT(CertEnumCertificatesInStore);
    ORN_CRYPT(CertFreeCertificateContext);
    ORN_CRYPT(CertGetCertificateChain);
    ORN_CRYPT(CertVerifyCertificateChainPolicy);
    ORN_CRYPT(CertFreeCertificateChain);
    ORN_CRYPT(CertCompareCertificate);
    ORN_CRYPT(CryptStringToBinaryA);
#undef ORN_CRYPT
    bool usable = false;

    TlsCalls()
    {
        const auto init = secur32.procedure<INIT_SECURITY_INTERFACE_W>("InitSecurityInterfaceW");
        sspi = init ? init() : nullptr;
        usable = sspi && CertOpenStore && CertCloseStore && CertAddEncodedCertificateToStore &&
                 CertAddCertificateContextToStore && CertEnumCertificatesInStore &&
                 CertFreeCertificateContext && CertGetCertificateChain &&
                 CertVerifyCertificateChainPolicy && CertFreeCertificateChain &&
                 CertCompareCertificate && CryptStringToBinaryA;
    }
};

// Made once, never given back before the process ends: a sender may use it
// while a program exits.
const TlsCalls* tlsCalls()
{
    static const TlsCalls* const calls = new TlsCalls;
    return calls->usable ? calls : nullptr;
}

// SECURITY_FLAG_IGNORE_UNKNOWN_CA of wininet.h, which nothing else here needs.
constexpr DWORD ignoreUnknownCa = 0x00000100;

constexpr ULONG requestFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                               ISC_REQ_CONFIDENTIALITY | ISC_REQ_EXTENDED_ERROR |
                               ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                               ISC_REQ_MANUAL_CRED_VALIDATION;

struct Store {
    HCERTSTORE handle = nullptr;
    ~Store()
    {
        if (handle)
            tlsCalls()->CertCloseStore(handle, 0);
    }
};

// The CA file's certificate, PEM or DER, into store.
bool addCaFile(const TlsCalls& calls, const wchar_t* path, HCERTSTORE store, PCCERT_CONTEXT& ca)
{
    HANDLE file =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    std::vector<char> bytes(64 * 1024);
    DWORD read = 0;
    const BOOL ok = ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    CloseHandle(file);
    if (!ok || !read)
        return false;
    std::vector<BYTE> der(read);
    DWORD size = read;
    if (calls.CryptStringToBinaryA(bytes.data(), read, CRYPT_STRING_BASE64HEADER, der.data(), &size,
                                   nullptr, nullptr))
        der.resize(size);
    else
        der.assign(bytes.begin(), bytes.begin() + read);
    return calls.CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                                  static_cast<DWORD>(der.size()),
                                                  CERT_STORE_ADD_REPLACE_EXISTING, &ca) != FALSE;
}

// The collector's chain to a trusted root (or to the named CA alone) and its
// name, by the system's own SSL policy.
bool certificateAccepted(const TlsCalls& calls, PCCERT_CONTEXT remote, const wchar_t* serverName,
                         const wchar_t* caFile, std::string& problem)
{
    Store extra;
    extra.handle = calls.CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (!extra.handle)
        return false;
    // The intermediates the collector sent.
    for (PCCERT_CONTEXT sent = nullptr;
         (sent = calls.CertEnumCertificatesInStore(remote->hCertStore, sent)) != nullptr;)
        calls.CertAddCertificateContextToStore(extra.handle, sent, CERT_STORE_ADD_ALWAYS, nullptr);
    PCCERT_CONTEXT ca = nullptr;
    if (caFile && !addCaFile(calls, caFile, extra.handle, ca)) {
        problem = "the CA file cannot be read";
        return false;
    }
    char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
    LPSTR usages[] = {serverAuth};
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    bool accepted = false;
    if (calls.CertGetCertificateChain(nullptr, remote, nullptr, extra.handle, &para, 0, nullptr,
                                      &chain) &&
        chain->cChain > 0) {
        const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
        const PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
        const bool endsInCa =
            ca && calls.CertCompareCertificate(X509_ASN_ENCODING, root->pCertInfo, ca->pCertInfo);
        HTTPSPolicyCallbackData https = {};
        https.cbStruct = sizeof https;
        https.dwAuthType = AUTHTYPE_SERVER;
        // A named CA is trusted for this section alone.
        https.fdwChecks = endsInCa ? ignoreUnknownCa : 0;
        https.pwszServerName = const_cast<wchar_t*>(serverName);
        CERT_CHAIN_POLICY_PARA policy = {};
        policy.cbSize = sizeof policy;
        policy.pvExtraPolicyPara = &https;
        CERT_CHAIN_POLICY_STATUS status = {};
        status.cbSize = sizeof status;
        // The chain's own verdict first: a policy may let a chain that
        // reaches no root at all pass (Wine's does).
        const DWORD chainErrors = chain->TrustStatus.dwErrorStatus &
                                  ~(endsInCa ? DWORD(CERT_TRUST_IS_UNTRUSTED_ROOT) : 0);
        if (ca && !endsInCa)
            problem = "the certificate does not chain to the named CA";
        else if (chainErrors & (CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_IS_UNTRUSTED_ROOT))
            problem = "the certificate's CA is not trusted";
        else if (chainErrors)
            problem = "the certificate's chain is not valid (" + std::to_string(chainErrors) + ")";
        else if (!calls.CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy,
                                                         &status))
            problem = "the certificate could not be checked";
        else if (status.dwError == static_cast<DWORD>(CERT_E_CN_NO_MATCH))
            problem = "the certificate is not for the server name";
        else if (status.dwError == static_cast<DWORD>(CERT_E_UNTRUSTEDROOT))
            problem = "the certificate's CA is not trusted";
        else if (status.dwError)
            problem = "the certificate was refused (error " + std::to_string(status.dwError) + ")";
        else
            accepted = true;
        calls.CertFreeCertificateChain(chain);
    } else {
        problem = "the certificate has no chain";
    }
    if (ca)
        calls.CertFreeCertificateContext(ca);
    return accepted;
}

}  // namespace

struct TlsSession::Handles {
    CredHandle credentials;
    CtxtHandle context;
    bool hasCredentials = false;
    bool hasContext = false;
    SecPkgContext_StreamSizes sizes = {};
};

TlsSession::~TlsSession()
{
    if (!handles_)
        return;
    const TlsCalls* calls = tlsCalls();
    if (handles_->hasContext)
        calls->sspi->DeleteSecurityContext(&handles_->context);
    if (handles_->hasCredentials)
        calls->sspi->FreeCredentialsHandle(&handles_->credentials);
    delete handles_;
}

bool TlsSession::start(RawChannel& raw, const wchar_t* serverName, const wchar_t* caFile,
                       DWORD milliseconds, std::string& problem)
{
    const TlsCalls* calls = tlsCalls();
    if (!calls || handles_) {
        problem = "Schannel is not available";
        return false;
    }
    handles_ = new Handles;
    SCHANNEL_CRED schannel = {};
    schannel.dwVersion = SCHANNEL_CRED_VERSION;
    schannel.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    TimeStamp expiry;
    if (calls->sspi->AcquireCredentialsHandleW(
            nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr, &schannel,
            nullptr, nullptr, &handles_->credentials, &expiry) != SEC_E_OK) {
        problem = "no Schannel credentials";
        return false;
    }
    handles_->hasCredentials = true;

    const ULONGLONG until = GetTickCount64() + milliseconds;
    bool first = true;
    bool askedForCertificate = false;
    for (;;) {
        SecBuffer in[2] = {{static_cast<ULONG>(pending_.size()), SECBUFFER_TOKEN,
                            pending_.empty() ? nullptr : &pending_[0]},
                           {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc inDesc = {SECBUFFER_VERSION, 2, in};
        SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
        SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, out};
        ULONG granted = 0;
        const SECURITY_STATUS status = calls->sspi->InitializeSecurityContextW(
            &handles_->credentials, first ? nullptr : &handles_->context,
            const_cast<wchar_t*>(serverName), requestFlags, 0, 0, first ? nullptr : &inDesc, 0,
            &handles_->context, &outDesc, &granted, nullptr);
        if (first && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED))
            handles_->hasContext = true;
        first = false;
        if (out[0].pvBuffer) {
            const bool sent =
                out[0].cbBuffer == 0 ||
                raw.sendRaw(static_cast<const char*>(out[0].pvBuffer), out[0].cbBuffer);
            calls->sspi->FreeContextBuffer(out[0].pvBuffer);
            if (!sent) {
                problem = "the connection failed during the handshake";
                return false;
            }
        }
        // A collector that asks for a client certificate without requiring
        // one (imrelp) is answered without: asked again, Schannel goes on
        // with the same input.
        if (status == SEC_I_INCOMPLETE_CREDENTIALS && !askedForCertificate) {
            askedForCertificate = true;
            continue;
        }
        if (status == SEC_E_INCOMPLETE_MESSAGE || status == SEC_I_CONTINUE_NEEDED) {
            if (status == SEC_I_CONTINUE_NEEDED) {
                if (in[1].BufferType == SECBUFFER_EXTRA)
                    pending_.erase(0, pending_.size() - in[1].cbBuffer);
                else
                    pending_.clear();
                if (!pending_.empty())
                    continue;
            }
            const ULONGLONG now = GetTickCount64();
            if (now >= until || !raw.receiveRaw(pending_, static_cast<DWORD>(until - now))) {
                problem = "the collector ended the handshake";
                return false;
            }
            continue;
        }
        if (status != SEC_E_OK) {
            problem = "the handshake failed (status " + std::to_string(status) + ")";
            return false;
        }
        if (in[1].BufferType == SECBUFFER_EXTRA)
            pending_.erase(0, pending_.size() - in[1].cbBuffer);
        else
            pending_.clear();
        break;
    }
    PCCERT_CONTEXT remote = nullptr;
    if (calls->sspi->QueryContextAttributesW(&handles_->context, SECPKG_ATTR_REMOTE_CERT_CONTEXT,
                                             &remote) != SEC_E_OK ||
        !remote) {
        problem = "the collector sent no certificate";
        return false;
    }
    const bool accepted = certificateAccepted(*calls, remote, serverName, caFile, problem);
    calls->CertFreeCertificateContext(remote);
    return accepted &&
           calls->sspi->QueryContextAttributesW(&handles_->context, SECPKG_ATTR_STREAM_SIZES,
                                                &handles_->sizes) == SEC_E_OK;
}

bool TlsSession::send(RawChannel& raw, const std::string& plain)
{
    const TlsCalls* calls = tlsCalls();
    const SecPkgContext_StreamSizes& sizes = handles_->sizes;
    std::string record;
    for (std::size_t done = 0; done < plain.size();) {
        const std::size_t chunk =
            std::min<std::size_t>(plain.size() - done, sizes.cbMaximumMessage);
        record.assign(sizes.cbHeader + chunk + sizes.cbTrailer, '\0');
        std::memcpy(&record[sizes.cbHeader], plain.data() + done, chunk);
        SecBuffer buffers[4] = {
            {sizes.cbHeader, SECBUFFER_STREAM_HEADER, &record[0]},
            {static_cast<ULONG>(chunk), SECBUFFER_DATA, &record[sizes.cbHeader]},
            {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, &record[sizes.cbHeader + chunk]},
            {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
        if (calls->sspi->EncryptMessage(&handles_->context, 0, &desc, 0) != SEC_E_OK ||
            !raw.sendRaw(record.data(),
                         buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer))
            return false;
        done += chunk;
    }
    return true;
}

bool TlsSession::decryptPending(std::string& plain, bool& closed)
{
    const TlsCalls* calls = tlsCalls();
    closed = false;
    bool any = false;
    while (!pending_.empty()) {
        SecBuffer buffers[4] = {{static_cast<ULONG>(pending_.size()), SECBUFFER_DATA, &pending_[0]},
                                {0, SECBUFFER_EMPTY, nullptr},
                                {0, SECBUFFER_EMPTY, nullptr},
                                {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
        const SECURITY_STATUS status =
            calls->sspi->DecryptMessage(&handles_->context, &desc, 0, nullptr);
        if (status == SEC_E_INCOMPLETE_MESSAGE)
            break;
        if (status != SEC_E_OK) {
            // Closed by the collector, a renegotiation it may not ask for,
            // or a broken record.
            closed = true;
            break;
        }
        std::size_t extra = 0;
        for (const SecBuffer& buffer : buffers) {
            if (buffer.BufferType == SECBUFFER_DATA && buffer.cbBuffer) {
                plain.append(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
                any = true;
            }
            if (buffer.BufferType == SECBUFFER_EXTRA)
                extra = buffer.cbBuffer;
        }
        pending_.erase(0, pending_.size() - extra);
    }
    return any;
}

bool TlsSession::peerSpoke(RawChannel& raw)
{
    // Readable: closed, or records to read. Handshake messages a collector
    // may send after the handshake (session tickets) carry no text.
    if (!raw.receiveRaw(pending_, 0))
        return true;
    std::string plain;
    bool closed = false;
    decryptPending(plain, closed);
    return closed || !plain.empty();
}

bool TlsSession::receive(RawChannel& raw, std::string& plain, DWORD milliseconds)
{
    const ULONGLONG until = GetTickCount64() + milliseconds;
    for (;;) {
        bool closed = false;
        if (decryptPending(plain, closed))
            return !closed;
        if (closed)
            return false;
        const ULONGLONG now = GetTickCount64();
        if (now > until || !raw.receiveRaw(pending_, static_cast<DWORD>(until - now)))
            return false;
    }
}

}  // namespace LogUtils
