#include "results/timestamps.h"

#include <cstdio>
#include <ctime>

namespace results_store {
namespace {

bool Digits(const std::string &text, std::size_t at, std::size_t count, int &value)
{
    if (at + count > text.size())
        return false;
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

} // namespace

bool TimestampMs(const std::string &text, int64_t &ms)
{
    tm parts{};
    int year = 0, month = 0, day = 0;
    if (!Digits(text, 0, 4, year) || text.size() < 10 || text[4] != '-' || !Digits(text, 5, 2, month) ||
        text[7] != '-' || !Digits(text, 8, 2, day) || month < 1 || month > 12 || day < 1 || day > 31)
        return false;
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    int64_t millis = 0;
    int64_t offsetMinutes = 0;
    if (text.size() > 10) {
        int hour = 0, minute = 0, second = 0;
        if ((text[10] != 'T' && text[10] != 't' && text[10] != ' ') || !Digits(text, 11, 2, hour) || text.size() < 19 ||
            text[13] != ':' || !Digits(text, 14, 2, minute) || text[16] != ':' || !Digits(text, 17, 2, second) ||
            hour > 23 || minute > 59 || second > 60)
            return false;
        parts.tm_hour = hour;
        parts.tm_min = minute;
        parts.tm_sec = second;
        std::size_t at = 19;
        if (at < text.size() && text[at] == '.') {
            int64_t scale = 100;
            ++at;
            std::size_t first = at;
            for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
                millis += (text[at] - '0') * scale;
                scale /= 10;
            }
            if (at == first)
                return false;
        }
        if (at == text.size())
            return false;
        if (text[at] == 'Z' || text[at] == 'z') {
            ++at;
        } else if (text[at] == '+' || text[at] == '-') {
            int oh = 0, om = 0;
            if (!Digits(text, at + 1, 2, oh) || text.size() < at + 6 || text[at + 3] != ':' ||
                !Digits(text, at + 4, 2, om))
                return false;
            offsetMinutes = (text[at] == '+' ? 1 : -1) * (oh * 60 + om);
            at += 6;
        }
        if (at != text.size())
            return false;
    }
    ms = int64_t(timegm(&parts)) * 1000 + millis - offsetMinutes * 60000;
    return true;
}

std::string DayOf(int64_t ms)
{
    time_t seconds = time_t(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday);
    return text;
}

int HourOf(int64_t ms)
{
    time_t seconds = time_t(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    tm utc{};
    gmtime_r(&seconds, &utc);
    return utc.tm_hour;
}

std::string NowText()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    char text[40];
    std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%03ldZ", now.tv_nsec / 1000000);
    return text;
}

} // namespace results_store
