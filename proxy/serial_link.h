// Serial transport: one line carries requests, replies and data messages.
// A reader thread takes packets off the line and queues them; a dispatcher
// thread hands data messages to the callback and replies to the waiting
// caller.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "link.h"
#include "sync.h"

namespace ferry {

class SerialLink final : public Link {
 public:
  explicit SerialLink(std::atomic<FerryCallback>& callback) : Link(callback) {}
  ~SerialLink() override;

  // One of the codes of open_serial_port.
  int open(const std::string& name, uint32_t baud);

  int32_t send_packet(const uint8_t* data, size_t n) override;
  Reply read_reply(uint8_t* buffer, size_t capacity) override;
  void start_threads() override;
  bool await_open_ack(uint8_t* reply_area, size_t capacity) override;

 private:
  struct QueuedPacket {
    std::vector<uint8_t> bytes;  // from the command type on
    bool complete;
  };

  void wake_threads() override { queue_.close(); }
  void reader_loop();
  void dispatch_loop();
  void dispatch(const QueuedPacket& packet);

  UniqueFd port_;
  std::unique_ptr<FdReader> reader_;
  BlockingQueue<QueuedPacket> queue_{32};
  Event reply_ready_;  // a remote memory read reply is stored
  Event device_open_;  // the device-open acknowledgement arrived
  std::mutex reply_mutex_;
  std::vector<uint8_t> reply_;
};

}  // namespace ferry
