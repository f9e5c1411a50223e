// A target that misbehaves never crashes, hangs or corrupts the host.
#include "harness.h"
#include "wire.h"

namespace proxytest {
namespace {

using docksim::Hostile;

// Reads 8 bytes at `address` with the link in `mode`; the buffer starts
// filled with 0xAA so that untouched bytes show.
Bytes read_in_mode(docksim::DockSim& sim, Hostile mode, uint32_t address) {
  sim.set_hostile(mode);
  Bytes out(8, 0xAA);
  EXPECT_EQ(rdmremote(address, out.data(), 8), 0);
  return out;
}

Bytes memory_at(uint32_t address, size_t good) {
  Bytes expected(8, 0);
  for (size_t i = 0; i < good; ++i) expected[i] = docksim::DockSim::initial_byte(address + uint32_t(i));
  return expected;
}

TEST_P(BothTest, ShortLengthRepliesAndMessagesAreDroppedInStep) {
  open_ok();
  EXPECT_EQ(read_in_mode(*sim_, Hostile::ShortLength, 0x100), memory_at(0x100, 0));
  sim_->send_data_message({1, 2, 3});
  EXPECT_EQ(read_in_mode(*sim_, Hostile::None, 0x100), memory_at(0x100, 8));
  sim_->send_data_message({4});
  ASSERT_TRUE(callback_log().wait_for(1));
  EXPECT_EQ(callback_log().items()[0].payload, Bytes{4});
}

TEST_P(BothTest, BadSignatureMessagesAreDropped) {
  open_ok();
  ::testing::internal::CaptureStdout();
  sim_->set_hostile(Hostile::BadSignature);
  sim_->send_data_message({1, 2, 3});  // header and body: exactly two 8-byte blocks
  sim_->set_hostile(Hostile::None);
  sim_->send_data_message({5});
  bool delivered = callback_log().wait_for(1);
  std::string out = ::testing::internal::GetCapturedStdout();
  ASSERT_TRUE(delivered);
  EXPECT_EQ(callback_log().items().size(), 1u);
  EXPECT_EQ(callback_log().items()[0].payload, Bytes{5});
  std::string diagnostic = "if(stCommandHeader.uiSignature != PACKET_SIGNATURE)";
  EXPECT_EQ(out, serial_ ? "" : diagnostic + diagnostic);
}

TEST_F(TcpTest, ReplySignatureIsNotExamined) {
  open_ok();
  EXPECT_EQ(read_in_mode(*sim_, Hostile::BadSignature, 0x300), memory_at(0x300, 8));
}

// A read that got no whole reply: -4, zeros where the 0xAA fill was, the
// host told once that the link failed, and the port closed until the next
// open, so that the reply cannot turn up as a later read's answer.
void expect_read_failed_and_link_closed(docksim::DockSim& sim, Hostile mode, uint32_t address) {
  sim.set_hostile(mode);
  Bytes out(8, 0xAA);
  EXPECT_EQ(rdmremote(address, out.data(), 8), -4);
  EXPECT_EQ(out, Bytes(8, 0));
  std::vector<Delivery> got = callback_log().items();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].payload, (Bytes{12, 0, 2, 0}));
  EXPECT_EQ(rdmremote(address, out.data(), 8), -1);
  uint32_t value = 1;
  EXPECT_EQ(wrmremote(address, &value), -1);
  uint8_t buffer[16];
  EXPECT_EQ(ReadDataMessage(buffer, sizeof buffer), -1);
  EXPECT_EQ(callback_log().items().size(), 1u);
}

TEST_P(BothTest, HugeLengthNeverAllocatesOrOverreads) {
  open_ok();
  // The reply claims 0xFFFFFFF0 bytes, carries 13 and the target goes quiet
  // (serial) or closes (TCP): no whole reply came.
  expect_read_failed_and_link_closed(*sim_, Hostile::HugeLength, 0x200);
}

TEST_P(BothTest, TruncatedReplyFailsTheRead) {
  open_ok();
  // 13 bytes of TLV cut to 6: command type, length and two payload bytes.
  expect_read_failed_and_link_closed(*sim_, Hostile::Truncated, 0x400);
}

TEST_P(BothTest, SilentTargetFailsTheReadWithinTheLimitAndAReopenIsInStep) {
  size_t threads = thread_count();
  size_t descriptors = descriptor_count();
  open_ok();
  auto start = std::chrono::steady_clock::now();
  expect_read_failed_and_link_closed(*sim_, Hostile::Silent, 0x500);
  EXPECT_LT(std::chrono::steady_clock::now() - start, kTestLimits.reply + 1s);
  // The late reply comes after all; the reopened link never hands it out.
  sim_->send_raw(docksim::Channel::Command, encode_packet(1, {0xEE, 0xEE, 0xEE, 0xEE}));
  CloseCommunicationPort();  // and the close does not wait on the silent target
  EXPECT_EQ(thread_count(), threads);
  EXPECT_TRUE(eventually([&] { return descriptor_count() == descriptors; }));
  sim_->set_hostile(Hostile::None);
  open_ok();
  Bytes out(8, 0xAA);
  ASSERT_EQ(rdmremote(0x600, out.data(), 8), 0);
  EXPECT_EQ(out, memory_at(0x600, 8));
}

}  // namespace
}  // namespace proxytest
