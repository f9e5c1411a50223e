// The Device Data tests' view of the simulated memory.
#ifndef TESTS_DEVDATA_TEST_SUPPORT_H
#define TESTS_DEVDATA_TEST_SUPPORT_H

#include "calsim/control_devdata.h"

#include <vector>

namespace devdata_test {

// count bytes of a simulated Flash section from address.
inline std::vector<uint8_t> SectionBytes(uint32_t section, uint32_t address, uint32_t count)
{
    std::vector<uint8_t> image = calsim::DevDataSection(section);
    return std::vector<uint8_t>(image.begin() + address, image.begin() + address + count);
}

} // namespace devdata_test

#endif
