#include <csignal>
#include <exception>
#include <fcntl.h>
#include <linux/close_range.h>
#include <string>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

#include "debugger/gdb_launch.h"
#include "diagnostics/console.h"
#include "diagnostics/debug_message.h"
#include "platform/activation.h"
#include "platform/bundle.h"
#include "platform/child_signals.h"
#include "platform/system_root.h"
#include "service/service.h"

namespace {

// With 0, 1 or 2 closed, a pipe or socket opened later would take their place and end up on
// a back end's standard streams.
void ensureStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0) {
            int opened = open("/dev/null", O_RDWR);
            if (opened >= 0 && opened != fd) {
                dup2(opened, fd);
                close(opened);
            }
        }
    }
}

// Whatever the starter left open above 2 (extra activation sockets, stray files) reaches no
// child; the activation socket is close-on-exec too, as everything the service opens.
void markInheritedCloseOnExec()
{
    syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC);
}

// Past this many, a connection is accepted and closed at once: each one served holds a thread.
constexpr int maxServedConnections = 64;

[[noreturn]] void serveListening(Service &service, int listeningFd)
{
    int served = 0;
    for (;;) {
        int fd = acceptConnection(listeningFd);
        if (fd < 0)
            service.end(Service::EndCause::ConnectionEnded);
        if (served >= maxServedConnections) {
            close(fd);
            continue;
        }
        try {
            std::thread([&service, fd] { service.serveConnection(fd); }).detach();
            ++served;
        } catch (const std::exception &) {
            // No thread to serve it: this host is turned away, the others go on.
            close(fd);
        }
    }
}

int run()
{
    ensureStandardDescriptors();
    markInheritedCloseOnExec();
    recordStartupSignals();
    initConsole();
    initDiagnosticLog();
    initSystemRoot();
    bundleDirectory(); // resolved once, at start, off the path of a launch
    findGdbLaunchers();
    consoleLine("launching local debugger (pid " + std::to_string(getpid()) + ")");

    ActivationResult activation = takeActivationSocket();
    if (activation.fd < 0) {
        std::string line = "local-debugger: " + activation.problem +
                           " (a host starts it: run debugger-host, or start it by socket activation with its socket on "
                           "descriptor 3)\n";
        writeToConsole(line);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    recordChangedDispositions();

    // Lives until the process exits; nothing tears it down.
    auto *service = new Service;
    if (std::string problem = service->start(); !problem.empty()) {
        writeToConsole("local-debugger: cannot start: " + problem + "\n");
        return 2;
    }
    if (!activation.listening)
        service->serveConnection(activation.fd);
    serveListening(*service, activation.fd);
}

} // namespace

int main()
{
    try {
        return run();
    } catch (const std::exception &error) {
        // Out of memory or threads before serving: nothing here allocates.
        writeToConsole("local-debugger: cannot start: ");
        writeToConsole(error.what());
        writeToConsole("\n");
        return 2;
    }
}
