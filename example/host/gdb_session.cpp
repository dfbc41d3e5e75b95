// A GDB/MI session through the local-debugger service, in C++: break at compute in a program,
// run it, print the stop record, then let it run to its end.
//
//     gdb_session SERVICE PROGRAM
//
// SERVICE is the service executable, P/libexec/local-debugger/local-debugger once installed
// under the prefix P. Built against the installed package:
//
//     cmake -S P/share/local-debugger/examples -B build -DCMAKE_PREFIX_PATH=P
//     cmake --build build

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/service_client.h"

using namespace std::chrono_literals;
using namespace local_debugger;

namespace {

// What the debugger writes arrives in data messages, on the client's reading thread, in pieces
// that need not end at a line's end. They are put together into lines here, and the main thread
// waits for the line it needs.
class Lines {
public:
    // From the client's reading thread (ServiceClient::Callbacks).
    void add(const uint8_t *bytes, size_t count)
    {
        std::lock_guard<std::mutex> guard(lock_);
        partial_.append(reinterpret_cast<const char *>(bytes), count);
        for (size_t newline; (newline = partial_.find('\n')) != std::string::npos; partial_.erase(0, newline + 1))
            lines_.push_back(partial_.substr(0, newline + 1));
        changed_.notify_all();
    }
    void close()
    {
        std::lock_guard<std::mutex> guard(lock_);
        closed_ = true;
        changed_.notify_all();
    }

    // The lines up to and including the first that holds text; none when the run ended or the
    // timeout passed first.
    std::optional<std::vector<std::string>> until(std::string_view text, std::chrono::seconds timeout)
    {
        std::vector<std::string> taken;
        std::unique_lock<std::mutex> guard(lock_);
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (!changed_.wait_until(guard, deadline, [&] { return !lines_.empty() || closed_; }))
                return std::nullopt;
            if (lines_.empty())
                return std::nullopt;
            taken.push_back(std::move(lines_.front()));
            lines_.pop_front();
            if (taken.back().find(text) != std::string::npos)
                return taken;
        }
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::string partial_;
    std::deque<std::string> lines_;
    bool closed_ = false;
};

int fail(const char *what)
{
    fprintf(stderr, "gdb_session: %s\n", what);
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3)
        return fail("usage: gdb_session SERVICE PROGRAM");
    const std::string program = argv[2];

    Lines lines;
    ServiceClient::Callbacks callbacks;
    // Every message that is not a reply: the debugger's output comes as "data".
    callbacks.onMessage = [&lines](const Message &message) {
        if (const MessageBytes *data = message.dictionary.getData("data"))
            lines.add(data->data(), data->size());
    };
    callbacks.onClosed = [&lines] { lines.close(); }; // the service has ended the run

    ServiceStartOptions options;
    options.executable = argv[1];
    // The rest keep their defaults: the service gets this process's environment and standard
    // streams (its console lines on our standard error), in a process group of its own.
    std::unique_ptr<ServiceClient> client = ServiceClient::start(options, callbacks);
    if (!client)
        return fail(("cannot start the service: " + std::string(strerror(errno))).c_str());

    // The debugger's whole environment, then the launch: a request with a reply.
    client->sendData("set_env", encodeEnvironmentPayload({"HOME=/tmp", "PATH=/usr/bin:/bin"}));
    MessageDictionary launch;
    launch.setString("command", "launch_gdb");
    const auto reply = client->request(launch, 30s);
    if (!reply || reply->getBool("result") != true)
        return fail("the service did not launch GDB");

    // Input leaves as "send" data: bytes for GDB's standard input, one MI command a line.
    auto mi = [&](const std::string &command, std::string_view until) {
        const std::string line = command + "\n";
        client->sendData("send", std::vector<uint8_t>(line.begin(), line.end()));
        return lines.until(until, 30s);
    };
    if (!mi("-file-exec-and-symbols \"" + program + "\"", "^done") || !mi("-break-insert compute", "^done"))
        return fail("GDB did not load the program");
    const auto stop = mi("-exec-run", "*stopped");
    if (!stop)
        return fail("the program did not stop");
    printf("stopped: %s", stop->back().c_str());
    mi("-break-delete", "^done");
    // The program writes to GDB's standard output too: its lines are the ones that are not MI
    // records.
    const auto rest = mi("-exec-continue", "*stopped,reason=\"exited");
    if (!rest)
        return fail("the program did not end");
    for (const std::string &line : *rest) {
        if (std::string_view("^*+=~@&(").find(line[0]) == std::string_view::npos)
            printf("program: %s", line.c_str());
    }
    printf("end: %s", rest->back().c_str());
    mi("-gdb-exit", "^exit");
    client->waitUntilClosed();
    const auto status = client->waitForExit(30s);
    if (!status || *status != 0)
        return fail("the service did not end well");
    printf("GDB exited, and the service with it.\n");
    return 0;
}
