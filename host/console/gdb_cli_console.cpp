#include "host/console/gdb_cli_console.h"

#include <algorithm>
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
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

#include <editline/readline.h>

#include "host/command_quoting.h"
#include "host/console/dialect.h"
#include "host/console/gdb_init_files.h"
#include "host/console/line_editing.h"
#include "host/console/wake_pipe.h"
#include "host/debuggee_terminal.h"
#include "host/mi_record.h"

namespace local_debugger::console {

namespace {

using namespace std::chrono_literals;

// GDB's pager waits on the terminal like a prompt does.
constexpr std::string_view pagerPrompt = "--Type <RET> for more, q to quit, c to continue without paging--";

std::string trimmed(std::string_view text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return "";
    const size_t last = text.find_last_not_of(" \t");
    return std::string(text.substr(first, last - first + 1));
}

} // namespace

struct GdbCliConsole::State {
    enum class Mode { Starting, Prompt, Asking, Busy };

    CliOptions options;

    // Shared with the client's reading thread.
    std::mutex lock;
    std::condition_variable changed;
    std::string partialLine;
    std::deque<std::string> records;
    std::set<uint64_t> completionIds;
    std::map<uint64_t, std::vector<std::string>> completions;
    bool connectionClosed = false;
    WakePipe wake;

    // The console's own thread only.
    ServiceClient *client = nullptr;
    Mode mode = Mode::Starting;
    std::set<uint64_t> awaited;
    uint64_t nextId = 1;
    uint64_t newUiId = 0, promptId = 0;
    std::map<uint64_t, std::string> shown; // settings asked with -gdb-show, by id: their values
    bool newUiFailed = false;
    termios saved {};
    bool terminal = false;
    DebuggeeTerminal gdbTty;     // GDB's console
    DebuggeeTerminal programTty; // the program's terminal
    std::string typeAhead;       // typed for the program, not read by it: for the next prompt
    std::string prompt = "(gdb) ";
    std::string tail;      // what GDB's terminal wrote after its last newline
    size_t tailShown = 0;  // how much of it reached our terminal
    bool running = false;  // between GDB's running and stopped records
    std::optional<std::string> livePid;
    std::set<std::string> breakpoints;
    std::string pendingLine; // a line held for the person's answer
    std::optional<std::string> heldLine; // a line held until GDB's records have caught up
    bool heldAtEnd = false;              // that line was the end of input
    uint64_t caughtUpId = 0;
    std::string refusal;     // what GDB says when that answer is no
    std::string question;    // the answer's prompt
    std::string currentPrompt;
    bool quitting = false;
    bool died = false;
    std::optional<std::chrono::steady_clock::time_point> interruptBy; // a Ctrl-C not yet delivered
    std::optional<std::chrono::steady_clock::time_point> promptBy;    // a prompt held for its stop record
    std::vector<std::string> eventTexts;
    std::optional<std::string> history;
    std::string lastHistory;

    static State *current;

    void send(const std::string &bytes) { client->sendData("send", std::vector<uint8_t>(bytes.begin(), bytes.end())); }
    uint64_t sendAwaited(const std::string &command)
    {
        const uint64_t id = nextId++;
        awaited.insert(id);
        send(std::to_string(id) + command + "\n");
        return id;
    }
    uint64_t askSetting(const std::string &setting)
    {
        const uint64_t id = sendAwaited("-gdb-show " + setting);
        shown[id];
        return id;
    }

    // GDB reads the current directory's init file after the program, once the user's init file
    // has had its say on whether GDB trusts it.
    void readLocalInitFile(int signalFd, const std::string &file)
    {
        const uint64_t first = askSetting("auto-load local-gdbinit");
        askSetting("auto-load safe-path");
        askSetting("debug-file-directory");
        askSetting("data-directory");
        loop(signalFd, [&] { return awaited.empty(); });
        const GdbAutoLoad settings{shown[first], shown[first + 1], shown[first + 2], shown[first + 3]};
        if (gdbReadsLocalInitFile(file, settings))
            sendAwaited("-interpreter-exec console " + doubleQuoted("source " + file));
        else if (settings.localGdbinit == "on")
            print(gdbDeclinedText(file, settings.safePath));
    }

    // Text of ours, above the line being edited when there is one.
    void print(std::string_view text) { show(text, mode == Mode::Prompt || mode == Mode::Asking); }

    void setKeysRaw(bool raw)
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

    // Keys typed while the program ran and not read by it are GDB's next lines, as on a
    // terminal the two share: taken back from the program's terminal at its stop, line not yet
    // ended included, and given to the line editor at the prompt.
    void takeTypeAhead()
    {
        termios modes {};
        if (tcgetattr(programTty.slave, &modes) != 0)
            return;
        termios unread = modes;
        unread.c_lflag &= ~ICANON;
        unread.c_cc[VMIN] = 0;
        unread.c_cc[VTIME] = 0;
        tcsetattr(programTty.slave, TCSANOW, &unread);
        char keys[4096];
        for (ssize_t got; (got = read(programTty.slave, keys, sizeof keys)) > 0 || (got < 0 && errno == EINTR);)
            typeAhead.append(keys, static_cast<size_t>(std::max<ssize_t>(got, 0)));
        tcsetattr(programTty.slave, TCSANOW, &modes);
    }

    static int typedAheadKey(FILE *in)
    {
        std::string &keys = current->typeAhead;
        if (keys.empty()) // the rest of a key's sequence is still to be typed
            return readKey(in);
        const auto byte = static_cast<unsigned char>(keys.front());
        keys.erase(0, 1);
        return byte >= 0x20 && byte != 0x7f && rl_end >= lineLimit ? '\a' : byte;
    }

    // From the loop alone: a line it completes may lead to another prompt, which must not feed
    // the line editor from within its own callback.
    void feedTypeAhead()
    {
        rl_getc_function = &State::typedAheadKey;
        while (!typeAhead.empty() && (mode == Mode::Prompt || mode == Mode::Asking))
            rl_callback_read_char();
        rl_getc_function = readKey;
    }

    void install(const std::string &text, Mode next)
    {
        if (mode == Mode::Prompt || mode == Mode::Asking)
            rl_callback_handler_remove();
        if (terminal)
            tcsetattr(STDIN_FILENO, TCSADRAIN, &saved);
        mode = next;
        currentPrompt = text;
        rl_callback_handler_install(text.c_str(), &State::onLine);
    }

    void enterPrompt()
    {
        // The prompt GDB wrote is drawn again by the line editor, with what preceded it.
        std::string text = tail.empty() ? prompt : tail;
        if (tailShown > 0) // the program's text before it is drawn again with it
            writeAll(STDOUT_FILENO, "\r\033[K");
        // What begins a stop's description, and all after it, waits for its stop record to drop it.
        size_t shown = 0;
        while (shown < eventTexts.size() && !describesStop(eventTexts[shown]))
            writeAll(STDOUT_FILENO, eventTexts[shown++]);
        eventTexts.erase(eventTexts.begin(), eventTexts.begin() + static_cast<ptrdiff_t>(shown));
        tail.clear();
        tailShown = 0;
        install(text, Mode::Prompt);
    }

    bool looksLikePrompt() const
    {
        // GDB writes its prompt only once a command is over, and a block's > with no program running.
        return !tail.empty() && (tail.ends_with(prompt) || (tail == ">" && !running) || tail.ends_with(pagerPrompt));
    }

    // GDB's terminal shows the prompt before its stop reaches us through the service: the
    // prompt waits for that stop, so that a line typed at it is judged against a program that
    // has ended. A prompt with the program still running (a command run in the background)
    // comes up after a while all the same.
    void checkPrompt()
    {
        if (mode != Mode::Busy || !looksLikePrompt()) {
            promptBy.reset();
        } else if (!running) {
            promptBy.reset();
            enterPrompt();
        } else if (!promptBy) {
            promptBy = std::chrono::steady_clock::now() + 500ms;
        }
    }

    void submit(const std::string &line)
    {
        rl_callback_handler_remove();
        mode = Mode::Busy;
        tail.clear();
        tailShown = 0;
        writeAll(gdbTty.master, line + "\n");
        // Until the program runs, keys wait in this terminal for the next prompt; Ctrl-C stays a signal.
        if (terminal)
            tcsetattr(STDIN_FILENO, TCSADRAIN, &saved);
    }

    void ask(const std::string &line, const std::string &text, const std::string &no)
    {
        pendingLine = line;
        refusal = no;
        const size_t lastLine = text.rfind('\n');
        if (lastLine != std::string::npos)
            writeAll(STDOUT_FILENO, text.substr(0, lastLine + 1));
        question = lastLine == std::string::npos ? text : text.substr(lastLine + 1);
        rl_callback_handler_remove();
        mode = Mode::Busy; // so that install draws the question afresh
        install(question, Mode::Asking);
    }

    struct Question {
        std::string text;
        std::string no;
        bool aboutLiveProgram;
    };

    // GDB answers its own questions on this terminal; the irreversible ones are asked here.
    std::optional<Question> questionFor(const std::string &line) const
    {
        const std::string text = trimmed(line);
        const size_t space = text.find_first_of(" \t");
        const std::string word = text.substr(0, space);
        const std::string rest = space == std::string::npos ? "" : trimmed(text.substr(space));
        auto is = [&](std::string_view full, size_t shortest) {
            return word.size() >= shortest && full.starts_with(word);
        };
        const std::string inferior = "Inferior 1 [process " + livePid.value_or("?") + "]";
        if (livePid && (is("run", 1) || word == "start" || word == "starti"))
            return Question{"The program being debugged has been started already.\nStart it from the beginning? (y or n) ",
                            "Program not restarted.\n", true};
        if (livePid && is("kill", 1) && rest.empty())
            return Question{"Kill the program being debugged? (y or n) ", "Not confirmed.\n", true};
        if ((word == "d" || is("delete", 3)) && (rest.empty() || rest == "breakpoints") && !breakpoints.empty())
            return Question{"Delete all breakpoints? (y or n) ", "", false};
        if (livePid && is("quit", 1) && rest.empty())
            return Question{"A debugging session is active.\n\n\t" + inferior + " will be killed.\n\nQuit anyway? (y or n) ",
                            "Not confirmed.\n", true};
        return std::nullopt;
    }

    // GDB's terminal may show a program's end and the prompt before its records, which come
    // through the service, say so: a question about a live program waits for an answer of GDB's
    // to a command of no effect, which comes after every record GDB wrote before it.
    void decide(const std::string &text, bool atEnd, bool recordsCaughtUp = false)
    {
        const auto question = questionFor(text);
        if (question && question->aboutLiveProgram && !recordsCaughtUp) {
            heldLine = text;
            heldAtEnd = atEnd;
            rl_callback_handler_remove();
            mode = Mode::Busy;
            caughtUpId = sendAwaited("-gdb-show confirm");
            return;
        }
        if (question) {
            ask(text, question->text, question->no);
            if (atEnd) // GDB's message follows the question's line, not the answer's
                refusal.insert(0, "\n");
            return;
        }
        quitting = quitting || quitsDebugger(text);
        submit(text);
    }

    void caughtUp()
    {
        const std::string text = *std::exchange(heldLine, std::nullopt);
        decide(text, heldAtEnd, true);
    }

    void runLine(const char *line)
    {
        if (mode == Mode::Asking) {
            const std::string answer = line == nullptr ? "" : trimmed(line);
            if (line == nullptr)
                writeAll(STDOUT_FILENO, "EOF [answered Y; input not from terminal]\n");
            if (line == nullptr || answer[0] == 'y' || answer[0] == 'Y') {
                quitting = quitting || quitsDebugger(pendingLine);
                submit(pendingLine);
            } else if (answer[0] == 'n' || answer[0] == 'N') {
                writeAll(STDOUT_FILENO, refusal);
                mode = Mode::Busy;
                tail.clear();
                tailShown = 0;
                enterPrompt();
            } else {
                writeAll(STDOUT_FILENO, "Please answer y or n.\n");
                mode = Mode::Busy;
                install(question, Mode::Asking);
            }
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

    static void onLine(char *line)
    {
        current->runLine(line);
        free(line);
    }

    std::vector<std::string> complete(const std::string &lineToCursor)
    {
        const uint64_t id = nextId++;
        {
            std::lock_guard<std::mutex> guard(lock);
            completionIds.insert(id);
        }
        send(std::to_string(id) + "-complete " + doubleQuoted(lineToCursor) + "\n");
        return CompletionAnswers{lock, changed, completions, connectionClosed}.await(id);
    }

    static std::vector<std::string> completeLine(const std::string &lineToCursor)
    {
        return current->complete(lineToCursor);
    }

    void handle(const MiRecord &record)
    {
        const std::string &what = record.resultClass;
        if (record.kind == MiRecord::Kind::Result && record.token && awaited.erase(*record.token) != 0) {
            if (what == "error" && *record.token == newUiId)
                newUiFailed = true;
            else if (what == "error" && !newUiFailed)
                print(std::string(record.text("msg").value_or("")) + "\n");
            else if (*record.token == promptId && record.text("value"))
                prompt = *record.text("value");
            else if (auto setting = shown.find(*record.token); setting != shown.end() && record.text("value"))
                setting->second = *record.text("value");
            if (*record.token == caughtUpId && heldLine)
                caughtUp();
        } else if (record.kind == MiRecord::Kind::ConsoleStream && mode == Mode::Starting) {
            // What loading the program and the init file say; GDB's terminal shows the rest itself.
            if (record.streamText != "New UI allocated\n" && !newUiFailed)
                print(record.streamText);
        } else if (record.kind == MiRecord::Kind::ConsoleStream || record.kind == MiRecord::Kind::TargetStream) {
            eventText(record.streamText);
        } else if (record.kind == MiRecord::Kind::ExecAsync && what == "running") {
            while (readable(gdbTty.master))
                relayGdb();
            showEventText(eventTexts.size());
            running = true;
            if (mode == Mode::Busy) { // not one already over, its prompt shown
                setKeysRaw(true);
                // What was typed ahead past the line that resumed the program is the program's again.
                writeAll(programTty.master, typeAhead);
                typeAhead.clear();
                if (interruptBy) { // Ctrl-C pressed while GDB was resuming it
                    interruptBy.reset();
                    writeAll(programTty.master, "\x03");
                }
            }
        } else if (record.kind == MiRecord::Kind::ExecAsync && what == "stopped") {
            // A stop GDB describes to every console: its own terminal has it already.
            eventTexts.clear();
            while (running && readable(programTty.master))
                relayProgram();
            running = false;
            if (mode == Mode::Busy)
                setKeysRaw(false);
            takeTypeAhead();
            checkPrompt();
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

    // GDB handles the program's events with its first console current, the machine interface:
    // what breakpoint commands, dprintf and thread events print arrives there, and is shown
    // here. GDB describes some stops to that console as well: what may be such a description
    // is held, and dropped at the stop.
    void eventText(const std::string &text)
    {
        if (mode == Mode::Starting || text.starts_with("[Inferior "))
            return;
        eventTexts.push_back(text);
        // After a stop, what a breakpoint's commands print comes before GDB's next words on its
        // terminal, which may not have arrived yet: held until the prompt or the next run.
        if (eventTexts.size() == 1 && !describesStop(text) && (running || mode != Mode::Busy))
            showEventText(1);
    }

    // What may be part of a stop's description: its leading empty line, a frame, a source line
    // or a display (a number, then a tab or a colon).
    static bool describesStop(std::string_view text)
    {
        size_t digits = 0;
        while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9')
            ++digits;
        const std::string_view after = text.substr(digits);
        return text.starts_with('\n') || text.starts_with("0x") || text.find(") at ") != std::string_view::npos ||
               (digits > 0 && (after.starts_with('\t') || after.starts_with(": ")));
    }

    void showEventText(size_t count)
    {
        std::string text;
        for (size_t i = 0; i < count && i < eventTexts.size(); ++i)
            text += eventTexts[i];
        eventTexts.clear();
        if (text.empty())
            return;
        if (mode == Mode::Busy) {
            writeAll(STDOUT_FILENO, tail.substr(tailShown));
            tailShown = tail.size();
            writeAll(STDOUT_FILENO, text);
        } else {
            print(text);
        }
    }

    void drain()
    {
        wake.clear();
        for (;;) {
            std::string line;
            {
                std::lock_guard<std::mutex> guard(lock);
                if (records.empty())
                    return;
                line = std::move(records.front());
                records.pop_front();
            }
            if (auto record = parseMiRecord(line))
                handle(*record);
        }
    }

    // The program's output, as written.
    void relayProgram()
    {
        char bytes[65536];
        const ssize_t got = read(programTty.master, bytes, sizeof bytes);
        if (got <= 0)
            return;
        const std::string_view text(bytes, static_cast<size_t>(got));
        if (mode == Mode::Prompt || mode == Mode::Asking)
            print(text);
        else
            writeAll(STDOUT_FILENO, text);
    }

    static bool readable(int fd)
    {
        pollfd ready{fd, POLLIN, 0};
        return poll(&ready, 1, 0) > 0 && (ready.revents & POLLIN) != 0;
    }

    // GDB's words before it resumes the program, whole lines at the start of text.
    static size_t resumeWords(std::string_view text)
    {
        static constexpr std::string_view starts[] = {"Starting program: ", "Continuing", "Will ignore next ",
                                                      "Run till exit from ", "warning: Error disabling address"};
        size_t at = 0;
        bool frame = false; // a frame that goes on in the next line, indented
        for (size_t end; (end = text.find('\n', at)) != std::string_view::npos; at = end + 1) {
            const std::string_view line = text.substr(at, end - at);
            const bool resumes = std::any_of(std::begin(starts), std::end(starts),
                                             [&](std::string_view start) { return line.starts_with(start); });
            if (!resumes && !(frame && line.starts_with("    ")))
                break;
            frame = line.starts_with("Run till exit from ");
        }
        return at;
    }

    // The two terminals keep the order they were written in: GDB's words before it resumes the
    // program, then what the program wrote, then GDB's words on its stop or exit. The program's
    // output waits until GDB's running record or words.
    void relayGdb()
    {
        char bytes[65536];
        const ssize_t got = read(gdbTty.master, bytes, sizeof bytes);
        if (got <= 0)
            return;
        std::string_view text(bytes, static_cast<size_t>(got));
        if (mode == Mode::Starting)
            return; // the first prompt, drawn by the line editor instead
        if (mode == Mode::Prompt || mode == Mode::Asking) {
            print(text);
            return;
        }
        const size_t before = tail.empty() ? resumeWords(text) : 0;
        writeAll(STDOUT_FILENO, text.substr(0, before));
        while (readable(programTty.master))
            relayProgram();
        text.remove_prefix(before);
        const size_t newline = text.rfind('\n');
        if (newline != std::string_view::npos) {
            writeAll(STDOUT_FILENO, tail.substr(tailShown));
            writeAll(STDOUT_FILENO, text.substr(0, newline + 1));
            tail.assign(text.substr(newline + 1));
            tailShown = 0;
        } else {
            tail.append(text);
        }
        // A prompt is held back for the line editor to draw; anything else shows as it comes.
        if (!looksLikePrompt()) {
            writeAll(STDOUT_FILENO, tail.substr(tailShown));
            tailShown = tail.size();
        }
        checkPrompt();
    }

    void forwardKeys()
    {
        char keys[4096];
        const ssize_t got = readKeys(keys, sizeof keys);
        if (got > 0)
            writeAll(programTty.master, std::string_view(keys, static_cast<size_t>(got)));
    }

    void passSize()
    {
        winsize size {};
        if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0)
            return;
        ioctl(gdbTty.master, TIOCSWINSZ, &size);
        ioctl(programTty.master, TIOCSWINSZ, &size);
        if (size.ws_col != 0)
            send("-gdb-set width " + std::to_string(size.ws_col) + "\n");
        if (size.ws_row != 0)
            send("-gdb-set height " + std::to_string(size.ws_row) + "\n");
        if (mode == Mode::Prompt || mode == Mode::Asking)
            rl_resize_terminal();
    }

    void onSignal(int signalFd)
    {
        signalfd_siginfo info {};
        if (read(signalFd, &info, sizeof info) != static_cast<ssize_t>(sizeof info))
            return;
        if (info.ssi_signo == SIGWINCH) {
            passSize();
        } else if (info.ssi_signo != SIGINT) {
            quitting = true;
            client->requestResult("stop", 10s);
        } else if (mode == Mode::Prompt || mode == Mode::Asking) {
            // As GDB's own prompt: the line is dropped with Quit.
            // The terminal's ^C echo and the line give way to GDB's word for it.
            rl_callback_handler_remove();
            writeAll(STDOUT_FILENO, "\r\033[K" + currentPrompt + "Quit\n");
            mode = Mode::Busy;
            enterPrompt();
        } else if (livePid) {
            // The command may be about to resume the program, which the key is meant for: it
            // gets it once it runs, GDB a Quit if it does not run soon.
            interruptBy = std::chrono::steady_clock::now() + 300ms;
        } else {
            client->sendCommand("break"); // GDB busy with a command of its own
        }
    }

    bool isClosed()
    {
        std::lock_guard<std::mutex> guard(lock);
        return connectionClosed && records.empty();
    }

    // Runs the loop until pred holds or the connection ends.
    template <typename Pred> void loop(int signalFd, Pred pred)
    {
        while (!pred() && !isClosed()) {
            if (!typeAhead.empty() && (mode == Mode::Prompt || mode == Mode::Asking))
                feedTypeAhead();
            std::vector<pollfd> watched{{wake.readEnd(), POLLIN, 0}, {signalFd, POLLIN, 0}, {gdbTty.master, POLLIN, 0}};
            const bool keys = mode == Mode::Prompt || mode == Mode::Asking || (mode == Mode::Busy && running);
            if (keys)
                watched.push_back({STDIN_FILENO, POLLIN, 0});
            if (keys || running)
                watched.push_back({programTty.master, POLLIN, 0});
            const auto now = std::chrono::steady_clock::now();
            int timeout = -1;
            for (const auto &by : {interruptBy, promptBy}) {
                if (by) {
                    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*by - now).count();
                    const int wait = static_cast<int>(std::max<int64_t>(0, left + 1));
                    timeout = timeout < 0 ? wait : std::min(timeout, wait);
                }
            }
            const int ready = poll(watched.data(), watched.size(), timeout);
            if (ready < 0 && errno != EINTR)
                return;
            const auto after = std::chrono::steady_clock::now();
            if (interruptBy && after >= *interruptBy) {
                interruptBy.reset();
                if (mode == Mode::Busy && !running)
                    client->sendCommand("break");
            }
            if (promptBy && after >= *promptBy) {
                promptBy.reset();
                if (mode == Mode::Busy && looksLikePrompt())
                    enterPrompt();
            }
            for (const pollfd &entry : watched) {
                if (entry.revents == 0)
                    continue;
                if (entry.fd == wake.readEnd())
                    drain();
                else if (entry.fd == signalFd)
                    onSignal(signalFd);
                else if (entry.fd == programTty.master)
                    relayProgram();
                else if (entry.fd == gdbTty.master)
                    relayGdb();
                else if (mode == Mode::Prompt || mode == Mode::Asking)
                    rl_callback_read_char();
                else if (mode == Mode::Busy && running)
                    forwardKeys();
            }
        }
    }
};

GdbCliConsole::State *GdbCliConsole::State::current = nullptr;

GdbCliConsole::GdbCliConsole(CliOptions options) : state_(std::make_unique<State>())
{
    state_->options = std::move(options);
}

GdbCliConsole::~GdbCliConsole() = default;

void GdbCliConsole::feed(const uint8_t *bytes, size_t count)
{
    State &state = *state_;
    bool completed = false, queued = false;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        state.partialLine.append(reinterpret_cast<const char *>(bytes), count);
        size_t start = 0;
        for (size_t newline; (newline = state.partialLine.find('\n', start)) != std::string::npos; start = newline + 1) {
            std::string line = state.partialLine.substr(start, newline - start);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            // A completion's answer goes straight to the line editor, which waits for it.
            auto record = line.find("^done") != std::string::npos ? parseMiRecord(line) : std::nullopt;
            if (record && record->token && state.completionIds.erase(*record->token) != 0) {
                auto &matches = state.completions[*record->token];
                if (const MiValue *found = record->find("matches")) {
                    for (const auto &match : found->items)
                        matches.push_back(match.value.string);
                }
                completed = true;
            } else {
                state.records.push_back(std::move(line));
                queued = true;
            }
        }
        state.partialLine.erase(0, start);
    }
    if (completed)
        state.changed.notify_all();
    if (queued)
        state.wake.wake();
}

void GdbCliConsole::closed()
{
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        state_->connectionClosed = true;
    }
    state_->changed.notify_all();
    state_->wake.wake();
}

bool GdbCliConsole::died() const { return state_->died; }

bool GdbCliConsole::run(ServiceClient &client)
{
    State &state = *state_;
    state.client = &client;
    for (DebuggeeTerminal *tty : {&state.gdbTty, &state.programTty}) {
        if (!tty->open(STDOUT_FILENO) || fcntl(tty->master, F_SETFL, O_NONBLOCK) != 0)
            return false;
    }
    // GDB reads whole lines there, edited and shown here already.
    termios lines {};
    tcgetattr(state.gdbTty.slave, &lines);
    lines.c_lflag |= ICANON;
    lines.c_lflag &= ~ECHO;
    lines.c_iflag |= ICRNL;
    tcsetattr(state.gdbTty.slave, TCSANOW, &lines);

    sigset_t signals;
    sigemptyset(&signals);
    for (int signo : {SIGINT, SIGTERM, SIGHUP, SIGWINCH})
        sigaddset(&signals, signo);
    const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);

    state.send("-gdb-set confirm off\n"); // the irreversible questions are asked here instead
    state.newUiId = state.sendAwaited("new-ui console " + state.gdbTty.path);
    state.sendAwaited("-inferior-tty-set " + state.programTty.path);
    state.passSize();
    // All that comes before the first prompt is sent at once, read by GDB as soon as it starts;
    // should GDB refuse the console, what it says of the rest is not shown.
    if (state.options.readInitFiles) {
        if (auto init = gdbHomeInitFile())
            state.sendAwaited("-interpreter-exec console " + doubleQuoted("source " + *init));
    }
    if (state.options.program) {
        for (const auto &line : gdbDialect()->loadProgram(*state.options.program, state.options.arguments, 0))
            state.sendAwaited(line.substr(1, line.size() - 2)); // its own id instead of 0
    }
    const auto local = state.options.readInitFiles ? gdbLocalInitFile() : std::nullopt;
    if (!local)
        state.promptId = state.sendAwaited("-gdb-show prompt");
    // The line editor is made ready while GDB starts.
    State::current = &state;
    state.terminal = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &state.saved) == 0;
    state.history = startLineEditing("gdb", &State::completeLine);
    state.loop(signalFd, [&] { return state.awaited.empty(); });
    if (state.newUiFailed || state.isClosed()) {
        clear_history(); // the record console reads it afresh
        State::current = nullptr;
        if (signalFd >= 0)
            close(signalFd);
        return !state.newUiFailed;
    }
    if (local) {
        state.readLocalInitFile(signalFd, *local);
        state.promptId = state.sendAwaited("-gdb-show prompt");
        state.loop(signalFd, [&] { return state.awaited.empty(); });
    }
    if (!state.isClosed()) {
        state.mode = State::Mode::Busy;
        state.enterPrompt();
    }
    state.loop(signalFd, [] { return false; });

    state.died = !state.quitting;
    if (state.mode == State::Mode::Prompt || state.mode == State::Mode::Asking) {
        rl_callback_handler_remove();
        if (state.died) // the word on it starts a line of its own
            writeAll(STDOUT_FILENO, "\n");
    }
    endConsole(state.terminal ? &state.saved : nullptr, state.history, signalFd);
    State::current = nullptr;
    return true;
}

} // namespace local_debugger::console
