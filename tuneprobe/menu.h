// The two-level menu: the main menu lists the command groups, a group menu
// lists the commands of one group.
#ifndef TUNEPROBE_MENU_H
#define TUNEPROBE_MENU_H

#include "console/handler.h"

// A row with a group title opens a new group and is also its first item.
// The table ends with a row whose three fields are all empty.
struct MenuRow {
    const char *groupTitle;
    const char *label;
    CommandHandler handler;
};

extern const MenuRow MenuTable[];

// A row that is an item (the table goes on), and one that opens a group.
inline bool HasLabel(const MenuRow &row)
{
    return row.label != nullptr && row.label[0] != '\0';
}
inline bool OpensGroup(const MenuRow &row)
{
    return row.groupTitle != nullptr && row.groupTitle[0] != '\0';
}

// Runs the menu until the operator leaves the main menu.
void RunMenu(TavrelCalHandle handle);

// The same loop over another table, for tests.
void RunMenuTable(TavrelCalHandle handle, const MenuRow *table);

#endif
