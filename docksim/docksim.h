// docksim: a stand-in for the target-side dock, the peer of ferrylink.
// It accepts the command connection on a base port and the notification
// connection on base port + 10 (or serves a serial line), acknowledges the
// device open, answers remote memory reads from a simulated memory that
// remote writes change, and sends data messages on demand or at a rate.
// Hostile modes make it misbehave in the ways a broken target could.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "docksim/capture.h"
#include "proxy/wire/unique_fd.h"
#include "proxy/wire/wire.h"

namespace docksim {

// The largest data message payload ferrylink delivers: its readers keep a
// TLV packet in kThreadBufferSize bytes and drop a longer one whole.
inline constexpr size_t kMaxDataPayload = ferry::kThreadBufferSize - ferry::kTlvHeaderSize - 1; // 8187

// Base ports whose notification port (base + 10) is still a port.
inline constexpr uint16_t kMaxBasePort = 65525;

// Bytes of rate messages docksim keeps queued for a host that takes them
// slower than they fall due, beyond what the socket holds; messages that
// would go past it are dropped and counted.
inline constexpr size_t kRateBacklog = 1 << 20;

// When the messages of a rate fall due: message k at k / hz seconds after
// the start. Counting from the start, not from the last message sent, lets
// a late wake-up catch up and keeps the rate from drifting.
class RateSchedule {
public:
    using Clock = std::chrono::steady_clock;
    RateSchedule(unsigned hz, Clock::time_point start) : hz_(hz), start_(start) {}
    // How many messages fell due since the last call, the one at the start
    // included.
    uint64_t TakeDue(Clock::time_point now);
    // When the first message not taken yet falls due.
    Clock::time_point NextDue() const;

private:
    unsigned hz_;
    Clock::time_point start_;
    uint64_t taken_ = 0;
};

struct RateTotals {
    uint64_t sent = 0;    // queued for the host
    uint64_t dropped = 0; // due when kRateBacklog had no room for them
};

enum class Hostile {
    None,
    BadSignature, // replies and data messages carry a wrong signature
    HugeLength,   // ... claim 0xFFFFFFF0 bytes, then the connection ends
    ShortLength,  // ... claim 2 bytes: just the command type
    Truncated,    // ... stop halfway, then the connection ends
    Silent,       // the open is acknowledged, nothing else is answered
    NoAck,        // the open is never acknowledged
    WrongAck,     // the open is acknowledged with command type 5
    Drop,         // the connections (or the line) end right after the acknowledgement
};

bool ParseHostile(const std::string &name, Hostile &mode);

// A blocking socket bound to 127.0.0.1:port, listening when asked; invalid
// when the port is taken, with errno telling why.
ferry::UniqueFd BindLoopback(uint16_t port, bool doListen);

// A pty with its slave side in raw mode; both ends blocking. Both invalid
// when no pty could be had.
struct PtyPair {
    ferry::UniqueFd master;
    ferry::UniqueFd slave;
    std::string name; // the slave's path
};
PtyPair OpenRawPty();

// What docksim does with a data message from the host when it answers them
// (docksim --modem): data messages to send back, whether to end the link,
// a line for the log.
struct DataReply {
    std::vector<std::vector<uint8_t>> messages;
    bool drop = false;
    std::string log;
};

struct Options {
    Hostile hostile = Hostile::None;
    bool listenNotify = true; // TCP: accept the notification connection
    bool record = true;       // keep every received packet for requests()
    unsigned rateHz = 0;      // data messages sent on their own per second
    size_t messageSize = 16;  // payload bytes of those messages
    // Told one line (no newline) about each connection, handshake, request
    // and data message; called on docksim's thread or the sender's, never
    // two at a time.
    std::function<void(const std::string &)> log = nullptr;
    Capture *capture = nullptr; // not owned: must outlive the DockSim
    // Answers the host's data messages (otherwise they are only logged);
    // called on docksim's thread. Mode silent holds the answers back.
    std::function<DataReply(const std::vector<uint8_t> &message)> answerData = nullptr;
};

enum class Channel { Command, Notify }; // the same line on serial

class DockSim {
public:
    // Each returns null when it cannot start, with the reason in *error
    // when given.
    // Listens on 127.0.0.1 at basePort and basePort + 10; basePort is 1 to
    // kMaxBasePort.
    static std::unique_ptr<DockSim> ListenTcp(uint16_t basePort, const Options &options, std::string *error = nullptr);
    // Same, on a free pair of ports below the ephemeral range.
    static std::unique_ptr<DockSim> ListenTcpAny(const Options &options, std::string *error = nullptr);
    // Creates a pty and serves its master side; the host opens TtyName().
    static std::unique_ptr<DockSim> ServePty(const Options &options, std::string *error = nullptr);
    // Serves an existing terminal device (nothing else: frames written into
    // a plain file would only fill it).
    static std::unique_ptr<DockSim> ServeTty(const std::string &path, const Options &options,
                                             std::string *error = nullptr);
    ~DockSim();
    DockSim(const DockSim &) = delete;
    DockSim &operator=(const DockSim &) = delete;

    uint16_t BasePort() const { return basePort_; }
    const std::string &TtyName() const { return ttyName_; }

    void SetHostile(Hostile mode);
    // Starts (or with 0 stops) the data messages of Options::rateHz; the
    // schedule starts again from now.
    void SetRate(unsigned hz);
    RateTotals Rate() const;
    // A data message (command type 4), shaped by the hostile mode.
    void SendDataMessage(const std::vector<uint8_t> &payload);
    // `count` data messages of `size` payload bytes, as fast as they are taken.
    void SendDataBurst(size_t size, uint64_t count);
    // Bytes put on the wire exactly as given.
    void SendRaw(Channel channel, const std::vector<uint8_t> &bytes);
    // Ends both connections, or the serial line for good.
    void DropConnections();
    // Stops serving and closes the connections; the destructor does it too.
    void Stop();

    std::vector<std::vector<uint8_t>> Requests() const; // whole packets received
    bool WaitRequests(size_t count, std::chrono::milliseconds timeout) const;
    size_t Connections() const;
    // What an unwritten byte of the simulated memory holds.
    static uint8_t InitialByte(uint32_t address);

private:
    struct Conn {
        ferry::UniqueFd fd;
        std::vector<uint8_t> in;
        std::vector<uint8_t> out;
        bool closeWhenFlushed = false;
        const char *name = "line"; // in log lines
        TcpFlow flow;              // the capture's view of it
    };

    explicit DockSim(const Options &options) : options_(options) {}
    bool Start(std::string *error);
    void Loop();
    void Poke();
    Conn &ChannelConn(Channel channel);
    void AcceptOn(int listener, Conn &conn, uint16_t port);
    void ReadFrom(Conn &conn, bool parse);
    void ParsePackets(Conn &conn);
    void Flush(Conn &conn);
    void EndConn(Conn &conn, bool byHost = false);
    void Log(const char *format, ...) __attribute__((format(printf, 2, 3)));
    void HandlePacket(Conn &conn, const std::vector<uint8_t> &packet);
    void Emit(Conn &conn, uint16_t type, const std::vector<uint8_t> &payload);
    void TopUpBurst();
    void SendRateMessages();
    std::vector<uint8_t> ReadMemory(uint32_t address, uint32_t count) const;

    Options options_;
    uint16_t basePort_ = 0;
    std::string ttyName_;
    bool serial_ = false;
    ferry::UniqueFd control_; // eventfd that wakes the loop
    ferry::UniqueFd listenCommand_;
    ferry::UniqueFd listenNotify_;
    ferry::UniqueFd slaveHold_; // keeps a pty alive between host opens
    Conn command_;              // the serial line when serial_
    Conn notify_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool stopping_ = false;
    bool dropPending_ = false;
    std::vector<std::vector<uint8_t>> requests_;
    std::map<uint32_t, uint8_t> written_;
    uint64_t burstLeft_ = 0;
    std::vector<uint8_t> burstPacket_;
    uint32_t ticks_ = 0;               // numbers the rate messages' byte patterns
    std::optional<RateSchedule> rate_; // while rate messages have a connection to go to
    RateTotals rateTotals_;
    uint64_t dropsLogged_ = 0;
    std::chrono::steady_clock::time_point nextDropLog_{};
    std::thread thread_;
};

} // namespace docksim
