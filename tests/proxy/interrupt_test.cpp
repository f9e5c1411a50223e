// FerryInterrupt ends every wait for the target at once, from another
// thread or from a signal handler on the waiting thread: the call returns
// -8 and the link fails. A call that starts after it is not affected.
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include "tests/proxy/harness.h"
#include "proxy/wire/wire.h"

namespace proxytest {
namespace {

using docksim::Hostile;

// Long enough that a wait that ends in time was ended by the interrupt.
const ferry::Limits kLongLimits{
    .reply = 5000ms, .sendStall = 5000ms, .connect = 5000ms, .openAck = 5000ms, .serialQuiet = 500ms};
// The promptness asked for, with room for a sanitizer build.
constexpr auto kPrompt = 200ms;

void InterruptFromHandler(int)
{
    FerryInterrupt();
}

// Interrupts every 25 ms until the end of scope, from this thread or by a
// signal to the thread that made it (whose handler calls FerryInterrupt).
class Interrupter {
public:
    explicit Interrupter(bool bySignal) : bySignal_(bySignal), waiter_(pthread_self())
    {
        thread_ = std::thread([this] {
            while (!done_) {
                std::this_thread::sleep_for(25ms);
                if (bySignal_)
                    pthread_kill(waiter_, SIGUSR1);
                else
                    FerryInterrupt();
            }
        });
    }
    ~Interrupter()
    {
        done_ = true;
        thread_.join();
    }
    Interrupter(const Interrupter &) = delete;
    Interrupter &operator=(const Interrupter &) = delete;

private:
    bool bySignal_;
    pthread_t waiter_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// The handler for the signal cases, without SA_RESTART as a host's would be.
class SignalHandler {
public:
    SignalHandler()
    {
        struct sigaction action {};
        action.sa_handler = InterruptFromHandler;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGUSR1, &action, &previous_);
    }
    ~SignalHandler() { ::sigaction(SIGUSR1, &previous_, nullptr); }
    SignalHandler(const SignalHandler &) = delete;
    SignalHandler &operator=(const SignalHandler &) = delete;

private:
    struct sigaction previous_ {};
};

// A listener whose queue is full: a connection to it waits for good.
struct FullListener {
    ferry::UniqueFd listener;
    ferry::UniqueFd fillers[2];
    uint16_t port = 0;
    FullListener()
    {
        // A port the proxy takes for a base port: below the ephemeral range.
        for (unsigned attempt = 0; attempt < 200 && !listener.Valid(); ++attempt) {
            port = uint16_t(41000 + (unsigned(::getpid()) * 7919u + attempt * 104729u) % 8000);
            listener = docksim::BindLoopback(port, false);
        }
        if (!listener.Valid() || ::listen(listener.Get(), 0) != 0) {
            port = 0;
            return;
        }
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (ferry::UniqueFd &filler : fillers) {
            filler.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            ::connect(filler.Get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        }
        std::this_thread::sleep_for(20ms);
    }
};

class InterruptTest;

struct Wait {
    const char *what;
    bool serial;
    bool bySignal;
    // Sets the target up and opens (when the wait is not the open's); the
    // call that waits, made again until it fails.
    void (*setUp)(InterruptTest &);
    int32_t (*call)(InterruptTest &);
    int32_t stateAfter;
};

// Names the case in the test's listing rather than dumping its bytes.
void PrintTo(const Wait &wait, std::ostream *os)
{
    *os << wait.what;
}

class InterruptTest : public LinkTest, public ::testing::WithParamInterface<Wait> {
public:
    InterruptTest() : LinkTest(GetParam().serial) {}
    docksim::DockSim &Sim() { return *sim_; }
    using LinkTest::Open;
    using LinkTest::OpenOk;

    std::unique_ptr<RawTarget> raw;
    std::unique_ptr<FullListener> full;
};

TEST_P(InterruptTest, EndsTheWaitAtOnceAndFailsTheLink)
{
    const Wait &w = GetParam();
    ScopedLimits limits(kLongLimits);
    SignalHandler handler;
    ASSERT_NO_FATAL_FAILURE(w.setUp(*this));
    int32_t result = 0;
    auto took = 0ms;
    {
        Interrupter interrupter(w.bySignal);
        auto end = std::chrono::steady_clock::now() + 3s;
        while (result == 0 && std::chrono::steady_clock::now() < end) {
            auto start = std::chrono::steady_clock::now();
            result = w.call(*this);
            took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        }
    }
    EXPECT_EQ(result, FERRYLINK_E_INTERRUPTED);
    EXPECT_LT(took, kPrompt);
    EXPECT_EQ(FerryLinkState(), w.stateAfter);
}

void OpenSilent(InterruptTest &t)
{
    t.Sim().SetHostile(Hostile::Silent);
    t.OpenOk();
}

void NoAcknowledgement(InterruptTest &t)
{
    t.Sim().SetHostile(Hostile::NoAck);
}

void FullQueue(InterruptTest &t)
{
    t.full = std::make_unique<FullListener>();
    ASSERT_NE(t.full->port, 0);
}

// A target that reads nothing after the open.
void OpenOnRawTarget(InterruptTest &t)
{
    t.raw = std::make_unique<RawTarget>(t.GetParam().serial, 4096);
    ASSERT_TRUE(t.raw->Valid());
    ASSERT_EQ(t.raw->Open(), 1);
}

int32_t ReadWord(InterruptTest &)
{
    uint8_t word[4];
    return rdmremote(0x100, word, 4);
}

int32_t ReadMessage(InterruptTest &)
{
    uint8_t buffer[16];
    return ReadDataMessage(buffer, sizeof buffer);
}

int32_t OpenIt(InterruptTest &t)
{
    return t.Open();
}

int32_t OpenFull(InterruptTest &t)
{
    return OpenTcp(t.full->port);
}

int32_t SendLargest(InterruptTest &)
{
    static const Bytes payload(FERRYLINK_MAX_REQUEST, 0x3C);
    return SendDataMessage(payload.data(), int32_t(payload.size()), 4);
}

const Wait kWaits[] = {
    {"TcpReply", false, false, OpenSilent, ReadWord, FERRYLINK_STATE_FAILED},
    {"TcpReplyBySignal", false, true, OpenSilent, ReadWord, FERRYLINK_STATE_FAILED},
    {"TcpReadDataMessage", false, false, OpenSilent, ReadMessage, FERRYLINK_STATE_FAILED},
    {"SerialReply", true, false, OpenSilent, ReadWord, FERRYLINK_STATE_FAILED},
    {"SerialReplyBySignal", true, true, OpenSilent, ReadWord, FERRYLINK_STATE_FAILED},
    {"TcpAcknowledgement", false, false, NoAcknowledgement, OpenIt, FERRYLINK_STATE_CLOSED},
    {"SerialAcknowledgement", true, false, NoAcknowledgement, OpenIt, FERRYLINK_STATE_CLOSED},
    {"TcpConnect", false, false, FullQueue, OpenFull, FERRYLINK_STATE_CLOSED},
    {"TcpSend", false, false, OpenOnRawTarget, SendLargest, FERRYLINK_STATE_FAILED},
    {"SerialSend", true, false, OpenOnRawTarget, SendLargest, FERRYLINK_STATE_FAILED},
};

INSTANTIATE_TEST_SUITE_P(Waits, InterruptTest, ::testing::ValuesIn(kWaits),
                         [](const ::testing::TestParamInfo<Wait> &wait) { return std::string(wait.param.what); });

// Only a wait under way when it comes ends: an interrupt that finds no call,
// or that came before the call started, is forgotten.
TEST_P(BothTest, InterruptBeforeACallLeavesThatCallAlone)
{
    OpenOk();
    FerryInterrupt();
    uint8_t word[4] = {};
    EXPECT_EQ(rdmremote(0x40, word, 4), 0);
    EXPECT_EQ(word[0], docksim::DockSim::InitialByte(0x40));
    FerryInterrupt();
    uint32_t value = 7;
    EXPECT_EQ(wrmremote(0x40, &value), 0);
    EXPECT_EQ(rdmremote(0x40, word, 4), 0);
    EXPECT_EQ(word[0], 7);
    EXPECT_EQ(FerryLinkState(), FERRYLINK_STATE_OPEN);
    EXPECT_TRUE(Deliveries().Items().empty());
}

} // namespace
} // namespace proxytest
