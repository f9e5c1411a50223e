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
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "unique_fd.h"

namespace docksim {

enum class Hostile {
  None,
  BadSignature,  // replies and data messages carry a wrong signature
  HugeLength,    // ... claim 0xFFFFFFF0 bytes, then the connection ends
  ShortLength,   // ... claim 2 bytes: just the command type
  Truncated,     // ... stop halfway, then the connection ends
  Silent,        // the open is acknowledged, nothing else is answered
  NoAck,         // the open is never acknowledged
  WrongAck,      // the open is acknowledged with command type 5
  Drop,          // the connections (or the line) end right after the acknowledgement
};

bool parse_hostile(const std::string& name, Hostile& mode);

// A blocking socket bound to 127.0.0.1:port, listening when asked; invalid
// when the port is taken.
ferry::UniqueFd bind_loopback(uint16_t port, bool do_listen);

// A pty with its slave side in raw mode; both ends blocking. Both invalid
// when no pty could be had.
struct PtyPair {
  ferry::UniqueFd master;
  ferry::UniqueFd slave;
  std::string name;  // the slave's path
};
PtyPair open_raw_pty();

struct Options {
  Hostile hostile = Hostile::None;
  bool listen_notify = true;   // TCP: accept the notification connection
  bool record = true;          // keep every received packet for requests()
  unsigned rate_hz = 0;        // data messages sent on their own per second
  size_t message_size = 16;    // payload bytes of those messages
};

enum class Channel { Command, Notify };  // the same line on serial

class DockSim {
 public:
  // Listens on 127.0.0.1 at base_port and base_port + 10 (16-bit wrap);
  // null when a port is taken.
  static std::unique_ptr<DockSim> listen_tcp(uint16_t base_port, const Options& options);
  // Same, on a free pair of ports below the ephemeral range.
  static std::unique_ptr<DockSim> listen_tcp_any(const Options& options);
  // Creates a pty and serves its master side; the host opens tty_name().
  static std::unique_ptr<DockSim> serve_pty(const Options& options);
  // Serves an existing tty.
  static std::unique_ptr<DockSim> serve_tty(const std::string& path, const Options& options);
  ~DockSim();
  DockSim(const DockSim&) = delete;
  DockSim& operator=(const DockSim&) = delete;

  uint16_t base_port() const { return base_port_; }
  const std::string& tty_name() const { return tty_name_; }

  void set_hostile(Hostile mode);
  // A data message (command type 4), shaped by the hostile mode.
  void send_data_message(const std::vector<uint8_t>& payload);
  // `count` data messages of `size` payload bytes, as fast as they are taken.
  void send_data_burst(size_t size, uint64_t count);
  // Bytes put on the wire exactly as given.
  void send_raw(Channel channel, const std::vector<uint8_t>& bytes);
  // Ends both connections, or the serial line for good.
  void drop_connections();

  std::vector<std::vector<uint8_t>> requests() const;  // whole packets received
  bool wait_requests(size_t count, std::chrono::milliseconds timeout) const;
  size_t connections() const;
  // What an unwritten byte of the simulated memory holds.
  static uint8_t initial_byte(uint32_t address);

 private:
  struct Conn {
    ferry::UniqueFd fd;
    std::vector<uint8_t> in;
    std::vector<uint8_t> out;
    bool close_when_flushed = false;
  };

  explicit DockSim(const Options& options) : options_(options) {}
  bool start();
  void loop();
  void poke();
  Conn& channel_conn(Channel channel);
  void accept_on(int listener, Conn& conn);
  void read_from(Conn& conn, bool parse);
  void parse_packets(Conn& conn);
  void flush(Conn& conn);
  void end_conn(Conn& conn);
  void handle_packet(Conn& conn, const std::vector<uint8_t>& packet);
  void emit(Conn& conn, uint16_t type, const std::vector<uint8_t>& payload);
  void top_up_burst();
  std::vector<uint8_t> read_memory(uint32_t address, uint32_t count) const;

  Options options_;
  uint16_t base_port_ = 0;
  std::string tty_name_;
  bool serial_ = false;
  ferry::UniqueFd control_;  // eventfd that wakes the loop
  ferry::UniqueFd listen_command_;
  ferry::UniqueFd listen_notify_;
  ferry::UniqueFd slave_hold_;  // keeps a pty alive between host opens
  Conn command_;                // the serial line when serial_
  Conn notify_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool stopping_ = false;
  bool drop_pending_ = false;
  std::vector<std::vector<uint8_t>> requests_;
  std::map<uint32_t, uint8_t> written_;
  uint64_t burst_left_ = 0;
  std::vector<uint8_t> burst_packet_;
  uint32_t ticks_ = 0;
  std::chrono::steady_clock::time_point next_tick_{};
  std::thread thread_;
};

}  // namespace docksim
