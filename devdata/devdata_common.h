// Pieces the Device Data read and write commands share: the working
// buffer, the NVM mode line, the key question, the data patterns and the
// error lines of the write dialogues.
#ifndef DEVDATA_DEVDATA_COMMON_H
#define DEVDATA_DEVDATA_COMMON_H

#include "calapi/calapi.h"
#include "console/console_io.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

namespace devdata {

// One heap allocation per command, in equal parts (old contents, data,
// read-back), zeroed, released when it goes out of scope. Sizes are
// computed in 64 bits; a total beyond a 32-bit byte count is refused
// before the heap is asked. A part size of 0 allocates nothing.
class WorkBuffer {
public:
    bool Allocate(uint64_t partBytes, uint32_t parts);
    uint8_t *Part(uint32_t index) const;
    uint32_t *Words(uint32_t index) const { return reinterpret_cast<uint32_t *>(Part(index)); }

private:
    struct Release {
        void operator()(uint8_t *p) const { std::free(p); }
    };
    std::unique_ptr<uint8_t, Release> memory_;
    uint64_t partBytes_ = 0;
};

// "\nERROR: Data block memory allocation failed\n", -1.
int ReportAllocationFailure();
// "\nREAD ERROR: %s\n" / "\nWRITE ERROR: %s\n", -1.
int ReportReadError(const char *error);
int ReportWriteError(const char *error);

// The name of a region's measurement: "Region 3 size" for (3, "size").
// Region IDs are few, so each gets names of its own.
std::string RegionMeasureName(int32_t region, const char *what);

// The first step of the region read and write: asks the device for the
// region's size, shows and records "\nDevData region size = %d bytes\n"
// and allocates `parts` parts of that size. 0, or -1 after the error line
// (a failed query, or an allocation failure for a negative size).
int AllocateRegionBuffer(TavrelCalHandle handle, int32_t region, uint32_t parts, WorkBuffer &buffer, int32_t &size);

// The NVM mode (library option 7), read before the dialogue's first line.
struct NvmMode {
    uint32_t value = 0;
    const char *error = nullptr;
};
NvmMode ReadNvmMode(TavrelCalHandle handle);
// "    NVM mode is %d\n" (recorded as "NVM mode"); when the query failed,
// says so instead of showing a value that was never read.
void PrintNvmMode(const NvmMode &mode);

// "Auto Device Data key" question: 1 takes a key from the library (even 0),
// any other answer asks for one in hexadecimal.
uint32_t AskWriteKey(TavrelCalHandle handle);

// The data pattern question and the fill of count values: 32-bit words or
// bytes (each the low byte of what the pattern yields).
uint32_t AskPattern();
uint32_t RandomValue(bool bytes);

template <typename T> void FillPattern(T *data, uint32_t count)
{
    constexpr bool kBytes = sizeof(T) == 1;
    switch (AskPattern()) {
    case 0:
        for (uint32_t i = 0; i < count; ++i)
            data[i] = static_cast<T>(kBytes ? con::AskHex("    Byte %u of %u (hex) ? ", i + 1, count)
                                            : con::AskHex("    Value %u of %u (hex) ? ", i + 1, count));
        break;
    case 1:
        for (uint32_t i = 0; i < count; ++i)
            data[i] = static_cast<T>(RandomValue(kBytes));
        break;
    case 2: {
        uint32_t start = con::AskHex("    Starting value (hex) ? ");
        uint32_t increment = con::AskHex("    Increment      (hex) ? ");
        for (uint32_t i = 0; i < count; ++i)
            data[i] = static_cast<T>(start + i * increment); // modulo 2^32
        break;
    }
    default: {
        uint32_t constant = con::AskHex("    Constant value (hex) ? ");
        for (uint32_t i = 0; i < count; ++i)
            data[i] = static_cast<T>(constant);
        break;
    }
    }
}

} // namespace devdata

#endif
