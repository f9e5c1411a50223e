// monitor: data messages from the library's thread to standard output. The
// callback only copies each message into a bounded queue; a writer thread
// formats them and writes them in large chunks, so that a fast target is
// kept up with, and any message lost on the way is counted and reported.
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "ferryctl/commands.h"
#include <ferrylink.h>
#include "ferryctl/output.h"
#include "ferryctl/port.h"

namespace {

using SteadyClock = std::chrono::steady_clock;
using SystemClock = std::chrono::system_clock;

// Each half of the queue holds this many bytes of records (a record is the
// time, the length and the payload): at 100,000 messages of 16 bytes a
// second, about three seconds of them while the output lags.
constexpr size_t kQueueBytes = size_t(8) << 20;
constexpr size_t kRecordHead = sizeof(int64_t) + sizeof(uint32_t);
// Text is written in pieces of about this size.
constexpr size_t kWriteChunk = size_t(1) << 20;
// How often the main thread looks for a signal while it waits.
constexpr auto kSignalCheck = std::chrono::milliseconds(50);
constexpr size_t kBytesPerLine = 16;
// The link-failure notification: message type 12, subtype 2.
constexpr uint8_t kLinkFailure[] = {12, 0, 2, 0};

// Two buffers: the callback fills one while the writer formats the other;
// they change places when the writer wants more.
class MessageQueue {
public:
    explicit MessageQueue(uint64_t wanted) : wanted_(wanted) { filling_.reserve(kQueueBytes); }

    // From the library's thread: a copy, never a wait for the writer.
    void Add(const uint8_t *payload, uint32_t length, SystemClock::time_point at)
    {
        bool wakeWriter = false;
        bool wakeMain = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopped_ || (wanted_ != 0 && accepted_ == wanted_))
                return;
            if (filling_.size() + kRecordHead + length > kQueueBytes) {
                ++dropped_;
                return;
            }
            int64_t nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
            size_t offset = filling_.size();
            filling_.resize(offset + kRecordHead + length);
            std::memcpy(filling_.data() + offset, &nanos, sizeof nanos);
            std::memcpy(filling_.data() + offset + sizeof nanos, &length, sizeof length);
            if (length > 0)
                std::memcpy(filling_.data() + offset + kRecordHead, payload, length);
            ++accepted_;
            wakeWriter = writerWaiting_;
            wakeMain = wanted_ != 0 && accepted_ == wanted_;
        }
        if (wakeWriter)
            toWriter_.notify_one();
        if (wakeMain)
            toMain_.notify_one();
    }

    void NoteLinkLost()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            linkLost_ = true;
        }
        toMain_.notify_one();
    }

    // The writer: the records that came since the last call, in `batch`
    // (emptied first); false once the queue is finished and nothing is left.
    bool Take(std::vector<uint8_t> &batch)
    {
        batch.clear();
        std::unique_lock<std::mutex> lock(mutex_);
        writerWaiting_ = true;
        toWriter_.wait(lock, [this] { return !filling_.empty() || finished_; });
        writerWaiting_ = false;
        if (filling_.empty())
            return false;
        filling_.swap(batch);
        // The first swap hands the callback an empty vector without room.
        filling_.reserve(kQueueBytes);
        return true;
    }

    void NoteWriteFailed()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            writeFailed_ = true;
        }
        toMain_.notify_one();
    }

    // The main thread: until the count is reached, the link is lost, the
    // output fails, a signal comes or `until` passes.
    void WaitForEnd(SteadyClock::time_point until)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            if ((wanted_ != 0 && accepted_ == wanted_) || linkLost_ || writeFailed_ || PendingSignal() != 0)
                return;
            auto now = SteadyClock::now();
            if (now >= until)
                return;
            // In slices, so that a signal is seen soon.
            toMain_.wait_for(lock, std::min<SteadyClock::duration>(until - now, kSignalCheck));
        }
    }

    // Nothing more is taken: what comes before the port is closed is not
    // wanted any longer.
    void Stop()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
    }

    // The writer writes what is left and ends.
    void Finish()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            finished_ = true;
        }
        toWriter_.notify_one();
    }

    uint64_t Accepted()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return accepted_;
    }
    uint64_t Dropped()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return dropped_;
    }
    bool LinkLost()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return linkLost_;
    }

private:
    const uint64_t wanted_; // 0: no limit
    std::mutex mutex_;
    std::condition_variable toWriter_;
    std::condition_variable toMain_;
    std::vector<uint8_t> filling_;
    uint64_t accepted_ = 0;
    uint64_t dropped_ = 0;
    bool writerWaiting_ = false;
    bool stopped_ = false;
    bool finished_ = false;
    bool linkLost_ = false;
    bool writeFailed_ = false;
};

// The queue the callback fills; set only while a monitor's port is open.
std::atomic<MessageQueue *> g_queue{nullptr};

int32_t OnMessage(int32_t, const uint8_t *payload, int32_t length)
{
    SystemClock::time_point at = SystemClock::now();
    MessageQueue *queue = g_queue.load();
    if (queue == nullptr || length < 0 || (length > 0 && payload == nullptr))
        return 0;
    // A target could send a message shaped like the notification: only the
    // library's state tells them apart.
    if (length == int32_t(sizeof kLinkFailure) && std::memcmp(payload, kLinkFailure, sizeof kLinkFailure) == 0 &&
        FerryLinkState() == FERRYLINK_STATE_FAILED) {
        queue->NoteLinkLost();
        return 0;
    }
    queue->Add(payload, uint32_t(length), at);
    return 0;
}

// Time stamps worked out once a second: the calendar is slow, and messages
// come many to the second.
class Stamps {
public:
    explicit Stamps(bool utc) : utc_(utc) {}

    void Append(std::string &out, int64_t nanos)
    {
        int64_t millis = nanos / 1000000;
        int64_t seconds = millis / 1000;
        if (seconds != cachedSecond_ || cached_.empty()) {
            SystemClock::time_point whole{std::chrono::seconds(seconds)};
            // ".000" (and "Z") are cut off: the milliseconds follow.
            cached_ = utc_ ? UtcStamp(whole) : LocalClock(whole);
            cached_.resize(cached_.size() - (utc_ ? 5 : 4));
            cachedSecond_ = seconds;
        }
        out += cached_;
        unsigned rest = unsigned(millis % 1000);
        out += '.';
        out += char('0' + rest / 100);
        out += char('0' + rest / 10 % 10);
        out += char('0' + rest % 10);
        if (utc_)
            out += 'Z';
    }

private:
    bool utc_;
    int64_t cachedSecond_ = 0;
    std::string cached_;
};

void AppendHex16(std::string &out, unsigned value)
{
    static const char kDigits[] = "0123456789abcdef";
    out += "0x";
    for (int shift = 12; shift >= 0; shift -= 4)
        out += kDigits[(value >> shift) & 15];
}

// One message as its lines: a head with the time, type, subtype and length,
// then a dump; in JSON one object.
void AppendMessage(std::string &out, Stamps &stamps, bool json, int64_t nanos, const uint8_t *p, size_t n)
{
    bool typed = n >= 4;
    unsigned type = typed ? unsigned(p[0] | p[1] << 8) : 0;
    unsigned subtype = typed ? unsigned(p[2] | p[3] << 8) : 0;
    size_t skip = typed ? 4 : 0;
    if (json) {
        out += "{\"time\":\"";
        stamps.Append(out, nanos);
        out += '"';
        if (typed) {
            out += ",\"type\":";
            AppendDecimal(out, type);
            out += ",\"subtype\":";
            AppendDecimal(out, subtype);
        }
        out += ",\"length\":";
        AppendDecimal(out, n - skip);
        out += ",\"data\":\"";
        AppendHexBytes(out, p + skip, n - skip);
        out += "\"}\n";
        return;
    }
    stamps.Append(out, nanos);
    if (typed) {
        out += "  type ";
        AppendHex16(out, type);
        out += "  subtype ";
        AppendHex16(out, subtype);
        out += "  ";
        AppendDecimal(out, n - skip);
        out += " bytes\n";
    } else {
        out += "  ";
        AppendDecimal(out, n);
        out += " bytes, too short for a type and subtype\n";
    }
    for (size_t at = skip; at < n; at += kBytesPerLine) {
        out += "    ";
        AppendDumpLine(out, at - skip, 4, p + at, std::min(kBytesPerLine, n - at));
        out += '\n';
    }
}

// Standard output for the writer: written directly, never blocked on for
// good. A pipe whose reader stops would otherwise hold the writer, and so
// the end of the monitor, past Ctrl-C.
class Output {
public:
    Output() : fd_(::fileno(Out()))
    {
        struct stat status {};
        regular_ = ::fstat(fd_, &status) == 0 && S_ISREG(status.st_mode);
    }

    // All of `text`; false when the output fails or, once a signal has
    // come, takes nothing for a while.
    bool Write(const std::string &text)
    {
        const char *data = text.data();
        size_t left = text.size();
        while (left > 0) {
            pollfd p{fd_, POLLOUT, 0};
            int ready = ::poll(&p, 1, kStallCheckMillis);
            if (ready == 0 && PendingSignal() != 0) {
                stalled_ = true;
                return false;
            }
            if (ready <= 0)
                continue;
            // A pipe that polls writable takes PIPE_BUF bytes without
            // blocking; a file takes anything.
            ssize_t n = ::write(fd_, data, regular_ ? left : std::min<size_t>(left, PIPE_BUF));
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n <= 0) {
                error_ = n < 0 ? errno : EIO;
                return false;
            }
            data += n;
            left -= size_t(n);
        }
        return true;
    }

    int Error() const { return error_; }
    bool Stalled() const { return stalled_; }

private:
    static constexpr int kStallCheckMillis = 50;
    int fd_;
    bool regular_ = false;
    int error_ = 0;
    bool stalled_ = false;
};

struct WriterResult {
    uint64_t written = 0; // messages whose text went out whole
    int error = 0;        // errno of a failed write
    bool stalled = false; // given up after a signal: the output took nothing
};

void WriteMessages(MessageQueue &queue, bool json, WriterResult &result)
{
    // Whatever stdio still holds goes first.
    std::fflush(Out());
    Output output;
    Stamps stamps(json);
    std::vector<uint8_t> batch;
    batch.reserve(kQueueBytes);
    std::string text;
    text.reserve(kWriteChunk + 4096);
    uint64_t inText = 0;
    bool writing = true;
    while (queue.Take(batch)) {
        // Once writing has failed the rest is only drained, so that the
        // callback never finds the queue full for that reason.
        for (size_t at = 0; writing && at < batch.size();) {
            int64_t nanos = 0;
            uint32_t length = 0;
            std::memcpy(&nanos, batch.data() + at, sizeof nanos);
            std::memcpy(&length, batch.data() + at + sizeof nanos, sizeof length);
            AppendMessage(text, stamps, json, nanos, batch.data() + at + kRecordHead, length);
            ++inText;
            at += kRecordHead + length;
            // The end of each batch is written at once: a slow target's
            // messages show as they come, a fast one's go in large pieces.
            if (text.size() >= kWriteChunk || at == batch.size()) {
                writing = output.Write(text);
                if (writing)
                    result.written += inText;
                text.clear();
                inText = 0;
            }
        }
        if (!writing && (output.Error() != 0 || output.Stalled())) {
            result.error = output.Error();
            result.stalled = output.Stalled();
            queue.NoteWriteFailed();
        }
    }
}

// The writer thread, finished and joined however the monitor ends.
class Writer {
public:
    Writer(MessageQueue &queue, bool json)
        : queue_(queue), thread_(ThreadWithoutSignals([this, json] { WriteMessages(queue_, json, result_); }))
    {
    }
    ~Writer() { Finish(); }
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    void Finish()
    {
        if (!thread_.joinable())
            return;
        queue_.Finish();
        thread_.join();
    }
    // Once finished.
    const WriterResult &Result() const { return result_; }

private:
    MessageQueue &queue_;
    WriterResult result_;
    std::thread thread_;
};

// The queue is the callback's only while the port is open.
class QueueInUse {
public:
    explicit QueueInUse(MessageQueue &queue) { g_queue.store(&queue); }
    ~QueueInUse() { g_queue.store(nullptr); }
    QueueInUse(const QueueInUse &) = delete;
    QueueInUse &operator=(const QueueInUse &) = delete;
};

std::string Plural(uint64_t count, const char *noun)
{
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

} // namespace

int RunMonitor(const Invocation &invocation)
{
    if (!invocation.args.empty())
        return UsageError("monitor takes no arguments, not \"" + invocation.args[0] + "\"");
    MessageQueue queue(invocation.messages);
    QueueInUse inUse(queue);
    Writer writer(queue, invocation.json);
    uint64_t libraryDropped = 0;
    {
        Port port;
        int status = port.Open(invocation.link, OnMessage);
        if (status != kExitOk)
            return status;
        if (!invocation.quiet)
            Complain("monitoring " + invocation.link.shown + "; Ctrl-C ends");
        auto until = invocation.durationMillis > 0
                         ? SteadyClock::now() + std::chrono::milliseconds(invocation.durationMillis)
                         : SteadyClock::time_point::max();
        queue.WaitForEnd(until);
        queue.Stop();
        // Read before the close, which drops (and counts) what is still on
        // its way: those came after the monitor ended, and are not lost.
        libraryDropped = FerryDroppedMessages();
        port.Close();
    }
    writer.Finish();

    const WriterResult &output = writer.Result();
    uint64_t received = queue.Accepted();
    uint64_t ownDropped = queue.Dropped();
    uint64_t dropped = libraryDropped + ownDropped;
    int signal = PendingSignal();
    int status = kExitOk;
    if (dropped > 0) {
        Complain(std::to_string(dropped) + " of " + Plural(received + dropped, "data message") + " dropped (" +
                 std::to_string(ownDropped) + " waiting to be written: the output did not keep up; " +
                 std::to_string(libraryDropped) + " in ferrylink)");
        status = kExitDropped;
    }
    if (output.stalled) {
        Complain(Plural(received - output.written, "message") + " not written: the output took nothing more");
        status = kExitDropped;
    }
    if (output.error != 0) {
        Complain("cannot write standard output: " + ErrorText(output.error));
        status = kExitFailed;
    }
    if (queue.LinkLost()) {
        Complain("the link to the target was lost after " + Plural(received, "message"));
        status = kExitFailed;
    }
    // Ctrl-C is the normal end of a monitor; SIGTERM is not.
    if (signal != 0 && signal != SIGINT)
        return Interrupted(signal);
    if (status != kExitOk)
        return status;
    if (invocation.messages > 0 && received < invocation.messages && signal == 0) {
        Complain(std::to_string(received) + " of " + std::to_string(invocation.messages) + " messages within " +
                 SecondsText(invocation.durationMillis) + " s");
        return kExitFailed;
    }
    if (!invocation.quiet)
        Complain(Plural(received, "message"));
    return kExitOk;
}
