// How the menu fuzzer reads its input: a short header (the simulator's seed
// and up to three injected faults), then the operator's answers, made from
// the bytes so that they are mostly menu choices, numbers the device takes
// and line ends, and the fuzzer gets deep into the menus quickly.
#ifndef FUZZ_MENU_INPUT_H
#define FUZZ_MENU_INPUT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

// One calsim::FailOperation call.
struct InjectedFault {
    const char *operation;
    const char *text;
    int skip;
    int times; // -1: from then on
};

struct MenuInput {
    uint32_t seed = 0;
    std::vector<InjectedFault> faults;
    std::string answers;
};

// Byte 0 is the seed; byte 1 modulo 4 the number of faults, each four bytes:
// operation, skip (0 to 7), times (0 to 3, 0 meaning from then on) and text.
// Each byte after them is one piece of the answers (see AnswerWord), and
// two words in a row are kept apart by a space. A short input leaves the
// rest of the header 0.
MenuInput DecodeMenuInput(const uint8_t *data, std::size_t size);

// The word a byte stands for, or empty for the line end, space and tab,
// which stand for themselves. Digits are themselves and 'a' to 'v' are 10
// to 31, so that a seed file reads almost as an answer file; '-' is -1 for a
// choice or a signed question; the other characters are sizes, hex words,
// real numbers and words that are not numbers.
//
// No word reads as more than kLargestCount at an unsigned question: the
// Device Data write test makes as many writes as it is asked for, some 20 us
// each here, so a frequency in kHz or -1 (4294967295) there is an operator's
// request for minutes or hours of work, not a fault. The automated test sets
// the frequencies.
constexpr uint32_t kLargestCount = 8192;
std::string AnswerWord(uint8_t byte);

} // namespace fuzz

#endif
