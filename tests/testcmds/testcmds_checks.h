// The device mode check shared by the test commands' tests.
#ifndef TESTS_TESTCMDS_CHECKS_H
#define TESTS_TESTCMDS_CHECKS_H

#include "calapi/calapi.h"

#include <gtest/gtest.h>

namespace testcmds_checks {

// The DUT mode and modulation type the simulated device holds.
inline void ExpectDeviceMode(TavrelCalHandle handle, uint32_t mode, uint32_t modulation)
{
    uint32_t m = 99;
    uint32_t q = 99;
    ASSERT_EQ(GetDeviceMode(handle, &m, &q), nullptr);
    EXPECT_EQ(m, mode);
    EXPECT_EQ(q, modulation);
}

} // namespace testcmds_checks

#endif
