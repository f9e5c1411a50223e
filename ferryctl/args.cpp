#include "ferryctl/args.h"

#include <cstdio>

#include "cmdline/numbers.h"
#include <ferrylink.h>
#include "linkrules/link_text.h"

bool ParseRanged(const std::string &text, const char *what, uint64_t low, uint64_t high, uint64_t &value,
                 std::string &message)
{
    if (cmdline::ParseNumber(text, cmdline::kDecimalOrHex, low, high, value))
        return true;
    message = std::string(what) + " must be a number from " + std::to_string(low) + " to " + std::to_string(high) +
              " (decimal or 0x hex), not \"" + text + "\"";
    return false;
}

bool ParseSeconds(const std::string &text, const char *what, uint64_t lowMillis, uint64_t highMillis, uint64_t &millis,
                  std::string &message)
{
    size_t point = text.find('.');
    std::string whole = text.substr(0, point);
    std::string fraction = point == std::string::npos ? "" : text.substr(point + 1);
    bool wellFormed = !whole.empty() && whole.size() <= 9 && fraction.size() <= 3 &&
                      (point == std::string::npos || !fraction.empty()) &&
                      whole.find_first_not_of("0123456789") == std::string::npos &&
                      fraction.find_first_not_of("0123456789") == std::string::npos;
    if (wellFormed) {
        fraction.resize(3, '0');
        uint64_t value = std::stoull(whole) * 1000 + std::stoull(fraction);
        if (value >= lowMillis && value <= highMillis) {
            millis = value;
            return true;
        }
    }
    message = std::string(what) + " must be a number of seconds from " + SecondsText(lowMillis) + " to " +
              SecondsText(highMillis) + " with at most three decimals (like 0.5), not \"" + text + "\"";
    return false;
}

std::string SecondsText(uint64_t millis)
{
    std::string text = std::to_string(millis / 1000);
    unsigned rest = unsigned(millis % 1000);
    if (rest != 0) {
        char fraction[8];
        std::snprintf(fraction, sizeof fraction, ".%03u", rest);
        text += fraction;
        while (text.back() == '0')
            text.pop_back();
    }
    return text;
}

bool ParseLink(const std::string &text, LinkChoice &link, std::string &message)
{
    linkrules::LinkText parsed;
    if (!linkrules::ParseLinkText(text, parsed, message))
        return false;
    // The console's default links are its own; a tool names the one it means.
    if (parsed.bare) {
        message = parsed.transport == FERRYLINK_TRANSPORT_TCP
                      ? "tcp alone names no address: give tcp:ADDRESS[:PORT]"
                      : "serial alone names no device: give serial:DEVICE[:BAUD]";
        return false;
    }
    link.transport = parsed.transport;
    link.text = parsed.text;
    link.number = parsed.number;
    link.shown = linkrules::Describe(parsed);
    return true;
}

std::string Hex32(uint64_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08llx", static_cast<unsigned long long>(value));
    return text;
}
