// Small checks shared by the test commands' tests and their end-to-end runs.
#ifndef TESTS_TESTCMDS_CHECKS_H
#define TESTS_TESTCMDS_CHECKS_H

#include "console/calapi.h"

#include <gtest/gtest.h>

#include <string>

namespace testcmds_checks {

// Non-overlapping occurrences of part in text.
inline int Count(const std::string &text, const std::string &part)
{
    int n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++n;
    return n;
}

inline bool Contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

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
