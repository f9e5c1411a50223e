// What the library tells about itself (result texts, limits),
// and what it accepts of a link: only strict dotted-decimal addresses, the
// supported baud rates.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <climits>
#include <set>
#include <string>

#include "tests/proxy/harness.h"
#include "linkrules/link_text.h"
#include "proxy/serial_port.h"

namespace proxytest {
namespace {

// Each code of each function reads differently, and a number that is no
// code still gets a sentence (a host prints whatever it got).
TEST(Api, EveryCodeHasASentenceOfItsOwn)
{
    std::set<std::string> texts;
    for (int32_t code : {1, 0, -1, -4, -5, -6, -7, -8})
        texts.insert(FerryResultText(code));
    EXPECT_EQ(texts.size(), 8u);
    for (int32_t code : {2, -2, -3, -9, INT_MIN, INT_MAX}) {
        const char *text = FerryResultText(code);
        ASSERT_NE(text, nullptr) << code;
        EXPECT_EQ(texts.count(text), 0u) << code;
    }
}

TEST(Api, LimitsOutsideTheirRangeAreRefusedAndTheQuietGapIsNotTheHosts)
{
    ScopedLimits restore(kTestLimits);
    const FerryLimits good{100, 200, 300, 400};
    ASSERT_EQ(FerrySetLimits(&good), 0);
    const FerryLimits bad[] = {{0, 200, 300, 400}, {100, 600001, 300, 400}, {100, 200, 0, 400}, {100, 200, 300, 0}};
    for (const FerryLimits &limits : bad)
        EXPECT_EQ(FerrySetLimits(&limits), -6);
    EXPECT_EQ(FerrySetLimits(nullptr), -6);
    FerryLimits now{};
    FerryGetLimits(&now);
    EXPECT_EQ(now.reply_ms, 100u);
    EXPECT_EQ(now.send_ms, 200u);
    EXPECT_EQ(now.connect_ms, 300u);
    EXPECT_EQ(now.ack_ms, 400u);
    FerryGetLimits(nullptr);
    EXPECT_EQ(ferry::CurrentLimits().serialQuiet, kTestLimits.serialQuiet);
}

TEST_F(TcpTest, ReplyLimitSetByTheHostBoundsTheRead)
{
    ScopedLimits restore(kTestLimits);
    sim_->SetHostile(docksim::Hostile::Silent);
    OpenOk();
    const FerryLimits limits{50, 1000, 1000, 1000};
    ASSERT_EQ(FerrySetLimits(&limits), 0);
    auto start = std::chrono::steady_clock::now();
    uint8_t word[4];
    EXPECT_EQ(rdmremote(0, word, 4), -4);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 45ms);
    EXPECT_LT(took, kTestLimits.reply); // not the limit the test set before
}

// True when someone has connected to the listener (an open returns only
// after its connect, so there is nothing to wait for).
bool ConnectionWaiting(const ferry::UniqueFd &listener)
{
    pollfd p{listener.Get(), POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

// Bound to 127.0.0.8, where an octal reading of "127.0.0.010" leads.
ferry::UniqueFd ListenWhereOctalLeads(uint16_t port)
{
    ferry::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(0x7F000008);
    if (::bind(fd.Get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd.Get(), 4) != 0)
        fd.Reset();
    return fd;
}

// Only four decimal numbers from 0 to 255 name a target: every other form
// that some parsers take for an address is refused before anything is
// dialled.
TEST_F(TcpTest, OnlyStrictDottedDecimalAddressesAreDialled)
{
    ferry::UniqueFd octal = ListenWhereOctalLeads(sim_->BasePort());
    ASSERT_TRUE(octal.Valid());
    const char *const refused[] = {
        "127.1",      "2130706433", "0x7f.0.0.1",  "127.0.0.1 junk", "127.0.0.010", "127.0.0.01",  "0127.0.0.1",
        "127.0.0.1.", "127.0.0",    "127.0.0.256", "127..0.1",       " 127.0.0.1",  "127.0.0.1\t", "+127.0.0.1",
        "localhost",  "",           "127.0.0.-1",  "1270.0.0.1",
    };
    for (const char *text : refused) {
        FerryOpenRecord record = MakeRecord(FERRYLINK_TRANSPORT_TCP, text, sim_->BasePort());
        EXPECT_EQ(OpenCommunicatonPort(&record), -1) << '"' << text << '"';
        EXPECT_EQ(sim_->Connections(), 0u) << '"' << text << '"';
        EXPECT_FALSE(ConnectionWaiting(octal)) << '"' << text << '"';
    }
    FerryOpenRecord record = MakeRecord(FERRYLINK_TRANSPORT_TCP, "127.0.0.1", sim_->BasePort());
    EXPECT_EQ(OpenCommunicatonPort(&record), 1);
}

// The termios table of the serial port and the link's rules name the same
// rates.
TEST(SerialPort, EverySupportedRateHasItsCodeAndNoOtherRateHasOne)
{
    size_t count = 0;
    const uint32_t *rates = linkrules::BaudRates(count);
    ASSERT_GT(count, 0u);
    for (size_t i = 0; i < count; ++i) {
        speed_t code = 0;
        EXPECT_TRUE(ferry::SerialSpeedCode(rates[i], code)) << rates[i];
    }
    for (uint32_t rate : {0u, 50u, 110u, 12345u, 115201u, 5000000u}) {
        speed_t code = 0;
        EXPECT_FALSE(ferry::SerialSpeedCode(rate, code)) << rate;
    }
}

} // namespace
} // namespace proxytest
