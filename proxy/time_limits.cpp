#include "proxy/time_limits.h"

#include <mutex>

namespace ferry {

namespace {
std::mutex limits_mutex;
Limits limits_in_force;
} // namespace

Limits CurrentLimits()
{
    std::lock_guard<std::mutex> lock(limits_mutex);
    return limits_in_force;
}

void SetLimits(const Limits &limits)
{
    std::lock_guard<std::mutex> lock(limits_mutex);
    limits_in_force = limits;
}

} // namespace ferry
