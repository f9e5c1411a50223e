// Helpers of the Device Data tests.
#ifndef TESTS_DEVDATA_TEST_SUPPORT_H
#define TESTS_DEVDATA_TEST_SUPPORT_H

#include "calsim/control_devdata.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace devdata_test {

// The console output ends with `tail`; on failure both are shown.
inline ::testing::AssertionResult EndsWith(const std::string &output, const std::string &tail)
{
    if (output.size() >= tail.size() && output.compare(output.size() - tail.size(), tail.size(), tail) == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "output:\n" << output << "\ndoes not end with:\n" << tail;
}

inline bool Contains(const std::string &output, const std::string &part)
{
    return output.find(part) != std::string::npos;
}

// count bytes of a simulated Flash section from address.
inline std::vector<uint8_t> SectionBytes(uint32_t section, uint32_t address, uint32_t count)
{
    std::vector<uint8_t> image = calsim::DevDataSection(section);
    return std::vector<uint8_t>(image.begin() + address, image.begin() + address + count);
}

} // namespace devdata_test

#endif
