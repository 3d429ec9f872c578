#pragma once
// Where a test program runs: the platform under it, the build tree as Wine
// shows it, names no other run uses, and folders that go away again. No
// GoogleTest here: the helper processes of the tests use it too.

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

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

// A Linux path of the build tree as Wine's Z: drive shows it.
inline std::wstring windowsPath(const std::string& linuxPath)
{
    std::wstring result = L"Z:";
    for (char c : linuxPath)
        result += c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
    return result;
}

// The build tree: ORN_BINARY_DIR, or else two levels above this program
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

inline std::wstring uniqueSuffix()
{
    static std::atomic<unsigned> counter{0};
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

}  // namespace testsupport
