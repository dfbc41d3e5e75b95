#pragma once
// Whether an editor's request is typed as the adapter reads it: past this check no field the
// adapter or a driver reads has another type, and no number is out of the range it is used in.

#include <string>

#include "host/dap/dap_channel.h"

namespace local_debugger::dap {

// Why the request cannot be served as it is typed; empty for one that can.
std::string requestProblem(const Json &request);

} // namespace local_debugger::dap
