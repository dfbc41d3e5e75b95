#include "service/dispatch.h"

#include <csignal>
#include <mutex>
#include <string_view>

#include "debugger/child_exit.h"
#include "debugger/command_queue.h"
#include "debugger/gdb_launch.h"
#include "debugger/lldb_launch.h"
#include "diagnostics/debug_message.h"
#include "diagnostics/hex_dump.h"
#include "environment/environment_block.h"
#include "platform/connection.h"
#include "service/process_state.h"
#include "service/termination.h"
#include "toolchain/toolchain_version.h"

namespace {

// Connections are served side by side; one launch at a time keeps "at most one debugger".
std::mutex launchLock;

void sendReply(const Message &request, Connection &connection, bool result)
{
    if (request.kind != MessageKind::Request)
        return;
    Message reply;
    reply.kind = MessageKind::Reply;
    reply.msgid = request.msgid;
    reply.dictionary.setBool("result", result);
    connection.send(reply);
}

void handleLog()
{
    startMessageLogger();
}

void handleSetEnv(const MessageDictionary &dictionary)
{
    const MessageBytes *data = dictionary.getData("data");
    replaceEnvironment(data != nullptr ? data->data() : nullptr, data != nullptr ? data->size() : 0);
}

void handleLaunchLldb(const Message &message, const std::shared_ptr<Connection> &connection)
{
    debugMessage("launch_lldb command received");
    // The probe runs even when a debugger already runs.
    DebuggerBackend backend = chooseLldbBackend();
    bool result = false;
    std::lock_guard<std::mutex> guard(launchLock);
    if (!alreadyLaunched.load())
        result = backend == DebuggerBackend::LldbPython ? launchLldbPython(connection) : launchLldbHelper(connection);
    sendReply(message, *connection, result);
    if (result)
        debuggerRecorded();
}

void handleLaunchGdb(const Message &message, const std::shared_ptr<Connection> &connection)
{
    debugMessage("launch_gdb command received");
    std::optional<std::string_view> arch = message.dictionary.getString("arch");
    bool result = false;
    std::lock_guard<std::mutex> guard(launchLock);
    if (!alreadyLaunched.load())
        result = launchGdb(connection, arch);
    sendReply(message, *connection, result);
    if (result)
        debuggerRecorded();
}

[[noreturn]] void handleStop(const Message &message, Connection &connection)
{
    debugMessage("stop command received");
    beginStop();
    bool wasLaunched = alreadyLaunched.load();
    if (wasLaunched) {
        signalDebugger(SIGTERM);
        alreadyLaunched.store(false);
    }
    sendReply(message, connection, wasLaunched);
    finishStop(connection);
}

void handleSend(const MessageDictionary &dictionary)
{
    const MessageBytes *data = dictionary.getData("data");
    if (loggingEnabled.load()) {
        std::string dump = data != nullptr ? hexDump(data->data(), data->size()) : std::string();
        debugMessage("send command received: " + dump);
    }
    if (data != nullptr)
        enqueueCommandBytes(*data);
}

void handleBreak()
{
    debugMessage("break command received");
    signalDebugger(SIGINT);
}

} // namespace

void dispatchMessage(const Message &message, const std::shared_ptr<Connection> &connection)
{
    std::optional<std::string_view> command = message.dictionary.getString("command");
    if (!command)
        return;
    if (*command == "log")
        handleLog();
    else if (*command == "set_env")
        handleSetEnv(message.dictionary);
    else if (*command == "launch_lldb")
        handleLaunchLldb(message, connection);
    else if (*command == "launch_gdb")
        handleLaunchGdb(message, connection);
    else if (*command == "stop")
        handleStop(message, *connection);
    else if (*command == "send")
        handleSend(message.dictionary);
    else if (*command == "break")
        handleBreak();
}
