#include "backends/lldb_helper/watchpoints.h"

#include "backends/lldb_helper/describe.h"
#include "backends/lldb_helper/records.h"

namespace lldb_helper {

requests::Answer WatchpointRequests::set(lldb::SBTarget target, const requests::Watchpoints& request)
{
    if (!target.IsValid())
        return requests::refused("error: no target\n");
    if (target == target_) {
        for (const lldb::watch_id_t id : made_)
            target.DeleteWatchpoint(id);
    }
    target_ = target;
    made_.clear();
    records::Body list = records::Body::array();
    for (const requests::Watchpoint& wanted : request.watchpoints) {
        lldb::SBError error;
        lldb::SBWatchpoint watchpoint =
            target.WatchAddress(wanted.address, wanted.size, wanted.read, wanted.write, error);
        if (!watchpoint.IsValid() || error.Fail()) {
            std::string message = describe::error_line(error.GetCString(), "error: cannot watch that memory\n");
            message = message.substr(7, message.size() - 8);  // without "error: " and the newline
            list.push_back({{"verified", false}, {"message", message}});
            continue;
        }
        if (!wanted.stopping.condition.empty())
            watchpoint.SetCondition(wanted.stopping.condition.c_str());
        watchpoint.SetIgnoreCount(wanted.stopping.ignore_count);
        made_.push_back(watchpoint.GetID());
        list.push_back({{"id", watchpoint.GetID()}, {"verified", true}});
    }
    return requests::answered({{"watchpoints", list}});
}

}  // namespace lldb_helper
