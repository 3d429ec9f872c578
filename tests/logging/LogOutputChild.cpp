// Helper process of the output tests.
//
//   log COMPONENT LEVEL MESSAGE          one logging call
//   log-without-machine COMPONENT LEVEL MESSAGE
//                                        the same with HKEY_LOCAL_MACHINE seen
//                                        as an empty key
//   log-after-detach COMPONENT LEVEL MESSAGE
//                                        the same once the module detached,
//                                        before any record; exits with 4 when
//                                        that started the logging runtime
//   sections                             one record through two debugger
//                                        sections
//   keep PATH TEXT                       one line to PATH, which the parent
//                                        holds; exits once the parent lets
//                                        go (events OrnKept, OrnKeepRelease)
//   syslog PORT [SERVER]                 records of four levels and one
//                                        overlong line through a syslog
//                                        section to SERVER:PORT (127.0.0.1);
//                                        prints the computer name the header
//                                        carries
//   stream TRANSPORT MESSAGE PORT COUNT INTERVAL QUEUE HOLD
//                                        COUNT records "line N" through a
//                                        syslog section of that transport and
//                                        message form to 127.0.0.1:PORT,
//                                        INTERVAL ms apart, with a queue of
//                                        QUEUE KiB; prints "logged" and stays
//                                        HOLD ms before it exits; TLS takes
//                                        SERVERNAME and CA ("-": none) after
//   trust CAFILE | distrust CAFILE       the certificate into or out of the
//                                        machine's trusted roots

#include "LogManager.h"
#include "LogRuntime.h"
#include "OutputTestSupport.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Applies two sections of type "outputdebugstring" to one record, in order.
int twoSections()
{
    LogUtils::PropertyLogConfiguration configuration;
    configuration.setProperty(0, L"type", L"outputdebugstring");
    configuration.setProperty(0, L"format", L"first %m");
    configuration.setProperty(1, L"type", L"OutputDebugString");
    configuration.setProperty(1, L"format", L"second %f %l %m");
    LogUtils::PropertyMap properties;
    LogUtils::LogPropertiesOnMapImpl view(&properties);
    LogRecord record(".\\Child", 1, LevelInfo, "kwAgent", nullptr);
    record.narrowMessage = "to the debugger";
    LogUtils::CompiledRouting(configuration, view).route(record);
    return 0;
}

// The records a collector of the tests receives, in order, through one
// section of type "syslog".
int syslogSection(const wchar_t* port, const wchar_t* server)
{
    LogUtils::PropertyLogConfiguration configuration;
    configuration.setProperty(0, L"type", L"syslog");
    configuration.setProperty(0, L"server", server);
    configuration.setProperty(0, L"port", port);
    configuration.setProperty(0, L"format", L"%f.%l %m");
    LogUtils::PropertyMap properties;
    LogUtils::LogPropertiesOnMapImpl view(&properties);
    const LogUtils::CompiledRouting routing(configuration, view);
    const struct {
        int level;
        std::string message;
    } records[] = {
        {LevelEmergency, "disk on fire"},
        {LevelError, "scan of C:\\Temp\\a b.txt failed: 100% sure"},
        {LevelInfo, "agent started"},
        {LevelDebug, "trace"},
        {LevelWarning, "long " + std::string(1100, 'y')},
    };
    for (const auto& r : records) {
        LogRecord record(".\\Child", 1, r.level, "zuCpLib", nullptr);
        record.narrowMessage = r.message.c_str();
        routing.route(record);
    }
    char host[16] = {};
    DWORD size = sizeof host;
    GetComputerNameA(host, &size);
    std::printf("%s\n", host);
    return 0;
}

int streamSection(wchar_t** argv)
{
    LogUtils::PropertyLogConfiguration configuration;
    configuration.setProperty(0, L"type", L"syslog");
    configuration.setProperty(0, L"server", L"127.0.0.1");
    configuration.setProperty(0, L"transport", argv[2]);
    configuration.setProperty(0, L"message", argv[3]);
    configuration.setProperty(0, L"port", argv[4]);
    configuration.setProperty(0, L"queue", argv[7]);
    configuration.setProperty(0, L"format", L"%f.%l %m");
    if (argv[9] && std::wstring(argv[9]) != L"-")
        configuration.setProperty(0, L"servername", argv[9]);
    if (argv[9] && argv[10] && std::wstring(argv[10]) != L"-")
        configuration.setProperty(0, L"ca", argv[10]);
    LogUtils::PropertyMap properties;
    LogUtils::LogPropertiesOnMapImpl view(&properties);
    const LogUtils::CompiledRouting routing(configuration, view);
    const int count = _wtoi(argv[5]);
    for (int i = 1; i <= count; ++i) {
        const std::string message = "line " + std::to_string(i) + " caf\xe9";
        LogRecord record(".\\Child", i, i % 2 ? LevelInfo : LevelError, "zuCpLib", nullptr);
        record.narrowMessage = message.c_str();
        routing.route(record);
        Sleep(_wtoi(argv[6]));
    }
    std::printf("logged\n");
    std::fflush(stdout);
    Sleep(_wtoi(argv[8]));
    return 0;
}

// The test CA in (or out of) the local machine's trusted roots.
int trustCertificate(const wchar_t* path, bool trust)
{
    const std::string pem = output_test::readFile(path);
    std::vector<BYTE> der(pem.size());
    DWORD size = static_cast<DWORD>(der.size());
    if (!CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                              der.data(), &size, nullptr, nullptr))
        return 3;
    HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                    CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (!root)
        return 3;
    PCCERT_CONTEXT added = nullptr;
    BOOL done = CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING, der.data(), size,
                                                 CERT_STORE_ADD_REPLACE_EXISTING, &added);
    if (done && !trust)
        done = CertDeleteCertificateFromStore(added);  // frees it
    else if (added)
        CertFreeCertificateContext(added);
    CertCloseStore(root, 0);
    return done ? 0 : 3;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    std::wstring mode = argc > 1 ? argv[1] : L"";
    orn::unique_hkey emptyMachine;
    if (mode == L"log-without-machine" && argc == 5) {
        // The runtime's folders are found first, from the real machine key,
        // as in a process whose key is deleted while it runs; the Log key
        // is opened by the first record.
        logDirectory.get();
        const wchar_t* const empty = L"Software\\OrnShExtTests\\EmptyMachine";
        if (RegCreateKeyExW(HKEY_CURRENT_USER, empty, 0, nullptr, REG_OPTION_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, emptyMachine.put(), nullptr) != ERROR_SUCCESS ||
            RegOverridePredefKey(HKEY_LOCAL_MACHINE, emptyMachine.get()) != ERROR_SUCCESS)
            return 3;
        RegDeleteKeyW(HKEY_CURRENT_USER, empty);
        mode = L"log";
    }
    const bool detached = mode == L"log-after-detach";
    if (detached) {
        LogRuntime::moduleDetaching(false);
        mode = L"log";
    }
    if (mode == L"log" && argc == 5) {
        char component[64], message[1024];
        std::snprintf(component, sizeof component, "%ls", argv[2]);
        std::snprintf(message, sizeof message, "%ls", argv[4]);
        LogRecord(".\\Child", __LINE__, _wtoi(argv[3]), component, defaultLogManager())
            .print("%s", message);
        return detached && LogRuntime::started() ? 4 : 0;
    }
    if (mode == L"keep" && argc == 4) {
        const bool written = output_test::appendLine(argv[2], output_test::narrow(argv[3]));
        const orn::unique_handle kept(OpenEventW(EVENT_MODIFY_STATE, FALSE, L"OrnKept"));
        const orn::unique_handle release(OpenEventW(SYNCHRONIZE, FALSE, L"OrnKeepRelease"));
        if (!kept || !release)
            return 3;
        SetEvent(kept.get());
        WaitForSingleObject(release.get(), 30000);
        return written ? 2 : 0;
    }
    if (mode == L"sections")
        return twoSections();
    if (mode == L"syslog" && (argc == 3 || argc == 4))
        return syslogSection(argv[2], argc == 4 ? argv[3] : L"127.0.0.1");
    if (mode == L"stream" && (argc == 9 || argc == 11))
        return streamSection(argv);
    if ((mode == L"trust" || mode == L"distrust") && argc == 3)
        return trustCertificate(argv[2], mode == L"trust");
    return 1;
}
