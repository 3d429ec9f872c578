#include "LogFileSink.h"

#include "KeptLines.h"
#include "LogArchive.h"
#include "SafeLogFile.h"
#include "UniqueResource.h"

#include <new>
#include <string>

namespace LogUtils {

namespace {

// Writers of one log in this process take turns, so that a sharing
// violation can only come from another process. A path always meets the
// same lock; paths that share one merely wait for each other. A slim lock
// starts as zeros and owns nothing, so the table needs no set-up, no
// tear-down at unload, and nothing is allocated per line.
SRWLOCK pathLocks[64];
using Turn = orn::slim_lock_guard;
// One rotation of a path at a time in this process: a writer that finds
// one running leaves the log to it. Two would both take this second's
// stamped name, one after the other, once the first had deleted its moved
// log.
SRWLOCK rotationLocks[64];

constexpr int openAttempts = 3;
constexpr DWORD retryDelayMilliseconds = 12;

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

// Deleted through a handle verified like the append's: a name turned into a
// link since then takes nothing else with it.
void deleteLogFile(const wchar_t* path)
{
    if (const orn::unique_file file = openLogFile(path, LogFileUse::rotate))
        deleteLogFileOnClose(file.get());
}

// Appends text at the end of the file in one write; size is the file's size
// after it. False, with the last error, when it could not: a file whose end
// cannot be found is not written (at its start the text would overwrite the
// log's first lines), and a write that stores only part of the text (NTFS
// refuses the whole write on a full volume; other file systems store what
// fits) or fails is cut back to where it began, so that the log holds whole
// lines only. No other writer has the file open beside this handle, so the
// end found here and the bytes written are the size.
bool appendWhole(HANDLE file, const std::string& text, ULONGLONG& size)
{
    LARGE_INTEGER end;
    if (!SetFilePointerEx(file, LARGE_INTEGER(), &end, FILE_END))
        return false;
    DWORD written = 0;
    if (WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
        if (written == text.size()) {
            size = static_cast<ULONGLONG>(end.QuadPart) + written;
            return true;
        }
        SetLastError(ERROR_DISK_FULL);
    }
    const DWORD error = GetLastError();
    FILE_END_OF_FILE_INFO cut;
    cut.EndOfFile = end;
    SetFileInformationByHandle(file, FileEndOfFileInfo, &cut, sizeof cut);
    SetLastError(error ? error : ERROR_WRITE_FAULT);
    return false;
}

// The one way lines reach a log: line (or none) behind what is kept for
// path, in one write, the caller holding path's turn. A file held by another
// process is tried attempts times, 12 ms apart with the turn let go, unless
// one attempt is all there is. Refused: false, and the line is kept behind
// the others. size: the file's size after a write.
bool appendBehindKept(unsigned slot, const wchar_t* path, std::string&& line, int attempts,
                      Turn& turn, ULONGLONG& size)
{
    orn::unique_file file;
    for (int attempt = 1;; ++attempt) {
        file = openLogFile(path, LogFileUse::append);
        if (file)
            break;
        const DWORD error = GetLastError();
        if (error == ERROR_SHARING_VIOLATION && attempts > 1) {
            // Another process holds the file: this process's other writers,
            // of this file or of one sharing its turn, need not wait for that.
            turn.unlock();
            Sleep(retryDelayMilliseconds);
            turn.lock();
            if (attempt < attempts)
                continue;
        }
        KeptLines::keep(slot, path, std::move(line), error);
        return false;
    }
    std::string kept;
    const bool carried = KeptLines::textBefore(slot, path, line, kept);
    const std::string& text = carried ? kept : line;
    if (text.empty())
        return true;
    if (!appendWhole(file.get(), text, size)) {
        KeptLines::keep(slot, path, std::move(line), GetLastError());
        return false;
    }
    if (carried)
        KeptLines::forget(slot, path);
    return true;
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
    Turn turn(pathLocks[slot]);
    ULONGLONG size = 0;
    if (!appendBehindKept(slot, path_, std::move(line), openAttempts, turn, size))
        return false;
    turn.unlock();

    if (!isOverLimit(size, maximumSize_)) {
        return true;
    } else if (!archive_) {
        deleteLogFile(path_);
        return true;
    }
    const Turn rotating(rotationLocks[slot], Turn::mode::try_exclusive);
    if (!rotating)
        return true;
    // What the rotation found of killed ones goes into the fresh log.
    std::string notes;
    rotateLogFile(path_, &notes);
    if (!notes.empty()) {
        turn.lock();
        appendBehindKept(slot, path_, std::move(notes), openAttempts, turn, size);
    }
    return true;
}

// No rotation here: at a module's unload the cabinet library may be gone
// already; the next line written rotates the file if it is over its limit.
bool LogFileSink::writeKept(int attempts, bool letGo) noexcept
{
    if (!KeptLines::anyKept())
        return false;
    for (unsigned slot = 0; slot < sizeof pathLocks / sizeof pathLocks[0]; ++slot) {
        // A busy turn's holder writes what is kept for its own file.
        Turn turn(pathLocks[slot],
                  attempts > 1 ? Turn::mode::exclusive : Turn::mode::try_exclusive);
        if (!turn)
            continue;
        try {
            for (const std::wstring& path : KeptLines::filesOf(slot)) {
                ULONGLONG size = 0;
                if (!appendBehindKept(slot, path.c_str(), std::string(), attempts, turn, size) &&
                    letGo)
                    KeptLines::letGo(slot, path.c_str());
            }
        } catch (const std::bad_alloc&) {
            // Kept still; a later call tries again.
        }
    }
    return KeptLines::anyKept();
}

}  // namespace LogUtils
