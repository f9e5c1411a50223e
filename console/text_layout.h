// Layout helpers for console output: the hex dump of memory and the padded
// labels of the menus and option lists.
#ifndef CONSOLE_TEXT_LAYOUT_H
#define CONSOLE_TEXT_LAYOUT_H

#include <cstdint>

// Hex dump of count bytes from data, sixteen to a line, each line labelled
// with label + index ("%04X: ").
void PrintHexDump(const uint8_t *data, uint32_t label, uint32_t count);

// Copies text into one shared static buffer of 80 characters, padded with
// fill up to length or cut to length. Null for a null text or one longer
// than 80 characters.
const char *PadText(const char *text, char fill, int length);

#endif
