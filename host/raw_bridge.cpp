#include "host/raw_bridge.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/signalfd.h>
#include <thread>
#include <unistd.h>

#include "host/console/dialect.h"
#include "platform/write_all.h"

namespace local_debugger {

using namespace std::chrono_literals;

RawBridge::RawBridge(RawBridgeOptions options)
    : options_(std::move(options)), answers_(options_.gdb), ended_(Pipe::make())
{
}

void RawBridge::relayOutput(const uint8_t *bytes, size_t count)
{
    writeAll(STDOUT_FILENO, std::string_view(reinterpret_cast<const char *>(bytes), count));
    answers_.feed(bytes, count);
}

bool RawBridge::run(ServiceClient &client, const sigset_t &taken)
{
    UniqueFd signals(signalfd(-1, &taken, SFD_CLOEXEC));
    if (!signals)
        fprintf(stderr, "debugger-host: cannot take Ctrl-C: %s\n", strerror(errno));
    std::thread signalTaker([this, &client, &signals] { takeSignals(client, signals); });
    std::thread inputRelay([this, &client] { relayInput(client); });
    client.waitUntilClosed();
    answers_.connectionEnded();
    writeAll(ended_.write.get(), "x");
    signalTaker.join();
    inputRelay.join();
    return answers_.wrote();
}

bool RawBridge::waitForInput(int fd) const
{
    pollfd watched[] = {{fd, POLLIN, 0}, {ended_.read.get(), POLLIN, 0}};
    while (poll(watched, 2, -1) < 0) {
        if (errno != EINTR)
            return true; // the read that follows tells what is wrong
    }
    return watched[1].revents == 0;
}

// Each signal taken once: every Ctrl-C is one break.
void RawBridge::takeSignals(ServiceClient &client, const UniqueFd &signals)
{
    signalfd_siginfo info{};
    while (signals && waitForInput(signals.get())) {
        const ssize_t got = read(signals.get(), &info, sizeof info);
        if (got != static_cast<ssize_t>(sizeof info))
            continue;
        if (info.ssi_signo == SIGINT)
            client.sendCommand("break");
        else
            client.requestResult("stop", 10s);
    }
}

void RawBridge::relayInput(ServiceClient &client)
{
    size_t lines = sendProgramLoad(client);
    std::vector<uint8_t> buffer(64 * 1024);
    for (;;) {
        if (!waitForInput(STDIN_FILENO))
            return;
        const ssize_t got = read(STDIN_FILENO, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        lines += static_cast<size_t>(std::count(buffer.begin(), buffer.begin() + got, '\n'));
        if (!client.sendData("send", std::vector<uint8_t>(buffer.begin(), buffer.begin() + got)))
            return;
    }
    endInput(client, lines);
}

size_t RawBridge::sendProgramLoad(ServiceClient &client)
{
    if (!options_.program)
        return 0;
    const auto dialect = options_.gdb ? console::gdbDialect() : console::lldbDialect();
    const std::vector<std::string> lines = dialect->loadProgram(*options_.program, options_.arguments, 1);
    for (const auto &line : lines)
        client.sendData("send", std::vector<uint8_t>(line.begin(), line.end()));
    return lines.size();
}

// Every line sent gets its answer; then the debugger ends by itself, so that what it writes
// while ending (LLDB's last exited record) still arrives. stop only if it will not.
void RawBridge::endInput(ServiceClient &client, size_t lines)
{
    const auto deadline = std::chrono::steady_clock::now() + options_.answerTimeout;
    if (answers_.waitFor(lines, options_.answerTimeout)) {
        const std::string quit = options_.gdb ? "-gdb-exit\n" : "quit\n";
        client.sendData("send", std::vector<uint8_t>(quit.begin(), quit.end()));
        answers_.waitForEnd(deadline);
    }
    client.requestResult("stop", 10s);
}

} // namespace local_debugger
