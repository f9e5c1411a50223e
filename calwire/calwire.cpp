// The calibration link's operation table, searched by number.
#include "calwire/calwire.h"

namespace calwire {
namespace {

#define CALWIRE_LIST_OPERATION(number_, name_, ...) &op::name_,
constexpr const Operation *kOperations[] = {&op::Open, &op::Close, &op::OptionInfo,
                                            CALWIRE_OPERATIONS(CALWIRE_LIST_OPERATION)};
#undef CALWIRE_LIST_OPERATION

} // namespace

const Operation *FindOperation(uint16_t number)
{
    for (const Operation *operation : kOperations) {
        if (operation->number == number)
            return operation;
    }
    return nullptr;
}

} // namespace calwire
