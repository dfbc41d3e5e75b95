#pragma once
// Long work the editor waits on, for an editor that shows progress: progressStart when it
// begins, progressEnd when the report goes, whichever way the work ended.

#include <atomic>
#include <string>

#include "host/dap/dap_channel.h"

namespace local_debugger::dap {

class ProgressReport {
public:
    ProgressReport(DapChannel &channel, bool shown, const std::string &title) : channel_(channel), shown_(shown)
    {
        static std::atomic<int64_t> reports = 0;
        id_ = "progress-" + std::to_string(++reports);
        if (shown_)
            channel_.event("progressStart", {{"progressId", id_}, {"title", title}, {"cancellable", false}});
    }
    ~ProgressReport()
    {
        if (shown_)
            channel_.event("progressEnd", {{"progressId", id_}});
    }
    ProgressReport(const ProgressReport &) = delete;
    ProgressReport &operator=(const ProgressReport &) = delete;

private:
    DapChannel &channel_;
    const bool shown_;
    std::string id_;
};

} // namespace local_debugger::dap
