// The console I/O module: the only code that touches standard input and
// output. Handlers print through Print and read every answer through the
// Ask functions; tests point both ends at memory.
#ifndef CONSOLE_CONSOLE_IO_H
#define CONSOLE_CONSOLE_IO_H

#include <cstdint>
#include <string>

namespace con {

// printf-style output, the system's texts exactly as they stand.
void Print(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void Flush();
// After a flush: the errno value of the first write to standard output that
// failed, or 0.
int OutputError();

// Input is a stream of whitespace-delimited words, as with formatted input.
// ReadWord returns the next word; at end of input it runs the end-of-input
// hook, which does not return.
std::string ReadWord();

// One formatted-input conversion each, after printing the prompt (printf
// style). The leading number of the word is taken ("3abc" reads 3); a word
// that does not begin with a number is consumed, a short notice printed and
// the prompt asked again. The integer questions take numbers from
// -2147483648 to 4294967295 and treat any other number the same way, rather
// than wrap it to some other value.
uint32_t AskUnsigned(const char *fmt, ...) __attribute__((format(printf, 1, 2))); // "%u"
uint32_t AskHex(const char *fmt, ...) __attribute__((format(printf, 1, 2)));      // "%x"
int32_t AskSigned(const char *fmt, ...) __attribute__((format(printf, 1, 2)));    // "%d"
double AskDouble(const char *fmt, ...) __attribute__((format(printf, 1, 2)));     // "%lg"

// A word for a text field that holds maxLength characters; a longer word is
// refused with a notice and the prompt asked again (never truncated).
std::string AskText(std::size_t maxLength, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Menu and option choices, after printing the prompt: the leading decimal
// number of the next word, 0 when it does not begin with one (no notice; the
// caller turns the choice down). A number outside the integer questions'
// range gets the notice and the prompt again. A word of any length is read
// whole.
int32_t AskDecimal(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// The pause: drops the rest of the current input line and, at a terminal
// only, whatever was typed ahead; then waits for one line.
void WaitForEnter();

// One key press without echo at a terminal, all the bytes it sends, and then
// a line end; else one byte. Returns on end of input too (it never runs the
// end-of-input hook).
void WaitForKey();

// Conversions used by the Ask functions: true when the word begins with a
// number of that form from -2147483648 to 4294967295 (hex -0x80000000 to
// 0xFFFFFFFF); the value is cut to 32 bits as formatted input would ("-1" as
// "%u" is 4294967295, "4294967295" as "%d" is -1).
bool ParseUnsigned(const std::string &word, int base, uint32_t &value);
bool ParseSigned(const std::string &word, int32_t &value);
bool ParseDouble(const std::string &word, double &value);

// Redirection, for tests: memory input instead of standard input, output
// appended to a string instead of standard output (null restores stdout).
void UseMemoryInput(const std::string &text);
void UseStandardInput();
void CaptureOutput(std::string *sink);

// What end of input does. The program's hook shuts down and exits; a test's
// hook may throw to leave the handler under test. A hook that returns is
// followed by exit(0).
using EndOfInputHook = void (*)();
void SetEndOfInputHook(EndOfInputHook hook);

// A copy of the session as an operator at a terminal would see it: the hook
// gets everything printed and, in place, the answers read (each answer's
// line as typed). EchoAnswer hands it an answer that was not read.
using CopyHook = void (*)(const char *text, std::size_t length);
void SetCopyHook(CopyHook hook);
void EchoAnswer(const std::string &text);

// Interrupts (SIGINT, SIGTERM, SIGHUP, and SIGPIPE when the output goes
// nowhere). The signal handler only notes the signal; the console acts on it
// at its next print or read, after the library call in progress has
// returned: it runs the hook, then exits with 128 plus the signal's number.
// A second signal (not SIGPIPE) ends the program at once, removing the file
// named to RemoveOnAbort first.
using InterruptHook = void (*)(int signal);
void CatchInterrupts(InterruptHook hook);
void RemoveOnAbort(const std::string &path);

} // namespace con

#endif
