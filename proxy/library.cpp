#include "library.h"

#include <cstring>

namespace ferry {

Library& library() {
  static Library* instance = new Library();
  return *instance;
}

int32_t send_request(Library& lib, uint16_t type, const void* payload, size_t n) {
  if (!lib.link) return kNotConnected;
  lib.request.fill(0);
  size_t size = encode_packet(lib.request.data(), type, payload, n);
  return lib.link->send_packet(lib.request.data(), size);
}

bool run_handshake(Library& lib) {
  if (send_request(lib, kCmdDeviceOpen, nullptr, 0) <= 0) {
    lib.open.store(false);
    return false;
  }
  lib.link->mark_live();
  lib.link->start_threads();
  lib.request.fill(0);
  if (lib.link->await_open_ack(lib.request.data() + kHeaderSize, kReplyCapacity)) return true;
  lib.link->mark_failed();
  return false;
}

void release_link(Library& lib) {
  if (!lib.link) return;
  lib.link->mark_failed();
  lib.link->close_connections();
  if (lib.link->on_own_thread()) {
    lib.link->end_threads();  // cannot wait for the thread we are on
    return;
  }
  lib.link->stop_threads();
  lib.link.reset();
}

namespace {

// The library is never unloaded before the process ends (it is linked so),
// so this runs at exit. A link still open is let go of without the close
// request: its threads are asked to end and given a moment, but a thread
// held up in the host's callback does not hold up the exit.
__attribute__((destructor)) void release_at_exit() {
  Library& lib = library();
  if (!lib.link || lib.link->on_own_thread()) return;
  if (lib.link->stop_threads_within(Millis(500))) lib.link.reset();
}

}  // namespace

void fail_link(Library& lib) {
  bool was_open = lib.open.exchange(false);
  if (lib.link) lib.link->mark_failed();
  if (!was_open) return;
  FerryCallback callback = lib.callback.load();
  if (callback == nullptr) return;
  uint8_t payload[4];
  put_u16(payload, 12);
  put_u16(payload + 2, 2);
  callback(0, payload, 4);
}

}  // namespace ferry
