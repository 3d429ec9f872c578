#pragma once
// Files, folders and a fixed-line streamer shared by the output tests.

#include "DefaultLogManager.h"
#include "LogFileSink.h"
#include "LogRecord.h"
#include "LogSink.h"
#include "Files.h"
#include "Paths.h"
#include "Process.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace output_test {

using testsupport::binaryDir;
using testsupport::exists;
using testsupport::listFolder;
using testsupport::localStamp;
using testsupport::readFile;
using testsupport::removeTree;
using testsupport::writeFile;

// Gives the sink one fixed line.
class TextStreamer : public LogUtils::ILogSinkStreamer {
public:
    explicit TextStreamer(std::string text) : text_(std::move(text)) {}
    bool stream(LogUtils::OStream<char>& out) override
    {
        out.writeBytes(text_.data(), text_.size());
        return true;
    }

private:
    std::string text_;
};

// One line through a file sink, as a section with these settings writes it.
inline bool appendLine(const std::wstring& path, const std::string& text, DWORD limit = 0x200000,
                       bool archive = true)
{
    TextStreamer streamer(text);
    return LogUtils::LogFileSink(path.c_str(), limit, archive).write(streamer);
}

inline std::wstring widen(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

inline std::string narrow(const std::wstring& text)
{
    std::string result;
    for (wchar_t c : text)
        result += static_cast<char>(c);
    return result;
}

// Waits, when it goes out of scope, until a change made to folder meanwhile
// has been reported to every watch of it. Windows reports a change to a local
// folder before the call that made it returns; Wine only once its server has
// read the file system's notice, so a record logged at once could still find
// the log manager's watch quiet. Watches of one folder are signalled together.
class FolderChangeSeen {
public:
    explicit FolderChangeSeen(const std::wstring& folder)
        : watch_(FindFirstChangeNotificationW(folder.c_str(), FALSE,
                                              FILE_NOTIFY_CHANGE_FILE_NAME |
                                                  FILE_NOTIFY_CHANGE_SIZE |
                                                  FILE_NOTIFY_CHANGE_LAST_WRITE))
    {
    }
    ~FolderChangeSeen()
    {
        // The manager listens only while it is watching when the change is made.
        const bool listening = manager().listensToFolder();
        if (watch_ != INVALID_HANDLE_VALUE) {
            WaitForSingleObject(watch_, 5000);
            FindCloseChangeNotification(watch_);
        }
        if (listening)
            awaitArrival(&DefaultLogManager::folderChangeArrived);
    }

    static DefaultLogManager& manager()
    {
        return *static_cast<DefaultLogManager*>(defaultLogManager());
    }
    // A change reaches the manager from the thread pool's wait a moment after
    // it is made; the next record applies it.
    static void awaitArrival(bool (DefaultLogManager::*arrived)() const)
    {
        for (int waited = 0; waited < 5000 && !(manager().*arrived)(); ++waited)
            Sleep(1);
    }
    FolderChangeSeen(const FolderChangeSeen&) = delete;
    FolderChangeSeen& operator=(const FolderChangeSeen&) = delete;

private:
    HANDLE watch_;
};

// Text that tells this run's lines from those of earlier runs: Wine hands
// out process ids again quickly, so the id alone does not.
inline const std::string& runMarker()
{
    static const std::string marker = [] {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        char text[48];
        snprintf(text, sizeof text, "%lx.%08lx%08lx", GetCurrentProcessId(), now.dwHighDateTime,
                 now.dwLowDateTime);
        return std::string(text);
    }();
    return marker;
}

// One registry value as it was, put back when this goes.
class SavedValue {
public:
    SavedValue(HKEY key, const wchar_t* name) : key_(key), name_(name)
    {
        DWORD size = sizeof data_;
        present_ = RegQueryValueExW(key, name, nullptr, &type_, data_, &size) == ERROR_SUCCESS;
        size_ = size;
    }
    ~SavedValue()
    {
        if (present_)
            RegSetValueExW(key_, name_, 0, type_, data_, size_);
        else
            RegDeleteValueW(key_, name_);
    }
    SavedValue(const SavedValue&) = delete;
    SavedValue& operator=(const SavedValue&) = delete;

private:
    HKEY key_;
    const wchar_t* name_;
    bool present_ = false;
    DWORD type_ = 0;
    DWORD size_ = 0;
    BYTE data_[1024];
};

// An empty folder of this name under the build tree's test output. Should
// an earlier run's folder refuse to go, this run gets a folder of its own.
inline std::wstring freshFolder(const std::wstring& name)
{
    const std::wstring root = binaryDir().wstring() + L"\\tests\\logging\\output";
    CreateDirectoryW(root.c_str(), nullptr);
    std::wstring folder = root + L"\\" + name;
    if (!removeTree(folder))
        folder += L"." + std::wstring(runMarker().begin(), runMarker().end());
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

// A folder whose cabinets are checked afterwards with cabextract
// (verify-cabinets.sh): each must hold exactly the bytes of the file of its
// name in the folder's "expected".
inline std::wstring archiveCase(const wchar_t* name)
{
    const std::wstring root = binaryDir().wstring() + L"\\tests\\logging\\output";
    CreateDirectoryW(root.c_str(), nullptr);
    CreateDirectoryW((root + L"\\archive").c_str(), nullptr);
    const std::wstring folder = freshFolder(std::wstring(L"archive\\") + name);
    CreateDirectoryW((folder + L"\\expected").c_str(), nullptr);
    return folder;
}

// The helper process built beside the tests.
inline std::wstring childProgram()
{
    return binaryDir().wstring() + L"\\tests\\logging\\LogOutputChild.exe";
}

// Runs the command as a debugged child and answers the texts it sent to the
// debugger output, in order; exitCode gets its exit code.
inline std::vector<std::string> captureDebugOutput(std::wstring command, DWORD& exitCode)
{
    const auto children = testsupport::debugChildren({std::move(command)});
    exitCode = children.empty() ? 0xFFFFFFFF : children.begin()->second.exitCode;
    return children.empty() ? std::vector<std::string>() : children.begin()->second.texts;
}

}  // namespace output_test
