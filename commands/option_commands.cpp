// Library configuration commands. The operator's number is both the index
// for GetOptionInfo and the option ID for the get and set operations; the
// library alone knows the options' names and which are reserved.
#include "commands/option_commands.h"

#include "console/console_io.h"
#include "console/handler.h"
#include "console/run_events.h"
#include "console/text_layout.h"

#include <string>

namespace {

constexpr int32_t kLastOptionId = 7;
constexpr int kPickerColumn = 30;
constexpr int kNameColumn = 35;

// PadText gives null for a name over 80 characters; such a name is shown whole.
const char *Padded(const char *text, int length)
{
    const char *padded = PadText(text, ' ', length);
    if (padded != nullptr)
        return padded;
    return text != nullptr ? text : "";
}

bool IsReserved(int32_t id)
{
    return GetOptionInfo(static_cast<uint32_t>(id))->reserved != 0;
}

bool IsValidChoice(int32_t choice, bool allowAll)
{
    if (choice == -1)
        return true;
    int32_t highest = allowAll ? kAllOptionsId : kLastOptionId;
    if (choice < 0 || choice > highest)
        return false;
    return choice == kAllOptionsId || !IsReserved(choice);
}

} // namespace

int32_t PickOptionId(bool allowAll)
{
    for (uint32_t i = 0; i <= kLastOptionId; ++i) {
        if (i % 2 == 0)
            con::Print("\n");
        const TavrelOptionInfo *info = GetOptionInfo(i);
        con::Print("%5u. %s", info->optionId, Padded(info->reserved ? "<Reserved>" : info->name, kPickerColumn));
    }
    if (allowAll)
        con::Print("\n%5u. %s", static_cast<uint32_t>(kAllOptionsId), Padded("All options", kPickerColumn));
    else
        con::Print("\n");
    con::Print("%5d. %s", -1, "Return to Main Menu");

    for (;;) {
        int32_t choice = con::AskDecimal("\n\nENTER Option ID : ");
        if (IsValidChoice(choice, allowAll))
            return choice;
        con::Print("ERROR: Invalid option ID. Please try again.\n");
    }
}

int CmdGetOptionByID(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nGet Option By ID:\n");
    for (;;) {
        int32_t choice = PickOptionId(true);
        if (choice == -1)
            return ReportSuccess("TestGetOptionByID");
        int32_t first = choice == kAllOptionsId ? 0 : choice;
        int32_t last = choice == kAllOptionsId ? kLastOptionId : choice;
        for (int32_t id = first; id <= last; ++id) {
            const TavrelOptionInfo *info = GetOptionInfo(static_cast<uint32_t>(id));
            if (info->reserved)
                continue;
            uint32_t value = 0;
            if (const char *error = GetOptionByID(handle, static_cast<uint32_t>(id), &value))
                return ReportError(error);
            con::Print("\n%s = %d", Padded(info->name, kNameColumn), static_cast<int32_t>(value));
            // Named by ID: the library's option names may change between versions.
            results::Measure("Option " + std::to_string(id) + " value", value);
        }
        con::Print("\n\n");
    }
}

int CmdSetOptionByID(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nSet Option By ID:\n");
    for (;;) {
        int32_t choice = PickOptionId(false);
        if (choice == -1)
            return ReportSuccess("TestSetOptionByID");
        uint32_t value = con::AskUnsigned("\nOption value = ");
        con::Print("\n");
        if (const char *error = SetOptionByID(handle, static_cast<uint32_t>(choice), value))
            return ReportError(error);
    }
}
