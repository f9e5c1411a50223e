// A reply is only ever taken by the request it answers: a reply that comes
// too late, or only in part, closes the port instead of turning up as the
// answer to a later request; every wait is bounded; failures are reported.
#include "harness.h"
#include "wire.h"

namespace proxytest {
namespace {

using docksim::Channel;
using docksim::Hostile;

const ferry::Limits kShortReply{.reply = 300ms, .send_stall = 2000ms, .connect = 2000ms,
                                .open_ack = 1000ms, .serial_quiet = 500ms};

Bytes memory_at(uint32_t address, size_t count) {
  Bytes expected(count);
  for (size_t i = 0; i < count; ++i) expected[i] = docksim::DockSim::initial_byte(address + uint32_t(i));
  return expected;
}

TEST_P(BothTest, LateReplyIsNeverTakenForALaterRequest) {
  ScopedLimits limits(kShortReply);
  sim_->set_hostile(Hostile::Silent);
  open_ok();
  Bytes out(4, 0xAA);
  EXPECT_EQ(rdmremote(0x100, out.data(), 4), -4);
  EXPECT_EQ(out, Bytes(4, 0));
  // The first read's answer turns up after all, before the next read.
  sim_->send_raw(Channel::Command, encode_packet(1, {0x11, 0x11, 0x11, 0x11}));
  std::this_thread::sleep_for(50ms);
  out.assign(4, 0xAA);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(rdmremote(0x200, out.data(), 4), -1);
  EXPECT_EQ(out, Bytes(4, 0xAA));
  uint8_t buffer[64];
  EXPECT_EQ(ReadDataMessage(buffer, sizeof buffer), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
  EXPECT_EQ(callback_log().items().size(), 1u);  // the link-failure notification

  // A new open is in step again: each read gets its own address's bytes.
  CloseCommunicationPort();
  sim_->set_hostile(Hostile::None);
  open_ok();
  ASSERT_EQ(rdmremote(0x200, out.data(), 4), 0);
  EXPECT_EQ(out, memory_at(0x200, 4));
  ASSERT_EQ(rdmremote(0x300, out.data(), 4), 0);
  EXPECT_EQ(out, memory_at(0x300, 4));
}

TEST_P(BothTest, ReadDataMessageThatTimesOutClosesThePortToo) {
  ScopedLimits limits(kShortReply);
  sim_->set_hostile(Hostile::Silent);
  open_ok();
  uint8_t buffer[64];
  EXPECT_EQ(ReadDataMessage(buffer, sizeof buffer), -4);
  sim_->send_raw(Channel::Command, encode_packet(1, {0x22}));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(ReadDataMessage(buffer, sizeof buffer), -1);
  EXPECT_EQ(SendDataMessage(buffer, 1, 4), -1);
}

TEST_F(SerialTest, ReplyStoredBeforeTheRequestIsNotItsAnswer) {
  sim_->set_hostile(Hostile::Silent);
  open_ok();
  // An answer nobody asked for (a duplicate, say) waits in the store...
  sim_->send_raw(Channel::Command, encode_packet(1, {0x33, 0x33, 0x33, 0x33}));
  std::this_thread::sleep_for(100ms);
  // ... and the next read's own answer is the one it returns.
  Bytes out(4, 0xAA);
  {
    AnswerWhenAsked answer(*sim_, 2, encode_packet(1, {0x44, 0x44, 0x44, 0x44}));
    EXPECT_EQ(rdmremote(0x100, out.data(), 4), 0);
  }
  EXPECT_EQ(out, Bytes(4, 0x44));
}

TEST_F(TcpTest, HeaderThenStallEndsAtTheReplyLimitNotTwice) {
  sim_->set_hostile(Hostile::Silent);
  open_ok();
  // The header comes late but in time; the body never does.
  std::thread late([&] {
    std::this_thread::sleep_for(kTestLimits.reply - 300ms);
    Bytes packet = encode_packet(1, {1, 2, 3, 4});
    sim_->send_raw(Channel::Command, Bytes(packet.begin(), packet.begin() + 8));
  });
  auto start = std::chrono::steady_clock::now();
  Bytes out(4, 0xAA);
  EXPECT_EQ(rdmremote(0x100, out.data(), 4), -4);
  auto took = std::chrono::steady_clock::now() - start;
  late.join();
  EXPECT_GE(took, kTestLimits.reply - 50ms);
  EXPECT_LT(took, kTestLimits.reply + 400ms);
  EXPECT_EQ(out, Bytes(4, 0));
}

TEST_F(SerialTest, RemoteReadWhoseSendFailsSaysSo) {
  open_ok();
  sim_->drop_connections();
  ASSERT_TRUE(eventually([&] { return sim_->connections() == 0; }));
  Bytes out(4, 0xAA);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(rdmremote(0x100, out.data(), 4), -5);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);  // no reply awaited
  EXPECT_EQ(out, Bytes(4, 0));
  ASSERT_EQ(callback_log().items().size(), 1u);
  EXPECT_EQ(callback_log().items()[0].payload, (Bytes{12, 0, 2, 0}));
}

TEST_P(BothTest, RemoteWriteWhoseSendFailsSaysSo) {
  open_ok();
  sim_->drop_connections();
  ASSERT_TRUE(eventually([&] { return sim_->connections() == 0; }));
  // The first writes after the peer left may still be taken by the kernel.
  uint32_t value = 0x12345678;
  int32_t result = 0;
  ASSERT_TRUE(eventually([&] {
    result = wrmremote(0x100, &value);
    return result != 0;
  }));
  EXPECT_EQ(result, -5);
  EXPECT_EQ(wrmremote(0x100, &value), -1);
  ASSERT_EQ(callback_log().items().size(), 1u);
  EXPECT_EQ(callback_log().items()[0].payload, (Bytes{12, 0, 2, 0}));
}

}  // namespace
}  // namespace proxytest
