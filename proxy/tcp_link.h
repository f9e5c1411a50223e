// TCP transport: the command connection on the base port carries requests
// and their replies; the notification connection on base port + 10
// carries the target's data messages, read by one receive thread.
#pragma once

#include <netinet/in.h>

#include <memory>
#include <string>

#include "link.h"

namespace ferry {

// A base port whose notification port (base + 10) is a real port too.
inline bool valid_base_port(uint32_t base_port) {
  return base_port >= 1 && base_port <= 65535 - 10;
}

class TcpLink final : public Link {
 public:
  explicit TcpLink(std::atomic<FerryCallback>& callback) : Link(callback) {}
  ~TcpLink() override;

  // Connects both connections. Fails only when the address is not a
  // dotted-decimal IPv4 address, the base port is not valid_base_port, or
  // the command connection cannot be made; without the notification
  // connection data messages never arrive.
  bool connect(const std::string& address, uint32_t base_port);

  int32_t send_packet(const uint8_t* data, size_t n) override;
  Reply read_reply(uint8_t* buffer, size_t capacity) override;
  void start_threads() override;
  bool await_open_ack(uint8_t* reply_area, size_t capacity) override;
  void close_connections() override;
  bool reusable_for(const std::string& text, uint32_t number) const override;

 private:
  void receive_loop();

  std::string address_;
  uint32_t base_port_ = 0;
  UniqueFd command_;
  UniqueFd notify_;
  std::unique_ptr<FdReader> command_reader_;
  std::unique_ptr<FdReader> notify_reader_;
};

}  // namespace ferry
