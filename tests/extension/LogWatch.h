#pragma once
// The lines written to the product's real log files while a test runs.

#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "Paths.h"
#include "UniqueResource.h"

namespace testsupport {

inline std::wstring logFolder()
{
    wchar_t common[MAX_PATH];
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, common)))
        return L"";
    return std::wstring(common) + L"\\Quarvel\\Tessaline\\Logs";
}

// What is appended to the log files from construction on.
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
