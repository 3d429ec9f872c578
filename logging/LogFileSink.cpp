#include "LogFileSink.h"

#include "LogArchive.h"
#include "SafeLogFile.h"
#include "UniqueResource.h"

#include <sddl.h>

#include <new>
#include <string>

namespace LogUtils {

namespace {

// LocalSystem: generic all and every standard right; Everyone: generic all
// and read control. Only the access list: no owner, no group.
constexpr wchar_t logFileAccess[] = L"D:(A;;0x101f0000;;;SY)(A;;0x10020000;;;WD)";

class LogFileSecurity {
public:
    LogFileSecurity() : attributes_()
    {
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
                logFileAccess, SDDL_REVISION_1, descriptor_.put(), nullptr)) {
            // Throwing leaves the process-wide object unmade, so the next
            // file open tries again.
            if (GetLastError() == ERROR_NOT_ENOUGH_MEMORY)
                throw std::bad_alloc();
            return;
        }
        attributes_.nLength = sizeof attributes_;
        attributes_.lpSecurityDescriptor = descriptor_.get();
        attributes_.bInheritHandle = FALSE;
    }
    LogFileSecurity(const LogFileSecurity&) = delete;
    LogFileSecurity& operator=(const LogFileSecurity&) = delete;

    SECURITY_ATTRIBUTES* attributes() { return descriptor_ ? &attributes_ : nullptr; }

private:
    SECURITY_ATTRIBUTES attributes_;
    orn::unique_hlocal descriptor_;
};

// Writers of one log in this process take turns, so that a sharing
// violation can only come from another process. A path always meets the
// same lock; paths that share one merely wait for each other. A slim lock
// starts as zeros and owns nothing, so the table needs no set-up, no
// tear-down at unload, and nothing is allocated per line.
SRWLOCK pathLocks[64];

SRWLOCK& lockForPath(const wchar_t* path)
{
    // FNV-1a over the path with ASCII case and separators folded, as the file
    // system compares names.
    unsigned hash = 2166136261u;
    for (const wchar_t* p = path; *p; ++p) {
        wchar_t c = *p;
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - L'a' + L'A');
        else if (c == L'/')
            c = L'\\';
        hash = (hash ^ c) * 16777619u;
    }
    return pathLocks[hash % (sizeof pathLocks / sizeof pathLocks[0])];
}

class PathTurn {
public:
    explicit PathTurn(const wchar_t* path) : lock_(&lockForPath(path))
    {
        AcquireSRWLockExclusive(lock_);
    }
    ~PathTurn() { end(); }
    PathTurn(const PathTurn&) = delete;
    PathTurn& operator=(const PathTurn&) = delete;

    void end()
    {
        if (lock_)
            ReleaseSRWLockExclusive(lock_);
        lock_ = nullptr;
    }

private:
    SRWLOCK* lock_;
};

}  // namespace

SECURITY_ATTRIBUTES* logFileSecurityAttributes()
{
    static LogFileSecurity security;
    return security.attributes();
}

namespace {

// Deleted through a handle verified like the append's: a name turned into a
// link since then takes nothing else with it.
void deleteLogFile(const wchar_t* path)
{
    orn::unique_file file(openLogFile(path, LogFileUse::rotate));
    if (file)
        deleteLogFileOnClose(file.get());
}

}  // namespace

bool LogFileSink::write(ILogSinkStreamer& streamer)
{
    // The line is complete before the file is opened, so other writers wait
    // only for one seek, one write and one size query.
    std::string line;
    line.reserve(256);
    ATLString_OStream out(line);
    streamer.stream(out);
    line.append("\r\n", 2);

    SECURITY_ATTRIBUTES* security = logFileSecurityAttributes();
    PathTurn turn(path_);
    orn::unique_file file;
    for (int attempt = 1;; ++attempt) {
        file.reset(openLogFile(path_, LogFileUse::append, security));
        if (file)
            break;
        if (GetLastError() != ERROR_SHARING_VIOLATION)
            return false;
        Sleep(retryDelayMilliseconds);
        if (attempt >= openAttempts)
            return false;
    }

    SetFilePointer(file.get(), 0, nullptr, FILE_END);
    DWORD written = 0;
    WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    LARGE_INTEGER size;
    const bool sized = GetFileSizeEx(file.get(), &size) != FALSE;
    file.reset();
    turn.end();

    if (sized && isOverLimit(static_cast<ULONGLONG>(size.QuadPart), maximumSize_)) {
        if (archive_)
            rotateLogFile(path_);
        else
            deleteLogFile(path_);
    }
    return true;
}

}  // namespace LogUtils
