// The installer's actions for Windows 11's menu: the package of the Explorer
// command for every user, and, in a test-signed build, trust in the
// certificate that signs it. Values reach them only as CustomActionData and
// go on to PowerShell only through its environment, its script (the
// resource made from ExplorerPackage.ps1) as -EncodedCommand, which no
// execution policy stops: no character of an install folder can end a
// quoting, because nothing is quoted.
//
// A step that fails is written to the product's log folder with the error
// PowerShell or the certificate store gave, and the installation goes on:
// the classic menu still serves the scan.

#include "AttributeList.h"
#include "InstallerAction.h"
#include "LogRecord.h"

#include <wincrypt.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

namespace {

const char sourceUnit[] = ".\\ExplorerPackageAction";
const char component[] = "OrnShExt";

struct close_cert_store {
    void operator()(HCERTSTORE store) const noexcept { CertCloseStore(store, 0); }
};
using unique_cert_store = orn::unique_resource<HCERTSTORE, close_cert_store>;
using unique_cert_context =
    orn::unique_resource<PCCERT_CONTEXT, orn::closer<&CertFreeCertificateContext>>;

// Identifier of the script resource (ExplorerPackageAction.rc).
constexpr int scriptResource = 1;
// How long a package step may take before it is stopped.
constexpr DWORD stepPatienceMs = 10 * 60 * 1000;

template <typename... Args>
void logLine(int level, int line, const wchar_t* format, Args... args) noexcept
{
    try {
        LogRecord(sourceUnit, line, level, component, defaultLogManager()).print(format, args...);
    } catch (...) {
        // Logging must not decide the installation's outcome.
    }
}

// Bytes as base64 text, on one line, and back; empty when malformed.
std::wstring base64(const BYTE* bytes, DWORD size)
{
    constexpr DWORD form = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
    DWORD chars = 0;
    if (!size || !CryptBinaryToStringW(bytes, size, form, nullptr, &chars))
        return std::wstring();
    std::wstring text(chars, L'\0');
    if (!CryptBinaryToStringW(bytes, size, form, &text[0], &chars))
        return std::wstring();
    text.resize(chars);
    return text;
}

std::vector<BYTE> fromBase64(const std::wstring& text)
{
    DWORD size = 0;
    if (!CryptStringToBinaryW(text.c_str(), 0, CRYPT_STRING_BASE64, nullptr, &size, nullptr,
                              nullptr))
        return std::vector<BYTE>();
    std::vector<BYTE> bytes(size);
    if (!CryptStringToBinaryW(text.c_str(), 0, CRYPT_STRING_BASE64, bytes.data(), &size, nullptr,
                              nullptr))
        return std::vector<BYTE>();
    bytes.resize(size);
    return bytes;
}

// The machine's "Trusted People" store, where Windows looks for the
// certificate of a package that no trusted root vouches for.
unique_cert_store trustedPeople()
{
    return unique_cert_store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                           CERT_SYSTEM_STORE_LOCAL_MACHINE, L"TrustedPeople"));
}

UINT changeTrust(MSIHANDLE session, bool trust) noexcept
{
    return runAction(
        [&] {
            const std::vector<BYTE> certificate =
                fromBase64(sessionProperty(session, L"CustomActionData"));
            const unique_cert_store store = trustedPeople();
            const unique_cert_context context(
                certificate.empty()
                    ? nullptr
                    : CertCreateCertificateContext(X509_ASN_ENCODING, certificate.data(),
                                                   static_cast<DWORD>(certificate.size())));
            bool done = false;
            if (store && context && trust) {
                done = CertAddCertificateContextToStore(store.get(), context.get(),
                                                        CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
            } else if (store && context) {
                // The store's own copy goes; none there is nothing to do.
                const PCCERT_CONTEXT found =
                    CertFindCertificateInStore(store.get(), X509_ASN_ENCODING, 0,
                                               CERT_FIND_EXISTING, context.get(), nullptr);
                done = !found ? GetLastError() == static_cast<DWORD>(CRYPT_E_NOT_FOUND)
                              : CertDeleteCertificateFromStore(found);
            }
            // Committed now, so that a change the store cannot keep is
            // reported here rather than lost at the close.
            done = done && CertControlStore(store.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr);
            if (!done) {
                logLine(LevelError, __LINE__,
                        trust ? L"Windows 11 menu: the package certificate could not be added to "
                                L"the machine's Trusted People store (error 0x%08lX)"
                              : L"Windows 11 menu: the package certificate could not be removed "
                                L"from the machine's Trusted People store (error 0x%08lX)",
                        GetLastError());
            }
            return static_cast<UINT>(ERROR_SUCCESS);
        },
        [] {
            logLine(LevelError, __LINE__,
                    L"Windows 11 menu: out of memory handling the package certificate");
            return static_cast<UINT>(ERROR_SUCCESS);
        });
}

// What a package action is given: the package family, fixed when the
// package was built, and the install folder ("FAMILY|FOLDER").
struct PackageActionData {
    std::wstring family;
    std::wstring folder;
};

PackageActionData packageActionData(MSIHANDLE session)
{
    const std::wstring data = sessionProperty(session, L"CustomActionData");
    const std::size_t bar = data.find(L'|');
    if (bar == std::wstring::npos)
        return PackageActionData();
    return PackageActionData{data.substr(0, bar), data.substr(bar + 1)};
}

// The part of the script one step runs, as UTF-16LE in base64, the form
// -EncodedCommand takes: the text before the first region, the step's region
// and the text after the last region. Empty when the step has no region.
std::wstring encodedScript(const wchar_t* step)
{
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&encodedScript), &self);
    const HRSRC found = FindResourceW(self, MAKEINTRESOURCEW(scriptResource), RT_RCDATA);
    const HGLOBAL loaded = found ? LoadResource(self, found) : nullptr;
    const char* text = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    const int bytes = found ? static_cast<int>(SizeofResource(self, found)) : 0;
    if (!text || bytes == 0)
        return std::wstring();
    std::wstring whole(MultiByteToWideChar(CP_UTF8, 0, text, bytes, nullptr, 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, bytes, &whole[0], static_cast<int>(whole.size()));

    const std::wstring regionStart = L"#region ", regionEnd = L"#endregion";
    const std::size_t first = whole.find(regionStart);
    const std::wstring name = regionStart + step;
    std::size_t region = whole.find(name);
    // A whole name: "Provision" is not the start of "Provisioned".
    while (region != std::wstring::npos && whole.find_first_of(L"\r\n", region) != region + name.size())
        region = whole.find(name, region + 1);
    const std::size_t last = whole.rfind(regionEnd);
    if (first == std::wstring::npos || region == std::wstring::npos || last < region)
        return std::wstring();
    const std::size_t regionClose = whole.find(regionEnd, region);
    const std::wstring script = whole.substr(0, first) +
                                whole.substr(region, regionClose + regionEnd.size() - region) +
                                whole.substr(last + regionEnd.size());
    return base64(reinterpret_cast<const BYTE*>(script.data()),
                  static_cast<DWORD>(script.size() * sizeof(wchar_t)));
}

// This process's environment with the given variables set, as a block.
std::vector<wchar_t> environmentWith(const std::vector<std::wstring>& assignments)
{
    std::vector<wchar_t> block;
    const wchar_t* current = GetEnvironmentStringsW();
    for (const wchar_t* entry = current; entry && *entry; entry += wcslen(entry) + 1) {
        bool replaced = false;
        for (const std::wstring& assignment : assignments) {
            const std::size_t name = assignment.find(L'=') + 1;
            replaced = replaced || _wcsnicmp(entry, assignment.c_str(), name) == 0;
        }
        if (!replaced)
            block.insert(block.end(), entry, entry + wcslen(entry) + 1);
    }
    if (current)
        FreeEnvironmentStringsW(const_cast<wchar_t*>(current));
    for (const std::wstring& assignment : assignments)
        block.insert(block.end(), assignment.c_str(), assignment.c_str() + assignment.size() + 1);
    block.push_back(L'\0');
    return block;
}

// One line of what PowerShell wrote: its line breaks and runs of blanks as
// single blanks, at most what a log line holds.
std::wstring oneLine(const std::string& output)
{
    std::wstring wide(MultiByteToWideChar(CP_OEMCP, 0, output.data(),
                                          static_cast<int>(output.size()), nullptr, 0),
                      L'\0');
    MultiByteToWideChar(CP_OEMCP, 0, output.data(), static_cast<int>(output.size()), &wide[0],
                        static_cast<int>(wide.size()));
    std::wstring line;
    for (wchar_t c : wide) {
        const bool blank = c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
        if (!blank)
            line += c;
        else if (!line.empty() && line.back() != L' ')
            line += L' ';
    }
    while (!line.empty() && line.back() == L' ')
        line.pop_back();
    line.resize(std::min<std::size_t>(line.size(), LogRecord::messageCapacity / 2));
    return line.empty() ? L"(no message)" : line;
}

// Exit code of a step that answers "no" rather than failing.
constexpr DWORD answeredNo = 3;
// What runStep gives when PowerShell did not run to its end.
constexpr DWORD notRun = 0xFFFFFFFF;

// Runs one step of the script for the package; what fails is logged (an
// exit code of answeredNo only where the step is a question). PowerShell
// starts clean: no profile, the system's own modules only, no handle of
// this process but its input and output.
DWORD runStep(const PackageActionData& package, const wchar_t* step, bool question = false)
{
    // The package is 64-bit only, and this library is 32-bit: the 64-bit
    // PowerShell, which alone has the package cmdlets, is reached through
    // the folder WoW64 does not redirect.
    wchar_t windows[MAX_PATH];
    const UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring windowsFolder = length && length < MAX_PATH ? windows : L"C:\\Windows";
    const std::wstring powerShell = windowsFolder +
                                    (sizeof(void*) == 8 ? L"\\System32" : L"\\Sysnative") +
                                    L"\\WindowsPowerShell\\v1.0\\powershell.exe";
    // As the 64-bit PowerShell itself names its folder.
    const std::wstring systemModules =
        windowsFolder + L"\\System32\\WindowsPowerShell\\v1.0\\Modules";
    const std::wstring script = encodedScript(step);
    if (script.empty()) {
        logLine(LevelError, __LINE__, L"Windows 11 menu: the package script has no step %s", step);
        return notRun;
    }
    std::wstring commandLine =
        L"\"" + powerShell + L"\" -NoProfile -NonInteractive -EncodedCommand " + script;
    std::vector<wchar_t> environment = environmentWith(
        {std::wstring(L"ORN_PACKAGE_STEP=") + step, L"ORN_PACKAGE_FAMILY=" + package.family,
         L"ORN_INSTALL_FOLDER=" + package.folder,
         L"PSModulePath=" + systemModules});

    SECURITY_ATTRIBUTES inherited = {sizeof(inherited), nullptr, TRUE};
    orn::unique_handle output, writer;
    if (!CreatePipe(output.put(), writer.put(), &inherited, 0)) {
        logLine(LevelError, __LINE__, L"Windows 11 menu: %s: no pipe (error %lu)", step,
                GetLastError());
        return notRun;
    }
    SetHandleInformation(output.get(), HANDLE_FLAG_INHERIT, 0);
    const orn::unique_file input(CreateFileW(L"NUL", GENERIC_READ,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                                             OPEN_EXISTING, 0, nullptr));
    // Only these two handles go to PowerShell, whatever else this process
    // holds inheritable.
    HANDLE passed[] = {input.get(), writer.get()};
    const orn::attribute_list attributes(1);
    if (!input || !attributes.get() ||
        !UpdateProcThreadAttribute(attributes.get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, passed,
                                   sizeof(passed), nullptr, nullptr)) {
        logLine(LevelError, __LINE__,
                L"Windows 11 menu: %s of the package not run: its handles could not be limited "
                L"(error %lu)",
                step, GetLastError());
        return notRun;
    }
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input.get();
    startup.StartupInfo.hStdOutput = writer.get();
    startup.StartupInfo.hStdError = writer.get();
    startup.lpAttributeList = attributes.get();
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(powerShell.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                        CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT |
                            EXTENDED_STARTUPINFO_PRESENT,
                        environment.data(), nullptr, &startup.StartupInfo, &process)) {
        logLine(LevelError, __LINE__,
                L"Windows 11 menu: %s of the package could not start %s (error %lu)", step,
                powerShell.c_str(), GetLastError());
        return notRun;
    }
    const orn::unique_handle child(process.hProcess), thread(process.hThread);
    // Only the child holds the pipe's writing end now: its exit ends the output.
    writer.reset();

    std::string text;
    const ULONGLONG deadline = GetTickCount64() + stepPatienceMs;
    bool ended = false;
    for (;;) {
        ended = WaitForSingleObject(child.get(), 100) == WAIT_OBJECT_0;
        DWORD available = 0;
        while (PeekNamedPipe(output.get(), nullptr, 0, nullptr, &available, nullptr) &&
               available) {
            char chunk[4096];
            DWORD read = 0;
            if (!ReadFile(output.get(), chunk, sizeof(chunk), &read, nullptr) || !read)
                break;
            // The start of what it says is what explains a failure.
            text.append(chunk, std::min<std::size_t>(read, 64 * 1024 - text.size()));
        }
        if (ended || GetTickCount64() > deadline)
            break;
    }
    if (!ended) {
        TerminateProcess(child.get(), 1);
        logLine(LevelError, __LINE__,
                L"Windows 11 menu: %s of the package did not end within %lu minutes and was "
                L"stopped: %s",
                step, stepPatienceMs / 60000, oneLine(text).c_str());
        return notRun;
    }
    DWORD exitCode = notRun;
    GetExitCodeProcess(child.get(), &exitCode);
    if (exitCode != 0 && !(question && exitCode == answeredNo))
        logLine(LevelError, __LINE__,
                L"Windows 11 menu: %s of the package failed (exit code %lu): %s", step, exitCode,
                oneLine(text).c_str());
    else
        logLine(LevelDebug, __LINE__, L"Windows 11 menu: %s of the package done for <%s> (%lu)",
                step, package.folder.c_str(), exitCode);
    return exitCode;
}

// Staged always; provisioned only when the family is not: provisioning a
// provisioned family again removes every user's installation of it. A
// provisioning that cannot be read is left alone, which costs other users
// the packaged command until a repair, not the menu entry.
void provision(const PackageActionData& package)
{
    runStep(package, L"Stage");
    if (runStep(package, L"Provisioned", true) == answeredNo)
        runStep(package, L"Provision");
}

// A step never fails the installation: the classic menu still serves.
UINT packageStep(MSIHANDLE session, const wchar_t* step) noexcept
{
    return runAction(
        [&] {
            const PackageActionData package = packageActionData(session);
            if (package.family.empty())
                logLine(LevelError, __LINE__, L"Windows 11 menu: %s without the package family",
                        step);
            else if (std::wcscmp(step, L"Provision") == 0)
                provision(package);
            else
                runStep(package, step);
            return static_cast<UINT>(ERROR_SUCCESS);
        },
        [&] {
            logLine(LevelError, __LINE__, L"Windows 11 menu: out of memory preparing %s", step);
            return static_cast<UINT>(ERROR_SUCCESS);
        });
}

}  // namespace

// Immediate: the certificate of the Binary table's "PackageCertificate" row,
// in base64, into the property PackageCertificate, for the deferred actions
// that cannot read the table themselves.
extern "C" __declspec(dllexport) UINT WINAPI ReadPackageCertificate(MSIHANDLE session)
{
    return runAction(
        [&] {
            const unique_msihandle database(MsiGetActiveDatabase(session));
            unique_msihandle view, record;
            std::vector<BYTE> certificate;
            if (database &&
                MsiDatabaseOpenViewW(
                    database.get(), L"SELECT `Data` FROM `Binary` WHERE `Name`='PackageCertificate'",
                    view.put()) == ERROR_SUCCESS &&
                MsiViewExecute(view.get(), 0) == ERROR_SUCCESS &&
                MsiViewFetch(view.get(), record.put()) == ERROR_SUCCESS) {
                DWORD bytes = MsiRecordDataSize(record.get(), 1);
                certificate.resize(bytes);
                if (bytes && MsiRecordReadStream(record.get(), 1,
                                                 reinterpret_cast<char*>(certificate.data()),
                                                 &bytes) != ERROR_SUCCESS)
                    bytes = 0;
                certificate.resize(bytes);
            }
            if (certificate.empty())
                logLine(LevelError, __LINE__,
                        L"Windows 11 menu: the package certificate is missing from the installer");
            MsiSetPropertyW(session, L"PackageCertificate",
                            base64(certificate.data(), static_cast<DWORD>(certificate.size()))
                                .c_str());
            return static_cast<UINT>(ERROR_SUCCESS);
        },
        [] {
            logLine(LevelError, __LINE__,
                    L"Windows 11 menu: out of memory reading the package certificate");
            return static_cast<UINT>(ERROR_SUCCESS);
        });
}

// Deferred, as LocalSystem; each is the other's rollback.
extern "C" __declspec(dllexport) UINT WINAPI TrustPackageCertificate(MSIHANDLE session)
{
    return changeTrust(session, true);
}

extern "C" __declspec(dllexport) UINT WINAPI UntrustPackageCertificate(MSIHANDLE session)
{
    return changeTrust(session, false);
}

// Deferred: the steps of ExplorerPackage.ps1 for the package family and
// the install folder.
extern "C" __declspec(dllexport) UINT WINAPI ProvisionExplorerPackage(MSIHANDLE session)
{
    return packageStep(session, L"Provision");
}

extern "C" __declspec(dllexport) UINT WINAPI RegisterExplorerPackage(MSIHANDLE session)
{
    return packageStep(session, L"Register");
}

extern "C" __declspec(dllexport) UINT WINAPI UnregisterExplorerPackage(MSIHANDLE session)
{
    return packageStep(session, L"Unregister");
}

extern "C" __declspec(dllexport) UINT WINAPI RemoveExplorerPackage(MSIHANDLE session)
{
    return packageStep(session, L"Remove");
}
