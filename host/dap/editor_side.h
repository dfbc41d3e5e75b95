#pragma once
// What the editor offers the adapter (its initialize's supports... flags), the adapter's requests
// to it, and the terminal of its that a launch's program runs on.

#include <mutex>

#include "host/dap/editor_requests.h"
#include "host/dap/editor_terminal.h"
#include "host/dap/progress_report.h"

namespace local_debugger::dap {

class EditorSide {
public:
    explicit EditorSide(DapChannel &channel) : channel_(channel), requests_(channel) {}

    // From the initialize request, before any launch.
    void offered(const Json &arguments)
    {
        runsTerminals_ = arguments.value("supportsRunInTerminalRequest", false);
        showsProgress_ = arguments.value("supportsProgressReporting", false);
    }

    // A response from the editor; the editor's end.
    void answered(const Json &response) { requests_.answered(response); }
    void gone() { requests_.close(); }

    ProgressReport progress(const std::string &title) { return {channel_, showsProgress_, title}; }

    // The editor's terminal for the program, when the launch asks for one and it can be had;
    // the waiter there is kept until letTerminalGo. GDB opens the terminal itself: one reached
    // through the service's socket may not see this machine's terminals.
    std::string terminalFor(const Json &launch, bool gdbElsewhere)
    {
        const std::string unavailable =
            !runsTerminals_ ? "the editor does not offer runInTerminal"
            : gdbElsewhere  ? "GDB, reached through the service's socket, may not see the editor's terminals"
                            : "";
        std::unique_ptr<EditorTerminal> waiter;
        std::string path = editorTerminalFor(launch, unavailable, requests_, channel_, waiter);
        std::lock_guard<std::mutex> guard(lock_);
        waiter_ = std::move(waiter);
        return path;
    }

    // The run has ended: the waiter ends, and the editor's terminal is its own again.
    void letTerminalGo()
    {
        std::unique_ptr<EditorTerminal> waiter;
        std::lock_guard<std::mutex> guard(lock_);
        waiter = std::move(waiter_);
    }

private:
    DapChannel &channel_;
    EditorRequests requests_;
    bool runsTerminals_ = false; // set before the worker that reads them is handed a launch
    bool showsProgress_ = false;
    std::mutex lock_;
    std::unique_ptr<EditorTerminal> waiter_;
};

} // namespace local_debugger::dap
