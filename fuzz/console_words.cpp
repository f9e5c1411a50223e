// Fuzz target console_words: the console's word reader and its number
// conversions, on arbitrary typing.
//
// Input: the first byte is the length of the text field asked for (0 to 31);
// the rest is what the operator types. Checked:
// - ReadWord splits the typing at whitespace as formatted input does: each
//   word is a whole run of non-whitespace characters, in order;
// - ParseUnsigned and ParseSigned take the word's leading number when the C
//   library reads it as lying from -2^31 to 2^32-1 and then agree with
//   strtoul cut to 32 bits; ParseDouble agrees with strtod;
// - each Ask function returns the words it can convert, in order, asking its
//   prompt once per word and printing the notice after each refused one;
//   AskDecimal gives 0 for a word that is not a number;
//   AskText never returns a word longer than its field;
// - a pause (WaitForEnter) takes one whole line, after dropping the rest of
//   the line that the last answer ended on.
#include "console/console_io.h"
#include "fuzz/fuzz_target.h"

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

using fuzz::Require;

namespace {

struct InputEnded {};

void ThrowInputEnded()
{
    throw InputEnded{};
}

// The prompt is formatted once and then printed as it stands, so a '%' in
// an argument must come out as typed each time the question is asked again.
const char kPromptFormat[] = "Answer %d (%s) ? ";
const char kPromptArgument[] = "50%";
const char kPrompt[] = "Answer 7 (50%) ? ";
const char kNotNumber[] = "Please enter a number.\n";

// Whitespace by the C library's own idea of it.
bool IsBlank(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// The reference split of the typing into words.
std::vector<std::string> SplitWords(const std::string &text)
{
    std::vector<std::string> words;
    std::string word;
    for (char c : text) {
        if (IsBlank(c)) {
            if (!word.empty())
                words.push_back(word);
            word.clear();
        } else {
            word.push_back(c);
        }
    }
    if (!word.empty())
        words.push_back(word);
    return words;
}

// The reference conversions: the C library's. The leading number is taken
// when it lies from -2^31 to 2^32-1 (strtoimax reports one past its own
// range by ERANGE), cut to 32 bits as strtoul cuts it. The word stops at a
// NUL byte for them as for the console.
enum class Reading { NotNumber, OutOfRange, Taken };

Reading ReferenceInteger(const std::string &word, int base, uint32_t &value)
{
    const char *start = word.c_str();
    char *end = nullptr;
    errno = 0;
    intmax_t exact = std::strtoimax(start, &end, base);
    if (end == start)
        return Reading::NotNumber;
    if (errno == ERANGE || exact < INT32_MIN || exact > intmax_t{UINT32_MAX})
        return Reading::OutOfRange;
    value = static_cast<uint32_t>(std::strtoul(start, nullptr, base));
    return Reading::Taken;
}

bool ReferenceUnsigned(const std::string &word, int base, uint32_t &value)
{
    return ReferenceInteger(word, base, value) == Reading::Taken;
}

bool ReferenceSigned(const std::string &word, int32_t &value)
{
    uint32_t bits = 0;
    if (!ReferenceUnsigned(word, 10, bits))
        return false;
    value = static_cast<int32_t>(bits);
    return true;
}

// A menu choice: 0 for a word that is not a number, refused when out of range.
bool ReferenceChoice(const std::string &word, int32_t &value)
{
    uint32_t bits = 0;
    Reading reading = ReferenceInteger(word, 10, bits);
    value = static_cast<int32_t>(bits);
    return reading != Reading::OutOfRange;
}

// Doubles are compared by their bits, so that NaN equals itself.
uint64_t Bits(double d)
{
    uint64_t bits = 0;
    std::memcpy(&bits, &d, sizeof bits);
    return bits;
}

bool ReferenceDouble(const std::string &word, uint64_t &bits)
{
    const char *start = word.c_str();
    char *end = nullptr;
    bits = Bits(std::strtod(start, &end));
    return end != start;
}

void CheckReadWord(const std::string &text, const std::vector<std::string> &words)
{
    con::UseMemoryInput(text);
    std::vector<std::string> read;
    try {
        for (;;)
            read.push_back(con::ReadWord());
    } catch (const InputEnded &) {
    }
    Require(read == words, "ReadWord returns the whitespace-delimited words of the input, in order");
}

void CheckConversions(const std::vector<std::string> &words)
{
    for (const std::string &word : words) {
        for (int base : {10, 16}) {
            uint32_t got = 0;
            uint32_t want = 0;
            bool ok = con::ParseUnsigned(word, base, got);
            Require(ok == ReferenceUnsigned(word, base, want) && (!ok || got == want),
                    "ParseUnsigned takes the 32-bit range and agrees with strtoul cut to 32 bits");
        }
        int32_t gotSigned = 0;
        int32_t wantSigned = 0;
        bool ok = con::ParseSigned(word, gotSigned);
        Require(ok == ReferenceSigned(word, wantSigned) && (!ok || gotSigned == wantSigned),
                "ParseSigned takes the 32-bit range and agrees with strtoul cut to 32 bits");
        double gotDouble = 0;
        uint64_t wantBits = 0;
        ok = con::ParseDouble(word, gotDouble);
        Require(ok == ReferenceDouble(word, wantBits) && (!ok || Bits(gotDouble) == wantBits),
                "ParseDouble agrees with strtod");
    }
}

// The position after the line end at or after from, or the end of text.
std::size_t AfterLineEnd(const std::string &text, std::size_t from)
{
    std::size_t end = text.find('\n', from);
    return end == std::string::npos ? text.size() : end + 1;
}

// The first word of text from position from, if any.
bool FirstWordFrom(const std::string &text, std::size_t from, std::string &word)
{
    std::vector<std::string> rest = SplitWords(text.substr(from));
    if (rest.empty())
        return false;
    word = rest.front();
    return true;
}

// A pause, at the start or after the first answer, then one more answer:
// the answer is the first word after the line that the pause took.
void CheckPause(const std::string &text, bool afterAnswer)
{
    std::string want;
    bool wantEnded = true;
    std::size_t pos = 0;
    if (afterAnswer) {
        while (pos < text.size() && IsBlank(text[pos]))
            ++pos;
        while (pos < text.size() && !IsBlank(text[pos]))
            ++pos;
        if (pos < text.size())
            pos = AfterLineEnd(text, pos);
    }
    if (pos < text.size())
        wantEnded = !FirstWordFrom(text, AfterLineEnd(text, pos), want);

    std::string got;
    bool gotEnded = false;
    con::UseMemoryInput(text);
    try {
        if (afterAnswer)
            con::ReadWord();
        con::WaitForEnter();
        got = con::ReadWord();
    } catch (const InputEnded &) {
        gotEnded = true;
    }
    Require(gotEnded == wantEnded && got == want,
            "a pause drops the rest of the answer's line and then takes one line");
}

// Asks one question over and over until the input ends, and compares what
// came back and what was printed with the reference: accept(word, value)
// tells whether the question takes the word and what it makes of it; a
// refused word is followed by notice and the prompt again.
template <typename T, typename Ask, typename Accept>
void CheckQuestion(const std::string &text, const std::vector<std::string> &words, Ask ask, Accept accept,
                   const std::string &notice, const char *property)
{
    std::vector<T> got;
    std::string output;
    con::UseMemoryInput(text);
    con::CaptureOutput(&output);
    try {
        for (;;)
            got.push_back(ask());
    } catch (const InputEnded &) {
    }
    con::CaptureOutput(nullptr);

    std::vector<T> want;
    std::string transcript;
    for (const std::string &word : words) {
        transcript += kPrompt;
        T value{};
        if (accept(word, value))
            want.push_back(value);
        else
            transcript += notice;
    }
    transcript += kPrompt; // the question that met the end of input
    Require(got == want, property);
    Require(output == transcript, "a question prints its prompt once per word and a notice after a refused one");
}

void CheckQuestions(const std::string &text, const std::vector<std::string> &words, std::size_t fieldLength)
{
    CheckQuestion<uint32_t>(
        text, words, [] { return con::AskUnsigned(kPromptFormat, 7, kPromptArgument); },
        [](const std::string &w, uint32_t &v) { return ReferenceUnsigned(w, 10, v); }, kNotNumber,
        "AskUnsigned returns the words that begin with a decimal number");
    CheckQuestion<uint32_t>(
        text, words, [] { return con::AskHex(kPromptFormat, 7, kPromptArgument); },
        [](const std::string &w, uint32_t &v) { return ReferenceUnsigned(w, 16, v); }, kNotNumber,
        "AskHex returns the words that begin with a hex number");
    CheckQuestion<int32_t>(
        text, words, [] { return con::AskSigned(kPromptFormat, 7, kPromptArgument); }, ReferenceSigned, kNotNumber,
        "AskSigned returns the words that begin with a decimal number");
    CheckQuestion<int32_t>(
        text, words, [] { return con::AskDecimal(kPromptFormat, 7, kPromptArgument); }, ReferenceChoice, kNotNumber,
        "AskDecimal returns each word's number in range, or 0 for a word that is not a number");
    CheckQuestion<uint64_t>(
        text, words, [] { return Bits(con::AskDouble(kPromptFormat, 7, kPromptArgument)); }, ReferenceDouble,
        kNotNumber, "AskDouble returns the words that begin with a floating-point number");

    std::string tooLong =
        "That is too long (at most " + std::to_string(fieldLength) + " characters). Please try again.\n";
    CheckQuestion<std::string>(
        text, words, [fieldLength] { return con::AskText(fieldLength, kPromptFormat, 7, kPromptArgument); },
        [fieldLength](const std::string &w, std::string &v) {
            v = w;
            return w.size() <= fieldLength;
        },
        tooLong, "AskText returns the words that fit its field, whole");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    std::size_t fieldLength = data[0] % 32;
    std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
    std::vector<std::string> words = SplitWords(text);

    con::SetEndOfInputHook(ThrowInputEnded);
    CheckReadWord(text, words);
    CheckConversions(words);
    CheckPause(text, false);
    CheckPause(text, true);
    CheckQuestions(text, words, fieldLength);
    con::SetEndOfInputHook(nullptr);
    return 0;
}
