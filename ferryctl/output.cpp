#include "ferryctl/output.h"

#include "ferryctl/args.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr size_t kBytesPerLine = 16;
constexpr char kHexDigits[] = "0123456789abcdef";
constexpr int kBarWidth = 30;
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);

std::string Millis3(std::chrono::system_clock::time_point at, std::tm &parts, bool utc)
{
    std::time_t seconds = std::chrono::system_clock::to_time_t(at);
    if (utc)
        gmtime_r(&seconds, &parts);
    else
        localtime_r(&seconds, &parts);
    auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count() % 1000;
    char text[8];
    std::snprintf(text, sizeof text, ".%03d", int(millis < 0 ? millis + 1000 : millis));
    return text;
}

// The bar on the screen, if any: a message clears it first.
Progress *g_activeBar = nullptr;
std::FILE *g_out = nullptr;

} // namespace

std::FILE *Out()
{
    return g_out != nullptr ? g_out : stdout;
}

void SeparateLibraryOutput()
{
    std::fflush(stdout);
    int fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (fd < 0)
        return; // no standard output: the first result written says so
    g_out = ::fdopen(fd, "w");
    if (g_out == nullptr) {
        ::close(fd);
        return;
    }
    ::dup2(STDERR_FILENO, STDOUT_FILENO);
}

bool FinishOutput()
{
    errno = 0;
    if (std::fflush(Out()) == 0 && std::ferror(Out()) == 0)
        return true;
    int error = errno;
    // An earlier flush failed and its errno is gone; a descriptor that
    // cannot be written at all still says so to an empty write.
    if (error == 0 && ::write(::fileno(Out()), "", 0) < 0)
        error = errno;
    Complain("cannot write standard output: " + ErrorText(error != 0 ? error : EIO));
    return false;
}

std::string ErrorText(int error)
{
    std::string text = std::strerror(error);
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z')
        text[0] = char(text[0] - 'A' + 'a');
    return text;
}

void Complain(const std::string &message)
{
    if (g_activeBar != nullptr)
        g_activeBar->Clear();
    std::fprintf(stderr, "ferryctl: %s\n", message.c_str());
}

int UsageError(const std::string &message)
{
    Complain(message);
    return kExitUsage;
}

void PrintJson(const nlohmann::ordered_json &object)
{
    // A file name need not be UTF-8: replace what is not, never throw.
    std::string line = object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    std::fprintf(Out(), "%s\n", line.c_str());
    std::fflush(Out());
}

std::string DumpLine(uint64_t address, int digits, const uint8_t *bytes, size_t count)
{
    std::string text;
    AppendDumpLine(text, address, digits, bytes, count);
    return text;
}

std::string HexBytes(const uint8_t *bytes, size_t count)
{
    std::string text;
    AppendHexBytes(text, bytes, count);
    return text;
}

void AppendDumpLine(std::string &out, uint64_t address, int digits, const uint8_t *bytes, size_t count)
{
    char hex[16];
    int used = 0;
    do {
        hex[used++] = kHexDigits[address & 15];
        address >>= 4;
    } while (address != 0);
    for (int i = used; i < digits; ++i)
        out += '0';
    while (used > 0)
        out += hex[--used];
    out += ' ';
    for (size_t i = 0; i < kBytesPerLine; ++i) {
        if (i == kBytesPerLine / 2)
            out += ' ';
        if (i < count) {
            out += ' ';
            out += kHexDigits[bytes[i] >> 4];
            out += kHexDigits[bytes[i] & 15];
        } else {
            out.append(3, ' ');
        }
    }
    out.append("  |");
    for (size_t i = 0; i < count && i < kBytesPerLine; ++i)
        out += bytes[i] >= 0x20 && bytes[i] < 0x7f ? char(bytes[i]) : '.';
    out += '|';
}

void AppendHexBytes(std::string &out, const uint8_t *bytes, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        out += kHexDigits[bytes[i] >> 4];
        out += kHexDigits[bytes[i] & 15];
    }
}

void AppendDecimal(std::string &out, uint64_t value)
{
    char digits[24];
    int used = 0;
    do {
        digits[used++] = char('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (used > 0)
        out += digits[--used];
}

std::string LocalClock(std::chrono::system_clock::time_point at)
{
    std::tm parts{};
    std::string millis = Millis3(at, parts, false);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d%s", parts.tm_hour, parts.tm_min, parts.tm_sec, millis.c_str());
    return text;
}

std::string UtcStamp(std::chrono::system_clock::time_point at)
{
    std::tm parts{};
    std::string millis = Millis3(at, parts, true);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%sZ", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, millis.c_str());
    return text;
}

Progress::Progress(const char *label, uint64_t total, bool wanted)
    : label_(label), total_(total), shown_(wanted && total > 0 && ::isatty(STDERR_FILENO))
{
}

Progress::~Progress()
{
    Clear();
}

void Progress::Clear()
{
    if (drawn_)
        std::fprintf(stderr, "\r%*s\r", int(label_.size()) + kBarWidth + 40, "");
    drawn_ = false;
    shown_ = false;
    if (g_activeBar == this)
        g_activeBar = nullptr;
}

void Progress::Update(uint64_t done)
{
    if (!shown_)
        return;
    auto now = std::chrono::steady_clock::now();
    if (drawn_ && done < total_ && now - lastDraw_ < kRedrawEvery)
        return;
    lastDraw_ = now;
    Draw(done);
}

void Progress::Draw(uint64_t done)
{
    int filled = int(done * kBarWidth / total_);
    std::string bar(size_t(filled), '#');
    bar.append(size_t(kBarWidth - filled), '-');
    std::fprintf(stderr, "\r%s [%s] %3d%% %llu/%llu bytes", label_.c_str(), bar.c_str(), int(done * 100 / total_),
                 static_cast<unsigned long long>(done), static_cast<unsigned long long>(total_));
    std::fflush(stderr);
    drawn_ = true;
    g_activeBar = this;
}
