#include "ferryctl/port.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "ferryctl/output.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

// A failed call that took this share of a limit ran into it.
constexpr double kNearLimit = 0.95;
// The check of a failed TCP open waits for its own connection no longer
// than the connect limit, nor than this.
constexpr uint32_t kLongestProbeMillis = 5000;
// After a signal the relay interrupts this often, for a call that began
// just after the signal came and so did not see it.
constexpr int kRelayEveryMillis = 20;

// Set in the handler and read by other threads too: lock-free atomics,
// which a handler may use.
std::atomic<int> g_signal{0};
std::atomic<int> g_wakeRelay{-1};
static_assert(std::atomic<int>::is_always_lock_free, "signal handlers need lock-free atomics");
char g_removeOnAbort[4096] = {};

void OnSignal(int number)
{
    // A second signal does not wait for anything, nor leaves a temporary
    // file behind.
    if (g_signal != 0) {
        if (g_removeOnAbort[0] != '\0')
            ::unlink(g_removeOnAbort);
        _exit(128 + number);
    }
    int savedErrno = errno;
    g_signal = number;
    FerryInterrupt();
    int wake = g_wakeRelay;
    if (wake >= 0) {
        char byte = 'S';
        [[maybe_unused]] ssize_t r = ::write(wake, &byte, 1);
    }
    errno = savedErrno;
}

// Waits for the handler's byte, then interrupts until told to stop ('Q').
void RelayInterrupts(int fd)
{
    char byte = 0;
    ssize_t r;
    while ((r = ::read(fd, &byte, 1)) < 0 && errno == EINTR) {
    }
    if (r != 1 || byte != 'S')
        return;
    for (;;) {
        FerryInterrupt();
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, kRelayEveryMillis) > 0 && (::read(fd, &byte, 1) <= 0 || byte == 'Q'))
            return;
    }
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

// Other commands want no data messages, and an unregistered link would keep
// them for nobody.
int32_t DiscardMessage(int32_t, const uint8_t *, int32_t)
{
    return 0;
}

double MillisSince(SteadyClock::time_point start)
{
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

FerryLimits CurrentLimits()
{
    FerryLimits limits{};
    FerryGetLimits(&limits);
    return limits;
}

// The library's sentence for a result code, after ferryctl's own words.
std::string LibrarySays(int32_t code)
{
    return "[ferrylink " + std::to_string(code) + ": " + FerryResultText(code) + "]";
}

// One line for a failed call: what it was doing, what that means here when
// more can be told, and the library's sentence; then the status.
int CallFailed(const std::string &doing, int32_t code, double millis)
{
    int signal = PendingSignal();
    if (signal != 0)
        return Interrupted(signal);
    std::string meaning;
    if (code == FERRYLINK_E_SHORT_REPLY) {
        meaning = "the reply was short";
    } else if (code == FERRYLINK_E_NO_REPLY && millis >= CurrentLimits().reply_ms * kNearLimit) {
        meaning = "no reply within " + SecondsText(CurrentLimits().reply_ms) + " s";
    } else if (code == FERRYLINK_E_NO_REPLY) {
        meaning = "no valid reply: the link to the target ended or the reply was malformed";
    } else if (code == FERRYLINK_E_SEND) {
        meaning = "the request could not be sent whole: the link to the target failed";
    } else if (code == FERRYLINK_E_NOT_OPEN && FerryLinkState() == FERRYLINK_STATE_FAILED) {
        // The library saw the target go before this call began.
        meaning = "the link to the target was lost";
    }
    Complain(doing + (meaning.empty() ? " failed " : ": " + meaning + " ") + LibrarySays(code));
    return code == FERRYLINK_E_SHORT_REPLY ? kExitShortReply : kExitFailed;
}

// A plain connection to the command port: its error is the reason the
// library could not connect. 0 when it connects.
int ProbeTcp(const LinkChoice &link, int waitMillis)
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
    while ((r = ::poll(&p, 1, waitMillis)) < 0 && errno == EINTR && PendingSignal() == 0) {
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

// The library says only -1: find out what can be told for certain, and
// give the library's sentence where nothing can.
void ExplainFailedOpen(const LinkChoice &link, int32_t code, double millis)
{
    FerryLimits limits = CurrentLimits();
    bool tcp = link.transport == FERRYLINK_TRANSPORT_TCP;
    if (tcp) {
        uint32_t probeMillis = std::min(limits.connect_ms, kLongestProbeMillis);
        int error = ProbeTcp(link, int(probeMillis));
        if (PendingSignal() != 0)
            return; // the caller says it was interrupted
        if (error == ETIMEDOUT) {
            Complain("cannot connect to " + link.text + ":" + std::to_string(link.number) + ": no answer within " +
                     SecondsText(probeMillis) + " s");
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
    // Over TCP the acknowledgement is a reply like any other.
    uint32_t limit = tcp ? limits.reply_ms : limits.ack_ms;
    if (millis >= limit * kNearLimit) {
        Complain("cannot open " + link.shown + ": no acknowledgement of the device open within " + SecondsText(limit) +
                 " s " + LibrarySays(code));
    } else {
        Complain("cannot open " + link.shown + ": the device open was not acknowledged (a wrong answer, or the " +
                 "link ended) " + LibrarySays(code));
    }
}

} // namespace

int Port::Open(const LinkChoice &link, FerryCallback callback)
{
    FerryOpenRecord record;
    std::memset(&record, 0, sizeof record);
    record.transport = link.transport;
    std::memcpy(record.text, link.text.data(), std::min<size_t>(link.text.size(), FERRYLINK_TEXT_MAX));
    record.number = link.number;
    if (callback == nullptr)
        callback = DiscardMessage;

    auto start = SteadyClock::now();
    int32_t opened = -1;
    // The library's threads start inside the open and keep the signals
    // blocked; the main thread waits with them unblocked, so the handler
    // runs there and interrupts the open.
    std::thread opener = ThreadWithoutSignals([&record, &opened, callback] {
        opened = OpenCommunicatonPort(&record);
        if (opened == FERRYLINK_OPENED)
            RegisterCallbackForProxy(callback);
    });
    opener.join();
    openMillis_ = MillisSince(start);

    if (opened == FERRYLINK_OPENED) {
        open_ = true;
        if (PendingSignal() == 0)
            return kExitOk;
        Close();
    }
    if (PendingSignal() == 0)
        ExplainFailedOpen(link, opened, openMillis_);
    if (PendingSignal() != 0)
        return Interrupted(PendingSignal());
    return kExitFailed;
}

void Port::Close()
{
    if (!open_)
        return;
    CloseCommunicationPort();
    open_ = false;
}

int Port::Read(uint32_t address, uint8_t *destination, uint32_t count)
{
    auto start = SteadyClock::now();
    int32_t result = rdmremote(address, destination, count);
    if (result == FERRYLINK_OK)
        return kExitOk;
    return CallFailed("read of " + std::to_string(count) + " bytes at " + Hex32(address), result, MillisSince(start));
}

int Port::Write(uint32_t address, uint32_t value)
{
    auto start = SteadyClock::now();
    int32_t result = wrmremote(address, &value);
    if (result == FERRYLINK_OK)
        return kExitOk;
    return CallFailed("write at " + Hex32(address), result, MillisSince(start));
}

int Port::Send(uint16_t type, const std::vector<uint8_t> &payload)
{
    auto start = SteadyClock::now();
    int32_t result = SendDataMessage(payload.data(), int32_t(payload.size()), type);
    if (result == FERRYLINK_OK)
        return kExitOk;
    char doing[64];
    std::snprintf(doing, sizeof doing, "send of command type 0x%04x", unsigned(type));
    return CallFailed(doing, result, MillisSince(start));
}

bool ApplyTimeout(uint32_t millis)
{
    if (millis == 0)
        return true;
    FerryLimits limits = CurrentLimits();
    limits.reply_ms = millis;
    limits.send_ms = millis;
    limits.connect_ms = millis;
    limits.ack_ms = std::min(limits.ack_ms, millis);
    int32_t result = FerrySetLimits(&limits);
    if (result == FERRYLINK_OK)
        return true;
    Complain("--timeout " + SecondsText(millis) + ": the library refused the limits " + LibrarySays(result));
    return false;
}

SignalGuard::SignalGuard()
{
    if (::pipe2(wake_, O_CLOEXEC) == 0) {
        // The handler must never block on a full pipe.
        ::fcntl(wake_[1], F_SETFL, O_NONBLOCK);
        int readEnd = wake_[0];
        relay_ = ThreadWithoutSignals([readEnd] { RelayInterrupts(readEnd); });
        g_wakeRelay = wake_[1];
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

SignalGuard::~SignalGuard()
{
    // Signals wait while the pipe goes, so that the handler never writes
    // into a descriptor closed or reused meanwhile.
    sigset_t block;
    sigset_t previous;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &block, &previous);
    g_wakeRelay = -1;
    if (relay_.joinable()) {
        char quit = 'Q';
        [[maybe_unused]] ssize_t r = ::write(wake_[1], &quit, 1);
        relay_.join();
    }
    for (int fd : wake_) {
        if (fd >= 0)
            ::close(fd);
    }
    // What is left (the last flush of the results) ends as any program on
    // a signal.
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
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

int Interrupted(int signal)
{
    Complain("interrupted");
    return 128 + signal;
}

std::thread ThreadWithoutSignals(std::function<void()> body)
{
    sigset_t block;
    sigset_t previous;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &block, &previous);
    std::thread thread(std::move(body));
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return thread;
}
