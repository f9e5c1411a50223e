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

#include "harness.h"
#include "soak_protocol.h"

namespace proxytest {
namespace {

using Clock = std::chrono::steady_clock;
using soak::Misbehaviour;
using soak::Target;
using std::chrono::milliseconds;

const ferry::Limits kSoakLimits{.reply = 200ms,
                                .send_stall = 500ms,
                                .connect = 500ms,
                                .open_ack = 200ms,
                                .serial_quiet = 100ms};
// What a call may take beyond its limit: a sanitizer build on a busy
// two-core machine. A call that waits on anything unbounded still shows.
constexpr milliseconds kSlack{1000};
// A late answer comes well after the read has given up on it.
constexpr milliseconds kLate{350};
// Rounds per transport: few in the default run, which must stay quick;
// the sanitizer runs ask for more through FERRY_SOAK_ROUNDS.
constexpr int kDefaultRounds = 50;
constexpr auto kBudget = 40s;                // per transport, whatever the rounds
constexpr uint32_t kWriteRegion = 0x100000;  // each round writes its own word here, reads elsewhere
constexpr uint32_t kFlood = 300;
const Bytes kLinkFailure{12, 0, 2, 0};

// The peer program, talking over a socket pair on its stdin and stdout;
// ended and reaped at the end of scope at the latest.
class PeerProcess {
 public:
  explicit PeerProcess(bool serial) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return;
    ferry::UniqueFd mine(ends[0]);
    ferry::UniqueFd theirs(ends[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, theirs.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, theirs.get(), STDOUT_FILENO);
    std::string program = SOAK_PEER;
    std::string transport = serial ? "serial" : "tcp";
    std::string late = std::to_string(kLate.count());
    char* argv[] = {program.data(), transport.data(), late.data(), nullptr};
    if (::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (pid_ > 0) control_ = std::move(mine);
  }
  ~PeerProcess() { finish(); }
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  bool running() const { return pid_ > 0; }

  // Sends an order; the answer line, or "" when none came in time.
  std::string order(const std::string& line) {
    std::string text = line + "\n";
    if (::send(control_.get(), text.data(), text.size(), MSG_NOSIGNAL) != ssize_t(text.size())) {
      return "";
    }
    auto deadline = Clock::now() + 5s;
    size_t eol;
    while ((eol = pending_.find('\n')) == std::string::npos) {
      auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
      pollfd p{control_.get(), POLLIN, 0};
      char chunk[256];
      ssize_t r = 0;
      if (left <= 0 || ::poll(&p, 1, int(left)) <= 0 ||
          (r = ::recv(control_.get(), chunk, sizeof chunk, 0)) <= 0) {
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
  int finish() {
    if (pid_ <= 0) return -1;
    control_.reset();
    int status = 0;
    if (!eventually([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, 5s)) {
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
  uint32_t read_address[2] = {};  // Read0 and Read2, where nothing is written
  uint32_t read_count[2] = {};
  uint32_t value = 0;
  uint32_t messages = 0;
  uint32_t first_seq = 0;

  uint32_t write_address() const { return kWriteRegion + uint32_t(index) * 16; }
  // Every other flood is cut off by the close, with the callback busy.
  bool closes_mid_flood() const { return act == Misbehaviour::Flood && index % 2 == 1; }
};

uint32_t pick_count(std::mt19937& rng) {
  switch (rng() % 8) {
    case 0:
      return 0;
    case 1:
      return uint32_t(ferry::kMaxRequestPayload);
    default:
      return 1 + rng() % 64;
  }
}

Round plan_round(int index, std::mt19937& rng, uint32_t& next_seq) {
  Round r;
  r.index = index;
  r.act = Misbehaviour(index % int(Misbehaviour::Count));
  if (r.act == Misbehaviour::Flood) {
    r.target = Target::Messages;
  } else if (r.act == Misbehaviour::Stall || r.act == Misbehaviour::Late ||
             r.act == Misbehaviour::Drop) {
    r.target = std::array{Target::Read0, Target::Read1, Target::Read2}[rng() % 3];
  } else {
    r.target = Target(rng() % 4);
  }
  for (int i = 0; i < 2; ++i) {
    r.read_address[i] = rng() % 0x10000;
    r.read_count[i] = pick_count(rng);
  }
  r.value = uint32_t(rng());
  r.messages = r.act == Misbehaviour::Flood ? kFlood : 4 + rng() % 5;
  r.first_seq = next_seq;
  next_seq += r.messages;
  return r;
}

std::string describe(const Round& r, uint32_t seed) {
  static const char* const kTargets[] = {"Read0", "Read1", "Messages", "Read2"};
  return "round " + std::to_string(r.index) + " of seed " + std::to_string(seed) + ": " +
         soak::name(r.act) + " at " + kTargets[int(r.target)];
}

// How the target answers a read, as foreseen from the round.
enum class Answer { Whole, Half, TypeOnly, Over, None, PortClosed };

// What the host has seen so far in a round, and so what it expects next.
struct Expectation {
  bool closed = false;              // the port is closed: calls return -1
  bool silent = false;              // the target answers nothing more
  int link_failures = 0;            // notifications due to the callback
  std::optional<uint32_t> written;  // the value at the round's write address
  std::vector<uint32_t> seqs;       // messages due to the callback
  bool closed_mid_flood = false;    // then only the first of them are
};

Answer next_answer(Expectation& e, const Round& r, Target event, bool serial) {
  if (e.closed) return Answer::PortClosed;
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
      case Misbehaviour::Huge:  // the serial framer takes the header for noise
        a = serial ? Answer::Whole : Answer::None;
        break;
      case Misbehaviour::Lying:
        a = std::array{Answer::TypeOnly, Answer::Half, Answer::Over}[int(soak::lie_of(r.index))];
        break;
      default:
        break;
    }
  }
  if (a == Answer::None) {
    e.closed = true;
    ++e.link_failures;
  }
  return a;
}

// The bytes a read of count bytes must give: what the reply carried (up to
// the count), then zeros.
Bytes expected_read(const Expectation& e, const Round& r, uint32_t address, uint32_t count,
                    Answer a) {
  size_t carried = a == Answer::Half ? count / 2 : a == Answer::TypeOnly ? 0 : count;
  Bytes out(count, 0);
  for (size_t i = 0; i < carried; ++i) {
    uint32_t at = address + uint32_t(i);
    uint32_t offset = at - r.write_address();
    out[i] = e.written && offset < 4 ? uint8_t(*e.written >> (8 * offset))
                                     : docksim::DockSim::initial_byte(at);
  }
  return out;
}

// Ends the process when a call hangs far beyond any limit, so that a hang
// fails the test at once rather than at the ctest timeout.
class Watchdog {
 public:
  Watchdog() : thread_([this] { watch(); }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ending_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  void arm(const char* what) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      what_ = what;
      deadline_ = Clock::now() + 20s;
    }
    changed_.notify_all();
  }
  void disarm() {
    std::lock_guard<std::mutex> lock(mutex_);
    what_ = nullptr;
  }

 private:
  void watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!ending_) {
      if (what_ == nullptr) {
        changed_.wait(lock);
      } else if (!changed_.wait_until(lock, deadline_,
                                      [&] { return ending_ || what_ == nullptr; }) &&
                 Clock::now() >= deadline_) {
        std::fprintf(stderr, "%s hung\n", what_);
        std::abort();
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  const char* what_ = nullptr;
  Clock::time_point deadline_{};
  bool ending_ = false;
  std::thread thread_;  // last: starts once the rest is ready
};

// Made before the test counts its threads, and there for the whole process.
Watchdog& watchdog() {
  static Watchdog instance;
  return instance;
}

// Runs a call; the test fails when it takes longer than its limit allows.
template <typename Call>
auto within(milliseconds limit, const char* what, Call call) {
  auto start = Clock::now();
  watchdog().arm(what);
  auto result = call();
  watchdog().disarm();
  auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
  EXPECT_LE(took, limit + kSlack) << what;
  return result;
}

void check_remote_read(Expectation& e, const Round& r, Target event, bool serial, uint32_t address,
                       uint32_t count) {
  Answer a = next_answer(e, r, event, serial);
  Bytes out(count, 0xAA);
  int32_t got =
      within(kSoakLimits.reply, "rdmremote", [&] { return rdmremote(address, out.data(), count); });
  if (a == Answer::PortClosed) {
    EXPECT_EQ(got, -1);
    EXPECT_EQ(out, Bytes(count, 0xAA));
  } else if (a == Answer::None) {
    EXPECT_EQ(got, -4);
    EXPECT_EQ(out, Bytes(count, 0));
  } else {
    EXPECT_EQ(got, 0);
    EXPECT_EQ(out, expected_read(e, r, address, count, a));
  }
}

int32_t send_request(uint16_t type, uint32_t a, uint32_t b) {
  Bytes payload = le32(a, b);
  return within(kSoakLimits.send_stall, "SendDataMessage",
                [&] { return SendDataMessage(payload.data(), int32_t(payload.size()), type); });
}

// A remote read made of a SendDataMessage and a ReadDataMessage, which
// returns the reply from its command type on.
void check_message_read(Expectation& e, const Round& r, bool serial) {
  uint32_t address = r.read_address[1];
  uint32_t count = r.read_count[1];
  bool was_closed = e.closed;
  Answer a = next_answer(e, r, Target::Read2, serial);
  EXPECT_EQ(send_request(ferry::kCmdReadMemory, address, count), was_closed ? -1 : 0);
  Bytes buffer(count + 8, 0xAA);
  int32_t got = within(kSoakLimits.reply, "ReadDataMessage",
                       [&] { return ReadDataMessage(buffer.data(), int32_t(buffer.size())); });
  if (a == Answer::PortClosed || a == Answer::None) {
    EXPECT_EQ(got, a == Answer::None ? -4 : -1);
    return;
  }
  Bytes tlv{1, 0};
  if (a != Answer::TypeOnly) {
    uint32_t carried = a == Answer::Half   ? count / 2
                       : a == Answer::Over ? count + soak::kOverBy
                                           : count;
    tlv =
        encode_packet(ferry::kCmdReadMemory, expected_read(e, r, address, carried, Answer::Whole));
    tlv.erase(tlv.begin(), tlv.begin() + long(ferry::kHeaderSize));
    if (a == Answer::Half) ferry::put_u16(&tlv[2], uint16_t(count));  // it claims the whole count
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
void request_messages(Expectation& e, const Round& r, bool serial) {
  bool was_closed = e.closed;
  EXPECT_EQ(send_request(ferry::kCmdDataMessage, r.messages, r.first_seq), was_closed ? -1 : 0);
  if (was_closed) return;
  uint32_t due = r.messages;
  if (r.target == Target::Messages) {
    // A cut message, or over TCP a huge header, ends the stream half-way.
    if (r.act == Misbehaviour::Cut || (r.act == Misbehaviour::Huge && !serial)) due /= 2;
    if (r.act == Misbehaviour::Cut && serial) e.silent = true;
  }
  for (uint32_t i = 0; i < due; ++i) e.seqs.push_back(r.first_seq + i);
}

void await_messages(const Expectation& e) {
  EXPECT_TRUE(callback_log().wait_for(e.seqs.size(), 10s)) << "messages missing";
}

void check_deliveries(const Expectation& e) {
  std::vector<uint32_t> seqs;
  int failures = 0;
  for (const Delivery& d : callback_log().items()) {
    uint32_t seq = 0;
    if (d.payload == kLinkFailure) {
      ++failures;
    } else if (soak::message_seq(d.payload.data(), d.payload.size(), seq)) {
      seqs.push_back(seq);
    } else {
      ADD_FAILURE() << "the callback got " << d.payload.size() << " bytes the target never sent";
    }
  }
  if (e.closed_mid_flood && seqs.size() < e.seqs.size()) {
    EXPECT_EQ(seqs, std::vector<uint32_t>(e.seqs.begin(), e.seqs.begin() + long(seqs.size())));
  } else {
    EXPECT_EQ(seqs, e.seqs);
  }
  EXPECT_EQ(failures, e.link_failures);
}

void run_round(const Round& r, bool serial, const std::string& where) {
  callback_log().clear();
  Expectation e;
  bool refused = r.act == Misbehaviour::NoAck || r.act == Misbehaviour::WrongAck;
  int32_t opened = within(std::max(kSoakLimits.reply, kSoakLimits.open_ack), "open", [&] {
    return serial ? open_serial(where) : open_tcp(uint16_t(std::stoi(where)));
  });
  EXPECT_EQ(opened, refused ? -1 : 1);
  e.closed = opened != 1;
  EXPECT_EQ(
      within(0ms, "register", [] { return RegisterCallbackForProxy(&CallbackLog::callback); }),
      e.closed ? -1 : 0);

  check_remote_read(e, r, Target::Read0, serial, r.read_address[0], r.read_count[0]);
  uint32_t value = r.value;
  bool was_closed = e.closed;
  EXPECT_EQ(within(kSoakLimits.send_stall, "wrmremote",
                   [&] { return wrmremote(r.write_address(), &value); }),
            was_closed ? -1 : 0);
  if (!was_closed) e.written = r.value;
  check_remote_read(e, r, Target::Read1, serial, r.write_address() - 2, 8);

  request_messages(e, r, serial);
  if (r.closes_mid_flood()) {
    // Over TCP a flood is taken in a moment: the close follows the request.
    e.closed_mid_flood = true;
    if (serial) {
      EXPECT_TRUE(callback_log().wait_for(1, 10s));
    }
  } else {
    // Over TCP a flood comes on its own connection while the read goes on;
    // on the serial line the reply would queue behind it.
    bool await_first = serial || r.act != Misbehaviour::Flood;
    if (await_first) await_messages(e);
    check_message_read(e, r, serial);
    if (!await_first) await_messages(e);
  }

  within(0ms, "CloseCommunicationPort", [] {
    CloseCommunicationPort();
    return 0;
  });
  check_deliveries(e);
}

int soak_rounds() {
  const char* text = std::getenv("FERRY_SOAK_ROUNDS");
  return text != nullptr ? std::atoi(text) : kDefaultRounds;
}

uint32_t soak_seed() {
  // FERRY_SOAK_SEED replays another run's rounds.
  const char* text = std::getenv("FERRY_SOAK_SEED");
  return text != nullptr ? uint32_t(std::strtoul(text, nullptr, 0)) : 0x5EEDu;
}

struct Soak : ::testing::TestWithParam<bool> {};

TEST_P(Soak, HostileTargetNeverHangsCorruptsOrLeaks) {
  const bool serial = GetParam();
  ScopedLimits limits(kSoakLimits);
  const uint32_t seed = soak_seed();
  std::mt19937 rng(seed);
  PeerProcess peer(serial);
  ASSERT_TRUE(peer.running());
  watchdog();
  size_t threads = thread_count();
  size_t descriptors = descriptor_count();

  auto start = Clock::now();
  uint32_t next_seq = 1;
  int rounds = 0;
  const int wanted = soak_rounds();
  while (rounds < wanted && Clock::now() - start < kBudget && !HasFailure()) {
    Round r = plan_round(rounds++, rng, next_seq);
    SCOPED_TRACE(describe(r, seed));
    std::string ready = peer.order("begin " + std::to_string(int(r.act)) + " " +
                                   std::to_string(int(r.target)) + " " + std::to_string(r.index));
    ASSERT_EQ(ready.rfind("ready ", 0), 0u) << "the peer said '" << ready << "'";
    run_round(r, serial, ready.substr(6));
    EXPECT_EQ(thread_count(), threads);
    EXPECT_EQ(descriptor_count(), descriptors);
    EXPECT_EQ(peer.order("end"), "done 0") << "malformed requests reached the target";
  }
  auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
  std::printf("%d rounds in %lld ms\n", rounds, static_cast<long long>(took.count()));
  RecordProperty("rounds", rounds);

  int status = peer.finish();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "peer wait status " << status;
  errno = 0;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD) << "a child process was left behind";
}

INSTANTIATE_TEST_SUITE_P(Transports, Soak, ::testing::Bool(), transport_name);

}  // namespace
}  // namespace proxytest
