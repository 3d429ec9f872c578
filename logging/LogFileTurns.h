#pragma once
// What the file sinks of a process share: the writers' turns, one per slot
// of log paths, with the lines that wait for them; the rotations under way;
// and the lines of sections with a "writedelay", queued for the background
// writer. Kept lines have their own store (KeptLines.h).
//
// Made before any code runs (all zeros) and never torn down but for the
// background writer's memory, given back at a module's unload.

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <deque>
#include <string>
#include <vector>

namespace LogUtils {

// A line waiting for its log's turn, on its writer's stack. Whoever holds the
// turn and opens the log takes it along and settles it; its writer then
// returns without the turn.
struct TurnWaiter {
    const wchar_t* path;
    std::string* line;
    TurnWaiter* next = nullptr;
    bool done = false;  // written, or kept
    bool written = false;
};

// A log with lines for the background writer.
struct PostponedLog {
    std::wstring path;
    DWORD maximumSize = 0;
    bool archive = true;
    std::deque<std::string> lines;
    std::size_t bytes = 0;
    unsigned long pushedOut = 0;  // since the writer last took its lines
    ULONGLONG due = 0;  // when its oldest line must be written
};

class LogFileTurns {
public:
    static constexpr unsigned slotCount = 64;
    // Postponed lines of all logs together; past it a log loses its oldest.
    static constexpr std::size_t postponedBound = 1024 * 1024;
    // Queued this much, the writer does not wait for the delay.
    static constexpr std::size_t batchBytes = 64 * 1024;

    constexpr LogFileTurns() = default;
    LogFileTurns(const LogFileTurns&) = delete;
    LogFileTurns& operator=(const LogFileTurns&) = delete;

    // Writers of one path in this process take turns; paths of the same slot
    // wait for each other's open, seek and write. Waiting, a writer with a
    // line queued (self) stops once the holder settled it: false, the turn
    // not taken.
    bool takeTurn(unsigned slot, const TurnWaiter* self = nullptr);
    // Takes the turn only when it is free, waiting for nothing (not even for
    // the moment another thread looks at it).
    bool tryTurn(unsigned slot);
    void giveTurn(unsigned slot);
    // One rotation of a path at a time in this process.
    SRWLOCK& rotation(unsigned slot) { return slots_[slot].rotation; }

    // Before the turn is asked for: the holder may take the line along.
    void enqueue(unsigned slot, TurnWaiter& waiter);
    // The waiting lines of path (ignoring case), in arrival order, chained
    // and out of the queue. The caller holds the slot's turn.
    TurnWaiter* takeWaiters(unsigned slot, const wchar_t* path);
    // Marks the lines of chain written or kept and lets their writers go.
    // The caller holds the turn and touches the chain no more.
    void settle(unsigned slot, TurnWaiter* chain, bool written);

    // Queues a line for the background writer, started by writer on the
    // process's thread pool when none runs. False when it could not be
    // queued (the caller writes it itself).
    bool postpone(const wchar_t* path, DWORD maximumSize, bool archive, DWORD delay,
                  std::string&& line, PTP_SIMPLE_CALLBACK writer);
    // The writer's wait: until the first due line, a full batch or a hurry.
    // False, the writer then ending, once nothing is postponed.
    bool awaitDue();
    // The logs with postponed lines (copies without their lines); with
    // tryOnly, none when another thread holds the queues.
    std::vector<PostponedLog> postponedLogs(bool tryOnly);
    // Moves the postponed lines of path and the count of those pushed out
    // into log; the caller holds the path's turn, so a later taker writes
    // after it. False when none are postponed.
    bool takePostponed(const wchar_t* path, PostponedLog& log, bool tryOnly);
    // Taken lines written or kept: they wait no longer.
    void postponedDone(std::size_t lines) { waitingLines_ -= lines; }
    // Whether lines are postponed or being written, or the writer runs: a
    // module whose writer runs goes only on the pool's thread, once the
    // writer returns.
    bool anyPostponed() const { return waitingLines_.load() != 0 || writing_.load(); }

    // At a module's unload: the writer's memory given back.
    void release();

private:
    struct Slot {
        SRWLOCK lock = SRWLOCK_INIT;  // guards the rest but rotation
        CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
        bool taken = false;  // the turn
        unsigned sleepers = 0;
        TurnWaiter* first = nullptr;
        TurnWaiter* last = nullptr;
        SRWLOCK rotation = SRWLOCK_INIT;
    };
    Slot slots_[slotCount] = {};

    SRWLOCK postponedLock_ = SRWLOCK_INIT;
    std::vector<PostponedLog>* postponed_ = nullptr;
    std::size_t postponedBytes_ = 0;
    HANDLE wake_ = nullptr;
    std::atomic<bool> writing_{false};
    std::atomic<std::size_t> waitingLines_{0};
};

// The process's one set.
LogFileTurns& logFileTurns();

// Holds a slot's turn while it lives, as orn::slim_lock_guard holds a lock.
class TurnHold {
public:
    enum class mode { wait, tryOnly };
    // With self (queued), no turn is taken once self is settled.
    TurnHold(unsigned slot, mode how, const TurnWaiter* self = nullptr) : slot_(slot), self_(self)
    {
        held_ = how == mode::tryOnly ? logFileTurns().tryTurn(slot)
                                     : logFileTurns().takeTurn(slot, self);
    }
    ~TurnHold() { unlock(); }
    TurnHold(const TurnHold&) = delete;
    TurnHold& operator=(const TurnHold&) = delete;

    explicit operator bool() const { return held_; }
    void lock() { held_ = logFileTurns().takeTurn(slot_, self_); }
    void unlock()
    {
        if (held_)
            logFileTurns().giveTurn(slot_);
        held_ = false;
    }

private:
    unsigned slot_;
    const TurnWaiter* self_;
    bool held_ = false;
};

}  // namespace LogUtils
