#include "cmdline/numbers.h"

namespace cmdline {

namespace {

// The value of one digit in base, or -1 when c is none.
int DigitValue(char c, unsigned base)
{
    int digit = -1;
    if (c >= '0' && c <= '9')
        digit = c - '0';
    else if (c >= 'a' && c <= 'f')
        digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        digit = c - 'A' + 10;
    return digit >= 0 && unsigned(digit) < base ? digit : -1;
}

} // namespace

bool ParseNumber(std::string_view text, NumberForm form, uint64_t low, uint64_t high, uint64_t &value)
{
    unsigned base = 10;
    if (form.hex && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty() || (form.maxDigits != 0 && text.size() > form.maxDigits))
        return false;
    uint64_t result = 0;
    for (char c : text) {
        int digit = DigitValue(c, base);
        if (digit < 0 || result > (UINT64_MAX - uint64_t(digit)) / base)
            return false;
        result = result * base + uint64_t(digit);
    }
    if (result < low || result > high)
        return false;
    value = result;
    return true;
}

} // namespace cmdline
