#include "LogFileTurns.h"

#include "PoolWork.h"
#include "UniqueResource.h"

#include <algorithm>
#include <new>

namespace LogUtils {

namespace {

bool samePath(const wchar_t* one, const wchar_t* other)
{
    if (one == other)
        return true;
    const std::size_t length = wcslen(one);
    return wcslen(other) == length &&
           CompareStringOrdinal(one, static_cast<int>(length), other, static_cast<int>(length),
                                TRUE) == CSTR_EQUAL;
}

using Hold = orn::slim_lock_guard;

}  // namespace

bool LogFileTurns::takeTurn(unsigned slot, const TurnWaiter* self)
{
    Slot& s = slots_[slot];
    const Hold hold(s.lock);
    while (s.taken && !(self && self->done)) {
        ++s.sleepers;
        SleepConditionVariableSRW(&s.changed, &s.lock, INFINITE, 0);
        --s.sleepers;
    }
    if (self && self->done)
        return false;
    s.taken = true;
    return true;
}

bool LogFileTurns::tryTurn(unsigned slot)
{
    // At process exit a stopped thread may hold the slot's lock for good.
    Slot& s = slots_[slot];
    const Hold hold(s.lock, Hold::mode::try_exclusive);
    if (!hold || s.taken)
        return false;
    s.taken = true;
    return true;
}

void LogFileTurns::giveTurn(unsigned slot)
{
    Slot& s = slots_[slot];
    const Hold hold(s.lock);
    s.taken = false;
    // Nobody asleep, no call: a single writer pays nothing for the wake.
    if (s.sleepers)
        WakeAllConditionVariable(&s.changed);
}

void LogFileTurns::enqueue(unsigned slot, TurnWaiter& waiter)
{
    Slot& s = slots_[slot];
    const Hold hold(s.lock);
    waiter.next = nullptr;
    (s.last ? s.last->next : s.first) = &waiter;
    s.last = &waiter;
}

TurnWaiter* LogFileTurns::takeWaiters(unsigned slot, const wchar_t* path)
{
    Slot& s = slots_[slot];
    TurnWaiter* taken = nullptr;
    TurnWaiter** tail = &taken;
    const Hold hold(s.lock);
    TurnWaiter* previous = nullptr;
    for (TurnWaiter* waiter = s.first; waiter;) {
        TurnWaiter* const next = waiter->next;
        if (samePath(waiter->path, path)) {
            (previous ? previous->next : s.first) = next;
            if (s.last == waiter)
                s.last = previous;
            waiter->next = nullptr;
            *tail = waiter;
            tail = &waiter->next;
        } else {
            previous = waiter;
        }
        waiter = next;
    }
    return taken;
}

void LogFileTurns::settle(unsigned slot, TurnWaiter* chain, bool written)
{
    Slot& s = slots_[slot];
    const Hold hold(s.lock);
    for (; chain; chain = chain->next) {
        chain->written = written;
        chain->done = true;
    }
    if (s.sleepers)
        WakeAllConditionVariable(&s.changed);
}

bool LogFileTurns::postpone(const wchar_t* path, DWORD maximumSize, bool archive, DWORD delay,
                            std::string&& line, PTP_SIMPLE_CALLBACK writer)
{
    const ULONGLONG due = GetTickCount64() + delay;
    bool start = false, wake = false;
    {
        const Hold hold(postponedLock_);
        if (!postponed_) {
            // Made by the first postponed line: a process that never uses
            // the key starts nothing.
            wake_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
            postponed_ = wake_ ? new (std::nothrow) std::vector<PostponedLog> : nullptr;
            if (!postponed_) {
                if (wake_)
                    CloseHandle(wake_);
                wake_ = nullptr;
                return false;
            }
        }
        auto log =
            std::find_if(postponed_->begin(), postponed_->end(),
                         [&](const PostponedLog& log) { return samePath(log.path.c_str(), path); });
        if (log == postponed_->end()) {
            postponed_->emplace_back();
            log = postponed_->end() - 1;
            log->path = path;
            log->maximumSize = maximumSize;
            log->archive = archive;
        }
        // The writer waits for the earliest due line: a new one sooner than
        // that wakes it to wait again.
        if (log->lines.empty() || due < log->due) {
            log->due = due;
            wake = true;
        }
        const std::size_t size = line.size();
        log->lines.push_back(std::move(line));
        log->bytes += size;
        wake = wake || (postponedBytes_ < batchBytes && postponedBytes_ + size >= batchBytes);
        postponedBytes_ += size;
        ++waitingLines_;
        while (postponedBytes_ > postponedBound && log->lines.size() > 1) {
            const std::size_t oldest = log->lines.front().size();
            log->lines.pop_front();
            log->bytes -= oldest;
            postponedBytes_ -= oldest;
            ++log->pushedOut;
            --waitingLines_;
        }
        if (!writing_)
            start = writing_ = true;
    }
    if (start && !orn::submitHoldingModule(writer, nullptr)) {
        // The next line, or the unload's writing, tries again.
        const Hold hold(postponedLock_);
        writing_ = false;
    } else if (!start && wake) {
        SetEvent(wake_);
    }
    return true;
}

bool LogFileTurns::awaitDue()
{
    for (;;) {
        DWORD wait = 0;
        {
            const Hold hold(postponedLock_);
            if (postponed_->empty()) {
                writing_ = false;
                return false;
            }
            ULONGLONG first = postponed_->front().due;
            for (const PostponedLog& log : *postponed_)
                first = std::min(first, log.due);
            const ULONGLONG now = GetTickCount64();
            if (first <= now || postponedBytes_ >= batchBytes)
                return true;
            wait = static_cast<DWORD>(first - now);
        }
        WaitForSingleObject(wake_, wait);
    }
}

std::vector<PostponedLog> LogFileTurns::postponedLogs(bool tryOnly)
{
    std::vector<PostponedLog> logs;
    const Hold hold(postponedLock_, tryOnly ? Hold::mode::try_exclusive : Hold::mode::exclusive);
    if (!hold || !postponed_)
        return logs;
    logs.reserve(postponed_->size());
    for (const PostponedLog& log : *postponed_) {
        logs.emplace_back();
        logs.back().path = log.path;
        logs.back().maximumSize = log.maximumSize;
        logs.back().archive = log.archive;
    }
    return logs;
}

bool LogFileTurns::takePostponed(const wchar_t* path, PostponedLog& log, bool tryOnly)
{
    const Hold hold(postponedLock_, tryOnly ? Hold::mode::try_exclusive : Hold::mode::exclusive);
    if (!hold || !postponed_)
        return false;
    const auto found =
        std::find_if(postponed_->begin(), postponed_->end(),
                     [&](const PostponedLog& each) { return samePath(each.path.c_str(), path); });
    if (found == postponed_->end())
        return false;
    postponedBytes_ -= found->bytes;
    log = std::move(*found);
    postponed_->erase(found);
    // Emptied by an unload's writing: the writer ends now, and with it the
    // hold its pool keeps on the module.
    if (postponed_->empty() && writing_)
        SetEvent(wake_);
    return true;
}

void LogFileTurns::release()
{
    const Hold hold(postponedLock_);
    delete postponed_;
    postponed_ = nullptr;
    postponedBytes_ = 0;
    if (wake_)
        CloseHandle(wake_);
    wake_ = nullptr;
}

LogFileTurns& logFileTurns()
{
    // Constant: made before any code runs, never destroyed.
    static LogFileTurns turns;
    return turns;
}

}  // namespace LogUtils
