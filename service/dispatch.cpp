#include <csignal>
#include <string_view>

#include "debugger/gdb_launch.h"
#include "debugger/lldb_launch.h"
#include "diagnostics/console.h"
#include "diagnostics/debug_message.h"
#include "diagnostics/hex_dump.h"
#include "environment/environment_block.h"
#include "platform/queued_connection.h"
#include "platform/tool_run.h"
#include "service/service.h"
#include "toolchain/toolchain_version.h"

using local_debugger::Message;
using local_debugger::MessageBytes;
using local_debugger::MessageKind;
using local_debugger::QueuedConnection;

namespace {

void sendReply(const Message &request, QueuedConnection &connection, bool result)
{
    if (request.kind != MessageKind::Request)
        return;
    Message reply;
    reply.kind = MessageKind::Reply;
    reply.msgid = request.msgid;
    reply.dictionary.setBool("result", result);
    connection.sendReply(reply);
}

} // namespace

Service::Service() = default;

std::string Service::start() noexcept
{
    pipes_.fill();
    return run_.start();
}

// With launchLock_ held.
void Service::launch(const Message &message, const std::shared_ptr<QueuedConnection> &connection,
                     const std::function<std::optional<LaunchPlan>(PipeStock &)> &plan)
{
    bool result = false;
    // A launch's console lines are written once its reply has gone.
    ConsoleHold lines;
    // Until the reply has gone: neither the child nor this thread waits behind other work.
    LaunchScheduling scheduling;
    // The child's copies of its pipes close only once the reply is written or queued.
    std::optional<LaunchPlan> planned;
    if (!run_.launched()) {
        planned = plan(pipes_);
        if (planned)
            planned->scheduling = &scheduling;
        // Lines the child writes before it runs its program come after the service's.
        if (planned && !planned->linesBeforeExec.empty())
            lines.release();
        DebuggerRun::Events events{
            [connection](const uint8_t *bytes, size_t count) { connection->sendData(bytes, count); },
            [this] { end(EndCause::ChildExited); },
            [connection](int pipeFd, size_t count) { return connection->sendDataFromPipe(pipeFd, count); }};
        result = planned && run_.launch(*planned, std::move(events));
    }
    // A refusal's reasons are there for the host to read once it has the reply.
    if (!result)
        lines.release();
    sendReply(message, *connection, result);
    lines.release();
    planned.reset();
    // Before the exit watch may reap the child.
    scheduling.end();
    if (result)
        run_.answered();
}

void Service::stop(const Message &message, QueuedConnection &connection)
{
    debugMessage("stop command received");
    stopping_.store(true);
    std::lock_guard<std::mutex> guard(launchLock_);
    const bool wasLaunched = run_.launched();
    run_.signal(SIGTERM);
    sendReply(message, connection, wasLaunched);
    end(EndCause::Stop);
}

void Service::dispatch(const Message &message, const std::shared_ptr<QueuedConnection> &connection)
{
    // A reply answers nothing the service asked: whatever it holds is not a command.
    std::optional<std::string_view> command = message.dictionary.getString("command");
    if (!command || message.kind == MessageKind::Reply)
        return;
    if (*command == "log") {
        startMessageLogger();
    } else if (*command == "set_env") {
        const MessageBytes *data = message.dictionary.getData("data");
        replaceEnvironment(data != nullptr ? data->data() : nullptr, data != nullptr ? data->size() : 0);
    } else if (*command == "launch_lldb") {
        debugMessage("launch_lldb command received");
        std::lock_guard<std::mutex> guard(launchLock_);
        // The lookups' tools die with the host that asked: nobody would take the answer.
        ToolRunWatch watch(connection->fd());
        // The probe runs even when a debugger already runs.
        DebuggerBackend backend = chooseLldbBackend();
        if (peerHungUp(connection->fd()))
            return;
        launch(message, connection,
               backend == DebuggerBackend::LldbPython ? planLldbPythonLaunch : planLldbHelperLaunch);
    } else if (*command == "launch_gdb") {
        debugMessage("launch_gdb command received");
        std::optional<std::string_view> arch = message.dictionary.getString("arch");
        std::lock_guard<std::mutex> guard(launchLock_);
        launch(message, connection, [arch](PipeStock &pipes) { return planGdbLaunch(arch, pipes); });
    } else if (*command == "stop") {
        stop(message, *connection);
    } else if (*command == "send") {
        const MessageBytes *data = message.dictionary.getData("data");
        if (loggingEnabled.load())
            debugMessage("send command received: " + (data != nullptr ? hexDump(data->data(), data->size()) : ""));
        if (message.incomplete) {
            consoleLine("send dropped: no memory to hold its bytes");
            return;
        }
        // Past the queue's bound this waits, and with it the reading of this connection alone.
        const SendOutcome outcome = data != nullptr ? run_.send(*data) : SendOutcome::Queued;
        if (outcome == SendOutcome::NoMemory)
            consoleLine("send of " + std::to_string(data->size()) + " bytes dropped: no memory to hold them");
    } else if (*command == "break") {
        debugMessage("break command received");
        run_.signal(SIGINT);
    }
}
