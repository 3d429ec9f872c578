#include "LogFileSink.h"

#include "KeptLines.h"
#include "LogArchive.h"
#include "LogFileTurns.h"
#include "SafeLogFile.h"
#include "UniqueResource.h"

#include <new>
#include <string>
#include <vector>

namespace LogUtils {

namespace {

// Writers of one log in this process take turns (LogFileTurns), so that a
// sharing violation can only come from another process. A path always meets
// the same turn; paths that share one merely wait for each other.
using Turn = TurnHold;

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
    return hash % LogFileTurns::slotCount;
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

// Whoever waits for the lines of a chain learns whether they were written or
// kept, also when the write ends in an exception.
class ChainOutcome {
public:
    ChainOutcome(unsigned slot, TurnWaiter* chain) : slot_(slot), chain_(chain) {}
    ~ChainOutcome() { logFileTurns().settle(slot_, chain_, written); }
    ChainOutcome(const ChainOutcome&) = delete;
    ChainOutcome& operator=(const ChainOutcome&) = delete;
    bool written = false;

private:
    unsigned slot_;
    TurnWaiter* chain_;
};

// About half a second per file, as a line's own attempts wait.
constexpr int exitAttempts = 40;

void writeAtExit()
{
    LogFileSink::writeKept(exitAttempts, true);
}

// Keeps the chain's lines, each behind the others, refused with error.
void keepAll(unsigned slot, const wchar_t* path, TurnWaiter* chain, DWORD error)
{
    KeptLines::prepare(writeAtExit);
    if (!chain)
        KeptLines::keep(slot, path, std::string(), error);
    for (; chain; chain = chain->next)
        KeptLines::keep(slot, path, std::move(*chain->line), error);
}

// The one way lines reach a log: what is kept for path, then the lines of
// chain in their order, in one write, the caller holding path's turn. With
// self (the caller's own waiting line) the chain is instead the lines queued
// for path when the file is open, self's among them; and a caller whose line
// another writer took while the turn was let go stops. A file held by another
// process is tried attempts times, 12 ms apart with the turn let go, unless
// one attempt is all there is. True when this call wrote, size then the
// file's size after it; false when it kept the lines behind the others, or
// self was taken.
bool appendBehindKept(unsigned slot, const wchar_t* path, TurnWaiter* chain, TurnWaiter* self,
                      int attempts, Turn& turn, ULONGLONG& size)
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
            if (!turn)
                return false;  // self went out with another writer's write
            if (attempt < attempts)
                continue;
        }
        if (self)
            chain = logFileTurns().takeWaiters(slot, path);
        const ChainOutcome kept(slot, chain);
        keepAll(slot, path, chain, error);
        return false;
    }
    if (self)
        chain = logFileTurns().takeWaiters(slot, path);
    ChainOutcome outcome(slot, chain);
    // A line alone is written as it is: a single writer copies nothing.
    std::string joined;
    const std::string* lines = &joined;
    if (chain && !chain->next) {
        lines = chain->line;
    } else {
        std::size_t length = 0;
        for (const TurnWaiter* waiter = chain; waiter; waiter = waiter->next)
            length += waiter->line->size();
        joined.reserve(length);
        for (const TurnWaiter* waiter = chain; waiter; waiter = waiter->next)
            joined += *waiter->line;
    }
    std::string kept;
    const bool carried = KeptLines::textBefore(slot, path, *lines, kept);
    const std::string& text = carried ? kept : *lines;
    if (!text.empty() && !appendWhole(file.get(), text, size)) {
        keepAll(slot, path, chain, GetLastError());
        return false;
    }
    if (carried)
        KeptLines::forget(slot, path);
    outcome.written = true;
    return true;
}

// After a write that left the file at size, the caller's turn let go: over
// the limit, the file is rotated (or deleted), and what the rotation found of
// killed ones goes into the fresh log.
void rotateIfOver(unsigned slot, const wchar_t* path, ULONGLONG size, DWORD maximumSize,
                  bool archive)
{
    if (!LogFileSink::isOverLimit(size, maximumSize)) {
        return;
    } else if (!archive) {
        deleteLogFile(path);
        return;
    }
    // One rotation of a path at a time in this process: a writer that finds
    // one running leaves the log to it. Two would both take this second's
    // stamped name, one after the other, once the first had deleted its
    // moved log.
    const orn::slim_lock_guard rotating(logFileTurns().rotation(slot),
                                        orn::slim_lock_guard::mode::try_exclusive);
    if (!rotating)
        return;
    std::string notes;
    rotateLogFile(path, &notes);
    if (!notes.empty()) {
        Turn turn(slot, Turn::mode::wait);
        TurnWaiter note{path, &notes};
        appendBehindKept(slot, path, &note, nullptr, openAttempts, turn, size);
    }
}

// Writes the lines queued for log's path, in one write; with tryOnly a busy
// turn or queue is passed over. The lines that were pushed out of the queue
// are noted first.
void writePostponed(const PostponedLog& target, int attempts, bool tryOnly)
{
    LogFileTurns& turns = logFileTurns();
    const wchar_t* path = target.path.c_str();
    const unsigned slot = LogFileSink::turnOf(path);
    Turn turn(slot, tryOnly ? Turn::mode::tryOnly : Turn::mode::wait);
    PostponedLog log;
    if (!turn || !turns.takePostponed(path, log, tryOnly))
        return;
    struct Done {
        std::size_t lines;
        ~Done() { logFileTurns().postponedDone(lines); }
    } const done{log.lines.size()};
    if (log.pushedOut)
        KeptLines::countLost(slot, path, log.pushedOut);
    std::vector<TurnWaiter> chain;
    chain.reserve(log.lines.size());
    for (std::string& line : log.lines) {
        chain.push_back(TurnWaiter{path, &line});
        if (chain.size() > 1)
            chain[chain.size() - 2].next = &chain.back();
    }
    ULONGLONG size = 0;
    if (appendBehindKept(slot, path, chain.empty() ? nullptr : &chain.front(), nullptr, attempts,
                         turn, size)) {
        turn.unlock();
        rotateIfOver(slot, path, size, log.maximumSize, log.archive);
    }
}

// The background writer: one at a time, on the process's thread pool, while
// lines are queued.
void CALLBACK writeInBackground(PTP_CALLBACK_INSTANCE instance, void*)
{
    CallbackMayRunLong(instance);
    LogFileTurns& turns = logFileTurns();
    while (turns.awaitDue()) {
        try {
            for (const PostponedLog& log : turns.postponedLogs(false))
                writePostponed(log, openAttempts, false);
        } catch (const std::bad_alloc&) {
            // The lines taken are lost; the rest wait for memory.
            Sleep(retryDelayMilliseconds);
        }
    }
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

    LogFileTurns& turns = logFileTurns();
    if (writeDelay_) {
        // Made first, so that its end writes the queue at a program's exit.
        KeptLines::prepare(writeAtExit);
        if (turns.postpone(path_, maximumSize_, archive_, writeDelay_, std::move(line),
                           writeInBackground))
            return true;
    }
    const unsigned slot = turnOf(path_);
    TurnWaiter self{path_, &line};
    turns.enqueue(slot, self);
    Turn turn(slot, Turn::mode::wait, &self);
    ULONGLONG size = 0;
    if (!turn || !appendBehindKept(slot, path_, nullptr, &self, openAttempts, turn, size))
        return self.written;
    turn.unlock();
    rotateIfOver(slot, path_, size, maximumSize_, archive_);
    return true;
}

// No rotation here: at a module's unload the cabinet library may be gone
// already; the next line written rotates the file if it is over its limit.
bool LogFileSink::writeKept(int attempts, bool letGo) noexcept
{
    LogFileTurns& turns = logFileTurns();
    const bool tryOnly = attempts == 1;
    // Lines the background writer has taken are its own to finish: a
    // program's exit waits for them as for a held file.
    for (int round = 0; round < attempts && turns.anyPostponed(); ++round) {
        if (round)
            Sleep(retryDelayMilliseconds);
        try {
            for (const PostponedLog& log : turns.postponedLogs(tryOnly))
                writePostponed(log, attempts, tryOnly);
        } catch (const std::bad_alloc&) {
            // Queued still; a later call tries again.
        }
    }
    if (!KeptLines::anyKept())
        return linesWaiting();
    for (unsigned slot = 0; slot < LogFileTurns::slotCount; ++slot) {
        // A busy turn's holder writes what is kept for its own file.
        Turn turn(slot, tryOnly ? Turn::mode::tryOnly : Turn::mode::wait);
        if (!turn)
            continue;
        try {
            for (const std::wstring& path : KeptLines::filesOf(slot)) {
                ULONGLONG size = 0;
                if (!appendBehindKept(slot, path.c_str(), nullptr, nullptr, attempts, turn, size) &&
                    letGo)
                    KeptLines::letGo(slot, path.c_str());
            }
        } catch (const std::bad_alloc&) {
            // Kept still; a later call tries again.
        }
    }
    return linesWaiting();
}

bool LogFileSink::linesWaiting() noexcept
{
    return KeptLines::anyKept() || logFileTurns().anyPostponed();
}

void LogFileSink::moduleDetached(bool processExit) noexcept
{
    KeptLines::moduleDetached(processExit);
    if (!processExit)
        logFileTurns().release();
}

}  // namespace LogUtils
