#pragma once
// One LLDB back end started as the service starts it, its records read from a file as it grows.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <sstream>
#include <sys/wait.h>

#include "tests/support/service_run.h"

using Json = nlohmann::ordered_json;
enum class Kind { Helper, Script };

inline std::string firstLine(const std::string &commandLine)
{
    FILE *out = popen(commandLine.c_str(), "r");
    char line[4096] = {};
    bool read = fgets(line, sizeof line, out) != nullptr;
    pclose(out);
    return read ? std::string(line, strcspn(line, "\n")) : "";
}

class Backend {
public:
    // Its events go to a file the test reads as it grows.
    explicit Backend(Kind kind) : events_(directory_.path() + "/events")
    {
        ::signal(SIGPIPE, SIG_IGN);
        int command[2];
        int event = open(events_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (pipe2(command, O_CLOEXEC) != 0 || event < 0)
            abort();
        std::string python = firstLine("/usr/bin/lldb-16 -P");
        std::string commandFd = std::to_string(command[0]), eventFd = std::to_string(event);
        // The test process has no other thread, so its child may do anything before exec.
        pid_ = fork();
        if (pid_ == 0) {
            // Signals blocked and ignored, as a careless launcher might leave them: the back end
            // must undo this for itself and for its debuggee.
            sigset_t blocked;
            sigemptyset(&blocked);
            for (int signo : {SIGINT, SIGTERM, SIGUSR1})
                sigaddset(&blocked, signo);
            sigprocmask(SIG_BLOCK, &blocked, nullptr);
            ::signal(SIGINT, SIG_IGN);
            fcntl(command[0], F_SETFD, 0);
            // The environment the service gives: the host's block plus the back end's variable.
            if (kind == Kind::Helper) {
                setenv("DYLD_FRAMEWORK_PATH", "/usr/lib/llvm-16/lib", 1);
                execl(LD_BUNDLE_DIR "/lldb-helper", "lldb-helper", commandFd.c_str(), eventFd.c_str(), nullptr);
            }
            setenv("PYTHONPATH", python.c_str(), 1);
            const char *script = LD_BUNDLE_DIR "/lldb_server.py";
            execl("/usr/bin/python3", "python3", script, commandFd.c_str(), eventFd.c_str(), nullptr);
            _exit(127);
        }
        close(command[0]);
        close(event);
        commandFd_ = command[1];
        EXPECT_TRUE(next([](const Json &r) { return r.value("type", "") == "ready"; })) << "no ready record";
    }
    // Every event line must be one compact JSON object without nulls, results counted in order.
    ~Backend()
    {
        if (!status_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        closeCommands();
        unsigned seq = 0;
        for (const Json &record : records()) {
            std::string line = record.dump();
            EXPECT_TRUE(record.contains("type") && line.find(":null") == std::string::npos) << line;
            if (record.value("type", "") == "result") {
                EXPECT_EQ(record.value("seq", 0u), ++seq) << "results out of order: " << line;
            }
        }
        EXPECT_EQ(readFile(events_), lines_) << "an event line is not one compact JSON object";
    }

    pid_t pid() const { return pid_; }
    void signal(int signo) { kill(pid_, signo); }
    void send(const std::string &bytes)
    {
        EXPECT_EQ(write(commandFd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        sent_ += static_cast<unsigned>(std::count(bytes.begin(), bytes.end(), '\n'));
    }
    void closeCommands()
    {
        if (commandFd_ >= 0)
            close(commandFd_);
        commandFd_ = -1;
    }

    // The records so far, each line read as JSON.
    std::vector<Json> records()
    {
        std::vector<Json> records;
        lines_.clear();
        std::istringstream text(readFile(events_));
        for (std::string line; std::getline(text, line) && !text.eof();) {
            records.push_back(Json::parse(line, nullptr, false));
            lines_ += records.back().dump() + "\n";
        }
        return records;
    }

    // Sends one command line and waits for its result record (results can pass process events).
    Json command(const std::string &line)
    {
        send(line + "\n");
        std::optional<Json> result = find([seq = sent_](const Json &r) { return r.value("seq", 0u) == seq; }, 0);
        EXPECT_TRUE(result) << "no result for " << line;
        return result.value_or(Json::object());
    }

    // The first record wanted accepts after the last one this returned.
    std::optional<Json> next(const std::function<bool(const Json &)> &wanted) { return find(wanted, cursor_); }
    std::optional<Json> nextState(const std::string &state)
    {
        return next([&](const Json &r) { return r.value("type", "") == "process" && r.value("state", "") == state; });
    }

    // Everything the debuggee wrote to standard output, in order.
    std::string output()
    {
        std::string text;
        for (const Json &r : records())
            text += r.value("type", "") == "output" && r.value("stream", "") == "stdout" ? r.value("data", "") : "";
        return text;
    }

    // The back end's wait status once it has ended.
    std::optional<int> end()
    {
        int status = 0;
        if (waitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }))
            status_ = status;
        return status_;
    }

private:
    std::optional<Json> find(const std::function<bool(const Json &)> &wanted, size_t from)
    {
        std::optional<Json> found;
        waitUntil([&] {
            std::vector<Json> all = records();
            for (size_t i = from; i < all.size() && !found; ++i) {
                if (wanted(all[i])) {
                    found = all[i];
                    cursor_ = from == cursor_ ? i + 1 : cursor_;
                }
            }
            return found.has_value();
        });
        return found;
    }

    TempDir directory_;
    std::string events_;
    std::string lines_;
    pid_t pid_ = -1;
    int commandFd_ = -1;
    unsigned sent_ = 0;
    size_t cursor_ = 0;
    std::optional<int> status_;
};
