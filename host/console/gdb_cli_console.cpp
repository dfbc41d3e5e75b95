#include "host/console/gdb_cli_console.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <map>
#include <poll.h>
#include <set>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

#include <editline/readline.h>

#include "host/console/console_signals.h"
#include "host/console/dialect.h"
#include "host/console/gdb_console_text.h"
#include "host/console/gdb_init_files.h"
#include "host/console/gdb_record_queue.h"
#include "host/console/gdb_terminals.h"
#include "host/console/line_editing.h"
#include "host/session/gdb_session.h"

namespace local_debugger::console {

namespace {
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
} // namespace

// The console's own thread, but for the queue: what GDB's records and the person's lines make
// of the two terminals, the prompt and the questions asked here.
struct GdbCliConsole::State {
    enum class Mode { Starting, Prompt, Asking, Busy };

    CliOptions options;
    GdbRecordQueue queue; // fed by the client's reading thread
    ServiceClient *client = nullptr;
    Mode mode = Mode::Starting;
    std::set<uint64_t> awaited;
    GdbSession session; // frames and numbers the commands this console sends GDB itself
    uint64_t newUiId = 0, promptId = 0;
    std::map<uint64_t, std::string> shown; // settings asked with -gdb-show, by id: their values
    bool newUiFailed = false;
    termios saved{};
    bool terminal = false;
    std::optional<ConsoleSignals> signals; // while run runs
    GdbTerminals ttys;
    std::string typeAhead; // typed for the program, not read by it: for the next prompt
    std::string prompt = "(gdb) ";
    bool running = false; // between GDB's running and stopped records
    std::optional<std::string> livePid;
    std::set<std::string> breakpoints;
    std::string pendingLine;             // a line held for the person's answer
    std::optional<std::string> heldLine; // a line held until GDB's records have caught up
    bool heldAtEnd = false;              // that line was the end of input
    uint64_t caughtUpId = 0;
    std::string refusal;  // what GDB says when that answer is no
    std::string question; // the answer's prompt
    std::string currentPrompt;
    bool quitting = false;
    bool died = false;
    std::optional<Clock::time_point> interruptBy; // a Ctrl-C not yet delivered
    std::optional<Clock::time_point> promptBy;    // a prompt held for its stop record
    bool background = false;                      // the last line ran its command with &
    std::vector<std::string> eventTexts;
    std::optional<std::string> history;
    std::string lastHistory;

    static State *current; // for the line editor's callbacks, which take no context

    bool editing() const { return mode == Mode::Prompt || mode == Mode::Asking; }
    // Text of ours, above the line being edited when there is one.
    void print(std::string_view text) { show(text, editing()); }
    void send(const std::string &bytes);
    uint64_t sendAwaited(const std::string &command);
    uint64_t askSetting(const std::string &setting);
    void sendStart();
    void readLocalInitFile(const std::string &file);
    void setKeysRaw(bool raw);
    static int typedAheadKey(FILE *in);
    void feedTypeAhead();

    void install(const std::string &text, Mode next);
    void enterPrompt();
    bool looksLikePrompt() const;
    void checkPrompt();
    void submit(const std::string &line);
    void ask(const std::string &line, const GdbQuestion &asked);
    void decide(const std::string &text, bool atEnd, bool recordsCaughtUp = false);
    void answer(const char *line);
    void runLine(const char *line);
    static void onLine(char *line);
    static std::vector<std::string> completeLine(const std::string &lineToCursor);

    void drain();
    void handle(const MiRecord &record);
    void handleResult(const MiRecord &record);
    void onRunning();
    void onStopped();
    void eventText(const std::string &text);
    void showEventText(size_t count);
    void relayProgram();
    void relayGdb();
    void forwardKeys();
    void passSize();
    void onSignal();
    void interruptAtPrompt();

    template <typename Pred> void loop(Pred pred);
    std::vector<pollfd> watched() const;
    int timeout() const;
    void takeDeadlines();
    void dispatch(const pollfd &entry);
    void end();
};

GdbCliConsole::State *GdbCliConsole::State::current = nullptr;

void GdbCliConsole::State::send(const std::string &bytes)
{
    client->sendData("send", std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

uint64_t GdbCliConsole::State::sendAwaited(const std::string &command)
{
    const uint64_t id = session.nextToken();
    // Only this console's own commands come here, none with a line of its own inside.
    if (auto line = GdbSession::command(id, command)) {
        awaited.insert(id);
        send(*line);
    }
    return id;
}

uint64_t GdbCliConsole::State::askSetting(const std::string &setting)
{
    const uint64_t id = sendAwaited("-gdb-show " + setting);
    shown[id];
    return id;
}

// All that comes before the first prompt is sent at once, read by GDB as soon as it starts;
// should GDB refuse the console, what it says of the rest is not shown.
void GdbCliConsole::State::sendStart()
{
    send("-gdb-set confirm off\n"); // the irreversible questions are asked here instead
    newUiId = sendAwaited("new-ui console " + ttys.gdbPath());
    sendAwaited("-inferior-tty-set " + ttys.programPath());
    passSize();
    if (options.readInitFiles) {
        if (auto init = gdbHomeInitFile())
            sendAwaited("-interpreter-exec console " + GdbSession::quoted("source " + *init));
    }
    if (options.program) {
        for (const auto &line : gdbDialect()->loadProgram(*options.program, options.arguments, 0))
            sendAwaited(line.substr(1, line.size() - 2)); // its own id instead of 0
    }
}

// GDB reads the current directory's init file after the program, once the user's init file
// has had its say on whether GDB trusts it.
void GdbCliConsole::State::readLocalInitFile(const std::string &file)
{
    const uint64_t first = askSetting("auto-load local-gdbinit");
    askSetting("auto-load safe-path");
    askSetting("debug-file-directory");
    askSetting("data-directory");
    loop([&] { return awaited.empty(); });
    const GdbAutoLoad settings{shown[first], shown[first + 1], shown[first + 2], shown[first + 3]};
    if (gdbReadsLocalInitFile(file, settings))
        sendAwaited("-interpreter-exec console " + GdbSession::quoted("source " + file));
    else if (settings.localGdbinit == "on")
        print(gdbDeclinedText(file, settings.safePath));
}

void GdbCliConsole::State::setKeysRaw(bool raw)
{
    if (!terminal)
        return;
    termios wanted = saved;
    if (raw) {
        // Every key reaches the program's terminal as typed, Ctrl-C included: its line
        // discipline echoes, edits and signals for it.
        wanted.c_lflag &= ~(ICANON | ECHO | ISIG | IEXTEN);
        wanted.c_iflag &= ~(ICRNL | IXON | INLCR | IGNCR);
        wanted.c_cc[VMIN] = 1;
        wanted.c_cc[VTIME] = 0;
    }
    tcsetattr(STDIN_FILENO, TCSADRAIN, &wanted);
}

// Keys typed while the program ran and not read by it are GDB's next lines, as on a terminal
// the two share: taken back from the program's terminal at its stop and given to the line
// editor at the prompt, a key at a time.
int GdbCliConsole::State::typedAheadKey(FILE *in)
{
    std::string &keys = current->typeAhead;
    if (keys.empty()) // the rest of a key's sequence is still to be typed
        return readKey(in);
    const auto byte = static_cast<unsigned char>(keys.front());
    keys.erase(0, 1);
    return byte >= 0x20 && byte != 0x7f && rl_end >= lineLimit ? '\a' : byte;
}

// From the loop alone: a line it completes may lead to another prompt, which must not feed the
// line editor from within its own callback.
void GdbCliConsole::State::feedTypeAhead()
{
    rl_getc_function = &State::typedAheadKey;
    while (!typeAhead.empty() && editing())
        rl_callback_read_char();
    rl_getc_function = readKey;
}

void GdbCliConsole::State::install(const std::string &text, Mode next)
{
    if (editing())
        rl_callback_handler_remove();
    if (terminal)
        tcsetattr(STDIN_FILENO, TCSADRAIN, &saved);
    mode = next;
    currentPrompt = text;
    rl_callback_handler_install(text.c_str(), &State::onLine);
}

void GdbCliConsole::State::enterPrompt()
{
    // The prompt GDB wrote is drawn again by the line editor, with what preceded it.
    std::string text = ttys.tail().empty() ? prompt : ttys.tail();
    if (ttys.tailPartlyShown()) // the program's text before it is drawn again with it
        writeAll(STDOUT_FILENO, "\r\033[K");
    // What begins a stop's description, and all after it, waits for its stop record to drop it.
    size_t shownTexts = 0;
    while (shownTexts < eventTexts.size() && !describesStop(eventTexts[shownTexts]))
        writeAll(STDOUT_FILENO, eventTexts[shownTexts++]);
    eventTexts.erase(eventTexts.begin(), eventTexts.begin() + static_cast<ptrdiff_t>(shownTexts));
    ttys.clearTail();
    install(text, Mode::Prompt);
}

bool GdbCliConsole::State::looksLikePrompt() const
{
    // GDB writes its prompt only once a command is over, and a block's > with no program running.
    const std::string &tail = ttys.tail();
    return !tail.empty() && (tail.ends_with(prompt) || (tail == ">" && !running) || tail.ends_with(pagerPrompt));
}

// GDB's terminal shows the prompt before its stop reaches us through the service: the prompt
// waits for that stop, so that a line typed at it is judged against a program that has ended.
// A command run in the background (its line ends in &) has its prompt at once, the program still
// running. GDB also writes a prompt as a program passes a dprintf and runs on: that one waits for
// a stop, and only a program that runs on for long without one has it shown all the same.
void GdbCliConsole::State::checkPrompt()
{
    if (mode != Mode::Busy || !looksLikePrompt()) {
        promptBy.reset();
    } else if (!running || background) {
        promptBy.reset();
        enterPrompt();
    } else if (!promptBy) {
        promptBy = Clock::now() + 5s;
    }
}

void GdbCliConsole::State::submit(const std::string &line)
{
    rl_callback_handler_remove();
    mode = Mode::Busy;
    const size_t end = line.find_last_not_of(" \t");
    background = end != std::string::npos && line[end] == '&';
    ttys.clearTail();
    ttys.sendLine(line);
    // Until the program runs, keys wait in this terminal for the next prompt; Ctrl-C stays a signal.
    if (terminal)
        tcsetattr(STDIN_FILENO, TCSADRAIN, &saved);
}

void GdbCliConsole::State::ask(const std::string &line, const GdbQuestion &asked)
{
    pendingLine = line;
    refusal = asked.no;
    const size_t lastLine = asked.text.rfind('\n');
    if (lastLine != std::string::npos)
        writeAll(STDOUT_FILENO, asked.text.substr(0, lastLine + 1));
    question = lastLine == std::string::npos ? asked.text : asked.text.substr(lastLine + 1);
    rl_callback_handler_remove();
    mode = Mode::Busy; // so that install draws the question afresh
    install(question, Mode::Asking);
}

// GDB answers its own questions on this terminal; the irreversible ones are asked here. GDB's
// terminal may show a program's end and the prompt before its records, which come through the
// service, say so: a question about a live program waits for an answer of GDB's to a command of
// no effect, which comes after every record GDB wrote before it.
void GdbCliConsole::State::decide(const std::string &text, bool atEnd, bool recordsCaughtUp)
{
    const auto asked = gdbQuestionFor(text, livePid, breakpoints);
    if (asked && asked->aboutLiveProgram && !recordsCaughtUp) {
        heldLine = text;
        heldAtEnd = atEnd;
        rl_callback_handler_remove();
        mode = Mode::Busy;
        caughtUpId = sendAwaited("-gdb-show confirm");
        return;
    }
    if (asked) {
        ask(text, *asked);
        if (atEnd) // GDB's message follows the question's line, not the answer's
            refusal.insert(refusal.begin(), '\n');
        return;
    }
    quitting = quitting || quitsDebugger(text);
    submit(text);
}

// The person's answer to a question asked here; none at the end of input.
void GdbCliConsole::State::answer(const char *line)
{
    const std::string text = line == nullptr ? "" : trimmed(line);
    if (line == nullptr)
        writeAll(STDOUT_FILENO, "EOF [answered Y; input not from terminal]\n");
    if (line == nullptr || text[0] == 'y' || text[0] == 'Y') {
        quitting = quitting || quitsDebugger(pendingLine);
        submit(pendingLine);
    } else if (text[0] == 'n' || text[0] == 'N') {
        writeAll(STDOUT_FILENO, refusal);
        mode = Mode::Busy;
        ttys.clearTail();
        enterPrompt();
    } else {
        writeAll(STDOUT_FILENO, "Please answer y or n.\n");
        mode = Mode::Busy;
        install(question, Mode::Asking);
    }
}

void GdbCliConsole::State::runLine(const char *line)
{
    if (mode == Mode::Asking) {
        answer(line);
        return;
    }
    std::string text = line == nullptr ? "quit" : line;
    if (line == nullptr) // end of input at the prompt reads as quit, as GDB's own says
        writeAll(STDOUT_FILENO, "\r\033[K" + currentPrompt + "quit\n");
    else if (!trimmed(text).empty() && text != lastHistory && text.size() <= historyLineLimit) {
        add_history(line);
        lastHistory = text;
    }
    decide(text, line == nullptr);
}

void GdbCliConsole::State::onLine(char *line)
{
    current->runLine(line);
    free(line);
}

std::vector<std::string> GdbCliConsole::State::completeLine(const std::string &lineToCursor)
{
    State &state = *current;
    const uint64_t id = state.session.nextToken();
    state.queue.expectCompletion(id);
    state.send(GdbSession::command(id, "-complete " + GdbSession::quoted(lineToCursor)).value_or(""));
    return state.queue.awaitCompletion(id);
}

void GdbCliConsole::State::drain()
{
    queue.clearWake();
    while (auto line = queue.next()) {
        if (auto record = GdbSession::read(*line))
            handle(*record);
    }
}

void GdbCliConsole::State::handle(const MiRecord &record)
{
    const std::string &what = record.resultClass;
    if (const auto token = GdbSession::answerTo(record); token && awaited.erase(*token) != 0) {
        handleResult(record);
    } else if (record.kind == MiRecord::Kind::ConsoleStream && mode == Mode::Starting) {
        // What loading the program and the init file say; GDB's terminal shows the rest itself.
        if (record.streamText != "New UI allocated\n" && !newUiFailed)
            print(record.streamText);
    } else if (record.kind == MiRecord::Kind::ConsoleStream || record.kind == MiRecord::Kind::TargetStream) {
        eventText(record.streamText);
    } else if (record.kind == MiRecord::Kind::ExecAsync && what == "running") {
        onRunning();
    } else if (record.kind == MiRecord::Kind::ExecAsync && what == "stopped") {
        onStopped();
    } else if (what == "thread-group-started") {
        livePid = std::string(record.text("pid").value_or("?"));
    } else if (what == "thread-group-exited") {
        livePid.reset();
    } else if (what == "breakpoint-created") {
        breakpoints.insert(std::string(record.text("bkpt.number").value_or("")));
    } else if (what == "breakpoint-deleted") {
        breakpoints.erase(std::string(record.text("id").value_or("")));
    } else if (what == "cmd-param-changed" && record.text("param") == "prompt") {
        prompt = record.text("value").value_or("");
    }
}

// The answer to a command of ours.
void GdbCliConsole::State::handleResult(const MiRecord &record)
{
    const std::string &what = record.resultClass;
    if (what == "error" && *record.token == newUiId)
        newUiFailed = true;
    else if (what == "error" && !newUiFailed)
        print(std::string(record.text("msg").value_or("")) + "\n");
    else if (*record.token == promptId && record.text("value"))
        prompt = *record.text("value");
    else if (auto setting = shown.find(*record.token); setting != shown.end() && record.text("value"))
        setting->second = *record.text("value");
    if (*record.token == caughtUpId && heldLine) {
        const std::string text = *std::exchange(heldLine, std::nullopt);
        decide(text, heldAtEnd, true);
    }
}

void GdbCliConsole::State::onRunning()
{
    while (ttys.gdbReadable())
        relayGdb();
    showEventText(eventTexts.size());
    running = true;
    if (mode != Mode::Busy) // one already over, its prompt shown
        return;
    setKeysRaw(true);
    // What was typed ahead past the line that resumed the program is the program's again.
    ttys.toProgram(typeAhead);
    typeAhead.clear();
    if (interruptBy) { // Ctrl-C pressed while GDB was resuming it
        interruptBy.reset();
        ttys.toProgram("\x03");
    }
}

void GdbCliConsole::State::onStopped()
{
    // A stop GDB describes to every console: its own terminal has it already.
    eventTexts.clear();
    while (running && ttys.programReadable())
        relayProgram();
    running = false;
    if (mode == Mode::Busy)
        setKeysRaw(false);
    typeAhead += ttys.takeTypeAhead();
    checkPrompt();
}

// GDB handles the program's events with its first console current, the machine interface: what
// breakpoint commands, dprintf and thread events print arrives there, and is shown here. GDB
// describes some stops to that console as well: what may be such a description is held, and
// dropped at the stop.
void GdbCliConsole::State::eventText(const std::string &text)
{
    if (mode == Mode::Starting || text.starts_with("[Inferior "))
        return;
    eventTexts.push_back(text);
    // After a stop, what a breakpoint's commands print comes before GDB's next words on its
    // terminal, which may not have arrived yet: held until the prompt or the next run.
    if (eventTexts.size() == 1 && !describesStop(text) && (running || mode != Mode::Busy))
        showEventText(1);
}

void GdbCliConsole::State::showEventText(size_t count)
{
    std::string text;
    for (size_t i = 0; i < count && i < eventTexts.size(); ++i)
        text += eventTexts[i];
    eventTexts.clear();
    if (text.empty())
        return;
    if (mode == Mode::Busy) {
        ttys.showTail();
        writeAll(STDOUT_FILENO, text);
    } else {
        print(text);
    }
}

// The program's output, as written.
void GdbCliConsole::State::relayProgram()
{
    const std::string_view text = ttys.readProgram();
    if (!text.empty())
        print(text);
}

// The two terminals keep the order they were written in; while a command runs, a prompt is held
// back for the line editor to draw and anything else shows as it comes.
void GdbCliConsole::State::relayGdb()
{
    const std::string_view text = ttys.readGdb();
    if (text.empty() || mode == Mode::Starting) // the first prompt, drawn by the line editor instead
        return;
    if (editing()) {
        print(text);
        return;
    }
    ttys.relayInOrder(text);
    if (!looksLikePrompt())
        ttys.showTail();
    checkPrompt();
}

void GdbCliConsole::State::forwardKeys()
{
    char keys[4096];
    const ssize_t got = readKeys(keys, sizeof keys);
    if (got > 0)
        ttys.toProgram(std::string_view(keys, static_cast<size_t>(got)));
}

void GdbCliConsole::State::passSize()
{
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0)
        return;
    ttys.setSize(size);
    if (size.ws_col != 0)
        send("-gdb-set width " + std::to_string(size.ws_col) + "\n");
    if (size.ws_row != 0)
        send("-gdb-set height " + std::to_string(size.ws_row) + "\n");
    if (editing())
        rl_resize_terminal();
}

void GdbCliConsole::State::onSignal()
{
    const int signo = signals->take();
    if (signo == 0)
        return;
    if (signo == SIGWINCH) {
        passSize();
    } else if (signo != SIGINT) {
        quitting = true;
        client->requestResult("stop", 10s);
    } else if (editing()) {
        interruptAtPrompt();
    } else if (livePid) {
        // The command may be about to resume the program, which the key is meant for: it gets
        // it once it runs, GDB a Quit if it does not run soon.
        interruptBy = Clock::now() + 300ms;
    } else {
        client->sendCommand("break"); // GDB busy with a command of its own
    }
}

// As GDB's own prompt: the line is dropped with Quit. The terminal's ^C echo and the line give
// way to GDB's word for it.
void GdbCliConsole::State::interruptAtPrompt()
{
    rl_callback_handler_remove();
    writeAll(STDOUT_FILENO, "\r\033[K" + currentPrompt + "Quit\n");
    mode = Mode::Busy;
    enterPrompt();
}

// Runs the loop until pred holds or the connection ends.
template <typename Pred> void GdbCliConsole::State::loop(Pred pred)
{
    while (!pred() && !queue.closed()) {
        if (!typeAhead.empty() && editing())
            feedTypeAhead();
        std::vector<pollfd> fds = watched();
        const int ready = poll(fds.data(), fds.size(), timeout());
        if (ready < 0 && errno != EINTR)
            return;
        takeDeadlines();
        for (const pollfd &entry : fds) {
            if (entry.revents != 0)
                dispatch(entry);
        }
    }
}

std::vector<pollfd> GdbCliConsole::State::watched() const
{
    std::vector<pollfd> fds{{queue.wakeFd(), POLLIN, 0}, {signals->fd(), POLLIN, 0}, {ttys.gdbFd(), POLLIN, 0}};
    const bool keys = editing() || (mode == Mode::Busy && running);
    if (keys)
        fds.push_back({STDIN_FILENO, POLLIN, 0});
    if (keys || running)
        fds.push_back({ttys.programFd(), POLLIN, 0});
    return fds;
}

// Until the nearer of the Ctrl-C's and the prompt's deadlines; -1 without either.
int GdbCliConsole::State::timeout() const
{
    const auto now = Clock::now();
    int timeout = -1;
    for (const auto &by : {interruptBy, promptBy}) {
        if (by) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*by - now).count();
            const int wait = static_cast<int>(std::max<int64_t>(0, left + 1));
            timeout = timeout < 0 ? wait : std::min(timeout, wait);
        }
    }
    return timeout;
}

void GdbCliConsole::State::takeDeadlines()
{
    const auto now = Clock::now();
    if (interruptBy && now >= *interruptBy) {
        interruptBy.reset();
        if (mode == Mode::Busy && !running)
            client->sendCommand("break");
    }
    if (promptBy && now >= *promptBy) {
        promptBy.reset();
        if (mode == Mode::Busy && looksLikePrompt())
            enterPrompt();
    }
}

void GdbCliConsole::State::dispatch(const pollfd &entry)
{
    if (entry.fd == queue.wakeFd())
        drain();
    else if (entry.fd == signals->fd())
        onSignal();
    else if (entry.fd == ttys.programFd())
        relayProgram();
    else if (entry.fd == ttys.gdbFd())
        relayGdb();
    else if (editing())
        rl_callback_read_char();
    else if (mode == Mode::Busy && running)
        forwardKeys();
}

// What the console puts back as it ends once GDB has gone.
void GdbCliConsole::State::end()
{
    died = !quitting;
    if (editing()) {
        rl_callback_handler_remove();
        if (died) // the word on it starts a line of its own
            writeAll(STDOUT_FILENO, "\n");
    }
    endConsole(terminal ? &saved : nullptr, history);
    signals.reset();
    current = nullptr;
}

GdbCliConsole::GdbCliConsole(CliOptions options) : state_(std::make_unique<State>())
{
    state_->options = std::move(options);
}

GdbCliConsole::~GdbCliConsole() = default;

void GdbCliConsole::feed(const uint8_t *bytes, size_t count)
{
    state_->queue.feed(bytes, count);
}

void GdbCliConsole::closed()
{
    state_->queue.close();
}

bool GdbCliConsole::died() const
{
    return state_->died;
}

bool GdbCliConsole::run(ServiceClient &client)
{
    State &state = *state_;
    state.client = &client;
    if (!state.ttys.open())
        return false;
    state.signals.emplace(true);
    state.sendStart();
    const auto local = state.options.readInitFiles ? gdbLocalInitFile() : std::nullopt;
    if (!local)
        state.promptId = state.sendAwaited("-gdb-show prompt");
    // The line editor is made ready while GDB starts.
    State::current = &state;
    state.terminal = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &state.saved) == 0;
    state.history = startLineEditing("gdb", &State::completeLine);
    state.loop([&] { return state.awaited.empty(); });
    if (state.newUiFailed || state.queue.closed()) {
        clear_history(); // the record console reads it afresh
        State::current = nullptr;
        state.signals.reset();
        return !state.newUiFailed;
    }
    if (local) {
        state.readLocalInitFile(*local);
        state.promptId = state.sendAwaited("-gdb-show prompt");
        state.loop([&] { return state.awaited.empty(); });
    }
    if (!state.queue.closed()) {
        state.mode = State::Mode::Busy;
        state.enterPrompt();
    }
    state.loop([] { return false; });
    state.end();
    return true;
}

} // namespace local_debugger::console
