#include "host/console/lldb_cli_console.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "host/console/console_signals.h"
#include "host/console/line_editing.h"
#include "host/console/wake_pipe.h"
#include "host/debuggee_terminal.h"
#include "host/session/lldb_session.h"

namespace local_debugger::console {

namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;

// How long a Ctrl-D waits for LLDB's line editor; LLDB takes the terminal within milliseconds.
constexpr auto endOfInputHold = 300ms;

void sendLine(ServiceClient &client, const LldbSession::Line &line)
{
    client.sendData("send", std::vector<uint8_t>(line.bytes.begin(), line.bytes.end()));
}

} // namespace

struct LldbCliConsole::State {
    CliOptions options;

    // Shared with the client's reading thread.
    mutable std::mutex lock;
    std::string partialLine;
    std::vector<Json> answers; // in order: the console request's, then the program's loading
    bool ended = false;        // LLDB's interpreter ended: quit typed, or Ctrl-D
    bool connectionClosed = false;
    bool wrote = false;
    WakePipe wake;

    // The console's own thread only.
    ServiceClient *client = nullptr;
    LldbSession session;
    DebuggeeTerminal tty;
    termios saved{};
    bool terminal = false;
    bool quitting = false;
    bool keysGone = false;
    bool died = false;
    bool lineStarted = false; // what LLDB wrote last did not end its line: a prompt, say
    std::string held;         // keys not yet passed on: from a Ctrl-D on, until LLDB's line editor reads them
    std::optional<std::chrono::steady_clock::time_point> heldSince;

    bool isClosed() const
    {
        std::lock_guard<std::mutex> guard(lock);
        return connectionClosed;
    }

    void relayTerminal()
    {
        char bytes[65536];
        for (;;) {
            const ssize_t got = read(tty.master(), bytes, sizeof bytes);
            if (got <= 0)
                return;
            writeAll(STDOUT_FILENO, std::string_view(bytes, static_cast<size_t>(got)));
            lineStarted = bytes[got - 1] != '\n';
        }
    }

    void forwardKeys()
    {
        char keys[4096];
        const ssize_t got = readKeys(keys, sizeof keys);
        if (got == 0 && !keysGone) { // the terminal went away: as a hang-up
            keysGone = quitting = true;
            client->requestResult("stop", 10s);
        }
        if (got <= 0)
            return;
        held.append(keys, static_cast<size_t>(got));
        passKeys();
    }

    // Ctrl-C is LLDB's interrupt, which the back end dispatches as lldb does on SIGINT: the
    // terminal has no process group to signal. LLDB writes its prompt before its line editor
    // takes the terminal out of line mode, and a Ctrl-D typed in between would be an end of
    // input that the change of mode drops: it waits for the line editor (at most
    // endOfInputHold, for a reader that keeps line mode), and the keys after it with it.
    void passKeys()
    {
        for (; !held.empty(); held.erase(0, 1)) {
            const size_t special = held.find_first_of("\x03\x04");
            writeAll(tty.master(), std::string_view(held).substr(0, special));
            held.erase(0, special);
            if (held.empty())
                return;
            if (held[0] == '\x03') {
                client->sendCommand("break");
                continue;
            }
            termios modes{};
            winsize size{};
            const bool lineMode = tcgetattr(tty.slave(), &modes) == 0 && (modes.c_lflag & ICANON) != 0;
            const bool editsLines = ioctl(tty.master(), TIOCGWINSZ, &size) == 0 && size.ws_col > 0;
            const auto now = std::chrono::steady_clock::now();
            if (lineMode && editsLines && (!heldSince || now - *heldSince < endOfInputHold)) {
                heldSince = heldSince.value_or(now);
                return;
            }
            heldSince.reset();
            writeAll(tty.master(), "\x04");
        }
    }

    void passSize()
    {
        winsize size{};
        if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0)
            return;
        ioctl(tty.master(), TIOCSWINSZ, &size);
        sendLine(*client, session.request({{"request", "consoleSize"}}));
    }

    void onSignal(const ConsoleSignals &signals)
    {
        const int signo = signals.take();
        if (signo == 0)
            return;
        if (signo == SIGWINCH) {
            passSize();
        } else if (signo == SIGINT) {
            client->sendCommand("break");
        } else {
            quitting = true;
            client->requestResult("stop", 10s);
        }
    }

    // Waits for the answers to the first count lines sent; none once the connection is gone.
    std::optional<std::vector<Json>> awaitAnswers(size_t count)
    {
        for (;;) {
            {
                std::lock_guard<std::mutex> guard(lock);
                if (answers.size() >= count)
                    return answers;
                if (connectionClosed)
                    return std::nullopt;
            }
            pollfd woken{wake.readEnd(), POLLIN, 0};
            poll(&woken, 1, -1);
            wake.clear();
        }
    }

    // Loaded as lldb loads the program it is given: each command shown after LLDB's prompt as it
    // starts, then what it answered, before the first prompt. The arguments go as data, byte for
    // byte.
    void loadProgram()
    {
        const auto path = LldbSession::quoted(*options.program);
        if (!path)
            return;
        std::vector<std::string> shown{"target create " + *path};
        const auto create = session.line(shown[0]);
        if (!create)
            return;
        sendLine(*client, *create);
        if (!options.arguments.empty()) {
            std::string line = "settings set -- target.run-args ";
            for (const auto &argument : options.arguments) {
                line += ' ';
                line += LldbSession::quoted(argument).value_or("\"…\"");
            }
            shown.push_back(line);
            const Json request{{"request", "launch"}, {"arguments", options.arguments}, {"start", false}};
            sendLine(*client, session.request(request));
        }
        for (size_t i = 0; i < shown.size(); ++i) {
            showOnTerminal("(lldb) " + shown[i] + "\n");
            const auto answered = awaitAnswers(2 + i);
            if (!answered)
                return;
            const Json &answer = (*answered)[i + 1];
            showOnTerminal(answer.value("output", "") + answer.value("error", ""));
        }
    }

    static void showOnTerminal(const std::string &text)
    {
        std::string onTerminal;
        for (const char c : text) {
            if (c == '\n')
                onTerminal += '\r';
            onTerminal += c;
        }
        writeAll(STDOUT_FILENO, onTerminal);
    }
};

LldbCliConsole::LldbCliConsole(CliOptions options) : state_(std::make_unique<State>())
{
    state_->options = std::move(options);
}

LldbCliConsole::~LldbCliConsole() = default;

void LldbCliConsole::feed(const uint8_t *bytes, size_t count)
{
    State &state = *state_;
    bool changed = false;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        state.wrote = true;
        state.partialLine.append(reinterpret_cast<const char *>(bytes), count);
        size_t start = 0;
        for (size_t newline; (newline = state.partialLine.find('\n', start)) != std::string::npos;
             start = newline + 1) {
            auto record = LldbSession::read(std::string_view(state.partialLine).substr(start, newline - start));
            if (!record)
                continue;
            if (record->kind == LldbRecord::Kind::Result) {
                state.answers.push_back(std::move(record->fields));
                changed = true;
            } else if (record->text("type") == "console" && record->text("state") == "ended") {
                state.ended = true;
            }
        }
        state.partialLine.erase(0, start);
    }
    if (changed)
        state.wake.wake();
}

void LldbCliConsole::closed()
{
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        state_->connectionClosed = true;
    }
    state_->wake.wake();
}

bool LldbCliConsole::died() const
{
    return state_->died;
}

bool LldbCliConsole::wrote() const
{
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->wrote;
}

bool LldbCliConsole::run(ServiceClient &client)
{
    State &state = *state_;
    state.client = &client;
    if (!state.tty.open(STDOUT_FILENO) || fcntl(state.tty.master(), F_SETFL, O_NONBLOCK) != 0)
        return false;
    const Json request{{"request", "console"}, {"terminal", state.tty.path}, {"initFile", state.options.readInitFiles}};
    sendLine(client, state.session.request(request));
    const auto answer = state.awaitAnswers(1);
    if (!answer || !answer->front().value("ok", false))
        return false;

    const ConsoleSignals signals(true);
    state.terminal = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &state.saved) == 0;
    if (state.terminal) {
        // Every key goes to LLDB's terminal as typed; its line discipline and LLDB's line
        // editor answer them.
        termios raw = state.saved;
        raw.c_lflag &= ~(ICANON | ECHO | ISIG | IEXTEN);
        raw.c_iflag &= ~(ICRNL | IXON | INLCR | IGNCR);
        raw.c_oflag &= ~OPOST; // LLDB's terminal has made its line ends already
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSADRAIN, &raw);
    }

    if (state.options.program)
        state.loadProgram();
    while (!state.isClosed()) {
        pollfd watched[] = {{state.wake.readEnd(), POLLIN, 0},
                            {signals.fd(), POLLIN, 0},
                            {state.tty.master(), POLLIN, 0},
                            {state.keysGone ? -1 : STDIN_FILENO, POLLIN, 0}};
        if (poll(watched, std::size(watched), state.held.empty() ? -1 : 5) < 0 && errno != EINTR)
            break;
        state.passKeys();
        if (watched[0].revents != 0)
            state.wake.clear();
        if (watched[1].revents != 0)
            state.onSignal(signals);
        if (watched[2].revents != 0)
            state.relayTerminal();
        if (watched[3].revents != 0)
            state.forwardKeys();
    }
    // What LLDB wrote as it ended.
    state.relayTerminal();
    {
        std::lock_guard<std::mutex> guard(state.lock);
        state.died = !state.ended && !state.quitting;
    }
    if (state.died && state.lineStarted) // the word on it starts a line of its own
        writeAll(STDOUT_FILENO, "\r\n");
    endConsole(state.terminal ? &state.saved : nullptr, std::nullopt);
    return true;
}

} // namespace local_debugger::console
