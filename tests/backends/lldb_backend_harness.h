// Drives an LLDB back end the way the service does: two pipes named on its command line,
// standard streams that nobody reads, SIGINT / SIGTERM / SIGKILL sent to its pid. Every line
// read from the event descriptor is checked to be one compact JSON object without nulls.
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <poll.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace lldb_backend_test {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

// Generous: a hung back end must fail the test, a slow machine must not.
constexpr auto kPatience = std::chrono::seconds(20);

enum class Kind { Helper, Script };

inline std::string kind_name(Kind kind)
{
    return kind == Kind::Helper ? "helper" : "script";
}

inline std::string example_program()
{
    return LD_BIN_DIR "/example-program";
}

// Runs a program to its end and returns its standard output.
inline std::string capture(const std::vector<std::string>& argv)
{
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return {};
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(out[1]);
    std::string text;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::read(out[0], buffer, sizeof buffer)) != 0) {
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return text;
}

inline std::string first_line(std::string text)
{
    const std::size_t end = text.find('\n');
    if (end != std::string::npos)
        text.erase(end);
    return text;
}

inline const std::string& lldb_python_dir()
{
    static const std::string dir = first_line(capture({"/usr/bin/lldb-16", "-P"}));
    return dir;
}

inline const std::string& lldb_version_line()
{
    static const std::string version = first_line(capture({"/usr/bin/lldb-16", "--version"}));
    return version;
}

// The line of the example program's source that holds `text`, counted from 1.
inline std::uint32_t source_line_of(const std::string& text)
{
    std::ifstream source(LD_SOURCE_DIR "/example/example_program.c");
    std::string line;
    for (std::uint32_t number = 1; std::getline(source, line); ++number) {
        if (line.find(text) != std::string::npos)
            return number;
    }
    return 0;
}

// True once the process no longer runs: it does not exist, or only its zombie is left.
inline bool process_gone(pid_t pid)
{
    if (::kill(pid, 0) != 0 && errno == ESRCH)
        return true;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string content;
    if (!std::getline(stat, content))
        return true;
    const std::size_t close = content.rfind(')');
    if (close == std::string::npos || close + 2 >= content.size())
        return false;
    const char state = content[close + 2];
    return state == 'Z' || state == 'X';
}

inline bool wait_gone(pid_t pid, Clock::duration patience = kPatience)
{
    const auto deadline = Clock::now() + patience;
    while (!process_gone(pid)) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

inline std::optional<pid_t> parent_of(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string content;
    if (!std::getline(stat, content))
        return std::nullopt;
    const std::size_t close = content.rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    std::istringstream fields(content.substr(close + 1));
    std::string state;
    long parent = 0;
    if (!(fields >> state >> parent))
        return std::nullopt;
    return static_cast<pid_t>(parent);
}

inline std::vector<pid_t> children_of(pid_t pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    std::vector<pid_t> pids;
    long child = 0;
    while (file >> child)
        pids.push_back(static_cast<pid_t>(child));
    return pids;
}

inline bool contains_null(const Json& value)
{
    if (value.is_null())
        return true;
    if (value.is_object() || value.is_array()) {
        for (const auto& item : value) {
            if (contains_null(item))
                return true;
        }
    }
    return false;
}

inline bool is_type(const Json& record, const char* type)
{
    return record.is_object() && record.value("type", "") == type;
}

inline bool is_state(const Json& record, const char* state)
{
    return is_type(record, "process") && record.value("state", "") == state;
}

class Backend {
public:
    // extra_environment entries are "NAME=value".
    explicit Backend(Kind kind, const std::vector<std::string>& extra_environment = {}) : kind_(kind)
    {
        // A back end that has gone must fail a test, not kill the test program.
        ::signal(SIGPIPE, SIG_IGN);
        int command[2];
        int event[2];
        if (::pipe2(command, O_CLOEXEC) != 0 || ::pipe2(event, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe: " << std::strerror(errno);
            return;
        }
        const int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);

        std::vector<std::string> argv;
        if (kind == Kind::Helper)
            argv = {LD_BUNDLE_DIR "/lldb-helper"};
        else
            argv = {"/usr/bin/python3", LD_BUNDLE_DIR "/lldb_server.py"};
        argv.push_back(std::to_string(command[0]));
        argv.push_back(std::to_string(event[1]));

        // The environment the service gives: the host's block plus one variable.
        std::vector<std::string> environment;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string text = *entry;
            if (text.rfind("PYTHONPATH=", 0) == 0 || text.rfind("DYLD_FRAMEWORK_PATH=", 0) == 0 ||
                text.rfind("LLDB_DEBUGSERVER_PATH=", 0) == 0)
                continue;
            environment.push_back(text);
        }
        const bool pythonPathGiven = std::any_of(extra_environment.begin(), extra_environment.end(),
                                                 [](const std::string& entry) { return entry.rfind("PYTHONPATH=", 0) == 0; });
        if (kind == Kind::Helper)
            environment.push_back("DYLD_FRAMEWORK_PATH=/usr/lib/llvm-16/lib");
        else if (!pythonPathGiven)
            environment.push_back("PYTHONPATH=" + lldb_python_dir());
        for (const std::string& entry : extra_environment)
            environment.push_back(entry);

        std::vector<char*> args;
        for (std::string& arg : argv)
            args.push_back(arg.data());
        args.push_back(nullptr);
        std::vector<char*> env;
        for (std::string& entry : environment)
            env.push_back(entry.data());
        env.push_back(nullptr);

        pid_ = ::fork();
        if (pid_ == 0) {
            // Start it the hard way: signals blocked and ignored as a careless launcher might
            // leave them. The back end must undo this for itself and for its debuggee.
            sigset_t blocked;
            sigemptyset(&blocked);
            sigaddset(&blocked, SIGINT);
            sigaddset(&blocked, SIGTERM);
            sigaddset(&blocked, SIGUSR1);
            ::sigprocmask(SIG_BLOCK, &blocked, nullptr);
            struct sigaction ignore = {};
            ignore.sa_handler = SIG_IGN;
            ::sigaction(SIGINT, &ignore, nullptr);
            ::sigaction(SIGPIPE, &ignore, nullptr);
            ::dup2(null_fd, 0);
            ::dup2(null_fd, 1);
            ::fcntl(command[0], F_SETFD, 0);
            ::fcntl(event[1], F_SETFD, 0);
            ::execve(args[0], args.data(), env.data());
            ::_exit(127);
        }
        ::close(command[0]);
        ::close(event[1]);
        ::close(null_fd);
        command_fd_ = command[1];
        event_fd_ = event[0];
        if (pid_ < 0)
            ADD_FAILURE() << "fork: " << std::strerror(errno);
    }

    Backend(const Backend&) = delete;
    Backend& operator=(const Backend&) = delete;

    ~Backend()
    {
        if (pid_ > 0 && !exit_status_) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
        }
        // If the back end failed at its job, do not leave its debuggees spinning. One it
        // detached from is no longer its business, nor ours.
        for (const auto& [pid, state] : debuggees_) {
            if (state != "detached" && !process_gone(pid))
                ::kill(pid, SIGKILL);
        }
        if (command_fd_ >= 0)
            ::close(command_fd_);
        if (event_fd_ >= 0)
            ::close(event_fd_);
    }

    Kind kind() const { return kind_; }
    pid_t pid() const { return pid_; }
    const std::vector<Json>& records() const { return records_; }
    const std::vector<std::string>& lines() const { return lines_; }
    std::uint64_t lines_sent() const { return lines_sent_; }
    bool at_end() const { return at_end_; }
    int command_fd() const { return command_fd_; }
    int event_fd() const { return event_fd_; }

    void send_raw(const std::string& bytes)
    {
        const char* data = bytes.data();
        std::size_t left = bytes.size();
        while (left > 0) {
            const ssize_t n = ::write(command_fd_, data, left);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                ADD_FAILURE() << "writing a command: " << std::strerror(errno);
                return;
            }
            data += n;
            left -= static_cast<std::size_t>(n);
        }
        for (const char c : bytes)
            lines_sent_ += c == '\n' ? 1 : 0;
    }

    // Sends one command line and waits for its result. Records that arrive meanwhile stay
    // available to wait_for.
    Json command(const std::string& line)
    {
        send_raw(line + "\n");
        const std::optional<Json> result = result_for(lines_sent_);
        if (!result) {
            ADD_FAILURE() << "no result for \"" << line << "\" (seq " << lines_sent_ << ")";
            return Json::object();
        }
        return *result;
    }

    std::optional<Json> result_for(std::uint64_t seq, Clock::duration patience = kPatience)
    {
        const auto matches = [seq](const Json& record) {
            return is_type(record, "result") && record.value("seq", 0u) == seq;
        };
        for (const Json& record : records_) {
            if (matches(record))
                return record;
        }
        const auto deadline = Clock::now() + patience;
        while (std::optional<Json> record = next(deadline)) {
            if (matches(*record))
                return record;
        }
        return std::nullopt;
    }

    void close_commands()
    {
        if (command_fd_ >= 0)
            ::close(command_fd_);
        command_fd_ = -1;
    }

    void signal(int signo) { ::kill(pid_, signo); }

    // Reads the next record; nothing at end of stream or when the deadline passes.
    std::optional<Json> next(Clock::time_point deadline)
    {
        for (;;) {
            const std::size_t end = pending_.find('\n');
            if (end != std::string::npos) {
                std::string line = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                return accept(std::move(line));
            }
            if (at_end_)
                return std::nullopt;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return std::nullopt;
            pollfd fd = {event_fd_, POLLIN, 0};
            const int ready = ::poll(&fd, 1, static_cast<int>(left.count()));
            if (ready < 0 && errno != EINTR)
                return std::nullopt;
            if (ready <= 0)
                continue;
            char buffer[65536];
            const ssize_t n = ::read(event_fd_, buffer, sizeof buffer);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                at_end_ = true;
            } else if (n == 0) {
                at_end_ = true;
                if (!pending_.empty())
                    ADD_FAILURE() << "event stream ended inside a line: " << pending_;
            } else {
                pending_.append(buffer, static_cast<std::size_t>(n));
            }
        }
    }

    // The first wanted record after the one the previous wait_for returned, reading more as
    // needed. Results fetched by command() in between do not move this position.
    std::optional<Json> wait_for(const std::function<bool(const Json&)>& wanted, Clock::duration patience = kPatience)
    {
        for (; cursor_ < records_.size(); ++cursor_) {
            if (wanted(records_[cursor_]))
                return records_[cursor_++];
        }
        const auto deadline = Clock::now() + patience;
        while (std::optional<Json> record = next(deadline)) {
            cursor_ = records_.size();
            if (wanted(*record))
                return record;
        }
        return std::nullopt;
    }

    std::optional<Json> wait_for_state(const char* state, Clock::duration patience = kPatience)
    {
        return wait_for([state](const Json& record) { return is_state(record, state); }, patience);
    }

    // Reads to the end of the event stream; false if it does not end in time.
    bool read_to_end(Clock::duration patience = kPatience)
    {
        const auto deadline = Clock::now() + patience;
        while (next(deadline)) {
        }
        return at_end_;
    }

    std::optional<int> wait_exit(Clock::duration patience = kPatience)
    {
        if (exit_status_)
            return exit_status_;
        const auto deadline = Clock::now() + patience;
        for (;;) {
            int status = 0;
            const pid_t done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                exit_status_ = status;
                return exit_status_;
            }
            if (done < 0 && errno != EINTR)
                return std::nullopt;
            if (Clock::now() > deadline)
                return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    bool alive()
    {
        if (exit_status_)
            return false;
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            exit_status_ = status;
            return false;
        }
        return done == 0;
    }

    std::vector<Json> of_type(const char* type) const
    {
        std::vector<Json> found;
        for (const Json& record : records_) {
            if (is_type(record, type))
                found.push_back(record);
        }
        return found;
    }

    // Everything the debuggee wrote to one stream, in order.
    std::string output_text(const char* stream = "stdout") const
    {
        std::string text;
        for (const Json& record : records_) {
            if (is_type(record, "output") && record.value("stream", "") == stream)
                text += record.value("data", "");
        }
        return text;
    }

private:
    std::optional<Json> accept(std::string line)
    {
        lines_.push_back(line);
        Json record;
        try {
            record = Json::parse(line);
        } catch (const Json::parse_error& fault) {
            ADD_FAILURE() << "event line is not JSON: " << line << " (" << fault.what() << ")";
            return Json::object();
        }
        EXPECT_TRUE(record.is_object()) << line;
        if (!record.is_object())
            return Json::object();
        // Compact, and one object only: dumping the parsed record gives the line back.
        EXPECT_EQ(record.dump(), line);
        EXPECT_FALSE(contains_null(record)) << line;
        EXPECT_TRUE(record.contains("type") && record["type"].is_string()) << line;
        if (is_type(record, "result")) {
            const std::uint64_t seq = record.value("seq", 0u);
            EXPECT_EQ(seq, last_seq_ + 1) << "results out of order: " << line;
            last_seq_ = seq;
            EXPECT_TRUE(record.contains("ok") && record["ok"].is_boolean()) << line;
            EXPECT_TRUE(record.contains("output") && record["output"].is_string()) << line;
            EXPECT_TRUE(record.contains("error") && record["error"].is_string()) << line;
        }
        if (is_type(record, "process")) {
            EXPECT_TRUE(record.contains("pid") && record["pid"].is_number_unsigned()) << line;
            const pid_t pid = record.value("pid", 0);
            if (pid > 0)
                debuggees_[pid] = record.value("state", "");
        }
        records_.push_back(record);
        return record;
    }

    Kind kind_;
    pid_t pid_ = -1;
    int command_fd_ = -1;
    int event_fd_ = -1;
    std::string pending_;
    bool at_end_ = false;
    std::uint64_t lines_sent_ = 0;
    std::uint64_t last_seq_ = 0;
    std::size_t cursor_ = 0;
    std::optional<int> exit_status_;
    std::vector<std::string> lines_;
    std::vector<Json> records_;
    std::map<pid_t, std::string> debuggees_;
};

// Waits for the "ready" record that opens every session.
inline std::optional<Json> await_ready(Backend& backend)
{
    const std::optional<Json> first = backend.next(Clock::now() + kPatience);
    EXPECT_TRUE(first.has_value()) << "no ready record from the " << kind_name(backend.kind());
    if (first) {
        EXPECT_TRUE(is_type(*first, "ready")) << first->dump();
    }
    return first;
}

}  // namespace lldb_backend_test
