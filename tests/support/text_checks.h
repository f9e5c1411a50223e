// Checks on console text shared by the tuneprobe tests. The assertion
// results show the whole text when they fail.
#ifndef TESTS_TEXT_CHECKS_H
#define TESTS_TEXT_CHECKS_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testing_support {

// Non-overlapping occurrences of part in text.
inline int Count(const std::string &text, const std::string &part)
{
    int n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++n;
    return n;
}

inline ::testing::AssertionResult Contains(const std::string &text, const std::string &part)
{
    if (text.find(part) != std::string::npos)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "text:\n" << text << "\ndoes not contain:\n" << part;
}

inline ::testing::AssertionResult EndsWith(const std::string &text, const std::string &tail)
{
    if (text.ends_with(tail))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "text:\n" << text << "\ndoes not end with:\n" << tail;
}

// The pieces appear in text one after the other, in this order.
inline ::testing::AssertionResult InOrder(const std::string &text, const std::vector<std::string> &pieces)
{
    std::size_t at = 0;
    for (const std::string &piece : pieces) {
        at = text.find(piece, at);
        if (at == std::string::npos)
            return ::testing::AssertionFailure() << "text:\n" << text << "\nlacks, in order:\n" << piece;
        at += piece.size();
    }
    return ::testing::AssertionSuccess();
}

} // namespace testing_support

#endif
