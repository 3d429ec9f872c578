#include "SyslogStream.h"

#include "StreamConnection.h"
#include "PoolWork.h"
#include "UniqueResource.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <utility>
#include <vector>

namespace LogUtils {

namespace {

// Why lines went unsent, in the order their notes are given.
enum Cause { unreachable, refused, tooSlow, causeCount };
const char* const causeTexts[causeCount] = {"the collector was unreachable",
                                            "the TLS handshake with the collector failed",
                                            "the collector did not keep up"};

// An address that never answers holds the sender this long per attempt.
constexpr DWORD connectMilliseconds = 5000;
constexpr DWORD acknowledgeMilliseconds = 10000;
constexpr DWORD firstRetryMilliseconds = 100;
constexpr DWORD lastRetryMilliseconds = 5000;
constexpr std::size_t batchBytes = 64 * 1024;
// TCP has no acknowledgement: a collector that stops may drop what it had
// not yet read. Lines written this recently before a connection is found
// closed are sent again on the next one (a collector may then take them
// twice).
constexpr ULONGLONG unconfirmedMilliseconds = 1000;

enum class Ending { notYet, unload, processExit };
std::atomic<Ending> ending{Ending::notYet};
std::atomic<bool> streamsUsed{false};

class TextStreamer : public ILogSinkStreamer {
public:
    explicit TextStreamer(const char* text) : text_(text) {}
    bool stream(OStream<char>& out) override
    {
        out.writeString(text_);
        return true;
    }

private:
    const char* text_;
};

class StreamSender {
public:
    explicit StreamSender(const StreamDestination& destination)
        : destination_(destination), wake_(CreateEventW(nullptr, FALSE, FALSE, nullptr))
    {
    }

    bool serves(const StreamDestination& other) const
    {
        return destination_.transport == other.transport && destination_.format == other.format &&
               destination_.port == other.port && destination_.queueBytes == other.queueBytes &&
               destination_.server == other.server && destination_.ca == other.ca &&
               destination_.serverName == other.serverName;
    }

    // The caller's side: a copy into the queue, the sender started if idle.
    void push(std::string&& message)
    {
        {
            orn::slim_lock_guard hold(lock_);
            givenUp_ = false;
            queued_ += message.size();
            queue_.push_back(std::move(message));
            trimToBound();
            if (running_ || queue_.empty())
                return;
            running_ = true;
        }
        start();
    }

    bool idle()
    {
        orn::slim_lock_guard hold(lock_, orn::slim_lock_guard::mode::shared);
        return !running_ && queue_.empty();
    }

    // Counts what is queued or was pushed out on the debugger output, as lost
    // when, and forgets it; a sender waiting to retry stops.
    void giveUp(const char* when)
    {
        std::size_t counts[causeCount];
        {
            orn::slim_lock_guard hold(lock_);
            takeLost(counts);
            counts[currentCause()] += queue_.size();
            queue_.clear();
            queued_ = 0;
            givenUp_ = true;
        }
        SetEvent(wake_.get());
        for (int cause = 0; cause < causeCount; ++cause) {
            if (!counts[cause])
                continue;
            char text[512];
            std::snprintf(text, sizeof text,
                          "Logging: %u lines for the collector %ls://%ls:%u lost %s: %s\n",
                          static_cast<unsigned>(counts[cause]),
                          syslogTransportName(destination_.transport), destination_.server.c_str(),
                          static_cast<unsigned>(destination_.port), when, causeTexts[cause]);
            OutputDebugStringA(text);
        }
    }

private:
    // Under the lock: the oldest lines go while the queue is over its bound.
    void trimToBound()
    {
        while (queued_ > destination_.queueBytes && !queue_.empty()) {
            queued_ -= queue_.front().size();
            queue_.pop_front();
            ++lost_[currentCause()];
        }
    }

    // Under the lock: the counts of lines lost since the last note.
    void takeLost(std::size_t (&counts)[causeCount])
    {
        std::copy(std::begin(lost_), std::end(lost_), counts);
        std::fill(std::begin(lost_), std::end(lost_), 0);
    }

    // Why lines that go now go.
    Cause currentCause() const
    {
        return connected_ ? tooSlow : handshakeFailed_ ? refused : unreachable;
    }

    void start()
    {
        if (!orn::submitHoldingModule(&StreamSender::run, this)) {
            // The next line tries again.
            orn::slim_lock_guard hold(lock_);
            running_ = false;
        }
    }

    static void CALLBACK run(PTP_CALLBACK_INSTANCE instance, void* sender)
    {
        CallbackMayRunLong(instance);
        static_cast<StreamSender*>(sender)->send();
    }

    void send()
    {
        DWORD retry = firstRetryMilliseconds;
        for (;;) {
            // A collector that speaks while nothing is awaited is closing.
            if (!connection_.isOpen() || connection_.peerSpoke()) {
                connected_ = false;
                connection_.close();
                sendAgainUnconfirmed();
                if (!connect()) {
                    if (!waitToRetry(retry))
                        return;
                    retry = std::min(retry * 2, lastRetryMilliseconds);
                    continue;
                }
                retry = firstRetryMilliseconds;
                connected_ = true;
            }
            std::vector<std::string> batch;
            if (!take(batch))
                return;
            if (!deliver(batch)) {
                connection_.close();
                connected_ = false;
                putBack(batch);
                sendAgainUnconfirmed();
            }
        }
    }

    bool connect()
    {
        const StreamDestination& to = destination_;
        if (!connection_.open(to.server.c_str(), to.port, to.transport == SyslogTransport::udp,
                              connectMilliseconds))
            return false;
        const bool tls =
            to.transport == SyslogTransport::tls || to.transport == SyslogTransport::relpTls;
        std::string problem;
        if (tls && !connection_.startTls(
                       to.serverName.empty() ? to.server.c_str() : to.serverName.c_str(),
                       to.ca.empty() ? nullptr : to.ca.c_str(), acknowledgeMilliseconds, problem)) {
            handshakeFailed(problem);
            return false;
        }
        handshakeFailed_ = false;
        const bool relp =
            to.transport == SyslogTransport::relp || to.transport == SyslogTransport::relpTls;
        if (relp && !relp_.open(connection_, acknowledgeMilliseconds)) {
            connection_.close();
            return false;
        }
        return true;
    }

    // Said once per destination on the debugger output, and counted.
    void handshakeFailed(const std::string& problem)
    {
        handshakeFailed_ = true;
        if (handshakeFailures_++)
            return;
        char text[512];
        std::snprintf(text, sizeof text,
                      "Logging: the TLS handshake with the collector %ls://%ls:%u failed: %s\n",
                      syslogTransportName(destination_.transport), destination_.server.c_str(),
                      static_cast<unsigned>(destination_.port), problem.c_str());
        OutputDebugStringA(text);
    }

    // False, with the sender marked idle, when nothing is left to send.
    bool waitToRetry(DWORD milliseconds)
    {
        WaitForSingleObject(wake_.get(), milliseconds);
        orn::slim_lock_guard hold(lock_);
        if (!queue_.empty())
            return true;
        running_ = false;
        return false;
    }

    // The notes of lost lines, then the oldest queued lines; false, with the
    // sender marked idle, when there are none.
    bool take(std::vector<std::string>& batch)
    {
        std::size_t counts[causeCount];
        {
            orn::slim_lock_guard hold(lock_);
            if (queue_.empty()) {
                running_ = false;
                return false;
            }
            takeLost(counts);
            batch.reserve(causeCount + 64);
            batch.resize(causeCount);
            for (std::size_t bytes = 0; !queue_.empty() && bytes < batchBytes;) {
                bytes += queue_.front().size();
                queued_ -= queue_.front().size();
                batch.push_back(std::move(queue_.front()));
                queue_.pop_front();
            }
        }
        for (int cause = 0; cause < causeCount; ++cause) {
            if (counts[cause])
                batch[cause] = note(counts[cause], causeTexts[cause]);
        }
        batch.erase(std::remove_if(batch.begin(), batch.begin() + causeCount,
                                   [](const std::string& line) { return line.empty(); }),
                    batch.begin() + causeCount);
        return true;
    }

    std::string note(std::size_t count, const char* cause) const
    {
        char text[128];
        std::snprintf(text, sizeof text, "Logging: %u lines lost: %s", static_cast<unsigned>(count),
                      cause);
        LogRecord record("SyslogStream", 0, LevelWarning, "Logging", nullptr);
        TextStreamer streamer(text);
        char message[512];
        return std::string(message, composeSyslogMessage(destination_.format, record, streamer,
                                                         message, sizeof message));
    }

    // Sends the batch; on failure the batch keeps the lines that may not
    // have arrived (with RELP, those not acknowledged).
    bool deliver(std::vector<std::string>& batch)
    {
        if (destination_.transport == SyslogTransport::udp) {
            // Nothing answers a datagram: one sent is done.
            std::size_t sent = 0;
            while (sent < batch.size() && connection_.sendAll(batch[sent]))
                ++sent;
            batch.erase(batch.begin(), batch.begin() + static_cast<std::ptrdiff_t>(sent));
            return batch.empty();
        }
        std::string payload;
        if (destination_.transport != SyslogTransport::relp &&
            destination_.transport != SyslogTransport::relpTls) {
            for (const std::string& message : batch)
                appendOctetCounted(payload, message);
            if (!connection_.sendAll(payload))
                return false;
            // Kept for a second, and no more than the queue's bound.
            const ULONGLONG now = GetTickCount64();
            for (std::string& message : batch) {
                unconfirmedBytes_ += message.size();
                unconfirmed_.emplace_back(now, std::move(message));
            }
            while (!unconfirmed_.empty() &&
                   (now - unconfirmed_.front().first > unconfirmedMilliseconds ||
                    unconfirmedBytes_ > destination_.queueBytes)) {
                unconfirmedBytes_ -= unconfirmed_.front().second.size();
                unconfirmed_.pop_front();
            }
            batch.clear();
            return true;
        }
        std::vector<unsigned> numbers;
        for (const std::string& message : batch)
            numbers.push_back(relp_.frameSyslog(payload, message));
        if (!connection_.sendAll(payload))
            return false;
        std::string received;
        std::vector<unsigned> acknowledged;
        const ULONGLONG until = GetTickCount64() + acknowledgeMilliseconds;
        bool healthy = true;
        for (std::size_t waiting = batch.size(); waiting && healthy;) {
            const ULONGLONG now = GetTickCount64();
            healthy = now < until &&
                      connection_.receive(received, static_cast<DWORD>(until - now)) &&
                      relp_.takeAcknowledged(received, acknowledged);
            for (unsigned number : acknowledged) {
                for (std::size_t i = 0; i < numbers.size(); ++i) {
                    if (numbers[i] == number && !batch[i].empty()) {
                        batch[i].clear();
                        numbers[i] = 0;
                        --waiting;
                    }
                }
            }
            acknowledged.clear();
        }
        batch.erase(std::remove_if(batch.begin(), batch.end(),
                                   [](const std::string& line) { return line.empty(); }),
                    batch.end());
        return batch.empty();
    }

    // Lines that may not have arrived go back to the front of the queue, or,
    // once the queue was given up, are counted with it.
    void putBack(std::vector<std::string>& batch)
    {
        orn::slim_lock_guard hold(lock_);
        if (givenUp_) {
            lost_[currentCause()] += batch.size();
            return;
        }
        for (auto it = batch.rbegin(); it != batch.rend(); ++it) {
            queued_ += it->size();
            queue_.push_front(std::move(*it));
        }
        trimToBound();
    }

    // Ahead of what is queued, in their order.
    void sendAgainUnconfirmed()
    {
        std::vector<std::string> lines;
        for (auto& sent : unconfirmed_) {
            if (GetTickCount64() - sent.first <= unconfirmedMilliseconds)
                lines.push_back(std::move(sent.second));
        }
        unconfirmed_.clear();
        unconfirmedBytes_ = 0;
        putBack(lines);
    }

    const StreamDestination destination_;
    orn::unique_handle wake_;
    SRWLOCK lock_ = SRWLOCK_INIT;
    // Under the lock.
    std::deque<std::string> queue_;
    std::size_t queued_ = 0;
    std::size_t lost_[causeCount] = {};
    bool running_ = false;
    bool givenUp_ = false;  // by an unload or exit, until the next line
    std::atomic<bool> connected_{false};
    std::atomic<bool> handshakeFailed_{false};  // the last attempt's
    unsigned handshakeFailures_ = 0;  // the sender's own
    // The sender's own, one run at a time.
    StreamConnection connection_;
    RelpSession relp_;
    std::deque<std::pair<ULONGLONG, std::string>> unconfirmed_;  // TCP and TLS: when written
    std::size_t unconfirmedBytes_ = 0;
};

// Every destination a stream section named since the process began. Senders
// live until an unload: at a program's exit a sender may still be running.
class Senders {
public:
    // Made first, so that the sockets can still be closed when it goes.
    Senders() { streamSocketsAvailable(); }
    ~Senders()
    {
        switch (ending.load()) {
        case Ending::notYet:
            // A program's normal exit: no loader lock is held and the pool
            // still runs, so the queues get their time.
            for (const ULONGLONG until = GetTickCount64() + streamDrainMilliseconds;
                 !allIdle() && GetTickCount64() < until;)
                Sleep(10);
            giveUpAll("at exit");
            break;
        case Ending::unload:
            // The pool held the module while a sender ran: none runs now.
            for (StreamSender* sender : list_)
                delete sender;
            releaseStreamSockets();
            break;
        case Ending::processExit: break;
        }
    }

    StreamSender& find(const StreamDestination& destination)
    {
        {
            orn::slim_lock_guard hold(lock_, orn::slim_lock_guard::mode::shared);
            for (StreamSender* sender : list_) {
                if (sender->serves(destination))
                    return *sender;
            }
        }
        orn::slim_lock_guard hold(lock_);
        for (StreamSender* sender : list_) {
            if (sender->serves(destination))
                return *sender;
        }
        list_.reserve(list_.size() + 1);
        list_.push_back(new StreamSender(destination));
        return *list_.back();
    }

    bool allIdle()
    {
        orn::slim_lock_guard hold(lock_, orn::slim_lock_guard::mode::shared);
        for (StreamSender* sender : list_) {
            if (!sender->idle())
                return false;
        }
        return true;
    }

    void giveUpAll(const char* when)
    {
        orn::slim_lock_guard hold(lock_, orn::slim_lock_guard::mode::shared);
        for (StreamSender* sender : list_)
            sender->giveUp(when);
    }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
    std::vector<StreamSender*> list_;
};

Senders& senders()
{
    static Senders all;
    return all;
}

}  // namespace

const wchar_t* syslogTransportName(SyslogTransport transport)
{
    switch (transport) {
    case SyslogTransport::udp: return L"udp";
    case SyslogTransport::tcp: return L"tcp";
    case SyslogTransport::tls: return L"tls";
    case SyslogTransport::relp: return L"relp";
    case SyslogTransport::relpTls: return L"relp-tls";
    }
    return L"?";
}

void queueStreamMessage(const StreamDestination& destination, const char* message,
                        std::size_t length)
{
    streamsUsed = true;
    senders().find(destination).push(std::string(message, length));
}

bool streamQueuesDrained()
{
    static std::atomic<ULONGLONG> fullSince{0};
    if (!streamsUsed || senders().allIdle()) {
        fullSince = 0;
        return true;
    }
    const ULONGLONG now = GetTickCount64();
    ULONGLONG since = 0;
    if (fullSince.compare_exchange_strong(since, now) || now - since < streamDrainMilliseconds)
        return false;
    senders().giveUpAll("at unload");
    fullSince = 0;
    return true;
}

void streamSendersDetached(bool processExit)
{
    ending = processExit ? Ending::processExit : Ending::unload;
}

}  // namespace LogUtils
