// Benchmarks of ferrylink against raw baselines measured in the same run:
// a remote read round trip against a raw socket ping-pong of the same
// bytes, a write followed by a read, data-message delivery to the callback
// against a raw socket reader (at full speed, and at docksim's rates), and
// the serial round trip against a raw pty ping-pong. Prints the ratios, the
// CPU each reader of the stream uses a message and the CPU an idle open
// link uses. Times are reported, never judged.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "docksim/docksim.h"
#include <ferrylink.h>
#include "proxy/wire/unique_fd.h"
#include "proxy/wire/wire.h"

namespace {

using ferry::UniqueFd;
using Bytes = std::vector<uint8_t>;

constexpr size_t kMessageSize = 1024;
constexpr int kMessagesPerIteration = 1000;
// Each rate is measured this long for each reader, after a warm-up.
constexpr auto kRateWarmUp = std::chrono::milliseconds(500);
constexpr auto kRateSpan = std::chrono::seconds(3);

// ---- raw baselines: blocking reads and writes, nothing else ----

bool ReadAll(int fd, uint8_t *data, size_t n)
{
    while (n > 0) {
        ssize_t r = ::read(fd, data, n);
        if (r <= 0)
            return false;
        data += r;
        n -= size_t(r);
    }
    return true;
}

bool WriteAll(int fd, const uint8_t *data, size_t n)
{
    while (n > 0) {
        ssize_t r = ::write(fd, data, n);
        if (r <= 0)
            return false;
        data += r;
        n -= size_t(r);
    }
    return true;
}

// The target of every round trip, raw or through the proxy, so that the
// ratios show the proxy's own cost: read a packet, acknowledge a device
// open, answer a remote read with `count` bytes. Ends when the other side
// goes away.
void RawTarget(int fd)
{
    Bytes packet(ferry::kHeaderSize + 64);
    Bytes reply;
    Bytes ack = ferry::EncodePacket(ferry::kCmdDeviceOpen, {});
    Bytes memory(ferry::kMaxRequestPayload, 0x5A);
    while (ReadAll(fd, packet.data(), ferry::kHeaderSize)) {
        uint32_t length = ferry::GetU32(packet.data() + 4);
        if (length > 64 || !ReadAll(fd, packet.data() + 8, length))
            return;
        uint16_t type = ferry::GetU16(packet.data() + 8);
        if (type == ferry::kCmdDeviceOpen && !WriteAll(fd, ack.data(), ack.size()))
            return;
        if (type != ferry::kCmdReadMemory)
            continue;
        uint32_t count = std::min<uint32_t>(ferry::GetU32(packet.data() + 16), ferry::kMaxRequestPayload);
        reply.resize(count + ferry::kPacketOverhead);
        ferry::EncodePacket(reply.data(), ferry::kCmdReadMemory, memory.data(), count);
        if (!WriteAll(fd, reply.data(), reply.size()))
            return;
    }
}

// A connected blocking socket to 127.0.0.1:port, without Nagle's delay.
int ConnectLoopback(uint16_t port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// The raw reader's step: one whole packet, header then body, with no
// buffering beyond it.
bool ReadMessage(int fd, Bytes &header, Bytes &body)
{
    return ReadAll(fd, header.data(), header.size()) &&
           ReadAll(fd, body.data(), std::min<size_t>(ferry::GetU32(header.data() + 4), body.size()));
}

// 1 KB data messages, written back to back until the reader goes away.
void MessageStream(int fd)
{
    Bytes message = ferry::EncodePacket(ferry::kCmdDataMessage, Bytes(kMessageSize, 7));
    Bytes chunk;
    for (int i = 0; i < 64; ++i)
        chunk.insert(chunk.end(), message.begin(), message.end());
    while (WriteAll(fd, chunk.data(), chunk.size())) {
    }
}

// Serves the command port with RawTarget and the notification port
// (base + 10) with MessageStream, one connection after another. The
// stream starts on StartStream(), so that the round trips do not share the
// CPU with it.
class TcpTarget {
public:
    TcpTarget()
    {
        for (uint16_t base = 31000; base > 21000 && !command_.Valid(); base -= 97) {
            command_ = docksim::BindLoopback(base, true);
            notify_ = docksim::BindLoopback(uint16_t(base + 10), true);
            if (!notify_.Valid())
                command_.Reset();
            port_ = base;
        }
        threads_.emplace_back(Serve, command_.Get(), RawTarget);
        threads_.emplace_back(Serve, notify_.Get(), [this](int fd) {
            std::unique_lock<std::mutex> lock(mutex_);
            goChanged_.wait(lock, [this] { return go_ != 0; });
            if (go_ > 0) {
                lock.unlock();
                MessageStream(fd);
            }
        });
    }
    ~TcpTarget()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (go_ == 0)
                go_ = -1; // a stream never started ends at once
        }
        goChanged_.notify_all();
        ::shutdown(command_.Get(), SHUT_RDWR); // wakes the accepts
        ::shutdown(notify_.Get(), SHUT_RDWR);
        for (std::thread &t : threads_)
            t.join();
    }
    void StartStream()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            go_ = 1;
        }
        goChanged_.notify_all();
    }
    uint16_t Port() const { return port_; }
    // CPU time the stream's writer has used.
    std::chrono::nanoseconds WriterCpu() { return ThreadCpu(threads_[1]); }

private:
    static std::chrono::nanoseconds ThreadCpu(std::thread &t)
    {
        clockid_t clock;
        timespec ts{};
        if (::pthread_getcpuclockid(t.native_handle(), &clock) != 0 || ::clock_gettime(clock, &ts) != 0)
            return {};
        return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
    }

    static void Serve(int listener, const std::function<void(int)> &handler)
    {
        for (;;) {
            UniqueFd conn(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
            if (!conn.Valid())
                return;
            int one = 1;
            ::setsockopt(conn.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            handler(conn.Get());
        }
    }

    UniqueFd command_;
    UniqueFd notify_;
    uint16_t port_ = 0;
    std::mutex mutex_;
    std::condition_variable goChanged_;
    int go_ = 0;
    std::vector<std::thread> threads_;
};

// One remote read as a raw exchange: 21 bytes out, count + 13 back.
void RawRoundTrip(benchmark::State &state, int fd, uint32_t count, bool writeFirst)
{
    Bytes write = ferry::EncodePacket(ferry::kCmdWriteMemory, Bytes(8, 1));
    Bytes read = ferry::EncodePacket(ferry::kCmdReadMemory, {0, 0, 0, 0, uint8_t(count), uint8_t(count >> 8), 0, 0});
    Bytes reply(count + ferry::kPacketOverhead);
    for (auto _ : state) {
        if (writeFirst)
            WriteAll(fd, write.data(), write.size());
        WriteAll(fd, read.data(), read.size());
        if (!ReadAll(fd, reply.data(), reply.size()))
            state.SkipWithError("target went away");
    }
}

void BmRawTcpRoundTrip(benchmark::State &state)
{
    TcpTarget target;
    UniqueFd fd(ConnectLoopback(target.Port()));
    RawRoundTrip(state, fd.Get(), uint32_t(state.range(0)), state.range(1) != 0);
}

void BmRawPtyRoundTrip(benchmark::State &state)
{
    docksim::PtyPair pair = docksim::OpenRawPty();
    std::thread target(RawTarget, pair.master.Get());
    RawRoundTrip(state, pair.slave.Get(), uint32_t(state.range(0)), false);
    pair.slave.Reset(); // the target's read fails and it ends
    target.join();
}

// CPU time of the whole process.
std::chrono::nanoseconds ProcessCpu()
{
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

// Measures the CPU that reading the stream costs, a message: the process's
// but the writer's.
class ReaderCpu {
public:
    explicit ReaderCpu(TcpTarget &target) : target_(target), process_(ProcessCpu()), writer_(target.WriterCpu()) {}
    void Report(benchmark::State &state)
    {
        auto used = (ProcessCpu() - process_) - (target_.WriterCpu() - writer_);
        double messages = double(state.iterations()) * kMessagesPerIteration;
        state.SetItemsProcessed(int64_t(messages));
        state.counters["reader_ns/msg"] = messages > 0 ? double(used.count()) / messages : 0;
    }

private:
    TcpTarget &target_;
    std::chrono::nanoseconds process_;
    std::chrono::nanoseconds writer_;
};

void BmRawReader(benchmark::State &state)
{
    TcpTarget target;
    UniqueFd fd(ConnectLoopback(uint16_t(target.Port() + 10)));
    target.StartStream();
    Bytes header(ferry::kHeaderSize), body(8192);
    ReaderCpu cpu(target);
    for (auto _ : state) {
        for (int i = 0; i < kMessagesPerIteration; ++i)
            ReadMessage(fd.Get(), header, body);
    }
    cpu.Report(state);
    ::shutdown(fd.Get(), SHUT_RDWR);
}

// ---- the proxy ----

int32_t OpenLink(const std::string &text, uint32_t number, bool serial)
{
    FerryOpenRecord record{};
    record.transport = serial ? FERRYLINK_TRANSPORT_SERIAL : FERRYLINK_TRANSPORT_TCP;
    std::snprintf(record.text, sizeof record.text, "%s", text.c_str());
    record.number = number;
    return OpenCommunicatonPort(&record);
}

void ProxyRoundTrips(benchmark::State &state, bool writeFirst)
{
    uint32_t count = uint32_t(state.range(0));
    Bytes out(count);
    uint32_t value = 0x01020304;
    for (auto _ : state) {
        if (writeFirst)
            wrmremote(0x100, &value);
        rdmremote(0x100, out.data(), count);
    }
    CloseCommunicationPort();
}

void BmProxyTcpRoundTrip(benchmark::State &state)
{
    TcpTarget target;
    if (OpenLink("127.0.0.1", target.Port(), false) != 1) {
        state.SkipWithError("cannot open the link");
        return;
    }
    ProxyRoundTrips(state, state.range(1) != 0);
}

void BmProxyPtyRoundTrip(benchmark::State &state)
{
    docksim::PtyPair pair = docksim::OpenRawPty();
    std::thread target(RawTarget, pair.master.Get());
    if (OpenLink(pair.name, 115200, true) == 1) {
        ProxyRoundTrips(state, false);
    } else {
        state.SkipWithError("cannot open the link");
    }
    pair.slave.Reset();
    target.join();
}

std::mutex g_mutex;
std::condition_variable g_delivered_changed;
std::atomic<uint64_t> g_delivered{0};
std::atomic<uint64_t> g_wanted{0};

int32_t CountMessage(int32_t, const uint8_t *, int32_t)
{
    uint64_t now = g_delivered.fetch_add(1) + 1;
    if (now >= g_wanted.load()) {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_delivered_changed.notify_all();
    }
    return 0;
}

void BmProxyCallbackDelivery(benchmark::State &state)
{
    g_delivered = 0;
    g_wanted = 0;
    TcpTarget target;
    if (OpenLink("127.0.0.1", target.Port(), false) != 1) {
        state.SkipWithError("cannot open the link");
        return;
    }
    // Messages that come before the callback wait for it.
    target.StartStream();
    RegisterCallbackForProxy(CountMessage);
    ReaderCpu cpu(target);
    for (auto _ : state) {
        g_wanted += kMessagesPerIteration;
        std::unique_lock<std::mutex> lock(g_mutex);
        g_delivered_changed.wait(lock, [] { return g_delivered.load() >= g_wanted.load(); });
    }
    cpu.Report(state);
    CloseCommunicationPort();
}

// What a reader took of docksim's rate messages over kRateSpan, a second.
struct RateSample {
    double sent = 0;
    double dropped = 0; // by docksim, for want of room in its queue
    double received = 0;
};

// Runs sim at hz and counts what `received` tells over kRateSpan after the
// warm-up; the rate is stopped again at the end.
RateSample SampleRate(docksim::DockSim &sim, unsigned hz, const std::function<uint64_t()> &received)
{
    sim.SetRate(hz);
    std::this_thread::sleep_for(kRateWarmUp);
    auto start = std::chrono::steady_clock::now();
    docksim::RateTotals before = sim.Rate();
    uint64_t receivedBefore = received();
    std::this_thread::sleep_for(kRateSpan);
    docksim::RateTotals after = sim.Rate();
    uint64_t receivedAfter = received();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    sim.SetRate(0);
    RateSample sample;
    sample.sent = double(after.sent - before.sent) / seconds;
    sample.dropped = double(after.dropped - before.dropped) / seconds;
    sample.received = double(receivedAfter - receivedBefore) / seconds;
    return sample;
}

// docksim's rate messages (its default 16 bytes) taken by the raw reader,
// then by the library's callback from a fresh docksim at the same rate.
// Reported as counters: sent, callback and raw messages a second.
void BmRateDelivery(benchmark::State &state)
{
    unsigned hz = unsigned(state.range(0));
    docksim::Options options;
    options.record = false;
    RateSample raw, callback;
    for (auto _ : state) {
        {
            auto sim = docksim::DockSim::ListenTcpAny(options);
            if (!sim) {
                state.SkipWithError("docksim cannot listen");
                return;
            }
            UniqueFd fd(ConnectLoopback(uint16_t(sim->BasePort() + 10)));
            std::atomic<uint64_t> taken{0};
            std::thread reader([&] {
                Bytes header(ferry::kHeaderSize), body(ferry::kThreadBufferSize);
                while (ReadMessage(fd.Get(), header, body))
                    taken.fetch_add(1, std::memory_order_relaxed);
            });
            raw = SampleRate(*sim, hz, [&] { return taken.load(); });
            ::shutdown(fd.Get(), SHUT_RDWR); // ends the reader's read
            reader.join();
        }
        auto sim = docksim::DockSim::ListenTcpAny(options);
        if (!sim || OpenLink("127.0.0.1", sim->BasePort(), false) != 1) {
            state.SkipWithError("cannot open the link");
            return;
        }
        g_delivered = 0;
        g_wanted = UINT64_MAX; // nobody waits: the callback only counts
        RegisterCallbackForProxy(CountMessage);
        callback = SampleRate(*sim, hz, [] { return g_delivered.load(); });
        CloseCommunicationPort();
    }
    state.counters["sent/s"] = (raw.sent + callback.sent) / 2;
    state.counters["dropped/s"] = (raw.dropped + callback.dropped) / 2;
    state.counters["raw/s"] = raw.received;
    state.counters["callback/s"] = callback.received;
    state.counters["callback/raw"] = raw.received > 0 ? callback.received / raw.received : 0;
}

BENCHMARK(BmRawTcpRoundTrip)->Args({4, 0})->Args({2043, 0})->Args({4, 1})->UseRealTime();
BENCHMARK(BmProxyTcpRoundTrip)->Args({4, 0})->Args({2043, 0})->Args({4, 1})->UseRealTime();
BENCHMARK(BmRawPtyRoundTrip)->Arg(4)->UseRealTime();
BENCHMARK(BmProxyPtyRoundTrip)->Arg(4)->UseRealTime();
BENCHMARK(BmRawReader)->UseRealTime();
BENCHMARK(BmProxyCallbackDelivery)->UseRealTime();
BENCHMARK(BmRateDelivery)->Arg(10000)->Arg(50000)->Arg(100000)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

// Keeps each benchmark's time per iteration and throughput for the
// ratios: the median when repetitions are asked for, else the one run.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            if (run.error_occurred || run.iterations == 0)
                continue;
            bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type == Run::RT_Aggregate && !median)
                continue;
            std::string name = run.run_name.str();
            time[name] = run.GetAdjustedRealTime();
            auto items = run.counters.find("items_per_second");
            if (items != run.counters.end())
                rate[name] = items->second.value;
            if (counters.find(name) == counters.end())
                order.push_back(name);
            std::map<std::string, double> &mine = counters[name];
            for (const auto &[counter, value] : run.counters)
                mine[counter] = value.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> time;
    std::map<std::string, double> rate;
    std::map<std::string, std::map<std::string, double>> counters;
    std::vector<std::string> order; // of the names in counters, as they ran
};

void PrintRatio(const std::map<std::string, double> &values, const char *label, const std::string &ours,
                const std::string &raw, const char *goal)
{
    auto a = values.find(ours);
    auto b = values.find(raw);
    if (a == values.end() || b == values.end() || b->second == 0)
        return;
    std::printf("  %-44s %6.2f   (goal %s)\n", label, a->second / b->second, goal);
}

// CPU used by the whole process while a link to a quiet docksim stays open.
double IdleCpuMs(bool serial, double seconds)
{
    docksim::Options options;
    options.record = false;
    auto sim = serial ? docksim::DockSim::ServePty(options) : docksim::DockSim::ListenTcpAny(options);
    if (!sim)
        return -1;
    if (OpenLink(serial ? sim->TtyName() : "127.0.0.1", serial ? 115200 : sim->BasePort(), serial) != 1) {
        return -1;
    }
    auto cpu = [] {
        rusage u{};
        ::getrusage(RUSAGE_SELF, &u);
        return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
               double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
    };
    double before = cpu();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    double used = cpu() - before;
    CloseCommunicationPort();
    return used;
}

} // namespace

int main(int argc, char **argv)
{
    ::signal(SIGPIPE, SIG_IGN); // the raw baselines write with plain write()
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    const auto &t = reporter.time;
    const auto &r = reporter.rate;
    std::printf("\nferrylink against raw baselines (time ratio: lower is better)\n");
    PrintRatio(t, "rdmremote 4 bytes / raw TCP ping-pong", "BmProxyTcpRoundTrip/4/0/real_time",
               "BmRawTcpRoundTrip/4/0/real_time", "<= 1.3");
    PrintRatio(t, "rdmremote 2043 bytes / raw TCP ping-pong", "BmProxyTcpRoundTrip/2043/0/real_time",
               "BmRawTcpRoundTrip/2043/0/real_time", "<= 1.3");
    PrintRatio(t, "wrmremote + rdmremote / raw write + ping-pong", "BmProxyTcpRoundTrip/4/1/real_time",
               "BmRawTcpRoundTrip/4/1/real_time", "<= 1.3");
    PrintRatio(t, "serial rdmremote 4 bytes / raw pty ping-pong", "BmProxyPtyRoundTrip/4/real_time",
               "BmRawPtyRoundTrip/4/real_time", "<= 2");
    std::printf("throughput ratio (higher is better)\n");
    PrintRatio(r, "callback delivery 1 KB / raw socket reader", "BmProxyCallbackDelivery/real_time",
               "BmRawReader/real_time", ">= 1");
    std::printf("reading CPU a message, ns (lower is better)\n");
    for (const char *name : {"BmProxyCallbackDelivery/real_time", "BmRawReader/real_time"}) {
        auto it = reporter.counters.find(name);
        if (it != reporter.counters.end() && it->second.count("reader_ns/msg") != 0)
            std::printf("  %-44s %6.0f\n", name, it->second.at("reader_ns/msg"));
    }
    bool header = false;
    for (const std::string &name : reporter.order) {
        const std::map<std::string, double> &values = reporter.counters.at(name);
        if (name.rfind("BmRateDelivery/", 0) != 0)
            continue;
        if (!header)
            std::printf("delivery at docksim's rate, 16-byte messages (a second)\n"
                        "  %8s %10s %10s %10s %10s %8s\n",
                        "rate", "sent", "dropped", "callback", "raw", "cb/raw");
        header = true;
        auto at = [&values](const char *key) {
            auto it = values.find(key);
            return it == values.end() ? 0.0 : it->second;
        };
        std::printf("  %8s %10.0f %10.0f %10.0f %10.0f %8.3f\n", name.substr(15, name.find('/', 15) - 15).c_str(),
                    at("sent/s"), at("dropped/s"), at("callback/s"), at("raw/s"), at("callback/raw"));
    }
    double seconds = 2.0;
    std::printf("CPU of the whole process over %.0f s with an idle open link:\n", seconds);
    std::printf("  TCP    %.1f ms\n", IdleCpuMs(false, seconds));
    std::printf("  serial %.1f ms\n", IdleCpuMs(true, seconds));
    return 0;
}
