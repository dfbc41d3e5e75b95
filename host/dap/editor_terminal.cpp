#include "host/dap/editor_terminal.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include "platform/write_all.h"

namespace local_debugger::dap {

namespace {

std::optional<sockaddr_un> addressOf(const std::string &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return std::nullopt;
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

// A session leader that gives up its terminal lets the program make it its own controlling
// terminal, as a debugger does for the program it starts on a named terminal.
void releaseTerminal()
{
    if (getsid(0) != getpid() || tcgetsid(STDIN_FILENO) != getpid())
        return;
    signal(SIGHUP, SIG_IGN); // giving it up hangs up the session's foreground: this process
    ioctl(STDIN_FILENO, TIOCNOTTY);
}

// Waits for fd to become readable; false when time runs out first.
bool readable(int fd, std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd ready = {fd, POLLIN, 0};
        const int got = poll(&ready, 1, static_cast<int>(std::max<int64_t>(left.count(), 0)));
        if (got > 0)
            return true;
        if (got == 0 || errno != EINTR)
            return false;
    }
}

} // namespace

int runTerminalWaiter(const char *socketPath)
{
    const auto address = addressOf(socketPath);
    UniqueFd connection(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!address || !connection ||
        connect(connection.get(), reinterpret_cast<const sockaddr *>(&*address), sizeof *address) != 0) {
        fprintf(stderr, "debugger-host: cannot reach the debug adapter at %s: %s\n", socketPath,
                address ? strerror(errno) : "the path is too long");
        return 1;
    }
    char name[PATH_MAX] = "";
    if (!isatty(STDIN_FILENO) || ttyname_r(STDIN_FILENO, name, sizeof name) != 0)
        name[0] = '\0'; // the adapter says why the program does not get it
    else
        releaseTerminal();
    if (!writeAll(connection.get(), std::string(name) + "\n"))
        return 1;
    // The run goes on until the adapter lets this end go.
    for (char byte;;) {
        const ssize_t got = read(connection.get(), &byte, 1);
        if (got == 0 || (got < 0 && errno != EINTR))
            break;
    }
    // An adapter that was killed left its socket and directory behind; one that ended removes
    // them itself, and these then find nothing.
    unlink(socketPath);
    const std::string_view path(socketPath);
    if (const size_t slash = path.rfind('/'); slash != std::string_view::npos && slash > 0)
        rmdir(std::string(path.substr(0, slash)).c_str());
    return 0;
}

std::unique_ptr<EditorTerminal> EditorTerminal::listen(std::string &problem)
{
    std::unique_ptr<EditorTerminal> terminal(new EditorTerminal());
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base == '/' ? base : "/tmp") + "/ld-dap-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) { // made 0700: no other user reaches the socket
        problem = "cannot make a directory for the terminal's socket: " + std::string(strerror(errno));
        return nullptr;
    }
    terminal->directory_ = pattern;
    terminal->socket_ = pattern + "/terminal";
    const auto address = addressOf(terminal->socket_);
    terminal->listener_.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!address || !terminal->listener_ ||
        bind(terminal->listener_.get(), reinterpret_cast<const sockaddr *>(&*address), sizeof *address) != 0 ||
        ::listen(terminal->listener_.get(), 1) != 0) {
        problem = "cannot listen on " + terminal->socket_ + ": " + (address ? strerror(errno) : "path too long");
        return nullptr;
    }
    return terminal;
}

EditorTerminal::~EditorTerminal()
{
    waiter_.reset();
    listener_.reset();
    if (!socket_.empty())
        unlink(socket_.c_str());
    if (!directory_.empty())
        rmdir(directory_.c_str());
}

std::vector<std::string> EditorTerminal::waiterCommand() const
{
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return {length > 0 ? std::string(path, static_cast<size_t>(length)) : "debugger-host", "--dap-terminal", socket_};
}

std::optional<std::string> EditorTerminal::accept(std::chrono::milliseconds timeout, std::string &problem)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    if (!readable(listener_.get(), deadline)) {
        problem = "the editor's terminal did not start the waiter";
        return std::nullopt;
    }
    waiter_.reset(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    std::string line;
    char bytes[256];
    while (waiter_ && line.find('\n') == std::string::npos && line.size() < PATH_MAX &&
           readable(waiter_.get(), deadline)) {
        const ssize_t got = read(waiter_.get(), bytes, sizeof bytes);
        if (got == 0 || (got < 0 && errno != EINTR))
            break;
        if (got > 0)
            line.append(bytes, static_cast<size_t>(got));
    }
    const size_t end = line.find('\n');
    if (end == std::string::npos) {
        problem = "the waiter in the editor's terminal did not name its terminal";
        return std::nullopt;
    }
    if (end == 0) {
        problem = "the editor ran the waiter without a terminal";
        return std::nullopt;
    }
    return line.substr(0, end);
}

namespace {

using namespace std::chrono_literals;

// An editor may take a while to open a terminal; one that never does leaves the launch waiting
// no longer than this, for its answer and then for the waiter.
std::chrono::milliseconds editorPatience()
{
    // Tests that play an editor that never answers wait less: LD_DAP_EDITOR_PATIENCE_MS.
    const char *given = getenv("LD_DAP_EDITOR_PATIENCE_MS");
    char *end = nullptr;
    const long long ms = given != nullptr ? strtoll(given, &end, 10) : 0;
    return given != nullptr && *given != '\0' && *end == '\0' && ms > 0 ? std::chrono::milliseconds(ms) : 10s;
}

std::string text(const Json &object, const char *field)
{
    const auto found = object.find(field);
    return found != object.end() && found->is_string() ? found->get<std::string>() : "";
}

Json runInTerminalArguments(const Json &arguments, const std::string &console, const EditorTerminal &terminal)
{
    std::string cwd = text(arguments, "cwd");
    if (cwd.empty()) {
        char here[PATH_MAX];
        cwd = getcwd(here, sizeof here) != nullptr ? here : "/";
    }
    const std::string program = text(arguments, "program");
    return {{"kind", console == "externalTerminal" ? "external" : "integrated"},
            {"title", program.substr(program.rfind('/') + 1)},
            {"cwd", cwd},
            {"args", terminal.waiterCommand()}};
}

} // namespace

std::string editorTerminalFor(const Json &arguments, const std::string &unavailable, EditorRequests &editor,
                              DapChannel &channel, std::unique_ptr<EditorTerminal> &waiter)
{
    const std::string console = text(arguments, "console");
    if (console != "integratedTerminal" && console != "externalTerminal")
        return "";
    std::string problem = unavailable;
    std::unique_ptr<EditorTerminal> terminal = problem.empty() ? EditorTerminal::listen(problem) : nullptr;
    if (terminal) {
        const auto response =
            editor.ask("runInTerminal", runInTerminalArguments(arguments, console, *terminal), editorPatience());
        if (!response)
            problem = "the editor did not answer runInTerminal";
        else if (!response->contains("success") || (*response)["success"] != true)
            problem = "the editor refused runInTerminal: " + text(*response, "message");
        else if (auto path = terminal->accept(editorPatience(), problem)) {
            waiter = std::move(terminal);
            return *path;
        }
    }
    tellNoEditorTerminal(channel, problem);
    return "";
}

void tellNoEditorTerminal(DapChannel &channel, const std::string &why)
{
    channel.event("output", {{"category", "console"},
                             {"output", "The program's input and output go through the debug console, not the "
                                        "editor's terminal: " +
                                            why + "\n"}});
}

} // namespace local_debugger::dap
