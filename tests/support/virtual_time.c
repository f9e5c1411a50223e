// Virtual time for the programs the end-to-end tests run. Preloaded into a
// program, it makes every sleep return at once and moves the program's
// clocks on by the time it asked to sleep instead: a run that waits seconds
// takes milliseconds, and whatever it measures around its sleeps still
// shows the waits it asked for.
//
// The clocks read real time plus the sum of all sleeps, so they never go
// back and still move with the work done between sleeps. Wall-clock and
// monotonic clocks move together; CPU-time clocks (and so clock()) are left
// alone, since a sleeping program uses no processor time.
//
// Covered: nanosleep (what std::this_thread::sleep_for calls), usleep,
// sleep and clock_nanosleep; clock_gettime (what the std::chrono clocks
// call), gettimeofday and time. The C library's own sleeps and clock reads
// do not go through these symbols, hence each one is replaced here.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#define NS_PER_SECOND 1000000000LL

typedef int (*ClockGettimeFunction)(clockid_t, struct timespec *);
typedef int (*ClockNanosleepFunction)(clockid_t, int, const struct timespec *, struct timespec *);

// Nanoseconds slept so far.
static atomic_llong g_offsetNs;

// With VIRTUAL_TIME_EPOCH=N in the environment, the wall clock starts at N
// seconds when the program is loaded: two runs started at different times
// read the same time of day (and seed from it alike). This is added to the
// wall clock's real reading.
static long long g_wallShiftNs;

// The next definition of `name` in line (the C library's, or a sanitizer's
// in front of it). Looked up on first use: other libraries' initialisers may
// read the clock before this library's would run.
static void *Next(const char *name, _Atomic(void *) *cache)
{
    void *f = atomic_load_explicit(cache, memory_order_relaxed);
    if (f == NULL) {
        f = dlsym(RTLD_NEXT, name);
        atomic_store_explicit(cache, f, memory_order_relaxed);
    }
    return f;
}

static int RealClockGettime(clockid_t clock, struct timespec *time)
{
    static _Atomic(void *) cache;
    ClockGettimeFunction f = (ClockGettimeFunction)Next("clock_gettime", &cache);
    if (f == NULL) {
        errno = ENOSYS;
        return -1;
    }
    return f(clock, time);
}

static int RealClockNanosleep(clockid_t clock, int flags, const struct timespec *request, struct timespec *remaining)
{
    static _Atomic(void *) cache;
    ClockNanosleepFunction f = (ClockNanosleepFunction)Next("clock_nanosleep", &cache);
    return f == NULL ? ENOSYS : f(clock, flags, request, remaining);
}

// The clocks that a sleep moves on.
static int IsVirtual(clockid_t clock)
{
    switch (clock) {
    case CLOCK_REALTIME:
    case CLOCK_REALTIME_COARSE:
    case CLOCK_TAI:
    case CLOCK_MONOTONIC:
    case CLOCK_MONOTONIC_COARSE:
    case CLOCK_MONOTONIC_RAW:
    case CLOCK_BOOTTIME:
        return 1;
    default:
        return 0;
    }
}

static int IsValid(const struct timespec *duration)
{
    return duration->tv_sec >= 0 && duration->tv_nsec >= 0 && duration->tv_nsec < NS_PER_SECOND;
}

static long long ToNs(const struct timespec *time)
{
    return (long long)time->tv_sec * NS_PER_SECOND + time->tv_nsec;
}

static void Advance(long long ns)
{
    if (ns > 0)
        atomic_fetch_add(&g_offsetNs, ns);
}

__attribute__((constructor)) static void PinWallClock(void)
{
    const char *epoch = getenv("VIRTUAL_TIME_EPOCH");
    struct timespec now;
    if (epoch == NULL || epoch[0] == '\0' || RealClockGettime(CLOCK_REALTIME, &now) != 0)
        return;
    g_wallShiftNs = strtoll(epoch, NULL, 10) * NS_PER_SECOND - ToNs(&now);
}

static int IsWallClock(clockid_t clock)
{
    return clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE || clock == CLOCK_TAI;
}

int clock_gettime(clockid_t clock, struct timespec *time)
{
    int result = RealClockGettime(clock, time);
    if (result != 0 || !IsVirtual(clock))
        return result;
    long long ns = time->tv_nsec + atomic_load(&g_offsetNs) + (IsWallClock(clock) ? g_wallShiftNs : 0);
    long long seconds = ns / NS_PER_SECOND;
    ns %= NS_PER_SECOND;
    if (ns < 0) { // a wall clock pinned to the past
        ns += NS_PER_SECOND;
        --seconds;
    }
    time->tv_sec += (time_t)seconds;
    time->tv_nsec = (long)ns;
    return 0;
}

int gettimeofday(struct timeval *restrict time, void *restrict zone)
{
    (void)zone; // obsolete; the C library ignores it too
    struct timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0)
        return -1;
    time->tv_sec = now.tv_sec;
    time->tv_usec = (suseconds_t)(now.tv_nsec / 1000);
    return 0;
}

time_t time(time_t *result)
{
    struct timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0)
        return (time_t)-1;
    if (result != NULL)
        *result = now.tv_sec;
    return now.tv_sec;
}

int nanosleep(const struct timespec *duration, struct timespec *remaining)
{
    (void)remaining; // a virtual sleep is never interrupted
    if (!IsValid(duration)) {
        errno = EINVAL;
        return -1;
    }
    Advance(ToNs(duration));
    return 0;
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec *request, struct timespec *remaining)
{
    if (!IsVirtual(clock)) // a CPU-time clock: only work moves it on
        return RealClockNanosleep(clock, flags, request, remaining);
    if (!IsValid(request))
        return EINVAL;
    if ((flags & TIMER_ABSTIME) == 0) {
        Advance(ToNs(request));
        return 0;
    }
    struct timespec now;
    if (clock_gettime(clock, &now) != 0)
        return errno;
    Advance(ToNs(request) - ToNs(&now));
    return 0;
}

int usleep(useconds_t microseconds)
{
    Advance((long long)microseconds * 1000);
    return 0;
}

unsigned int sleep(unsigned int seconds)
{
    Advance((long long)seconds * NS_PER_SECOND);
    return 0;
}
