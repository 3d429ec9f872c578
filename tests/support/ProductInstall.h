#pragma once
// An installed product for the tests: its keys emptied for one test and put
// back, a folder holding the agent stand-in and the strings of a language,
// and the command line the agent gets for a scan.

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "Paths.h"
#include "Process.h"
#include "Registry.h"

namespace testsupport {

// The subkey of a type library's registration that names this build's file.
inline const wchar_t* typeLibPlatform() { return is64BitBuild() ? L"win64" : L"win32"; }

inline fs::path agentStandIn() { return binaryDir() / L"tools" / L"agent" / L"zuAgtSvc.exe"; }

// UTF-16LE with its byte-order mark, the form of a Unicode profile file.
inline void writeUnicodeText(const fs::path& file, const std::wstring& text)
{
    std::wstring withMark = L"\xFEFF" + text;
    writeBytes(file, withMark.data(), withMark.size() * sizeof(wchar_t));
}

// The parameters the agent gets from either menu for a scan of target, and
// its whole command line, as the shell composes it from the agent's path and
// the parameters.
inline std::wstring agentParameters(const fs::path& installDir, const std::wstring& target)
{
    return L"/RunDLL=" + installDir.wstring() + L"\\Vandor\\zuCioScn.dll,_StartScanFromCtxMenu@16 " + target;
}
inline std::wstring agentCommandLine(const fs::path& installDir, const std::wstring& target)
{
    return quoted((installDir / L"Agent" / L"zuAgtSvc.exe").wstring()) + L" " + agentParameters(installDir, target);
}

// The product's keys, emptied for one test: the installation in both paths
// (under WoW64 and for a 64-bit process these are one key), its copy in the
// 64-bit view, which the 64-bit build must not read, and the current user's
// language choice and the shell extension's record for the user.
class ProductRegistry {
public:
    ProductRegistry()
        : machine_(HKEY_LOCAL_MACHINE, {L"SOFTWARE\\Quarvel\\Hollowmere",
                                        L"SOFTWARE\\Wow6432Node\\Quarvel\\Hollowmere"}),
          machine64_(HKEY_LOCAL_MACHINE, {L"SOFTWARE\\Quarvel\\Hollowmere"}, KEY_WOW64_64KEY),
          user_(HKEY_CURRENT_USER, {L"SOFTWARE\\Quarvel\\Hollowmere\\DesktopUI", shellExtUserKey})
    {
    }

private:
    RegistryStage machine_;
    RegistryStage machine64_;
    RegistryStage user_;
};

// The event every agent stand-in started from this test process (directly
// or through a program it runs) sets once its records are written, named in
// the environment they inherit.
inline HANDLE agentStartedEvent()
{
    static const HANDLE event = [] {
        const std::wstring name = L"OrnAgentStarted-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(GetTickCount64());
        SetEnvironmentVariableW(L"ORN_AGENT_STARTED", name.c_str());
        return CreateEventW(nullptr, FALSE, FALSE, name.c_str());
    }();
    return event;
}

// The agent stand-in installed as <install>\Agent\zuAgtSvc.exe; it writes
// its command line to zuAgtSvc.cmdline beside itself, and its working folder
// to zuAgtSvc.cwd before that, and then sets agentStartedEvent().
class InstalledAgent {
public:
    explicit InstalledAgent(const fs::path& installDir)
        : exe_(installDir / L"Agent" / L"zuAgtSvc.exe"), record_(installDir / L"Agent" / L"zuAgtSvc.cmdline")
    {
        agentStartedEvent();
        fs::create_directories(exe_.parent_path());
        fs::copy_file(agentStandIn(), exe_, fs::copy_options::overwrite_existing);
    }
    const fs::path& exe() const { return exe_; }

    // The working folder of the start whose command line was awaited.
    std::wstring workingFolder() const { return readRecord(fs::path(record_).replace_extension(L".cwd")); }

    // Both records gone, so that the next start is the one awaited.
    void forget() const
    {
        std::error_code ignored;
        fs::remove(record_, ignored);
        fs::remove(fs::path(record_).replace_extension(L".cwd"), ignored);
    }

    // The command line of the agent's latest start, read each time an agent
    // says it has written its records (another agent of this test may be the
    // one that says so); empty when none came within the time given, which
    // bounds only a failure.
    std::wstring awaitCommandLine(std::chrono::milliseconds patience = std::chrono::seconds(60)) const
    {
        const auto deadline = std::chrono::steady_clock::now() + patience;
        for (;;) {
            const std::wstring text = readRecord(record_);
            if (!text.empty())
                return text;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 ||
                WaitForSingleObject(agentStartedEvent(), static_cast<DWORD>(left.count())) != WAIT_OBJECT_0)
                return readRecord(record_);
        }
    }

    // Nothing started within a grace period long enough for a launched
    // stand-in to have written its record.
    bool staysIdle() const { return awaitCommandLine(std::chrono::seconds(3)).empty(); }

private:
    static std::wstring readRecord(const fs::path& file)
    {
        std::ifstream in(file, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    }

    fs::path exe_;
    fs::path record_;
};

// The strings file of one language folder.
inline std::string genStrings(const std::string& command, const std::string& help)
{
    std::string text = "[STR_SCANNOW]\r\n";
    if (!command.empty())
        text += "IDS_EXP_SCANNOW_DSTRING=" + command + "\r\n";
    if (!help.empty())
        text += "IDS_SCAN=" + help + "\r\n";
    return text;
}

// A product installed in a folder of its own: the install location in the
// registry, the agent stand-in and the strings of English.
class InstalledProduct {
public:
    explicit InstalledProduct(const std::string& strings = genStrings("Scan for threats", "Scans the selection"))
        : folder_(L"OrnServer"), agent_(folder_.path())
    {
        // Wine reuses process ids, so a folder of an earlier run may come back
        // with the record of an agent that outlived its test.
        agent_.forget();
        writeText(folder_.path() / L"Agent" / L"Res" / L"0409" / L"GenStrings.bin", strings);
        setString(HKEY_LOCAL_MACHINE, installKey, installDirValue, folder_.str());
    }
    const fs::path& path() const { return folder_.path(); }
    const InstalledAgent& agent() const { return agent_; }

private:
    ProductRegistry registry_;
    TempFolder folder_;
    InstalledAgent agent_;
};

}  // namespace testsupport
