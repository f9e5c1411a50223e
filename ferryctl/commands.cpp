#include "ferryctl/commands.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <ferrylink.h>
#include "outfile/output_file.h"
#include "ferryctl/output.h"
#include "ferryctl/port.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr uint32_t kMaxRequest = FERRYLINK_MAX_REQUEST;
constexpr size_t kBytesPerLine = 16;
constexpr uint64_t kWordSize = 4;

// Microseconds rounded to whole ones, in milliseconds.
double RoundedMillis(double millis)
{
    return std::round(millis * 1000) / 1000;
}

// Named as the user gave it, not as the links resolve.
int CannotWrite(const std::string &path, int error)
{
    Complain("cannot write " + path + ": " + ErrorText(error));
    return kExitFailed;
}

// Hex dump lines of 16 bytes from a start address, as the bytes come in
// pieces; in JSON one object a line.
class Dumper {
public:
    Dumper(uint64_t address, bool json) : address_(address), json_(json) {}

    void Add(const uint8_t *bytes, size_t count)
    {
        for (size_t i = 0; i < count; ++i) {
            line_[filled_++] = bytes[i];
            if (filled_ == kBytesPerLine)
                Flush();
        }
    }

    void Finish()
    {
        if (filled_ > 0)
            Flush();
        std::fflush(Out());
    }

private:
    void Flush()
    {
        if (json_)
            PrintJson({{"address", address_}, {"data", HexBytes(line_, filled_)}});
        else
            std::fprintf(Out(), "%s\n", DumpLine(address_, 8, line_, filled_).c_str());
        address_ += filled_;
        filled_ = 0;
    }

    uint64_t address_;
    bool json_;
    uint8_t line_[kBytesPerLine] = {};
    size_t filled_ = 0;
};

// ADDRESS then a byte count from it: both within the 32-bit address space.
bool ParseSpan(const char *command, const std::string &addressText, uint64_t count, uint64_t &address,
               std::string &message)
{
    if (!ParseRanged(addressText, (std::string(command) + ": ADDRESS").c_str(), 0, kAddressSpace - 1, address, message))
        return false;
    if (address + count > kAddressSpace) {
        message = std::string(command) + ": " + std::to_string(count) + " bytes from " + Hex32(address) +
                  " pass the end of the 32-bit address space";
        return false;
    }
    return true;
}

// The whole file, or false (said) when it cannot be read.
bool ReadWholeFile(const std::string &path, std::vector<uint8_t> &bytes)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        Complain("cannot read " + path + ": " + ErrorText(errno));
        return false;
    }
    std::vector<uint8_t> chunk(65536);
    int error = 0;
    for (;;) {
        ssize_t r = ::read(fd, chunk.data(), chunk.size());
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            error = errno;
        if (r <= 0)
            break;
        if (bytes.size() + size_t(r) > kAddressSpace) {
            error = EFBIG;
            break;
        }
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + r);
    }
    ::close(fd);
    if (error != 0)
        Complain("cannot read " + path + ": " + ErrorText(error));
    return error == 0;
}

// Ends a run of requests: a signal that came stops it.
bool StopRequested(int &status)
{
    int signal = PendingSignal();
    if (signal == 0)
        return false;
    status = Interrupted(signal);
    return true;
}

bool ParseHexBytes(const std::vector<std::string> &words, size_t first, std::vector<uint8_t> &bytes,
                   std::string &message)
{
    for (size_t i = first; i < words.size(); ++i) {
        const std::string &word = words[i];
        if (word.empty() || word.size() % 2 != 0 ||
            word.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
            message = "send: payload bytes must be pairs of hex digits (like de ad or dead), not \"" + word + "\"";
            return false;
        }
        for (size_t j = 0; j < word.size(); j += 2)
            bytes.push_back(uint8_t(std::stoul(word.substr(j, 2), nullptr, 16)));
    }
    if (bytes.size() > kMaxRequest) {
        message =
            "send: at most " + std::to_string(kMaxRequest) + " payload bytes, not " + std::to_string(bytes.size());
        return false;
    }
    return true;
}

} // namespace

int RunPing(const Invocation &invocation)
{
    if (!invocation.args.empty())
        return UsageError("ping takes no arguments, not \"" + invocation.args[0] + "\"");
    Port port;
    if (int status = port.Open(invocation.link); status != kExitOk)
        return status;
    std::vector<double> trips;
    uint8_t word[4];
    for (uint64_t i = 0; i < invocation.pings; ++i) {
        int status = 0;
        if (StopRequested(status))
            return status;
        auto start = SteadyClock::now();
        if ((status = port.Read(0, word, sizeof word)) != kExitOk)
            return status;
        trips.push_back(std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count());
    }
    port.Close();
    std::sort(trips.begin(), trips.end());
    size_t n = trips.size();
    double median = n % 2 == 1 ? trips[n / 2] : (trips[n / 2 - 1] + trips[n / 2]) / 2;
    // Nearest rank: the smallest time that 99 % of the reads did not exceed.
    double p99 = trips[(n * 99 + 99) / 100 - 1];
    if (invocation.json) {
        PrintJson({{"command", "ping"},
                   {"link", invocation.link.shown},
                   {"open_ms", RoundedMillis(port.OpenMillis())},
                   {"reads", n},
                   {"min_ms", RoundedMillis(trips.front())},
                   {"median_ms", RoundedMillis(median)},
                   {"p99_ms", RoundedMillis(p99)}});
    } else {
        std::fprintf(Out(), "%s: open %.3f ms; %zu reads of 4 bytes: min %.3f ms, median %.3f ms, p99 %.3f ms\n",
                     invocation.link.shown.c_str(), port.OpenMillis(), n, trips.front(), median, p99);
    }
    return kExitOk;
}

int RunRead(const Invocation &invocation)
{
    const std::vector<std::string> &args = invocation.args;
    if (args.size() != 2)
        return UsageError("read: ADDRESS and COUNT expected");
    uint64_t count = 0;
    uint64_t address = 0;
    std::string message;
    if (!ParseRanged(args[1], "read: COUNT", 1, kAddressSpace, count, message) ||
        !ParseSpan("read", args[0], count, address, message))
        return UsageError(message);
    bool toFile = !invocation.outFile.empty();
    // A failed or stopped read leaves an old file as it was.
    outfile::OutputFile file;
    int error = toFile ? file.Open(invocation.outFile) : 0;
    if (error != 0)
        return CannotWrite(invocation.outFile, error);
    RemoveOnAbort(file.TemporaryPath());

    Port port;
    if (int status = port.Open(invocation.link); status != kExitOk)
        return status;
    Dumper dumper(address, invocation.json);
    // A dump on the terminal shows its own progress; a bar would tear it.
    Progress progress("read", count, !invocation.quiet && (toFile || !::isatty(::fileno(Out()))));
    std::vector<uint8_t> chunk(kMaxRequest);
    for (uint64_t done = 0; done < count;) {
        int status = 0;
        if (StopRequested(status))
            return status;
        uint32_t n = uint32_t(std::min<uint64_t>(count - done, kMaxRequest));
        if ((status = port.Read(uint32_t(address + done), chunk.data(), n)) != kExitOk)
            return status;
        error = toFile ? file.Write(chunk.data(), n) : 0;
        if (error != 0)
            return CannotWrite(invocation.outFile, error);
        if (!toFile)
            dumper.Add(chunk.data(), n);
        done += n;
        progress.Update(done);
    }
    progress.Clear();
    port.Close();
    if (!toFile) {
        dumper.Finish();
        return kExitOk;
    }
    error = file.Commit();
    RemoveOnAbort("");
    if (error != 0)
        return CannotWrite(invocation.outFile, error);
    if (invocation.json)
        PrintJson({{"command", "read"}, {"address", address}, {"count", count}, {"file", invocation.outFile}});
    else if (!invocation.quiet)
        std::fprintf(Out(), "read %llu bytes from %s into %s\n", static_cast<unsigned long long>(count),
                     Hex32(address).c_str(), invocation.outFile.c_str());
    return kExitOk;
}

int RunWrite(const Invocation &invocation)
{
    const std::vector<std::string> &args = invocation.args;
    if (args.size() < 2)
        return UsageError("write: ADDRESS and at least one VALUE expected");
    std::vector<uint32_t> values;
    std::string message;
    for (size_t i = 1; i < args.size(); ++i) {
        uint64_t value = 0;
        if (!ParseRanged(args[i], "write: VALUE", 0, 0xFFFFFFFF, value, message))
            return UsageError(message);
        values.push_back(uint32_t(value));
    }
    uint64_t address = 0;
    if (!ParseSpan("write", args[0], values.size() * kWordSize, address, message))
        return UsageError(message);

    Port port;
    if (int status = port.Open(invocation.link); status != kExitOk)
        return status;
    for (size_t i = 0; i < values.size(); ++i) {
        int status = 0;
        if (StopRequested(status))
            return status;
        if ((status = port.Write(uint32_t(address + i * kWordSize), values[i])) != kExitOk)
            return status;
    }
    port.Close();
    if (invocation.json)
        PrintJson({{"command", "write"}, {"address", address}, {"words", values.size()}});
    else if (!invocation.quiet)
        std::fprintf(Out(), "wrote %zu word%s at %s\n", values.size(), values.size() == 1 ? "" : "s",
                     Hex32(address).c_str());
    return kExitOk;
}

int RunLoad(const Invocation &invocation)
{
    const std::vector<std::string> &args = invocation.args;
    if (args.size() != 2)
        return UsageError("load: ADDRESS and FILE expected");
    uint64_t address = 0;
    std::string message;
    if (!ParseRanged(args[0], "load: ADDRESS", 0, kAddressSpace - 1, address, message))
        return UsageError(message);
    const std::string &path = args[1];
    std::vector<uint8_t> bytes;
    if (!ReadWholeFile(path, bytes))
        return kExitFailed;
    if (bytes.empty()) {
        Complain("load: " + path + " is empty: nothing to load");
        return kExitFailed;
    }
    size_t fileSize = bytes.size();
    // Words go whole: a short last word is completed with zeros.
    size_t padding = (kWordSize - fileSize % kWordSize) % kWordSize;
    bytes.resize(fileSize + padding, 0);
    if (!ParseSpan("load", args[0], bytes.size(), address, message))
        return UsageError(message);
    if (padding > 0 && !invocation.quiet)
        Complain("note: " + path + " has " + std::to_string(fileSize) + " bytes, not a multiple of 4: " +
                 "the last word is padded with " + std::to_string(padding) + " zero byte" + (padding == 1 ? "" : "s"));

    Port port;
    if (int status = port.Open(invocation.link); status != kExitOk)
        return status;
    int status = 0;
    {
        Progress progress("load", bytes.size(), !invocation.quiet);
        for (size_t at = 0; at < bytes.size(); at += kWordSize) {
            if (StopRequested(status))
                return status;
            uint32_t value =
                uint32_t(bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | uint32_t(bytes[at + 3]) << 24);
            if ((status = port.Write(uint32_t(address + at), value)) != kExitOk)
                return status;
            progress.Update(at + kWordSize);
        }
    }
    nlohmann::ordered_json result = {
        {"command", "load"}, {"address", address}, {"bytes", fileSize}, {"padding", padding}, {"verified", nullptr}};
    if (invocation.verify) {
        Progress progress("verify", bytes.size(), !invocation.quiet);
        std::vector<uint8_t> chunk(kMaxRequest);
        for (size_t at = 0; at < bytes.size();) {
            if (StopRequested(status))
                return status;
            uint32_t n = uint32_t(std::min<size_t>(bytes.size() - at, kMaxRequest));
            if ((status = port.Read(uint32_t(address + at), chunk.data(), n)) != kExitOk)
                return status;
            auto differ = std::mismatch(chunk.begin(), chunk.begin() + n, bytes.begin() + long(at));
            if (differ.first != chunk.begin() + n) {
                uint64_t where = address + at + uint64_t(differ.first - chunk.begin());
                char text[128];
                std::snprintf(text, sizeof text, "verify: %s differs: 0x%02x written, 0x%02x read back",
                              Hex32(where).c_str(), *differ.second, *differ.first);
                Complain(text);
                if (invocation.json) {
                    result["verified"] = false;
                    result["mismatch"] = where;
                    PrintJson(result);
                }
                return kExitFailed;
            }
            at += n;
            progress.Update(at);
        }
        result["verified"] = true;
    }
    port.Close();
    if (invocation.json)
        PrintJson(result);
    else if (!invocation.quiet)
        std::fprintf(Out(), "loaded %zu bytes at %s%s\n", fileSize, Hex32(address).c_str(),
                     invocation.verify ? ", verified" : "");
    return kExitOk;
}

int RunSend(const Invocation &invocation)
{
    const std::vector<std::string> &args = invocation.args;
    if (args.empty())
        return UsageError("send: TYPE expected");
    uint64_t type = 0;
    std::vector<uint8_t> payload;
    std::string message;
    if (!ParseRanged(args[0], "send: TYPE", 0, 0xFFFF, type, message) || !ParseHexBytes(args, 1, payload, message))
        return UsageError(message);
    Port port;
    if (int status = port.Open(invocation.link); status != kExitOk)
        return status;
    int status = 0;
    if (StopRequested(status))
        return status;
    if ((status = port.Send(uint16_t(type), payload)) != kExitOk)
        return status;
    port.Close();
    if (invocation.json)
        PrintJson({{"command", "send"}, {"type", type}, {"length", payload.size()}});
    else if (!invocation.quiet)
        std::fprintf(Out(), "sent command type 0x%04x with %zu payload bytes\n", unsigned(type), payload.size());
    return kExitOk;
}
