#include "ConfigFileWatch.h"

#include <cwchar>

ULONGLONG fileTimeTicks(const FILETIME& time)
{
    return static_cast<ULONGLONG>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
}

FileStamp examineFile(const wchar_t* path)
{
    FileStamp stamp;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data))
        return stamp;
    stamp.exists = true;
    stamp.lastWrite = fileTimeTicks(data.ftLastWriteTime);
    stamp.size = static_cast<ULONGLONG>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
    return stamp;
}

std::wstring configurationFilePath(const wchar_t* folder)
{
    wchar_t path[MAX_PATH + 1];
    const int length = std::swprintf(path, MAX_PATH + 1, L"%ls\\%ls", folder, L"logCfg.Ini");
    return length > 0 ? std::wstring(path, static_cast<std::size_t>(length)) : std::wstring();
}

std::shared_ptr<FolderWatch> FolderWatch::open(const wchar_t* folder)
{
    orn::unique_invalid_handle<close_change_notification> handle(FindFirstChangeNotificationW(
        folder, FALSE,
        FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE));
    if (!handle)
        return nullptr;
    return std::make_shared<FolderWatch>(std::move(handle));
}

bool FolderWatch::rearm() const
{
    for (int round = 0; round < 4 && !quiet(); ++round) {
        if (!FindNextChangeNotification(handle_.get()))
            return false;
    }
    return true;
}

bool FolderWatch::listen(std::atomic<bool>* changed)
{
    if (listening())
        return true;
    wait_.reset();
    changed_ = changed;
    listening_ = true;
    HANDLE wait = nullptr;
    if (!RegisterWaitForSingleObject(&wait, handle_.get(), onChange, this, INFINITE,
                                     WT_EXECUTEONLYONCE | WT_EXECUTEINWAITTHREAD)) {
        listening_ = false;
        return false;
    }
    wait_.reset(wait);
    return true;
}

void CALLBACK FolderWatch::onChange(void* context, BOOLEAN)
{
    auto* watch = static_cast<FolderWatch*>(context);
    // Not listening first: the thread that takes the change up listens anew.
    watch->listening_ = false;
    watch->changed_->store(true);
}

void endRegisteredWait(HANDLE wait)
{
    using ShutdownQuery = BOOLEAN(WINAPI*)();
    static const auto shuttingDown = reinterpret_cast<ShutdownQuery>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlDllShutdownInProgress")));
    if (shuttingDown && shuttingDown())
        return;
    UnregisterWaitEx(wait, INVALID_HANDLE_VALUE);
}
