#include "host/console/line_editing.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <deque>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <editline/readline.h>

#include "platform/unique_fd.h"

namespace local_debugger::console {

void show(std::string_view text, bool editing)
{
    if (!editing) {
        writeAll(STDOUT_FILENO, text);
        return;
    }
    writeAll(STDOUT_FILENO, "\r\033[K");
    writeAll(STDOUT_FILENO, text);
    if (!text.empty() && text.back() != '\n')
        writeAll(STDOUT_FILENO, "\n");
    rl_forced_update_display();
}

std::optional<std::string> historyPath(const char *debugger)
{
    const char *state = getenv("XDG_STATE_HOME");
    const char *home = getenv("HOME");
    std::string directory;
    if (state != nullptr && *state == '/')
        directory = state;
    else if (home != nullptr && *home != '\0')
        directory = std::string(home) + "/.local/state";
    else
        return std::nullopt;
    directory += "/local-debugger";
    for (size_t slash = 1; (slash = directory.find('/', slash)) != std::string::npos; ++slash)
        mkdir(directory.substr(0, slash).c_str(), 0700);
    if (mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST)
        return std::nullopt;
    return directory + "/history-" + debugger;
}

constexpr size_t historyLines = 1000;
constexpr off_t historyBytesRead = 4 << 20;

namespace {
// The terminal through a file description of our own that never blocks: standard input's is
// shared with the shell, which must not find it non-blocking. None when the terminal has no name.
int keyboard()
{
    static const int fd = [] {
        const char *name = ttyname(STDIN_FILENO);
        return name != nullptr ? open(name, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC) : -1;
    }();
    return fd;
}

bool consoleSignalWaiting()
{
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    return sigismember(&pending, SIGINT) == 1 || sigismember(&pending, SIGTERM) == 1 ||
           sigismember(&pending, SIGHUP) == 1;
}
} // namespace

ssize_t readKeys(char *buffer, size_t size)
{
    const int fd = keyboard();
    ssize_t got = 0;
    while ((got = read(fd >= 0 ? fd : STDIN_FILENO, buffer, size)) < 0 && errno == EINTR) {
    }
    return got;
}

// Each byte libedit reads from the terminal. Once the line holds lineLimit bytes, one that
// would add to it becomes ^G (a bell, nothing inserted); editing keys and the rest of an escape
// sequence (an arrow key's) still pass.
int readKey(FILE *)
{
    static enum { Plain, Escape, Sequence } state = Plain;
    unsigned char byte = 0;
    for (;;) {
        const ssize_t got = readKeys(reinterpret_cast<char *>(&byte), 1);
        if (got == 1)
            break;
        if (got == 0 || errno != EAGAIN)
            return EOF;
        // The key poll saw is gone: a Ctrl-C flushes the terminal's input as it raises SIGINT.
        // libedit gets a key that edits nothing (set-mark); the loop then takes the signal and
        // drops the line.
        if (consoleSignalWaiting())
            return 0;
        pollfd ready{keyboard(), POLLIN, 0};
        poll(&ready, 1, 100);
    }
    if (state == Escape)
        state = byte == '[' || byte == 'O' ? Sequence : Plain;
    else if (state == Sequence)
        state = byte >= 0x40 && byte <= 0x7e ? Plain : Sequence;
    else if (byte == 0x1b)
        state = Escape;
    else if (byte >= 0x20 && byte != 0x7f && rl_end >= lineLimit)
        return '\a';
    return byte;
}

namespace {
// The history file's last historyBytesRead bytes, from the start of a line; none when it cannot
// be opened.
std::optional<std::string> historyTail(const std::string &path)
{
    std::string bytes;
    const UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file)
        return std::nullopt;
    struct stat status {};
    if (fstat(file.get(), &status) != 0)
        return bytes;
    const off_t from = status.st_size > historyBytesRead ? status.st_size - historyBytesRead : 0;
    bytes.resize(static_cast<size_t>(status.st_size - from));
    size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = pread(file.get(), bytes.data() + got, bytes.size() - got, from + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    bytes.resize(got);
    if (from > 0) // the first line read may be the end of one
        bytes.erase(0, bytes.find('\n') == std::string::npos ? bytes.size() : bytes.find('\n') + 1);
    return bytes;
}
} // namespace

// The history file's last lines up to the limit, through a copy holding only those: libedit
// reads the file with no bound of its own. The copy's lines are as libedit wrote them (escaped),
// never shorter than what they read back as.
void readHistory(const std::string &path)
{
    const std::optional<std::string> bytes = historyTail(path);
    if (!bytes)
        return;
    std::deque<std::string_view> kept;
    std::string_view rest(*bytes);
    std::string header;
    while (!rest.empty()) {
        const size_t end = std::min(rest.find('\n'), rest.size());
        const std::string_view line = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        if (line.starts_with("_HiStOrY_V"))
            header = std::string(line) + "\n";
        else if (line.size() <= historyLineLimit)
            kept.push_back(line);
        if (kept.size() > historyLines)
            kept.pop_front();
    }
    std::string copy = path + ".XXXXXX";
    UniqueFd out(mkostemp(copy.data(), O_CLOEXEC));
    if (!out)
        return;
    std::string text = header;
    for (const auto line : kept)
        text.append(line).append("\n");
    writeAll(out.get(), text);
    out.reset();
    read_history(copy.c_str());
    unlink(copy.c_str());
}

namespace {

Completer completer = nullptr;

char **completeWord(const char *word, int start, int end)
{
    rl_attempted_completion_over = 1;
    static std::vector<std::string> candidates;
    candidates.clear();
    const std::string line(rl_line_buffer, static_cast<size_t>(end));
    const std::string before = line.substr(0, static_cast<size_t>(start));
    for (const auto &match : completer(line)) {
        if (match.compare(0, before.size(), before) == 0 && match.size() > before.size())
            candidates.push_back(match.substr(before.size()));
    }
    if (candidates.empty())
        return nullptr;
    return rl_completion_matches(word, [](const char *, int state) -> char * {
        return static_cast<size_t>(state) < candidates.size() ? strdup(candidates[static_cast<size_t>(state)].c_str())
                                                              : nullptr;
    });
}

} // namespace

std::optional<std::string> startLineEditing(const char *debugger, Completer complete)
{
    completer = complete;
    rl_readline_name = "local-debugger";
    rl_catch_signals = 0;
    rl_attempted_completion_function = completeWord;
    rl_getc_function = readKey;
    rl_initialize();
    auto history = historyPath(debugger);
    if (history)
        readHistory(*history);
    return history;
}

void saveHistory(const std::optional<std::string> &path)
{
    if (!path)
        return;
    write_history(path->c_str());
    history_truncate_file(path->c_str(), static_cast<int>(historyLines));
}

void endConsole(const termios *savedModes, const std::optional<std::string> &history)
{
    if (savedModes != nullptr)
        tcsetattr(STDIN_FILENO, TCSADRAIN, savedModes);
    saveHistory(history);
}

std::vector<std::string> CompletionAnswers::await(uint64_t id)
{
    std::unique_lock<std::mutex> guard(lock);
    if (!changed.wait_for(guard, std::chrono::seconds(5), [&] { return answers.count(id) != 0 || closed; }))
        return {};
    auto matches = std::move(answers[id]);
    answers.erase(id);
    return matches;
}

bool quitsDebugger(std::string_view line)
{
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return false;
    line.remove_prefix(first);
    const std::string_view word = line.substr(0, line.find_first_of(" \t"));
    return std::string_view("quit").starts_with(word) || word == "exit" || word == "-gdb-exit";
}

} // namespace local_debugger::console
