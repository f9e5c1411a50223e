#include "tuneprobe/menu_items.h"

#include <cctype>
#include <cstdio>

namespace {

bool Upper(char c)
{
    return std::isupper(static_cast<unsigned char>(c)) != 0;
}

bool Lower(char c)
{
    return std::islower(static_cast<unsigned char>(c)) != 0;
}

bool Digit(char c)
{
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

} // namespace

std::string MenuItemName(const char *label)
{
    std::string name;
    std::string text(label);
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (!std::isalnum(static_cast<unsigned char>(c))) {
            if (!name.empty() && name.back() != '-')
                name.push_back('-');
            continue;
        }
        // A word starts at a capital after a small letter or digit
        // ("GetMAC"), or at the last capital of a run before a small letter
        // ("MACAddress").
        if (i > 0 && Upper(c) && !name.empty() && name.back() != '-') {
            char before = text[i - 1];
            bool next = i + 1 < text.size() && Lower(text[i + 1]);
            if (Lower(before) || Digit(before) || (Upper(before) && next))
                name.push_back('-');
        }
        name.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    while (!name.empty() && name.back() == '-')
        name.pop_back();
    return name;
}

std::string MenuItemNumber(const MenuRow *table, int row)
{
    int group = 0;
    int item = 0;
    for (int r = 0; r <= row && HasLabel(table[r]); ++r) {
        if (OpensGroup(table[r])) {
            ++group;
            item = 0;
        }
        ++item;
    }
    return std::to_string(group) + "." + std::to_string(item);
}

int FindMenuItem(const MenuRow *table, const std::string &text)
{
    for (int row = 0; HasLabel(table[row]); ++row) {
        if (text == MenuItemNumber(table, row) || text == MenuItemName(table[row].label))
            return row;
    }
    return -1;
}

std::string MenuItemList(const MenuRow *table)
{
    std::string list;
    for (int row = 0; HasLabel(table[row]); ++row) {
        if (OpensGroup(table[row]))
            list += std::string(row == 0 ? "" : "\n") + table[row].groupTitle + "\n";
        char line[256];
        std::snprintf(line, sizeof line, "  %-5s %-38s %s\n", MenuItemNumber(table, row).c_str(),
                      MenuItemName(table[row].label).c_str(), table[row].label);
        list += line;
    }
    return list;
}
