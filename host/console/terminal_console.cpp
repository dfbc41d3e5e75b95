#include "host/console/terminal_console.h"

#include "host/console/console_signals.h"
#include "host/console/gdb_cli_console.h"
#include "host/console/line_editing.h"
#include "host/console/wake_pipe.h"
#include "host/debuggee_terminal.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <set>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <editline/readline.h>

namespace local_debugger::console {

namespace {

using namespace std::chrono_literals;

} // namespace

struct TerminalConsole::State {
    enum class Mode { Waiting, Prompt, Running, Ending };

    std::unique_ptr<Dialect> dialect;
    ConsoleOptions options;

    // Shared with the client's reading thread.
    std::mutex lock;
    std::condition_variable changed;
    std::string partialLine;
    std::deque<ConsoleEvent> events;
    std::map<uint64_t, std::vector<std::string>> completions;
    bool connectionClosed = false;
    bool wrote = false;
    WakePipe wake;
    std::unique_ptr<GdbCliConsole> cli;
    std::atomic<GdbCliConsole *> cliFed{nullptr}; // takes what the debugger writes instead
    bool died = false;
    bool quitting = false; // asked to end: a quit typed, Ctrl-D, SIGTERM or SIGHUP

    // The console's own thread only.
    ServiceClient *client = nullptr;
    Mode mode = Mode::Waiting;
    std::set<uint64_t> awaited; // ids sent and not yet answered
    uint64_t nextId = 1;
    termios saved{};
    bool terminal = false;
    DebuggeeTerminal debuggee;
    bool debuggeeInput = false; // typed bytes can reach the running debuggee
    std::optional<std::string> history;
    std::string lastHistory;

    static State *current; // for the line editor's callbacks, which take no context

    void send(const std::string &bytes) { client->sendData("send", std::vector<uint8_t>(bytes.begin(), bytes.end())); }

    void sendAwaited(const std::string &bytes, uint64_t id)
    {
        awaited.insert(id);
        send(bytes);
    }

    void print(std::string_view text) { show(text, mode == Mode::Prompt); }

    void enter(Mode next)
    {
        if (mode == Mode::Prompt && next != Mode::Prompt)
            rl_callback_handler_remove();
        if (terminal) {
            termios wanted = saved;
            if (next == Mode::Running && debuggeeInput) {
                // Keys go to the debuggee's terminal as typed, which echoes and edits for it;
                // Ctrl-C still comes to us as SIGINT.
                wanted.c_lflag &= ~(ICANON | ECHO);
                wanted.c_cc[VMIN] = 1;
                wanted.c_cc[VTIME] = 0;
            }
            if (next != Mode::Prompt)
                tcsetattr(STDIN_FILENO, TCSADRAIN, &wanted);
        }
        const Mode previous = mode;
        mode = next;
        if (next == Mode::Prompt && previous != Mode::Prompt)
            rl_callback_handler_install(dialect->prompt(), &State::onLine);
    }

    void handle(ConsoleEvent &event)
    {
        switch (event.kind) {
        case ConsoleEvent::Kind::Show:
            print(event.text);
            break;
        case ConsoleEvent::Kind::Answer:
            awaited.erase(event.id);
            if (mode == Mode::Waiting && awaited.empty())
                enter(event.running ? Mode::Running : Mode::Prompt);
            break;
        case ConsoleEvent::Kind::Stopped:
            if (mode == Mode::Running)
                enter(Mode::Prompt);
            break;
        case ConsoleEvent::Kind::Completions:
            break;
        }
    }

    void drain()
    {
        wake.clear();
        // What the debuggee wrote before the debugger told of its stop or exit shows first.
        while (debuggee.master() >= 0) {
            pollfd ready{debuggee.master(), POLLIN, 0};
            if (poll(&ready, 1, 0) <= 0 || (ready.revents & POLLIN) == 0)
                break;
            relayDebuggee();
        }
        for (;;) {
            ConsoleEvent event;
            {
                std::lock_guard<std::mutex> guard(lock);
                if (events.empty())
                    return;
                event = std::move(events.front());
                events.pop_front();
            }
            handle(event);
        }
    }

    void runLine(const char *line)
    {
        if (line == nullptr) { // end of input at the prompt
            writeAll(STDOUT_FILENO, "\n");
            quitting = true;
            enter(Mode::Ending);
            send(dialect->quit());
            return;
        }
        std::string text(line);
        quitting = quitting || quitsDebugger(text);
        if (!text.empty() && text != lastHistory && text.size() <= historyLineLimit) {
            add_history(line);
            lastHistory = text;
        }
        const uint64_t id = nextId++;
        const auto reason = dialect->refusal(text);
        const std::string bytes = reason ? "" : dialect->command(text, id);
        enter(Mode::Waiting);
        if (!bytes.empty()) {
            sendAwaited(bytes, id);
            return;
        }
        if (reason)
            print(*reason + "\n");
        enter(Mode::Prompt); // a fresh prompt, as after an empty line at a shell's
    }

    static void onLine(char *line)
    {
        current->runLine(line);
        free(line);
    }

    std::vector<std::string> complete(const std::string &lineToCursor)
    {
        const uint64_t id = nextId++;
        const std::string request = dialect->completion(lineToCursor, id);
        if (request.empty())
            return {};
        send(request);
        return CompletionAnswers{lock, changed, completions, connectionClosed}.await(id);
    }

    static std::vector<std::string> completeLine(const std::string &lineToCursor)
    {
        return current->complete(lineToCursor);
    }

    void forwardKeys()
    {
        char keys[4096];
        ssize_t got = readKeys(keys, sizeof keys);
        if (got <= 0)
            return;
        if (debuggee.master() >= 0)
            writeAll(debuggee.master(), std::string_view(keys, static_cast<size_t>(got)));
        else
            send(dialect->input(std::string_view(keys, static_cast<size_t>(got)), nextId++));
    }

    void relayDebuggee()
    {
        char bytes[65536];
        ssize_t got = read(debuggee.master(), bytes, sizeof bytes);
        if (got > 0)
            print(std::string_view(bytes, static_cast<size_t>(got)));
    }

    void onSignal(const ConsoleSignals &signals)
    {
        const int signo = signals.take();
        if (signo == 0)
            return;
        if (signo != SIGINT) {
            quitting = true;
            client->requestResult("stop", 10s);
            return;
        }
        if (mode == Mode::Prompt) {
            // As at any shell prompt: the line is dropped and a fresh prompt drawn.
            rl_callback_handler_remove();
            writeAll(STDOUT_FILENO, "^C\n");
            rl_callback_handler_install(dialect->prompt(), &State::onLine);
        } else if (mode == Mode::Ending) {
            client->requestResult("stop", 10s);
        } else {
            client->sendCommand("break");
        }
    }

    bool isClosed()
    {
        std::lock_guard<std::mutex> guard(lock);
        return connectionClosed && events.empty();
    }

    // GDB's own command line as the console; false, with a note, when GDB cannot open its
    // terminals and its records are shown instead.
    bool runGdbCli();
    // The first prompt waits for the settings, the debuggee's terminal and the program.
    void start(bool debuggerSeesOurTerminals);
    void openDebuggeeTerminal(bool debuggerSeesOurTerminals);
    // Until the connection ends.
    void loop(const ConsoleSignals &signals);
};

TerminalConsole::State *TerminalConsole::State::current = nullptr;

bool TerminalConsole::State::runGdbCli()
{
    cli = std::make_unique<GdbCliConsole>(CliOptions{options.program, options.arguments, options.readInitFiles});
    cliFed.store(cli.get());
    if (std::lock_guard<std::mutex> guard(lock); connectionClosed)
        cli->closed();
    if (cli->run(*client)) {
        died = cli->died();
        return true;
    }
    cliFed.store(nullptr);
    print("note: GDB cannot open this console's terminals: its records are shown instead\n");
    return false;
}

void TerminalConsole::State::start(bool debuggerSeesOurTerminals)
{
    const uint64_t settingsId = nextId++;
    if (auto settings = dialect->settings(settingsId); !settings.empty())
        sendAwaited(settings, settingsId);
    if (dialect->wantsTerminal())
        openDebuggeeTerminal(debuggerSeesOurTerminals);
    debuggeeInput = !dialect->wantsTerminal() || debuggee.master() >= 0;
    if (options.program) {
        const uint64_t first = nextId;
        for (const auto &line : dialect->loadProgram(*options.program, options.arguments, first))
            sendAwaited(line, nextId++);
    }
    if (awaited.empty())
        enter(Mode::Prompt);
}

void TerminalConsole::State::openDebuggeeTerminal(bool debuggerSeesOurTerminals)
{
    // Not blocking: both the loop and the drain before each event read it.
    if (debuggerSeesOurTerminals && debuggee.open(STDOUT_FILENO) &&
        fcntl(debuggee.master(), F_SETFL, O_NONBLOCK) == 0) {
        const uint64_t id = nextId++;
        sendAwaited(dialect->terminal(debuggee.path, id), id);
    } else {
        debuggee.reset();
        print("note: the program's input and output go through the debugger's pipes: "
              "the service cannot open this console's terminals\n");
    }
}

void TerminalConsole::State::loop(const ConsoleSignals &signals)
{
    while (!isClosed()) {
        std::vector<pollfd> watched{{wake.readEnd(), POLLIN, 0}, {signals.fd(), POLLIN, 0}};
        const bool keys = mode == Mode::Prompt || (mode == Mode::Running && debuggeeInput);
        if (keys)
            watched.push_back({STDIN_FILENO, POLLIN, 0});
        if (debuggee.master() >= 0)
            watched.push_back({debuggee.master(), POLLIN, 0});
        if (poll(watched.data(), watched.size(), -1) < 0 && errno != EINTR)
            break;
        for (const pollfd &entry : watched) {
            if (entry.revents == 0)
                continue;
            if (entry.fd == wake.readEnd())
                drain();
            else if (entry.fd == signals.fd())
                onSignal(signals);
            else if (entry.fd == debuggee.master())
                relayDebuggee();
            else if (mode == Mode::Prompt)
                rl_callback_read_char();
            else if (mode == Mode::Running)
                forwardKeys();
        }
    }
}

TerminalConsole::TerminalConsole(std::unique_ptr<Dialect> dialect, ConsoleOptions options)
    : state_(std::make_unique<State>())
{
    state_->dialect = std::move(dialect);
    state_->options = std::move(options);
}

TerminalConsole::~TerminalConsole() = default;

void TerminalConsole::feed(const uint8_t *bytes, size_t count)
{
    State &state = *state_;
    std::vector<ConsoleEvent> events;
    std::unique_lock<std::mutex> guard(state.lock);
    state.wrote = state.wrote || count > 0;
    if (GdbCliConsole *cli = state.cliFed.load()) {
        guard.unlock();
        cli->feed(bytes, count);
        return;
    }
    state.partialLine.append(reinterpret_cast<const char *>(bytes), count);
    size_t start = 0;
    for (size_t newline; (newline = state.partialLine.find('\n', start)) != std::string::npos; start = newline + 1) {
        std::string_view line(state.partialLine.data() + start, newline - start);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        state.dialect->read(line, events);
    }
    state.partialLine.erase(0, start);
    if (const size_t output = state.dialect->programOutput(state.partialLine); output > 0) {
        events.push_back({ConsoleEvent::Kind::Show, state.partialLine.substr(0, output), 0, false, {}});
        state.partialLine.erase(0, output);
    }
    bool completed = false;
    for (auto &event : events) {
        if (event.kind == ConsoleEvent::Kind::Completions) {
            state.completions[event.id] = std::move(event.matches);
            completed = true;
        } else {
            state.events.push_back(std::move(event));
        }
    }
    guard.unlock();
    if (completed)
        state.changed.notify_all();
    if (!events.empty())
        state.wake.wake();
}

void TerminalConsole::closed()
{
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        state_->connectionClosed = true;
    }
    if (GdbCliConsole *cli = state_->cliFed.load())
        cli->closed();
    state_->changed.notify_all();
    state_->wake.wake();
}

bool TerminalConsole::debuggerDied() const
{
    return state_->died;
}

bool TerminalConsole::debuggerWrote() const
{
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->wrote;
}

void TerminalConsole::run(ServiceClient &client, bool debuggerSeesOurTerminals)
{
    State &state = *state_;
    state.client = &client;
    if (debuggerSeesOurTerminals && std::string_view(state.dialect->name()) == "gdb" && state.runGdbCli())
        return;
    State::current = &state;
    state.terminal = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &state.saved) == 0;
    const ConsoleSignals signals(false);
    state.history = startLineEditing(state.dialect->name(), &State::completeLine);
    state.start(debuggerSeesOurTerminals);
    state.loop(signals);
    state.drain();
    state.died = !state.quitting;
    if (state.mode == State::Mode::Prompt)
        rl_callback_handler_remove();
    endConsole(state.terminal ? &state.saved : nullptr, state.history);
    State::current = nullptr;
}

} // namespace local_debugger::console
