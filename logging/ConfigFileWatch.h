#pragma once
// How the manager notices that "logCfg.Ini" changed: a watch on its folder,
// and the file's stamp where the watch cannot tell.

#include "UniqueResource.h"

#include <atomic>

#include <memory>
#include <string>

// Last-write times are trusted to tell two versions of "logCfg.Ini" apart only
// beyond this: FAT keeps them to 2 seconds, and a same-size rewrite within one
// tick keeps both size and time.
constexpr ULONGLONG configFileTimeGranularity = 2 * 10000000ull;

ULONGLONG fileTimeTicks(const FILETIME& time);

// The configuration file as one metadata query sees it.
struct FileStamp {
    bool exists = false;
    ULONGLONG lastWrite = 0;
    ULONGLONG size = 0;

    bool operator==(const FileStamp& other) const
    {
        return exists == other.exists && lastWrite == other.lastWrite && size == other.size;
    }
    bool operator!=(const FileStamp& other) const { return !(*this == other); }
};

FileStamp examineFile(const wchar_t* path);

// "%s\\%s" of the configuration folder and "logCfg.Ini"; empty when it does
// not fit, and the built-in table then stays in force.
std::wstring configurationFilePath(const wchar_t* folder);
// The same in the configuration folder of the process's runtime (LogRuntime.cpp).
std::wstring configurationFilePath();

using close_change_notification = orn::closer<&FindCloseChangeNotification>;

// Ends a wait registered with the thread pool, waiting for a callback under
// way, so that none runs once the module is gone. At process exit the pool's
// threads are gone already and nothing is waited for.
void endRegisteredWait(HANDLE wait);
using unique_registered_wait = orn::unique_resource<HANDLE, orn::closer<&endRegisteredWait>>;

// A change notification on the folder of "logCfg.Ini": signalled when a file
// there is created, deleted, renamed, written or resized, and so until it is
// asked for the next change. When the thread that last armed it ends, Windows
// ends its request and it fires once; the file is then only examined.
class FolderWatch {
public:
    static std::shared_ptr<FolderWatch> open(const wchar_t* folder);

    explicit FolderWatch(orn::unique_invalid_handle<close_change_notification>&& handle)
        : handle_(std::move(handle))
    {
    }

    HANDLE get() const { return handle_.get(); }

    // No change since the watch was last armed (a failed wait is not quiet).
    bool quiet() const { return WaitForSingleObject(handle_.get(), 0) == WAIT_TIMEOUT; }

    // Watches for the next change once the last one has been seen. Changes
    // recorded in between signal again at once; they happened before the
    // file is examined, so they are taken up now rather than by the next
    // record. False when the folder can no longer be watched (it was removed,
    // for one).
    bool rearm() const;

    // The next change sets *changed, from a wait of the process's thread
    // pool, so that records learn of it without a system call; once, until
    // the watch is armed again and listens again. Called by the one thread
    // that builds states. False when no wait could be registered: records
    // then ask the watch themselves.
    bool listen(std::atomic<bool>* changed);
    bool listening() const { return listening_.load(std::memory_order_relaxed); }

    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

private:
    static void CALLBACK onChange(void* context, BOOLEAN timedOut);

    orn::unique_invalid_handle<close_change_notification> handle_;
    unique_registered_wait wait_;  // ended before the notification closes
    std::atomic<bool>* changed_ = nullptr;
    std::atomic<bool> listening_{false};
};
