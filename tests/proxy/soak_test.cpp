// A target that misbehaves on purpose (soak_peer.cpp, in a process of its
// own), round after round over TCP and over a pty. Whatever it does, every
// call returns within its limit with the documented code, a read that
// succeeds holds exactly the target's bytes for that request, the callback
// gets only whole messages the target sent, and each close gives back every
// thread and descriptor the link took.
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>

#include "tests/proxy/harness.h"
#include "tests/proxy/soak_protocol.h"

namespace proxytest {
namespace {

using Clock = std::chrono::steady_clock;
using soak::Misbehaviour;
using soak::Target;
using std::chrono::milliseconds;

const ferry::Limits kSoakLimits{
    .reply = 120ms, .sendStall = 500ms, .connect = 500ms, .openAck = 120ms, .serialQuiet = 100ms};
// What a call may take beyond its limit: a sanitizer build on a busy
// two-core machine. A call that waits on anything unbounded still shows.
constexpr milliseconds kSlack{1000};
// A late answer comes well after the read has given up on it.
constexpr milliseconds kLate{220};
// Rounds per transport: few in the default run, which must stay quick;
// the sanitizer runs ask for more through FERRY_SOAK_ROUNDS.
constexpr int kDefaultRounds = 50;
constexpr auto kBudget = 40s;               // per transport, whatever the rounds
constexpr uint32_t kWriteRegion = 0x100000; // each round writes its own word here, reads elsewhere
constexpr uint32_t kFlood = 300;
const Bytes kLinkFailure{12, 0, 2, 0};

// The peer program, talking over a socket pair on its stdin and stdout;
// ended and reaped at the end of scope at the latest.
class PeerProcess {
public:
    explicit PeerProcess(bool serial)
    {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
            return;
        ferry::UniqueFd mine(ends[0]);
        ferry::UniqueFd theirs(ends[1]);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, theirs.Get(), STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, theirs.Get(), STDOUT_FILENO);
        std::string program = SOAK_PEER;
        std::string transport = serial ? "serial" : "tcp";
        std::string late = std::to_string(kLate.count());
        char *argv[] = {program.data(), transport.data(), late.data(), nullptr};
        if (::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        if (pid_ > 0)
            control_ = std::move(mine);
    }
    ~PeerProcess() { Finish(); }
    PeerProcess(const PeerProcess &) = delete;
    PeerProcess &operator=(const PeerProcess &) = delete;

    bool Running() const { return pid_ > 0; }

    // Sends an order; the answer line, or "" when none came in time.
    std::string Order(const std::string &line)
    {
        std::string text = line + "\n";
        if (::send(control_.Get(), text.data(), text.size(), MSG_NOSIGNAL) != ssize_t(text.size())) {
            return "";
        }
        auto deadline = Clock::now() + 5s;
        size_t eol;
        while ((eol = pending_.find('\n')) == std::string::npos) {
            auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
            pollfd p{control_.Get(), POLLIN, 0};
            char chunk[256];
            ssize_t r = 0;
            if (left <= 0 || ::poll(&p, 1, int(left)) <= 0 ||
                (r = ::recv(control_.Get(), chunk, sizeof chunk, 0)) <= 0) {
                return "";
            }
            pending_.append(chunk, size_t(r));
        }
        std::string answer = pending_.substr(0, eol);
        pending_.erase(0, eol + 1);
        return answer;
    }

    // Ends its input and waits for it: its wait status, or -1 when it had
    // to be killed.
    int Finish()
    {
        if (pid_ <= 0)
            return -1;
        control_.Reset();
        int status = 0;
        if (!Eventually([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, 5s)) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            status = -1;
        }
        pid_ = -1;
        return status;
    }

private:
    pid_t pid_ = -1;
    ferry::UniqueFd control_;
    std::string pending_;
};

// One round: open, register, a remote read, a remote write and a read of
// the written word, a request for data messages, a read through
// SendDataMessage and ReadDataMessage, close. The misbehaviour strikes at
// `target`.
struct Round {
    int index = 0;
    Misbehaviour act = Misbehaviour::Good;
    Target target = Target::Read0;
    uint32_t readAddress[2] = {}; // Read0 and Read2, where nothing is written
    uint32_t readCount[2] = {};
    uint32_t value = 0;
    uint32_t messages = 0;
    uint32_t firstSeq = 0;

    uint32_t WriteAddress() const { return kWriteRegion + uint32_t(index) * 16; }
    // Every other flood is cut off by the close, with the callback busy.
    bool ClosesMidFlood() const { return act == Misbehaviour::Flood && index % 2 == 1; }
};

uint32_t PickCount(std::mt19937 &rng)
{
    switch (rng() % 8) {
    case 0:
        return 0;
    case 1:
        return uint32_t(ferry::kMaxRequestPayload);
    default:
        return 1 + rng() % 64;
    }
}

Round PlanRound(int index, std::mt19937 &rng, uint32_t &nextSeq)
{
    Round r;
    r.index = index;
    r.act = Misbehaviour(index % int(Misbehaviour::Count));
    if (r.act == Misbehaviour::Flood) {
        r.target = Target::Messages;
    } else if (r.act == Misbehaviour::Stall || r.act == Misbehaviour::Late || r.act == Misbehaviour::Drop) {
        r.target = std::array{Target::Read0, Target::Read1, Target::Read2}[rng() % 3];
    } else {
        r.target = Target(rng() % 4);
    }
    for (int i = 0; i < 2; ++i) {
        r.readAddress[i] = rng() % 0x10000;
        r.readCount[i] = PickCount(rng);
    }
    r.value = uint32_t(rng());
    r.messages = r.act == Misbehaviour::Flood ? kFlood : 4 + rng() % 5;
    r.firstSeq = nextSeq;
    nextSeq += r.messages;
    return r;
}

std::string Describe(const Round &r, uint32_t seed)
{
    static const char *const kTargets[] = {"Read0", "Read1", "Messages", "Read2"};
    return "round " + std::to_string(r.index) + " of seed " + std::to_string(seed) + ": " + soak::Name(r.act) + " at " +
           kTargets[int(r.target)];
}

// How the target answers a read, as foreseen from the round.
enum class Answer { Whole, Half, TypeOnly, Over, None, PortClosed };

// What the host has seen so far in a round, and so what it expects next.
struct Expectation {
    bool closed = false;             // the port is closed: calls return -1
    bool silent = false;             // the target answers nothing more
    int linkFailures = 0;            // notifications due to the callback
    std::optional<uint32_t> written; // the value at the round's write address
    std::vector<uint32_t> seqs;      // messages due to the callback
    bool closedMidFlood = false;     // then only the first of them are
    bool notifyEnds = false;         // the notification connection ends after them
};

Answer NextAnswer(Expectation &e, const Round &r, Target event, bool serial)
{
    if (e.closed)
        return Answer::PortClosed;
    Answer a = Answer::Whole;
    if (e.silent) {
        a = Answer::None;
    } else if (event == r.target) {
        switch (r.act) {
        case Misbehaviour::Cut:
        case Misbehaviour::Stall:
        case Misbehaviour::Late:
        case Misbehaviour::Drop:
            a = Answer::None;
            break;
        case Misbehaviour::Huge: // the serial framer takes the header for noise
            a = serial ? Answer::Whole : Answer::None;
            break;
        case Misbehaviour::Lying:
            a = std::array{Answer::TypeOnly, Answer::Half, Answer::Over}[int(soak::LieOf(r.index))];
            break;
        default:
            break;
        }
    }
    if (a == Answer::None) {
        e.closed = true;
        ++e.linkFailures;
    }
    return a;
}

// The bytes a read of count bytes must give: what the reply carried (up to
// the count), then zeros.
Bytes ExpectedRead(const Expectation &e, const Round &r, uint32_t address, uint32_t count, Answer a)
{
    size_t carried = a == Answer::Half ? count / 2 : a == Answer::TypeOnly ? 0 : count;
    Bytes out(count, 0);
    for (size_t i = 0; i < carried; ++i) {
        uint32_t at = address + uint32_t(i);
        uint32_t offset = at - r.WriteAddress();
        out[i] = e.written && offset < 4 ? uint8_t(*e.written >> (8 * offset)) : docksim::DockSim::InitialByte(at);
    }
    return out;
}

// Ends the process when a call hangs far beyond any limit, so that a hang
// fails the test at once rather than at the ctest timeout.
class Watchdog {
public:
    Watchdog() : thread_([this] { Watch(); }) {}
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ending_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    Watchdog(const Watchdog &) = delete;
    Watchdog &operator=(const Watchdog &) = delete;

    void Arm(const char *what)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            what_ = what;
            deadline_ = Clock::now() + 20s;
        }
        changed_.notify_all();
    }
    void Disarm()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        what_ = nullptr;
    }

private:
    void Watch()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!ending_) {
            if (what_ == nullptr) {
                changed_.wait(lock);
            } else if (!changed_.wait_until(lock, deadline_, [&] { return ending_ || what_ == nullptr; }) &&
                       Clock::now() >= deadline_) {
                std::fprintf(stderr, "%s hung\n", what_);
                std::abort();
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    const char *what_ = nullptr;
    Clock::time_point deadline_{};
    bool ending_ = false;
    std::thread thread_; // last: starts once the rest is ready
};

// Made before the test counts its threads, and there for the whole process.
Watchdog &TheWatchdog()
{
    static Watchdog instance;
    return instance;
}

// Runs a call; the test fails when it takes longer than its limit allows.
template <typename Call> auto Within(milliseconds limit, const char *what, Call call)
{
    auto start = Clock::now();
    TheWatchdog().Arm(what);
    auto result = call();
    TheWatchdog().Disarm();
    auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    EXPECT_LE(took, limit + kSlack) << what;
    return result;
}

void CheckRemoteRead(Expectation &e, const Round &r, Target event, bool serial, uint32_t address, uint32_t count)
{
    Answer a = NextAnswer(e, r, event, serial);
    Bytes out(count, 0xAA);
    int32_t got = Within(kSoakLimits.reply, "rdmremote", [&] { return rdmremote(address, out.data(), count); });
    if (a == Answer::PortClosed) {
        EXPECT_EQ(got, -1);
        EXPECT_EQ(out, Bytes(count, 0xAA));
    } else if (a == Answer::None) {
        EXPECT_EQ(got, -4);
        EXPECT_EQ(out, Bytes(count, 0));
    } else if ((a == Answer::Half || a == Answer::TypeOnly) && count > 0) {
        // Fewer bytes than asked for: refused, and the link stays up.
        EXPECT_EQ(got, -7);
        EXPECT_EQ(out, Bytes(count, 0));
    } else {
        EXPECT_EQ(got, 0);
        EXPECT_EQ(out, ExpectedRead(e, r, address, count, a));
    }
}

// The misbehaviour ends a connection or the line: the link's thread may see
// it before the call does.
bool EndsTheLink(const Round &r, bool serial)
{
    return r.act == Misbehaviour::Drop || (!serial && (r.act == Misbehaviour::Cut || r.act == Misbehaviour::Huge));
}

int32_t SendRequest(uint16_t type, uint32_t a, uint32_t b)
{
    Bytes payload = Le32(a, b);
    return Within(kSoakLimits.sendStall, "SendDataMessage",
                  [&] { return SendDataMessage(payload.data(), int32_t(payload.size()), type); });
}

// A remote read made of a SendDataMessage and a ReadDataMessage, which
// returns the reply from its command type on.
void CheckMessageRead(Expectation &e, const Round &r, bool serial)
{
    uint32_t address = r.readAddress[1];
    uint32_t count = r.readCount[1];
    bool wasClosed = e.closed;
    Answer a = NextAnswer(e, r, Target::Read2, serial);
    EXPECT_EQ(SendRequest(ferry::kCmdReadMemory, address, count), wasClosed ? -1 : 0);
    Bytes buffer(count + 8, 0xAA);
    int32_t got = Within(kSoakLimits.reply, "ReadDataMessage",
                         [&] { return ReadDataMessage(buffer.data(), int32_t(buffer.size())); });
    if (a == Answer::None && EndsTheLink(r, serial)) {
        // Between the send and the read no call is under way, so the link's
        // thread may have closed the port already.
        EXPECT_TRUE(got == -4 || got == -1) << got;
        return;
    }
    if (a == Answer::PortClosed || a == Answer::None) {
        EXPECT_EQ(got, a == Answer::None ? -4 : -1);
        return;
    }
    Bytes tlv{1, 0};
    if (a != Answer::TypeOnly) {
        uint32_t carried = a == Answer::Half ? count / 2 : a == Answer::Over ? count + soak::kOverBy : count;
        tlv = EncodePacket(ferry::kCmdReadMemory, ExpectedRead(e, r, address, carried, Answer::Whole));
        tlv.erase(tlv.begin(), tlv.begin() + long(ferry::kHeaderSize));
        if (a == Answer::Half)
            ferry::PutU16(&tlv[2], uint16_t(count)); // it claims the whole count
    }
    if (a == Answer::Over) {
        // Too big for the buffer: read through and refused, the link stays up.
        EXPECT_EQ(got, -4);
        EXPECT_EQ(buffer, Bytes(tlv.begin(), tlv.begin() + long(buffer.size())));
        return;
    }
    ASSERT_EQ(got, int32_t(tlv.size()));
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + got), tlv);
}

// Asks the target for the round's data messages and works out which of
// them must reach the callback.
void RequestMessages(Expectation &e, const Round &r, bool serial)
{
    bool wasClosed = e.closed;
    EXPECT_EQ(SendRequest(ferry::kCmdDataMessage, r.messages, r.firstSeq), wasClosed ? -1 : 0);
    if (wasClosed)
        return;
    uint32_t due = r.messages;
    if (r.target == Target::Messages) {
        // A cut message, or over TCP a huge header, ends the stream half-way.
        if (r.act == Misbehaviour::Cut || (r.act == Misbehaviour::Huge && !serial))
            due /= 2;
        if (r.act == Misbehaviour::Cut && serial)
            e.silent = true;
        // Over TCP the notification connection ends after them: the link fails.
        e.notifyEnds = !serial && (r.act == Misbehaviour::Cut || r.act == Misbehaviour::Huge);
    }
    for (uint32_t i = 0; i < due; ++i)
        e.seqs.push_back(r.firstSeq + i);
}

void AwaitMessages(const Expectation &e)
{
    EXPECT_TRUE(Deliveries().WaitFor(e.seqs.size(), 10s)) << "messages missing";
}

void CheckDeliveries(const Expectation &e)
{
    std::vector<uint32_t> seqs;
    int failures = 0;
    for (const Delivery &d : Deliveries().Items()) {
        uint32_t seq = 0;
        if (d.payload == kLinkFailure) {
            ++failures;
        } else if (soak::MessageSeq(d.payload.data(), d.payload.size(), seq)) {
            seqs.push_back(seq);
        } else {
            ADD_FAILURE() << "the callback got " << d.payload.size() << " bytes the target never sent";
        }
    }
    if (e.closedMidFlood && seqs.size() < e.seqs.size()) {
        EXPECT_EQ(seqs, std::vector<uint32_t>(e.seqs.begin(), e.seqs.begin() + long(seqs.size())));
    } else {
        EXPECT_EQ(seqs, e.seqs);
    }
    EXPECT_EQ(failures, e.linkFailures);
}

void RunRound(const Round &r, bool serial, const std::string &where)
{
    Deliveries().Clear();
    Expectation e;
    bool refused = r.act == Misbehaviour::NoAck || r.act == Misbehaviour::WrongAck;
    int32_t opened = Within(std::max(kSoakLimits.reply, kSoakLimits.openAck), "open",
                            [&] { return serial ? OpenSerial(where) : OpenTcp(uint16_t(std::stoi(where))); });
    EXPECT_EQ(opened, refused ? -1 : 1);
    e.closed = opened != 1;
    EXPECT_EQ(Within(0ms, "register", [] { return RegisterCallbackForProxy(&CallbackLog::Callback); }),
              e.closed ? -1 : 0);

    CheckRemoteRead(e, r, Target::Read0, serial, r.readAddress[0], r.readCount[0]);
    uint32_t value = r.value;
    bool wasClosed = e.closed;
    EXPECT_EQ(Within(kSoakLimits.sendStall, "wrmremote", [&] { return wrmremote(r.WriteAddress(), &value); }),
              wasClosed ? -1 : 0);
    if (!wasClosed)
        e.written = r.value;
    CheckRemoteRead(e, r, Target::Read1, serial, r.WriteAddress() - 2, 8);

    RequestMessages(e, r, serial);
    if (r.ClosesMidFlood()) {
        // Over TCP a flood is taken in a moment: the close follows the request.
        e.closedMidFlood = true;
        if (serial) {
            EXPECT_TRUE(Deliveries().WaitFor(1, 10s));
        }
    } else {
        // Over TCP a flood comes on its own connection while the read goes on;
        // on the serial line the reply would queue behind it.
        bool awaitFirst = serial || r.act != Misbehaviour::Flood;
        if (awaitFirst)
            AwaitMessages(e);
        if (e.notifyEnds) {
            // The receive thread tells the host; every call after that is refused.
            EXPECT_TRUE(Eventually([] { return FerryLinkState() == FERRYLINK_STATE_FAILED; }));
            e.closed = true;
            ++e.linkFailures;
        }
        CheckMessageRead(e, r, serial);
        if (!awaitFirst)
            AwaitMessages(e);
    }

    Within(0ms, "CloseCommunicationPort", [] {
        CloseCommunicationPort();
        return 0;
    });
    CheckDeliveries(e);
}

int SoakRounds()
{
    const char *text = std::getenv("FERRY_SOAK_ROUNDS");
    return text != nullptr ? std::atoi(text) : kDefaultRounds;
}

uint32_t SoakSeed()
{
    // FERRY_SOAK_SEED replays another run's rounds.
    const char *text = std::getenv("FERRY_SOAK_SEED");
    return text != nullptr ? uint32_t(std::strtoul(text, nullptr, 0)) : 0x5EEDu;
}

struct Soak : ::testing::TestWithParam<bool> {};

TEST_P(Soak, HostileTargetNeverHangsCorruptsOrLeaks)
{
    const bool serial = GetParam();
    ScopedLimits limits(kSoakLimits);
    const uint32_t seed = SoakSeed();
    std::mt19937 rng(seed);
    PeerProcess peer(serial);
    ASSERT_TRUE(peer.Running());
    TheWatchdog();
    size_t threads = ThreadCount();
    size_t descriptors = DescriptorCount();

    auto start = Clock::now();
    uint32_t nextSeq = 1;
    int rounds = 0;
    const int wanted = SoakRounds();
    while (rounds < wanted && Clock::now() - start < kBudget && !HasFailure()) {
        Round r = PlanRound(rounds++, rng, nextSeq);
        SCOPED_TRACE(Describe(r, seed));
        std::string ready = peer.Order("begin " + std::to_string(int(r.act)) + " " + std::to_string(int(r.target)) +
                                       " " + std::to_string(r.index));
        ASSERT_EQ(ready.rfind("ready ", 0), 0u) << "the peer said '" << ready << "'";
        RunRound(r, serial, ready.substr(6));
        EXPECT_TRUE(Eventually([&] { return ThreadCount() == threads; }));
        EXPECT_EQ(DescriptorCount(), descriptors);
        EXPECT_EQ(peer.Order("end"), "done 0") << "malformed requests reached the target";
    }
    auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    std::printf("%d rounds in %lld ms\n", rounds, static_cast<long long>(took.count()));
    RecordProperty("rounds", rounds);

    int status = peer.Finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "peer wait status " << status;
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD) << "a child process was left behind";
}

INSTANTIATE_TEST_SUITE_P(Transports, Soak, ::testing::Bool(), TransportName);

} // namespace
} // namespace proxytest
