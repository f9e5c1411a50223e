#include "console/text_layout.h"

#include "console/console_io.h"

#include <cstring>

namespace {
constexpr int kPadCapacity = 80;
char g_padBuffer[kPadCapacity + 1];
} // namespace

void PrintHexDump(const uint8_t *data, uint32_t label, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) {
        if (i % 16 == 0)
            con::Print("%04X: ", label + i);
        con::Print(" %02X", data[i]);
        if (i % 16 == 15 && i != count - 1)
            con::Print("\n");
    }
    con::Print("\n");
}

const char *PadText(const char *text, char fill, int length)
{
    if (text == nullptr)
        return nullptr;
    std::size_t textLength = std::strlen(text);
    if (textLength > kPadCapacity)
        return nullptr;
    if (length < 0)
        length = 0;
    if (length > kPadCapacity)
        length = kPadCapacity; // outside the contract; never write past the buffer
    std::memcpy(g_padBuffer, text, textLength + 1);
    for (int i = static_cast<int>(textLength); i < length; ++i)
        g_padBuffer[i] = fill;
    g_padBuffer[length] = '\0';
    return g_padBuffer;
}
