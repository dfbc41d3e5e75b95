#pragma once
// Running a short-lived tool and collecting its standard output.

#include <string>
#include <vector>

struct ToolRunResult {
    enum class End {
        NotStarted, // could not be started; code is the errno of the failed step
        Exited,     // ran and exited; code is its exit status
        Signalled,  // ran and was ended by a signal; code is the signal number
        Lost,       // ran, but its end could not be observed; code is the errno of waitpid
        TimedOut,   // still running when its time was up; killed
        Cancelled,  // the watched peer hung up while it ran; killed
    };
    End end = End::NotStarted;
    int code = 0;
    // Every byte the tool wrote to its standard output.
    std::string output;

    bool exitedWithStatus(int status) const { return end == End::Exited && code == status; }
};

// How long a tool may run before it is killed.
constexpr int toolRunLimitSeconds = 10;

// While one lives, the calling thread's tool runs also end, the tool killed, when the peer of
// socket fd hangs up: nobody is left to use their answer.
class ToolRunWatch {
public:
    explicit ToolRunWatch(int fd);
    ~ToolRunWatch();
    ToolRunWatch(const ToolRunWatch &) = delete;
    ToolRunWatch &operator=(const ToolRunWatch &) = delete;

private:
    int previous_;
};

// True when the peer of socket fd has hung up (it can send nothing more).
bool peerHungUp(int fd);

// Runs the program at the absolute path toolPath with arguments (argument 0 is toolPath) and
// blocks until it has exited, for at most toolRunLimitSeconds. The tool shares the caller's environment, standard input and
// standard error, and starts with the signal mask the service was started with and default
// dispositions. Only this tool is waited for, never another child of the caller.
ToolRunResult runTool(const std::string &toolPath, const std::vector<std::string> &arguments) noexcept;
