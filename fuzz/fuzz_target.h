// What every fuzz target shares: libFuzzer's entry point, which the replay
// program calls too, and the check for a property of the code under test.
#ifndef FUZZ_FUZZ_TARGET_H
#define FUZZ_FUZZ_TARGET_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace fuzz {

// A broken property aborts, so that the fuzzer keeps the input as a crash and
// the replay test fails on it.
inline void Require(bool holds, const char *property)
{
    if (holds)
        return;
    std::fprintf(stderr, "Property broken: %s\n", property);
    std::abort();
}

} // namespace fuzz

#endif
