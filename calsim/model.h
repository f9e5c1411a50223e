// The simulated modem's operations, as the model defines them: the same
// functions and types as the calibration library's C interface, in a
// namespace of their own. The library front (callib/front.cpp) exports the
// C functions and sends each call either here or over the proxy link; a
// target (docksim --modem) calls them for the requests it gets.
#ifndef CALSIM_MODEL_H
#define CALSIM_MODEL_H

#include "calapi/calapi.h"
#include "calwire/calwire.h"

namespace calsim::model {

decltype(::GetCalInterface) GetCalInterface;
decltype(::CloseCalInterface) CloseCalInterface;
decltype(::GetOptionInfo) GetOptionInfo;

#define CALSIM_DECLARE_MODEL_OPERATION(number_, name_, ...) decltype(::name_) name_;
CALWIRE_OPERATIONS(CALSIM_DECLARE_MODEL_OPERATION)
#undef CALSIM_DECLARE_MODEL_OPERATION

} // namespace calsim::model

#endif
