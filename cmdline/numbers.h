// Whole numbers on the command line, the same way in every program: digits
// only (no sign, no blanks, nothing after them), within a range the caller
// gives. How a number may be written is the caller's too: decimal, or
// decimal and hex after 0x.
#ifndef CMDLINE_NUMBERS_H
#define CMDLINE_NUMBERS_H

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace cmdline {

struct NumberForm {
    bool hex = false;          // 0x or 0X and hex digits are taken as well as decimal
    std::size_t maxDigits = 0; // more digits (leading zeros too) are refused whatever the value; 0: any number
};

inline constexpr NumberForm kDecimal{};
inline constexpr NumberForm kDecimalOrHex{.hex = true};

// The value of text written in form, when it lies within [low, high]; false
// (and value untouched) for anything else, a value past 2^64 - 1 included.
bool ParseNumber(std::string_view text, NumberForm form, uint64_t low, uint64_t high, uint64_t &value);

} // namespace cmdline

#endif
