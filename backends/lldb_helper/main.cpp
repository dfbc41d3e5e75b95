// lldb-helper <command-fd> <event-fd>
//
// Reads LLDB command lines from the command descriptor and writes newline-delimited JSON
// records to the event descriptor. The process splits in two at start: this one stays the
// supervisor that the service signals, and a child does the debugging (see supervisor.h).
// The child's code and LLDB's library are in a module beside this program that only the child
// loads: the supervisor stays small, and its fork copies nothing of LLDB's.
#include "backends/lldb_helper/records.h"
#include "backends/lldb_helper/supervisor.h"
#include "backends/lldb_helper/worker.h"

#include <cerrno>
#include <climits>
#include <dlfcn.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <optional>
#include <string>
#include <unistd.h>

namespace {

std::optional<int> parse_fd(const char* text)
{
    if (text == nullptr || *text == '\0')
        return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < 0 || value > 1'000'000)
        return std::nullopt;
    const int fd = static_cast<int>(value);
    if (::fcntl(fd, F_GETFD) < 0)
        return std::nullopt;
    return fd;
}

void say(const std::string& text)
{
    const std::string line = "lldb-helper: " + text + "\n";
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
}

// For the few records written before (or instead of) a session's own writer.
void write_record(int fd, const std::string& record)
{
    const std::string line = record + "\n";
    [[maybe_unused]] const ssize_t written = ::write(fd, line.data(), line.size());
}

int run_worker_module(int command_fd, int event_fd, pid_t supervisor)
{
    char self[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self);
    if (length <= 0 || static_cast<size_t>(length) == sizeof self) {
        write_record(event_fd, lldb_helper::records::error("cannot start: cannot find this program's directory"));
        return 1;
    }
    std::string path(self, static_cast<size_t>(length));
    path = path.substr(0, path.rfind('/') + 1) + lldb_helper::kWorkerModule;
    void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    const auto entry = module != nullptr
                           ? reinterpret_cast<lldb_helper::WorkerEntry>(::dlsym(module, lldb_helper::kWorkerEntry))
                           : nullptr;
    if (entry == nullptr) {
        const char* reason = ::dlerror();
        write_record(event_fd, lldb_helper::records::error(std::string("cannot start: ") + (reason ? reason : path)));
        return 1;
    }
    return entry(command_fd, event_fd, supervisor);
}

int start(int argc, char** argv)
{
    if (argc != 3) {
        say("usage: lldb-helper <command-fd> <event-fd>");
        return 2;
    }
    const std::optional<int> command_fd = parse_fd(argv[1]);
    const std::optional<int> event_fd = parse_fd(argv[2]);
    if (!command_fd || !event_fd) {
        say("the descriptor arguments must name open descriptors");
        return 2;
    }

    // Whatever the launcher left in place, start from default dispositions for the signals
    // this program relies on: an ignored SIGINT or SIGCHLD would be lost, not waited for.
    for (const int signo : {SIGINT, SIGTERM, SIGCHLD, SIGPIPE})
        std::signal(signo, SIG_DFL);
    const sigset_t waited = lldb_helper::supervisor_signals();
    ::sigprocmask(SIG_SETMASK, &waited, nullptr);
    if (!lldb_helper::become_subreaper())
        say(std::string("cannot become a subreaper: ") + std::strerror(errno));

    const pid_t supervisor = ::getpid();
    const pid_t worker = ::fork();
    if (worker < 0) {
        write_record(*event_fd, lldb_helper::records::error(std::string("cannot start: ") + std::strerror(errno)));
        return 1;
    }
    if (worker == 0) {
        // The worker never returns into main: LLDB's static teardown is not worth waiting for.
        ::_exit(run_worker_module(*command_fd, *event_fd, supervisor));
    }

    ::close(*command_fd);
    ::close(*event_fd);
    return lldb_helper::run_supervisor(worker);
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return start(argc, argv);
    } catch (const std::exception& fault) {
        say(std::string("internal error: ") + fault.what());
    } catch (...) {
        say("internal error");
    }
    return 1;
}
