#include "LogFileSink.h"

#include "KeptLines.h"
#include "LogArchive.h"
#include "SafeLogFile.h"
#include "UniqueResource.h"

#include <string>

namespace LogUtils {

namespace {

// Writers of one log in this process take turns, so that a sharing
// violation can only come from another process. A path always meets the
// same lock; paths that share one merely wait for each other. A slim lock
// starts as zeros and owns nothing, so the table needs no set-up, no
// tear-down at unload, and nothing is allocated per line.
SRWLOCK pathLocks[64];

}  // namespace

unsigned LogFileSink::turnOf(const wchar_t* path)
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
    return hash % (sizeof pathLocks / sizeof pathLocks[0]);
}

namespace {

class PathTurn {
public:
    explicit PathTurn(unsigned slot) : lock_(pathLocks[slot]) { take(); }
    ~PathTurn() { end(); }
    PathTurn(const PathTurn&) = delete;
    PathTurn& operator=(const PathTurn&) = delete;

    void take()
    {
        AcquireSRWLockExclusive(&lock_);
        held_ = true;
    }
    void end()
    {
        if (held_)
            ReleaseSRWLockExclusive(&lock_);
        held_ = false;
    }

private:
    SRWLOCK& lock_;
    bool held_ = false;
};

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
    // only for one seek and one write.
    std::string line;
    line.reserve(256);
    ATLString_OStream out(line);
    streamer.stream(out);
    line.append("\r\n", 2);

    const unsigned slot = turnOf(path_);
    PathTurn turn(slot);
    orn::unique_file file;
    for (int attempt = 1;; ++attempt) {
        file.reset(openLogFile(path_, LogFileUse::append));
        if (file)
            break;
        if (GetLastError() != ERROR_SHARING_VIOLATION)
            return false;
        // Another process holds the file: this process's other writers, of
        // this file or of one sharing its turn, need not wait for that.
        turn.end();
        Sleep(retryDelayMilliseconds);
        turn.take();
        if (attempt >= openAttempts) {
            // Not lost: it goes before this process's next line to the file.
            KeptLines::keep(slot, path_, std::move(line));
            return false;
        }
    }
    // No other writer can have the file open beside this handle, so the end
    // found here and the bytes written are the size: no call to ask for it.
    LARGE_INTEGER end;
    if (!SetFilePointerEx(file.get(), LARGE_INTEGER(), &end, FILE_END)) {
        // Written at the start, the line would overwrite the log's first lines.
        KeptLines::keep(slot, path_, std::move(line));
        return false;
    }
    // Lines kept earlier go first, in the same write, and count for the size.
    KeptLines::takeInto(slot, path_, line);
    DWORD written = 0;
    WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    file.reset();
    turn.end();

    if (isOverLimit(static_cast<ULONGLONG>(end.QuadPart) + written, maximumSize_)) {
        if (archive_)
            rotateLogFile(path_);
        else
            deleteLogFile(path_);
    }
    return true;
}

}  // namespace LogUtils
