#include "tuneprobe/menu.h"

#include "console/console_io.h"
#include "console/text_layout.h"

#include <cstring>

namespace {

constexpr int kMaxGroups = 20;

} // namespace

void RunMenuTable(TavrelCalHandle handle, const MenuRow *table)
{
    bool mainMenu = true;
    bool exitFlag = false;
    int selectedGroup = 0;
    int groupStart[kMaxGroups] = {};
    int groupCount = 0;

    while (!exitFlag) {
        const char *title = mainMenu ? "Cal API Main Menu" : table[groupStart[selectedGroup]].groupTitle;
        con::Print("\n\n******** %s ********", title);

        int count = 0;
        if (mainMenu) {
            groupCount = 0;
            for (int row = 0; HasLabel(table[row]); ++row) {
                if (!OpensGroup(table[row]) || groupCount >= kMaxGroups)
                    continue;
                groupStart[groupCount++] = row;
                con::Print("\n\n   %2d. %s", groupCount, table[row].groupTitle);
            }
            count = groupCount;
        } else {
            int first = groupStart[selectedGroup];
            for (int row = first; HasLabel(table[row]) && (row == first || !OpensGroup(table[row])); ++row) {
                ++count;
                con::Print("\n\n   %2d. %s", count, table[row].label);
            }
        }
        con::Print("\n\n   -1. %s", mainMenu ? "Exit application" : "Main Menu");
        const char *stars = PadText("", '*', static_cast<int>(std::strlen(title)) + 18);
        con::Print("\n\n%s\n", stars ? stars : "");
        int32_t choice = con::AskDecimal("\nENTER OPTION : ");

        if (choice == -1) {
            exitFlag = mainMenu;
            mainMenu = true;
        } else if (choice >= 1 && choice <= count) {
            if (mainMenu) {
                selectedGroup = choice - 1;
                mainMenu = false;
            } else {
                const MenuRow &row = table[groupStart[selectedGroup] + choice - 1];
                if (row.handler)
                    row.handler(handle);
            }
        } else {
            con::Print("\nSorry. Invalid option selected.");
        }
    }
}

void RunMenu(TavrelCalHandle handle)
{
    RunMenuTable(handle, MenuTable);
}
