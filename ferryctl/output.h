// What ferryctl prints: hex dumps, JSON lines, time stamps and the progress
// bar on standard error.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

// Where results go: standard output as it was when ferryctl started. The
// library prints diagnostic lines of its own on standard output; once
// SeparateLibraryOutput has run they go to standard error instead, so that a
// dump or --json stays what it says it is.
std::FILE *Out();
void SeparateLibraryOutput();
// Flushes the results; false, with the reason complained, when they could
// not all be written.
bool FinishOutput();

// One line "ferryctl: message" on standard error (a progress bar on the
// line is cleared first).
void Complain(const std::string &message);
// strerror's text, lower case first, for the end of a message.
std::string ErrorText(int error);
// Complains and gives the usage status.
int UsageError(const std::string &message);

// Prints one JSON object as a line on standard output, flushed.
void PrintJson(const nlohmann::ordered_json &object);

// "00001000  de ad be ef ...  |....|": up to 16 bytes, the address in
// `digits` hex digits (more when it needs them).
std::string DumpLine(uint64_t address, int digits, const uint8_t *bytes, size_t count);
std::string HexBytes(const uint8_t *bytes, size_t count); // "deadbeef"
// The same appended to `out`, with no allocation of their own: monitor
// formats a hundred thousand messages a second with them.
void AppendDumpLine(std::string &out, uint64_t address, int digits, const uint8_t *bytes, size_t count);
void AppendHexBytes(std::string &out, const uint8_t *bytes, size_t count);
void AppendDecimal(std::string &out, uint64_t value);

// 12:34:56.789 in local time, and 2026-12-08T04:39:38.622Z.
std::string LocalClock(std::chrono::system_clock::time_point at);
std::string UtcStamp(std::chrono::system_clock::time_point at);

// A bar on standard error while work goes on, shown only when asked and
// standard error is a terminal; the line is cleared when it goes.
class Progress {
public:
    Progress(const char *label, uint64_t total, bool wanted);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;
    void Update(uint64_t done);
    // Clears the bar's line; nothing more is drawn.
    void Clear();

private:
    void Draw(uint64_t done);

    std::string label_;
    uint64_t total_;
    bool shown_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point lastDraw_{};
};
