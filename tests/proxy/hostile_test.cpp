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

TEST_P(BothTest, HugeLengthNeverAllocatesOrOverreads) {
  open_ok();
  // The reply claims 0xFFFFFFF0 bytes, carries 13 and the target goes quiet
  // (serial) or closes (TCP): the bytes that came are used.
  EXPECT_EQ(read_in_mode(*sim_, Hostile::HugeLength, 0x200), memory_at(0x200, 8));
  sim_->send_data_message({1, 2, 3, 4});
  std::this_thread::sleep_for(700ms);
  EXPECT_TRUE(callback_log().items().empty());
}

TEST_P(BothTest, TruncatedReplyGivesWhatArrivedAndZeros) {
  open_ok();
  // 13 bytes of TLV cut to 6: command type, length and two payload bytes.
  EXPECT_EQ(read_in_mode(*sim_, Hostile::Truncated, 0x400), memory_at(0x400, 2));
  sim_->send_data_message({1, 2, 3, 4});
  std::this_thread::sleep_for(700ms);
  EXPECT_TRUE(callback_log().items().empty());
}

TEST_P(BothTest, SilentTargetLeavesTheReadWithZerosAfterTenSeconds) {
  open_ok();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(read_in_mode(*sim_, Hostile::Silent, 0x500), memory_at(0x500, 0));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
  CloseCommunicationPort();  // and the close does not wait on the silent target
}

}  // namespace
}  // namespace proxytest
