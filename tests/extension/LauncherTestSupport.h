#pragma once
// Shared by the platform-probe, launcher and menu-string tests: real registry
// keys staged and put back, real folders, the agent stand-in, and the lines
// this process wrote to the real log files.

#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "LogRecord.h"
#include "ProductKeys.h"
#include "UniqueResource.h"

namespace testsupport {

namespace fs = std::filesystem;

inline std::string env(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

// The prefix is 64-bit Windows; the process runs under WoW64 there only when
// it is of the 32-bit build.
inline bool onWow64Prefix() { return env("ORN_PREFIX") != "wine32"; }
inline constexpr bool is64BitBuild() { return sizeof(void*) == 8; }
inline bool underWow64() { return !is64BitBuild() && onWow64Prefix(); }
// The subkey of a type library's registration that names this build's file.
inline const wchar_t* typeLibPlatform() { return is64BitBuild() ? L"win64" : L"win32"; }

// A Linux path of the build tree as Wine's Z: drive shows it.
inline std::wstring windowsPath(const std::string& linuxPath)
{
    std::wstring result = L"Z:";
    for (char c : linuxPath)
        result += c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
    return result;
}

// The build tree: ORN_BINARY_DIR, or else two levels above this test program
// (tests/<subsystem>/Name.exe).
inline fs::path binaryDir()
{
    const std::string fromEnvironment = env("ORN_BINARY_DIR");
    if (!fromEnvironment.empty())
        return windowsPath(fromEnvironment);
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    return fs::path(self).parent_path().parent_path().parent_path();
}

inline fs::path agentStandIn() { return binaryDir() / L"tools" / L"agent" / L"zuAgtSvc.exe"; }

inline std::wstring uniqueSuffix()
{
    static int counter = 0;
    return std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
}

// A folder below the temporary folder, removed with its contents at the end.
class TempFolder {
public:
    explicit TempFolder(const std::wstring& prefix)
    {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        path_ = fs::path(temp) / (prefix + uniqueSuffix());
        fs::create_directories(path_);
    }
    ~TempFolder()
    {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const fs::path& path() const { return path_; }
    std::wstring str() const { return path_.wstring(); }

private:
    fs::path path_;
};

inline void writeBytes(const fs::path& file, const void* data, size_t size)
{
    fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

inline void writeText(const fs::path& file, const std::string& text)
{
    writeBytes(file, text.data(), text.size());
}

// UTF-16LE with its byte-order mark, the form of a Unicode profile file.
inline void writeUnicodeText(const fs::path& file, const std::wstring& text)
{
    std::wstring withMark = L"\xFEFF" + text;
    writeBytes(file, withMark.data(), withMark.size() * sizeof(wchar_t));
}

// HKEY_LOCAL_MACHINE keys are staged in the product's view, as its 32-bit
// installer writes them, unless a test names another view.
inline bool keyExists(HKEY root, const std::wstring& path, REGSAM view)
{
    orn::unique_hkey key;
    return RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, key.put()) == ERROR_SUCCESS;
}
inline bool keyExists(HKEY root, const std::wstring& path)
{
    return keyExists(root, path, ProductView(root));
}

// RegDeleteTreeW knows no views: the key's contents go through a handle
// opened in the view, the key itself through RegDeleteKeyExW.
inline void deleteTree(HKEY root, const std::wstring& path, REGSAM view)
{
    orn::unique_hkey key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_ALL_ACCESS | view, key.put()) != ERROR_SUCCESS)
        return;
    RegDeleteTreeW(key.get(), nullptr);
    key.reset();
    RegDeleteKeyExW(root, path.c_str(), view, 0);
}

inline void setStringInView(HKEY root, const std::wstring& path, const wchar_t* name,
                            const std::wstring& value, REGSAM view, DWORD type = REG_SZ)
{
    orn::unique_hkey key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view,
                                             nullptr, key.put(), nullptr));
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExW(key.get(), name, 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))));
}

inline void setString(HKEY root, const std::wstring& path, const wchar_t* name,
                      const std::wstring& value, DWORD type = REG_SZ)
{
    setStringInView(root, path, name, value, ProductView(root), type);
}

inline void createKey(HKEY root, const std::wstring& path)
{
    orn::unique_hkey key;
    ASSERT_EQ(ERROR_SUCCESS, CreateProductKey(root, path.c_str(), KEY_ALL_ACCESS, key.put()));
}

// Empties registry keys for one test and puts back what was there before:
// each key's tree is copied aside and deleted, and on destruction the keys
// are deleted again, the copies restored and every ancestor this test had to
// create removed.
class RegistryStage {
public:
    RegistryStage(HKEY root, std::vector<std::wstring> paths)
        : RegistryStage(root, std::move(paths), ProductView(root))
    {
    }
    RegistryStage(HKEY root, std::vector<std::wstring> paths, REGSAM view) : root_(root), view_(view)
    {
        for (const std::wstring& path : paths) {
            Entry entry{path, L"", L""};
            entry.topMissing = topMissingAncestor(path);
            if (keyExists(root_, path, view_)) {
                entry.backup = L"Software\\OrnTestBackup\\" + uniqueSuffix();
                orn::unique_hkey source, backup;
                RegOpenKeyExW(root_, path.c_str(), 0, KEY_READ | view_, source.put());
                RegCreateKeyExW(HKEY_CURRENT_USER, entry.backup.c_str(), 0, nullptr, 0,
                                KEY_ALL_ACCESS, nullptr, backup.put(), nullptr);
                EXPECT_EQ(ERROR_SUCCESS, RegCopyTreeW(source.get(), nullptr, backup.get()));
                deleteTree(root_, path, view_);
            }
            entries_.push_back(entry);
        }
    }
    ~RegistryStage()
    {
        for (auto entry = entries_.rbegin(); entry != entries_.rend(); ++entry) {
            deleteTree(root_, entry->path, view_);
            if (!entry->backup.empty()) {
                orn::unique_hkey target, backup;
                RegCreateKeyExW(root_, entry->path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view_,
                                nullptr, target.put(), nullptr);
                RegOpenKeyExW(HKEY_CURRENT_USER, entry->backup.c_str(), 0, KEY_READ, backup.put());
                RegCopyTreeW(backup.get(), nullptr, target.get());
                RegDeleteTreeW(HKEY_CURRENT_USER, entry->backup.c_str());
            }
            if (!entry->topMissing.empty())
                deleteTree(root_, entry->topMissing, view_);
        }
        RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\OrnTestBackup");
    }
    RegistryStage(const RegistryStage&) = delete;
    RegistryStage& operator=(const RegistryStage&) = delete;

private:
    struct Entry {
        std::wstring path;
        std::wstring backup;
        std::wstring topMissing;
    };

    std::wstring topMissingAncestor(const std::wstring& path) const
    {
        for (size_t end = path.find(L'\\'); end != std::wstring::npos;
             end = path.find(L'\\', end + 1)) {
            if (!keyExists(root_, path.substr(0, end), view_))
                return path.substr(0, end);
        }
        return L"";
    }

    HKEY root_;
    REGSAM view_;
    std::vector<Entry> entries_;
};

// The product's keys, emptied for one test: the installation in both paths
// (under WoW64 and for a 64-bit process these are one key), its copy in the
// 64-bit view, which the 64-bit build must not read, and the current user's
// language choice.
class ProductRegistry {
public:
    ProductRegistry()
        : machine_(HKEY_LOCAL_MACHINE, {L"SOFTWARE\\Quarvel\\Hollowmere",
                                        L"SOFTWARE\\Wow6432Node\\Quarvel\\Hollowmere"}),
          machine64_(HKEY_LOCAL_MACHINE, {L"SOFTWARE\\Quarvel\\Hollowmere"}, KEY_WOW64_64KEY),
          user_(HKEY_CURRENT_USER, {L"SOFTWARE\\Quarvel\\Hollowmere\\DesktopUI"})
    {
    }

private:
    RegistryStage machine_;
    RegistryStage machine64_;
    RegistryStage user_;
};

// The agent stand-in installed as <install>\Agent\zuAgtSvc.exe; it writes
// its command line to zuAgtSvc.cmdline beside itself.
class InstalledAgent {
public:
    explicit InstalledAgent(const fs::path& installDir)
        : exe_(installDir / L"Agent" / L"zuAgtSvc.exe"), record_(installDir / L"Agent" / L"zuAgtSvc.cmdline")
    {
        fs::create_directories(exe_.parent_path());
        fs::copy_file(agentStandIn(), exe_, fs::copy_options::overwrite_existing);
    }
    const fs::path& exe() const { return exe_; }

    // The command line of the agent's latest start, or empty when none came
    // within the time given.
    std::wstring awaitCommandLine(std::chrono::milliseconds patience = std::chrono::seconds(20)) const
    {
        const auto deadline = std::chrono::steady_clock::now() + patience;
        do {
            if (fs::exists(record_)) {
                std::ifstream in(record_, std::ios::binary);
                std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
                return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        } while (std::chrono::steady_clock::now() < deadline);
        return L"";
    }

    // Nothing started within a grace period long enough for a launched
    // stand-in to have written its record.
    bool staysIdle() const { return awaitCommandLine(std::chrono::seconds(3)).empty(); }

private:
    fs::path exe_;
    fs::path record_;
};

inline std::wstring logFolder()
{
    wchar_t common[MAX_PATH];
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, common)))
        return L"";
    return std::wstring(common) + L"\\Quarvel\\Tessaline\\Logs";
}

// Until the process-wide log manager exists, records go nowhere and log
// assertions have nothing to look at.
inline bool logsReachFiles() { return defaultLogManager() != nullptr; }

#define SKIP_WITHOUT_LOG_FILES()                                                    \
    do {                                                                            \
        if (!testsupport::logsReachFiles())                                         \
            GTEST_SKIP() << "records reach no log file in this build";              \
    } while (0)

// What this process appends to the log files from construction on.
class LogWatch {
public:
    LogWatch() : folder_(logFolder())
    {
        for (const auto& file : logFiles())
            sizes_[file.first] = file.second;
    }

    // Names of the log files that got a line of this process with message.
    std::set<std::wstring> filesWith(const std::string& message) const
    {
        char pid[16];
        snprintf(pid, sizeof pid, ":%lx ", GetCurrentProcessId());
        const std::string wanted = pid + message;
        std::set<std::wstring> result;
        for (const auto& file : logFiles()) {
            if (appended(file.first, file.second).find(wanted) != std::string::npos)
                result.insert(file.first);
        }
        return result;
    }

private:
    std::map<std::wstring, uintmax_t> logFiles() const
    {
        std::map<std::wstring, uintmax_t> files;
        std::error_code error;
        for (fs::directory_iterator it(folder_, error), end; !error && it != end; it.increment(error)) {
            if (it->path().extension() == L".log")
                files[it->path().filename().wstring()] = fs::file_size(it->path(), error);
        }
        return files;
    }

    std::string appended(const std::wstring& name, uintmax_t size) const
    {
        auto before = sizes_.find(name);
        // A file that shrank was archived and started again.
        uintmax_t from = before == sizes_.end() || before->second > size ? 0 : before->second;
        orn::unique_file file(CreateFileW((folder_ + L"\\" + name).c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
        if (!file || size <= from)
            return "";
        std::string text(static_cast<size_t>(size - from), '\0');
        LARGE_INTEGER offset;
        offset.QuadPart = static_cast<LONGLONG>(from);
        DWORD read = 0;
        SetFilePointerEx(file.get(), offset, nullptr, FILE_BEGIN);
        ReadFile(file.get(), &text[0], static_cast<DWORD>(text.size()), &read, nullptr);
        text.resize(read);
        return text;
    }

    std::wstring folder_;
    std::map<std::wstring, uintmax_t> sizes_;
};

// Levels 0 to 5 land in the notices file and in the one log of the current
// activity; level 6 only in the activity log.
inline void expectNotice(const LogWatch& watch, const std::string& message)
{
    const auto files = watch.filesWith(message);
    EXPECT_EQ(2u, files.size()) << message;
    EXPECT_EQ(1u, files.count(L"zuNotices.log")) << message;
}

inline void expectInfo(const LogWatch& watch, const std::string& message)
{
    const auto files = watch.filesWith(message);
    EXPECT_EQ(1u, files.size()) << message;
    EXPECT_EQ(0u, files.count(L"zuNotices.log")) << message;
}

inline void expectNoLine(const LogWatch& watch, const std::string& message)
{
    EXPECT_TRUE(watch.filesWith(message).empty()) << message;
}

}  // namespace testsupport
