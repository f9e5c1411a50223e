// The simulated Device Data memory as a device: keys, NVM modes, sections
// and the faults a non-volatile memory can have.
#include "calsim/control_devdata.h"
#include "tests/support/console_harness.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using testing_support::Bench;

TEST(SimDevData, KeysAreFreshAndServeOneWrite)
{
    Bench bench;
    TavrelCalHandle h = bench.handle();
    std::set<uint32_t> keys;
    for (int i = 0; i < 500; ++i) {
        uint32_t key = RequestDevDataWriteKey(h);
        EXPECT_NE(key, 0u);
        EXPECT_TRUE(keys.insert(key).second);
    }
    const uint8_t byte = 0x42;
    uint32_t written = 0;
    uint32_t replaced = RequestDevDataWriteKey(h);
    uint32_t key = RequestDevDataWriteKey(h);
    EXPECT_NE(WriteDevDataBytes(h, replaced, &byte, 1, 0, &written), nullptr);
    EXPECT_EQ(WriteDevDataBytes(h, key, &byte, 1, 0, &written), nullptr);
    char used[64];
    std::snprintf(used, sizeof used, "Device Data write key %08X has been used or replaced", key);
    EXPECT_STREQ(WriteDevDataBytes(h, key, &byte, 1, 0, &written), used);
    EXPECT_EQ(std::string(WriteDevDataBytes(h, key ^ 0x5A5A0000u, &byte, 1, 0, &written))
                  .rfind("Invalid Device Data write key ", 0),
              0u);
    EXPECT_STREQ(WriteDevDataBytes(h, 0, &byte, 1, 0, &written), "No Device Data write key (0)");
    EXPECT_EQ(calsim::DevDataSection(0)[0], 0x42);

    // The same seed hands out the same keys.
    uint32_t firstKeys[2] = {};
    for (uint32_t &first : firstKeys) {
        Bench fresh(9);
        first = RequestDevDataWriteKey(fresh.handle());
    }
    EXPECT_EQ(firstKeys[0], firstKeys[1]);
}

// NVM mode 2 reaches the 32 KB buffer, never the Flash; a read-only
// section refuses writes in mode 0.
TEST(SimDevData, NvmModesAndSectionStateDecideWhatAWriteReaches)
{
    Bench bench;
    TavrelCalHandle h = bench.handle();
    const uint8_t data[2] = {0x11, 0x22};
    uint32_t written = 0;
    calsim::ForceOptionValue(TAVREL_OPTION_NVM_MODE, 2);
    ASSERT_EQ(WriteDevDataBytes(h, RequestDevDataWriteKey(h), data, 2, 0x7FFE, &written), nullptr);
    EXPECT_EQ(calsim::DevDataBuffer()[0x7FFE], 0x11);
    EXPECT_NE(calsim::DevDataSection(0)[0x7FFE], 0x11);
    EXPECT_STREQ(WriteDevDataBytes(h, RequestDevDataWriteKey(h), data, 2, 0x7FFF, &written),
                 "Device Data address range out of bounds");
    const uint32_t header[3] = {0, 4096, 1};
    EXPECT_STREQ(WriteFlash2xBytesWithHeader(h, RequestDevDataWriteKey(h), data, 2, 0, header, 3, 1, &written),
                 "Flash 2.x writes need NVM mode 0");

    calsim::ForceOptionValue(TAVREL_OPTION_NVM_MODE, 0);
    ASSERT_EQ(SelectCurrentDevDataSection(h, 1), nullptr);
    EXPECT_STREQ(WriteDevDataBytes(h, RequestDevDataWriteKey(h), data, 2, 0, &written),
                 "Device Data section 1 is read-only");
    calsim::SetDevDataSectionState(2, false, false);
    EXPECT_STREQ(SelectCurrentDevDataSection(h, 2), "Device Data section 2 is not present");

    // Asked for more than region 4 holds, the device returns its 16 bytes.
    uint8_t region[100] = {};
    uint32_t returned = 0;
    ASSERT_EQ(ReadDevDataRegionByID(h, 4, 100, region, &returned), nullptr);
    EXPECT_EQ(returned, 16u);
}
