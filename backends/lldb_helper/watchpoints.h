// The watchpoints that "watchpoints" requests set: each request replaces what the one before set
// in the same target; watchpoints made by command lines are never touched.
#pragma once

#include "backends/lldb_helper/requests.h"

#include <lldb/API/LLDB.h>

#include <vector>

namespace lldb_helper {

class WatchpointRequests {
public:
    requests::Answer set(lldb::SBTarget target, const requests::Watchpoints& request);

private:
    lldb::SBTarget target_;
    std::vector<lldb::watch_id_t> made_;
};

}  // namespace lldb_helper
