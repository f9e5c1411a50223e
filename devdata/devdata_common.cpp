#include "devdata/devdata_common.h"
#include "console/random_word.h"

#include "console/handler.h"
#include "console/run_events.h"

#include <cstdlib>

namespace devdata {

bool WorkBuffer::Allocate(uint64_t partBytes, uint32_t parts)
{
    memory_.reset();
    partBytes_ = 0;
    uint64_t total = partBytes * parts; // both are below 2^32: no overflow
    if (total > UINT32_MAX)
        return false;
    if (total == 0)
        return true;
    memory_.reset(static_cast<uint8_t *>(std::calloc(total, 1)));
    partBytes_ = partBytes;
    return memory_ != nullptr;
}

uint8_t *WorkBuffer::Part(uint32_t index) const
{
    return memory_ ? memory_.get() + index * partBytes_ : nullptr;
}

int ReportAllocationFailure()
{
    return ReportError("Data block memory allocation failed");
}

int ReportReadError(const char *error)
{
    con::Print("\nREAD ERROR: %s\n", error);
    results::LibraryError(error);
    return -1;
}

int ReportWriteError(const char *error)
{
    con::Print("\nWRITE ERROR: %s\n", error);
    results::LibraryError(error);
    return -1;
}

std::string RegionMeasureName(int32_t region, const char *what)
{
    return "Region " + std::to_string(region) + " " + what;
}

int AllocateRegionBuffer(TavrelCalHandle handle, int32_t region, uint32_t parts, WorkBuffer &buffer, int32_t &size)
{
    if (const char *error = GetDevDataRegionSizeByID(handle, region, &size))
        return ReportError(error);
    con::Print("\nDevData region size = %d bytes\n", size);
    results::Measure(RegionMeasureName(region, "size"), size, "bytes");
    if (size < 0 || !buffer.Allocate(static_cast<uint32_t>(size), parts))
        return ReportAllocationFailure();
    return 0;
}

NvmMode ReadNvmMode(TavrelCalHandle handle)
{
    NvmMode mode;
    mode.error = GetOptionByID(handle, TAVREL_OPTION_NVM_MODE, &mode.value);
    return mode;
}

void PrintNvmMode(const NvmMode &mode)
{
    if (mode.error != nullptr) {
        con::Print("    NVM mode is unknown (%s)\n", mode.error);
        return;
    }
    con::Print("    NVM mode is %d\n", static_cast<int32_t>(mode.value));
    results::Measure("NVM mode", mode.value);
}

uint32_t AskWriteKey(TavrelCalHandle handle)
{
    if (con::AskUnsigned("\n    Auto Device Data key (1=yes/0=no) ? ") == 1)
        return RequestDevDataWriteKey(handle);
    return con::AskHex("    Device Data Key (hex)     ? ");
}

uint32_t AskPattern()
{
    uint32_t pattern = 255;
    while (pattern > 3) {
        pattern = con::AskUnsigned("\n    Data pattern (0=user 1=random 2=increment 3=constant) ? ");
        if (pattern > 3)
            con::Print("ERROR: Invalid selection = %d\n", static_cast<int32_t>(pattern));
    }
    return pattern;
}

// Random words never 0; random bytes are the low 8 bits of one generator
// value each.
uint32_t RandomValue(bool bytes)
{
    return bytes ? (NextRandom15() & 0xFFu) : RandomWord();
}

} // namespace devdata
