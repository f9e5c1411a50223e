#include "port.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "ferrylink.h"
#include "output.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

// The library's own limits (ferrylink.h), for telling a timeout apart from
// a link that ended early.
constexpr double kReplyLimitMillis = 10000;
constexpr double kSerialAckLimitMillis = 5000;
constexpr double kNearLimit = 0.95;
// How long the check of a failed TCP open waits for its own connection.
constexpr int kProbeMillis = 5000;
// Messages waiting to be printed beyond this are dropped: the callback
// must return promptly, so it never waits for the printing.
constexpr size_t kMaxWaiting = 10000;
constexpr auto kSignalCheck = std::chrono::milliseconds(100);

volatile sig_atomic_t g_signal = 0;
char g_removeOnAbort[4096] = {};

void OnSignal(int number)
{
    // A request under way may take the library's 10 s; a second signal does
    // not wait for it, nor leaves a temporary file behind.
    if (g_signal != 0) {
        if (g_removeOnAbort[0] != '\0')
            ::unlink(g_removeOnAbort);
        _exit(128 + number);
    }
    g_signal = number;
}

// A descriptor that closes itself.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int Get() const { return fd_; }

private:
    int fd_;
};

struct Inbox {
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<Message> waiting;
    bool keep = false;
    uint64_t dropped = 0;
    std::thread::id mainThread;
};

Inbox &TheInbox()
{
    static Inbox inbox;
    return inbox;
}

// Runs on the library's thread: copy and go. On the main thread it can only
// be the link-failure notification, which the failed call reports itself.
int32_t OnMessage(int32_t, const uint8_t *payload, int32_t length)
{
    Inbox &inbox = TheInbox();
    if (std::this_thread::get_id() == inbox.mainThread || length < 0 || (length > 0 && payload == nullptr))
        return 0;
    try {
        Message message{std::chrono::system_clock::now(), std::vector<uint8_t>(payload, payload + length)};
        std::lock_guard<std::mutex> lock(inbox.mutex);
        if (!inbox.keep)
            return 0;
        if (inbox.waiting.size() >= kMaxWaiting) {
            ++inbox.dropped;
            return 0;
        }
        inbox.waiting.push_back(std::move(message));
    } catch (...) {
        // Out of memory: the message is lost, the library's thread is not.
        return 0;
    }
    inbox.arrived.notify_one();
    return 0;
}

std::string ErrorText(int error)
{
    std::string text = std::strerror(error);
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z')
        text[0] = char(text[0] - 'A' + 'a');
    return text;
}

double MillisSince(SteadyClock::time_point start)
{
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

// A plain connection to the command port: its error is the reason the
// library could not connect. 0 when it connects.
int ProbeTcp(const LinkChoice &link)
{
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.Get() < 0)
        return errno;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(uint16_t(link.number));
    if (::inet_pton(AF_INET, link.text.c_str(), &peer.sin_addr) != 1)
        return EINVAL;
    if (::connect(fd.Get(), reinterpret_cast<sockaddr *>(&peer), sizeof peer) == 0)
        return 0;
    if (errno != EINPROGRESS)
        return errno;
    pollfd p{fd.Get(), POLLOUT, 0};
    int r;
    while ((r = ::poll(&p, 1, kProbeMillis)) < 0 && errno == EINTR) {
    }
    if (r == 0)
        return ETIMEDOUT;
    int error = 0;
    socklen_t size = sizeof error;
    if (r < 0 || ::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0)
        return errno;
    return error;
}

// The device itself, opened as the library would: its error is the reason
// the library could not open it. 0 when it is a terminal that opens.
int ProbeSerial(const LinkChoice &link)
{
    Fd fd(::open(link.text.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (fd.Get() < 0)
        return errno;
    return ::isatty(fd.Get()) ? 0 : ENOTTY;
}

// The library says only -1: find out what can be told for certain.
void ExplainFailedOpen(const LinkChoice &link, double millis)
{
    bool tcp = link.transport == FERRYLINK_TRANSPORT_TCP;
    if (tcp) {
        int error = ProbeTcp(link);
        if (error == ETIMEDOUT) {
            Complain("cannot connect to " + link.text + ":" + std::to_string(link.number) + ": no answer within " +
                     std::to_string(kProbeMillis / 1000) + " s");
            return;
        }
        if (error != 0) {
            Complain("cannot connect to " + link.text + ":" + std::to_string(link.number) + ": " + ErrorText(error));
            return;
        }
    } else {
        int error = ProbeSerial(link);
        if (error == ENOTTY) {
            Complain("cannot open " + link.shown + ": " + link.text + " is not a terminal");
            return;
        }
        if (error != 0) {
            Complain("cannot open " + link.shown + ": " + ErrorText(error));
            return;
        }
    }
    double limit = tcp ? kReplyLimitMillis : kSerialAckLimitMillis;
    if (millis >= limit * kNearLimit) {
        Complain("cannot open " + link.shown + ": no acknowledgement of the device open within " +
                 std::to_string(int(limit / 1000)) + " s");
    } else {
        Complain("cannot open " + link.shown +
                 ": the device open was not acknowledged (a wrong answer, or the link ended)");
    }
}

} // namespace

bool Port::Open(const LinkChoice &link)
{
    FerryOpenRecord record;
    std::memset(&record, 0, sizeof record);
    record.transport = link.transport;
    std::memcpy(record.text, link.text.data(), std::min<size_t>(link.text.size(), FERRYLINK_TEXT_MAX));
    record.number = link.number;

    TheInbox().mainThread = std::this_thread::get_id();
    // The library's threads start inside the open and inherit the mask of
    // the thread that opens: it blocks the signals, so they come to the main
    // thread, which waits with them unblocked (a second one ends ferryctl
    // at once, even during the open's 10 s).
    sigset_t block;
    sigset_t previous;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    auto start = SteadyClock::now();
    int32_t opened = -1;
    pthread_sigmask(SIG_BLOCK, &block, &previous);
    std::thread opener([&record, &opened] {
        opened = OpenCommunicatonPort(&record);
        // A data message that finds no callback would end the receive thread.
        if (opened == 1)
            RegisterCallbackForProxy(OnMessage);
    });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    opener.join();
    openMillis_ = MillisSince(start);

    if (opened != 1) {
        ExplainFailedOpen(link, openMillis_);
        return false;
    }
    open_ = true;
    return true;
}

void Port::Close()
{
    if (!open_)
        return;
    CloseCommunicationPort();
    open_ = false;
}

bool Port::Read(uint32_t address, uint8_t *destination, uint32_t count)
{
    auto start = SteadyClock::now();
    int32_t result = rdmremote(address, destination, count);
    if (result == 0)
        return true;
    if (result == -4 && MillisSince(start) >= kReplyLimitMillis * kNearLimit)
        Complain("no reply from the target within 10 s");
    else if (result == -4)
        Complain("no valid reply from the target to a read at " + Hex32(address) +
                 " (the link ended or the reply was malformed)");
    else if (result == -5)
        Complain("cannot send to the target: the link failed");
    else
        Complain("the link is closed");
    return false;
}

bool Port::Write(uint32_t address, uint32_t value)
{
    int32_t result = wrmremote(address, &value);
    if (result == 0)
        return true;
    Complain(result == -5 ? "cannot send to the target: the link failed" : "the link is closed");
    return false;
}

bool Port::Send(uint16_t type, const std::vector<uint8_t> &payload)
{
    if (SendDataMessage(payload.data(), int32_t(payload.size()), type) == 0)
        return true;
    Complain("cannot send the message to the target: the link failed");
    return false;
}

void InstallSignalHandlers()
{
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

void RemoveOnAbort(const std::string &path)
{
    // Written before the handler can need it, so no half-copied name is seen
    // as long as the handler only runs on a second signal after this.
    std::size_t n = std::min(path.size(), sizeof g_removeOnAbort - 1);
    path.copy(g_removeOnAbort, n);
    g_removeOnAbort[n] = '\0';
}

int PendingSignal()
{
    return g_signal;
}

void KeepMessages(bool keep)
{
    Inbox &inbox = TheInbox();
    std::lock_guard<std::mutex> lock(inbox.mutex);
    inbox.keep = keep;
    if (!keep)
        inbox.waiting.clear();
}

bool NextMessage(std::chrono::steady_clock::time_point until, Message &message)
{
    Inbox &inbox = TheInbox();
    std::unique_lock<std::mutex> lock(inbox.mutex);
    // In slices, so that a signal is seen soon.
    while (inbox.waiting.empty() && g_signal == 0) {
        auto now = SteadyClock::now();
        if (now >= until)
            return false;
        inbox.arrived.wait_for(lock, std::min<SteadyClock::duration>(until - now, kSignalCheck));
    }
    if (inbox.waiting.empty())
        return false;
    message = std::move(inbox.waiting.front());
    inbox.waiting.pop_front();
    return true;
}

uint64_t DroppedMessages()
{
    Inbox &inbox = TheInbox();
    std::lock_guard<std::mutex> lock(inbox.mutex);
    return inbox.dropped;
}
