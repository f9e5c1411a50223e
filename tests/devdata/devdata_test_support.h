// Helpers of the Device Data tests.
#ifndef TESTS_DEVDATA_TEST_SUPPORT_H
#define TESTS_DEVDATA_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <string>

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

} // namespace devdata_test

#endif
