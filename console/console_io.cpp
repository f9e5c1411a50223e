#include "console/console_io.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace con {
namespace {

const char kNotNumber[] = "Please enter a number.\n";
const char kTooLong[] = "That is too long (at most %zu characters). Please try again.\n";

struct Input {
    bool memory = false;
    std::string buffer; // what has been read and not yet consumed, from pos
    std::size_t pos = 0;
    std::size_t base = 0;     // the stream offset of buffer[0]
    std::size_t echoedTo = 0; // the stream offset up to which input went to the copy hook
    bool eof = false;
    bool atLineStart = true; // the last character consumed was a line end
};

Input g_in;
std::string *g_sink = nullptr;
EndOfInputHook g_hook = nullptr;
CopyHook g_copy = nullptr;
InterruptHook g_interruptHook = nullptr;
volatile std::sig_atomic_t g_signal = 0;
volatile std::sig_atomic_t g_actingOnSignal = 0;
// The handler writes to this pipe, so that a wait for input that began just
// before the signal still wakes up.
int g_wakePipe[2] = {-1, -1};

// A file to remove when a second signal ends the program at once (a
// temporary file that would otherwise be left behind).
char g_removeOnAbort[4096] = {};
int g_outputError = 0; // the first failed write to standard output

void OnSignal(int signal)
{
    // A closed output pipe is noted like any interrupt, but never ends the
    // program at once: the orderly end prints, and meets it again.
    if (signal == SIGPIPE) {
        if (g_signal == 0)
            g_signal = signal;
    } else if (g_signal != 0 || g_actingOnSignal != 0) {
        if (g_removeOnAbort[0] != '\0')
            ::unlink(g_removeOnAbort);
        ::_exit(128 + signal);
    } else {
        g_signal = signal;
    }
    if (g_wakePipe[1] >= 0) {
        int saved = errno;
        [[maybe_unused]] ssize_t ignored = ::write(g_wakePipe[1], "!", 1);
        errno = saved;
    }
}

// Called where the program may stop safely: between library calls.
void ActOnInterrupt()
{
    if (g_signal == 0 || g_actingOnSignal != 0)
        return;
    g_actingOnSignal = 1;
    int signal = g_signal;
    Flush();
    if (g_interruptHook)
        g_interruptHook(signal);
    Flush();
    std::exit(128 + signal);
}

void Copy(const char *text, std::size_t length)
{
    if (g_copy && length > 0)
        g_copy(text, length);
}

// The stream offset of the character consumed last.
std::size_t LastConsumed()
{
    return g_in.base + g_in.pos - 1;
}

// Waits for input without acting on an interrupt; false when one came.
bool InputOrInterrupt()
{
    for (;;) {
        if (g_signal != 0)
            return false;
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {g_wakePipe[0], POLLIN, 0}};
        int n = ::poll(fds, g_wakePipe[0] >= 0 ? 2 : 1, -1);
        if (g_signal != 0)
            return false;
        if (n >= 0 || errno != EINTR)
            return true;
    }
}

// Waits until standard input has something to read or is at its end,
// acting on an interrupt that comes first (while the interrupt is being
// acted on, the read that follows simply waits).
void WaitForStandardInput()
{
    for (;;) {
        ActOnInterrupt();
        if (InputOrInterrupt() || g_actingOnSignal != 0)
            return; // the read that follows reports what poll found
    }
}

// Echoes the input from stream offset from (or from where the echo stands,
// if later) to the end of its line or of what has been read.
void EchoLine(std::size_t from)
{
    from = std::max(from, g_in.echoedTo);
    if (from < g_in.base || from >= g_in.base + g_in.buffer.size())
        return;
    std::size_t index = from - g_in.base;
    std::size_t end = g_in.buffer.find('\n', index);
    end = end == std::string::npos ? g_in.buffer.size() : end + 1;
    Copy(g_in.buffer.data() + index, end - index);
    g_in.echoedTo = g_in.base + end;
}

// Echoes a word that began at stream offset start, then the rest of its
// line. The word itself comes from the caller: a refill in the middle of it
// has dropped its beginning from the buffer.
void EchoWord(const std::string &word, std::size_t start)
{
    if (start < g_in.echoedTo)
        return; // echoed already, with the line that holds it
    Copy(word.data(), word.size());
    g_in.echoedTo = g_in.base + g_in.pos;
    EchoLine(g_in.echoedTo);
}

bool IsSpace(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Reads more from standard input; false at end of input.
bool Refill()
{
    if (g_in.memory || g_in.eof)
        return false;
    Flush(); // the prompt must be out before the program waits
    char chunk[4096];
    for (;;) {
        WaitForStandardInput();
        ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        ActOnInterrupt();
        if (n > 0) {
            g_in.buffer.erase(0, g_in.pos);
            g_in.base += g_in.pos;
            g_in.pos = 0;
            g_in.buffer.append(chunk, static_cast<std::size_t>(n));
            return true;
        }
        if (n < 0 && errno == EINTR)
            continue;
        g_in.eof = true;
        return false;
    }
}

int Peek()
{
    if (g_in.pos >= g_in.buffer.size() && !Refill())
        return EOF;
    return static_cast<unsigned char>(g_in.buffer[g_in.pos]);
}

int Get()
{
    int c = Peek();
    if (c != EOF) {
        ++g_in.pos;
        g_in.atLineStart = (c == '\n');
    }
    return c;
}

[[noreturn]] void EndOfInput()
{
    ActOnInterrupt();
    Flush();
    if (g_hook)
        g_hook();
    std::exit(0);
}

// The format attribute lets the compiler check that fmt comes from a
// checked printf-style caller.
__attribute__((format(printf, 1, 0))) void VPrint(const char *fmt, va_list ap)
{
    ActOnInterrupt();
    char small[512];
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (n < 0)
        return;
    std::string text;
    if (static_cast<std::size_t>(n) < sizeof small) {
        text.assign(small, static_cast<std::size_t>(n));
    } else {
        text.resize(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(text.data(), text.size(), fmt, ap);
        text.resize(static_cast<std::size_t>(n));
    }
    if (g_sink)
        g_sink->append(text);
    else if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() && g_outputError == 0)
        g_outputError = errno != 0 ? errno : EIO;
    Copy(text.data(), text.size());
}

__attribute__((format(printf, 1, 0))) std::string VFormat(const char *fmt, va_list ap)
{
    std::string saved;
    std::string *old = g_sink;
    CopyHook copy = g_copy;
    g_sink = &saved;
    g_copy = nullptr;
    VPrint(fmt, ap);
    g_sink = old;
    g_copy = copy;
    return saved;
}

void PrintText(const std::string &text)
{
    Print("%s", text.c_str());
}

// What the leading number of a word came to.
enum class Conversion { NotNumber, OutOfRange, Taken };

// The leading number read exactly, as strtoll reads it; taken when it fits
// one 32-bit question or the other, cut to 32 bits as formatted input would.
// A number past the 64-bit range is reported by ERANGE and is out of it too.
Conversion Convert(const std::string &word, int base, uint32_t &value)
{
    constexpr long long kLowest = -2147483648LL;
    constexpr long long kHighest = 4294967295LL;
    const char *start = word.c_str();
    char *end = nullptr;
    int savedErrno = errno;
    errno = 0;
    long long v = std::strtoll(start, &end, base);
    bool overflow = errno == ERANGE;
    errno = savedErrno;
    if (end == start)
        return Conversion::NotNumber;
    if (overflow || v < kLowest || v > kHighest)
        return Conversion::OutOfRange;
    value = static_cast<uint32_t>(static_cast<unsigned long long>(v));
    return Conversion::Taken;
}

// Puts the terminal back as it was found, however the key read ends.
class TerminalRestorer {
public:
    explicit TerminalRestorer(const termios &saved) : saved_(saved) {}
    ~TerminalRestorer() { ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_); }
    TerminalRestorer(const TerminalRestorer &) = delete;
    TerminalRestorer &operator=(const TerminalRestorer &) = delete;

private:
    termios saved_;
};

// A read that is tried again when a signal interrupts it, unless the signal
// is one to act on.
ssize_t ReadStandardInput(char *buffer, std::size_t size)
{
    ssize_t n;
    do {
        n = ::read(STDIN_FILENO, buffer, size);
    } while (n < 0 && errno == EINTR && g_signal == 0);
    return n;
}

// One key press without echo. A key that sends several bytes (an arrow key
// sends ESC [ A) is taken whole: what follows the first byte within a tenth
// of a second belongs to it, and anything still queued is dropped, so the
// shell that runs next finds nothing of it. An interrupt ends the wait; the
// caller acts on it once the terminal is itself again.
void ReadKeyAtTerminal(const termios &saved)
{
    constexpr cc_t kRestOfKeyDeciseconds = 1;
    TerminalRestorer restorer(saved);
    termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    ::tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    char bytes[64];
    if (!InputOrInterrupt() || ReadStandardInput(bytes, 1) <= 0)
        return;
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = kRestOfKeyDeciseconds;
    if (::tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) {
        while (ReadStandardInput(bytes, sizeof bytes) > 0) {
        }
    }
    ::tcflush(STDIN_FILENO, TCIFLUSH);
}

} // namespace

void Print(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    VPrint(fmt, ap);
    va_end(ap);
}

void Flush()
{
    if (!g_sink && std::fflush(stdout) != 0 && g_outputError == 0)
        g_outputError = errno != 0 ? errno : EIO;
}

int OutputError()
{
    Flush();
    if (g_outputError == 0 && std::ferror(stdout))
        g_outputError = EIO;
    return g_outputError;
}

std::string ReadWord()
{
    int c = Get();
    while (c != EOF && IsSpace(c))
        c = Get();
    if (c == EOF)
        EndOfInput();
    std::size_t start = LastConsumed();
    std::string word(1, static_cast<char>(c));
    // The delimiter stays in the stream, as with formatted input.
    while ((c = Peek()) != EOF && !IsSpace(c))
        word.push_back(static_cast<char>(Get()));
    EchoWord(word, start);
    return word;
}

bool ParseUnsigned(const std::string &word, int base, uint32_t &value)
{
    return Convert(word, base, value) == Conversion::Taken;
}

bool ParseSigned(const std::string &word, int32_t &value)
{
    uint32_t bits = 0;
    if (Convert(word, 10, bits) != Conversion::Taken)
        return false;
    value = static_cast<int32_t>(bits);
    return true;
}

bool ParseDouble(const std::string &word, double &value)
{
    const char *start = word.c_str();
    char *end = nullptr;
    double v = std::strtod(start, &end);
    if (end == start)
        return false;
    value = v;
    return true;
}

// Prints the prompt and reads words until parse accepts one, with the notice
// in between.
template <typename T, typename Parse>
__attribute__((format(printf, 1, 0))) T AskUntilNumber(const char *fmt, va_list ap, Parse parse)
{
    std::string prompt = VFormat(fmt, ap);
    for (;;) {
        PrintText(prompt);
        T value{};
        if (parse(ReadWord(), value))
            return value;
        Print(kNotNumber);
    }
}

uint32_t AskUnsigned(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    uint32_t v =
        AskUntilNumber<uint32_t>(fmt, ap, [](const std::string &w, uint32_t &x) { return ParseUnsigned(w, 10, x); });
    va_end(ap);
    return v;
}

uint32_t AskHex(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    uint32_t v =
        AskUntilNumber<uint32_t>(fmt, ap, [](const std::string &w, uint32_t &x) { return ParseUnsigned(w, 16, x); });
    va_end(ap);
    return v;
}

int32_t AskSigned(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int32_t v = AskUntilNumber<int32_t>(fmt, ap, ParseSigned);
    va_end(ap);
    return v;
}

double AskDouble(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    double v = AskUntilNumber<double>(fmt, ap, ParseDouble);
    va_end(ap);
    return v;
}

int32_t AskDecimal(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::string prompt = VFormat(fmt, ap);
    va_end(ap);
    for (;;) {
        PrintText(prompt);
        uint32_t bits = 0;
        Conversion result = Convert(ReadWord(), 10, bits);
        if (result == Conversion::Taken)
            return static_cast<int32_t>(bits);
        // Any other word is an invalid choice for the caller to turn down.
        if (result == Conversion::NotNumber)
            return 0;
        Print(kNotNumber);
    }
}

std::string AskText(std::size_t maxLength, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::string prompt = VFormat(fmt, ap);
    va_end(ap);
    for (;;) {
        PrintText(prompt);
        std::string word = ReadWord();
        if (word.size() <= maxLength)
            return word;
        Print(kTooLong, maxLength);
    }
}

void WaitForEnter()
{
    // The rest of the line that held the last answer.
    if (!g_in.atLineStart) {
        int c;
        while ((c = Get()) != EOF && c != '\n') {
        }
    }
    // Typed ahead at a terminal; piped answers are never thrown away.
    if (!g_in.memory && ::isatty(STDIN_FILENO)) {
        g_in.base += g_in.buffer.size();
        g_in.buffer.clear();
        g_in.pos = 0;
        ::tcflush(STDIN_FILENO, TCIFLUSH);
    }
    int c = Get();
    if (c == EOF)
        EndOfInput();
    EchoLine(LastConsumed());
    while (c != EOF && c != '\n')
        c = Get();
}

void WaitForKey()
{
    Flush();
    if (!g_in.memory && ::isatty(STDIN_FILENO)) {
        termios saved{};
        if (::tcgetattr(STDIN_FILENO, &saved) == 0) {
            ReadKeyAtTerminal(saved);
            ActOnInterrupt();
            // The shell's prompt comes next and starts on a line of its own.
            Print("\n");
            Flush();
            return;
        }
    }
    Get();
}

void UseMemoryInput(const std::string &text)
{
    g_in = Input{};
    g_in.memory = true;
    g_in.buffer = text;
}

void UseStandardInput()
{
    g_in = Input{};
}

void CaptureOutput(std::string *sink)
{
    if (!sink)
        std::fflush(stdout);
    g_sink = sink;
}

void SetEndOfInputHook(EndOfInputHook hook)
{
    g_hook = hook;
}

void SetCopyHook(CopyHook hook)
{
    g_copy = hook;
}

void RemoveOnAbort(const std::string &path)
{
    if (path.size() < sizeof g_removeOnAbort) {
        std::copy(path.begin(), path.end(), g_removeOnAbort);
        g_removeOnAbort[path.size()] = '\0';
    }
}

void EchoAnswer(const std::string &text)
{
    Copy(text.data(), text.size());
}

void CatchInterrupts(InterruptHook hook)
{
    g_interruptHook = hook;
    if (g_wakePipe[0] < 0 && ::pipe2(g_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        g_wakePipe[0] = g_wakePipe[1] = -1;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a read waiting for the operator must return
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        ::sigaction(signal, &action, nullptr);
}

} // namespace con
