// Menu items addressed from the command line: by number ("9.2", group and
// item as the menus count them) or by name ("automated-test": the item's
// label in lower case, words joined by '-').
#ifndef TUNEPROBE_MENU_ITEMS_H
#define TUNEPROBE_MENU_ITEMS_H

#include "tuneprobe/menu.h"

#include <string>

// The row of table that text names, or -1.
int FindMenuItem(const MenuRow *table, const std::string &text);

// "G.I" for the row.
std::string MenuItemNumber(const MenuRow *table, int row);

// The name of a label: "Get Rx antenna configuration" is
// "get-rx-antenna-configuration", "GetMACAddress" is "get-mac-address".
std::string MenuItemName(const char *label);

// Every item: number, name and label, one per line, for --list-items.
std::string MenuItemList(const MenuRow *table);

#endif
