// The service as a host sees it before any launch: which commands reply, how stop and
// connection errors end it, and what the diagnostic log says.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/message_codec.h"
#include "support/raw_service.h"
#include "support/service_run.h"

namespace {

MessageDictionary commandDictionary(const std::string &command)
{
    MessageDictionary dictionary;
    dictionary.setString("command", command);
    return dictionary;
}

// A request that must get no reply: waits briefly, then the service must still be serving.
void expectNoReply(ServiceRun &run, const MessageDictionary &dictionary)
{
    EXPECT_FALSE(run.client().request(dictionary, 150ms).has_value());
}

std::string encodedRequest(uint32_t msgid, const std::string &command)
{
    Message message;
    message.kind = MessageKind::Request;
    message.msgid = msgid;
    message.dictionary.setString("command", command);
    return encodeMessage(message);
}

} // namespace

TEST(StopBeforeLaunch, RepliesFalseAndExitsZero)
{
    ServiceRun run;
    run.command("log");
    EXPECT_EQ(run.request("stop"), false);
    EXPECT_EQ(run.exitStatus(), 0);
    auto diagnostics = run.diagnostics();
    EXPECT_EQ(diagnostics, (std::vector<std::string>{"message logger started", "stop command received"}));
}

TEST(StopBeforeLaunch, AsPlainMessageStillEndsTheServiceWithoutReply)
{
    ServiceRun run;
    run.command("stop");
    EXPECT_EQ(run.exitStatus(), 0);
    EXPECT_EQ(run.otherMessageCount(), 0u);
}

TEST(CommandMatching, NamesDifferingInCaseOrBlanksOrWithNulAreIgnored)
{
    ServiceRun run;
    run.command("log");
    for (const std::string &name : std::vector<std::string>{"Stop", "STOP", "stop ", " stop", "sto", "stopp", std::string("stop\0x", 6), ""})
        expectNoReply(run, commandDictionary(name));
    MessageDictionary noCommand;
    noCommand.setString("comand", "stop");
    expectNoReply(run, noCommand);
    MessageDictionary wrongType;
    wrongType.setBool("command", true);
    expectNoReply(run, wrongType);
    EXPECT_FALSE(run.exitStatus(100ms).has_value()) << "an ignored command ended the service";
    EXPECT_EQ(run.diagnostics(), std::vector<std::string>{"message logger started"});
    EXPECT_EQ(run.request("stop"), false);
}

TEST(Replies, OnlyLaunchAndStopCommandsReplyAndOnlyToRequests)
{
    ServiceRun run;
    for (std::string name : {"log", "send", "break", "set_env"})
        expectNoReply(run, commandDictionary(name));
    EXPECT_EQ(run.otherMessageCount(), 0u);
    EXPECT_TRUE(run.output().empty());
    EXPECT_EQ(run.request("stop"), false);
}

TEST(Diagnostics, NothingIsWrittenBeforeLogAndEveryCommandIsNamedAfter)
{
    ServiceRun run;
    run.send("quiet");
    run.command("break");
    expectNoReply(run, commandDictionary("break"));
    EXPECT_TRUE(run.diagnostics().empty());

    run.command("log");
    run.client().sendData("send", {0x0A, 0xFF, 0x00});
    run.client().sendCommand("send");
    run.client().sendData("send", {0x00, 0x7F, 0x80, 0xFF, 0xAB});
    run.command("break");
    run.command("log");
    EXPECT_EQ(run.request("stop"), false);
    EXPECT_EQ(run.exitStatus(), 0);
    EXPECT_EQ(run.diagnostics(), (std::vector<std::string>{
                                     "message logger started",
                                     "send command received: 0AFF00",
                                     "send command received: ",
                                     "send command received: 007F80FFAB",
                                     "break command received",
                                     "message logger started",
                                     "stop command received",
                                 }));
}

TEST(Diagnostics, StartupLineCarriesTheServicePid)
{
    ServiceRun run;
    ASSERT_TRUE(run.waitForStderr("launching local debugger"));
    std::string text = run.stderrText();
    std::string pid = std::to_string(run.pid());
    EXPECT_NE(text.find("local-debugger[" + pid + ":" + pid + "] launching local debugger (pid " + pid + ")\n"),
              std::string::npos)
        << text;
    // YYYY-MM-DD HH:MM:SS.mmm at the start of the line.
    ASSERT_GE(text.size(), 24u);
    EXPECT_EQ(text[4], '-');
    EXPECT_EQ(text[10], ' ');
    EXPECT_EQ(text[19], '.');
    EXPECT_EQ(text[23], ' ');
}

TEST(SendBeforeLaunch, BytesGoNowhereAndTheConnectionStaysResponsive)
{
    int stdinPipe[2];
    ASSERT_EQ(pipe2(stdinPipe, O_CLOEXEC), 0);
    ServiceRun::Options options;
    options.stdinFd = stdinPipe[0];
    {
        ServiceRun run(options);
        close(stdinPipe[0]);
        run.command("log");
        run.send(std::string(1 << 20, 'x'));
        run.send("to nobody");
        EXPECT_EQ(run.request("stop"), false);
        EXPECT_EQ(run.exitStatus(), 0);
        EXPECT_EQ(run.diagnostics().size(), 4u);
    }
    // The service wrote nothing to its standard input (the pipe's other end is ours).
    fcntl(stdinPipe[1], F_SETFL, O_NONBLOCK);
    int queued = 0;
    ASSERT_EQ(ioctl(stdinPipe[1], FIONREAD, &queued), 0);
    EXPECT_EQ(queued, 0);
    close(stdinPipe[1]);
}

TEST(ConnectionEnd, ClosingTheConnectionEndsTheServiceWithZero)
{
    ServiceRun run;
    run.command("log");
    run.client().disconnect();
    EXPECT_EQ(run.exitStatus(), 0);
}

TEST(ConnectionEnd, BadInputEndsTheConnectionAndTheService)
{
    std::vector<std::string> badInputs = {
        std::string("\xC1", 1),
        std::string(100000, '\x91'),                                  // nesting far deeper than a message
        std::string("\x93\x02\xA7message\x91\x81\xA7" "command\x81\xA1x\xC0", 25), // a map as a value
    };
    for (const auto &bytes : badInputs) {
        RawConnection connection;
        ASSERT_TRUE(connection.write(bytes));
        EXPECT_EQ(connection.exitStatus(), 0);
    }
}

TEST(Framing, RequestsSplitIntoSingleBytesOrBatchedInOneWriteAreAllAnswered)
{
    RawConnection connection;

    // Ignored commands batched in one write, then stop one byte at a time.
    std::string batch;
    for (uint32_t i = 1; i <= 20; ++i)
        batch += encodedRequest(i, "Stop");
    ASSERT_TRUE(connection.write(batch));
    std::string stop = encodedRequest(4294967295u, "stop");
    for (char byte : stop) {
        ASSERT_TRUE(connection.write(std::string(1, byte)));
        usleep(200);
    }
    auto reply = readMessage(connection.fd, 10s);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->kind, MessageKind::Reply);
    EXPECT_EQ(reply->msgid, 4294967295u);
    EXPECT_EQ(reply->dictionary.getBool("result"), false);
    EXPECT_EQ(connection.exitStatus(), 0);
}

TEST(Activation, WithoutActivationTheServiceSaysWhatIsMissingAndExitsTwo)
{
    struct Case {
        bool listenVariables;
        bool wrongPid;
        bool socketOnThree;
        std::string expected;
    };
    std::vector<Case> cases = {
        {false, false, true, "LISTEN_FDS and LISTEN_PID are not set"},
        {true, true, true, "LISTEN_PID is not this process's id"},
        {true, false, false, "descriptor 3 is not a Unix stream socket"},
    };
    for (const auto &c : cases) {
        int sockets[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets), 0);
        int errPipe[2];
        ASSERT_EQ(pipe2(errPipe, O_CLOEXEC), 0);
        int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
        RawStart start;
        start.descriptor3 = c.socketOnThree ? sockets[1] : devNull;
        start.listenVariables = c.listenVariables;
        start.wrongListenPid = c.wrongPid;
        start.stderrFd = errPipe[1];
        pid_t pid = startRawService(start);
        close(errPipe[1]);
        EXPECT_EQ(rawExitStatus(pid, 10s), 2);
        char buffer[4096];
        ssize_t got = read(errPipe[0], buffer, sizeof buffer);
        std::string text(buffer, got > 0 ? static_cast<size_t>(got) : 0);
        EXPECT_NE(text.find("launching local debugger (pid " + std::to_string(pid) + ")"), std::string::npos);
        EXPECT_NE(text.find(c.expected), std::string::npos) << text;
        close(errPipe[0]);
        close(devNull);
        close(sockets[0]);
        close(sockets[1]);
    }
}

TEST(Activation, SocketSurvivesStartWithStandardDescriptorsClosed)
{
    RawStart start;
    start.closeStandardDescriptors = true;
    RawConnection connection(start);
    ASSERT_TRUE(connection.write(encodedRequest(9, "stop")));
    auto reply = readMessage(connection.fd, 10s);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->dictionary.getBool("result"), false);
    EXPECT_EQ(connection.exitStatus(), 0);
}

TEST(Activation, ListeningSocketServesEachAcceptedConnection)
{
    TempDir directory;
    std::string path = directory.path() + "/service.sock";
    int listener = listeningSocket(path);
    ASSERT_GE(listener, 0);
    RawStart start;
    start.descriptor3 = listener;
    pid_t pid = startRawService(start);
    close(listener);

    // A first connection that only looks, then a second one that stops the service.
    auto first = ServiceClient::connectTo(path, {});
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->sendCommand("log"));
    auto second = ServiceClient::connectTo(path, {});
    ASSERT_TRUE(second);
    EXPECT_EQ(second->requestResult("stop", 10s), false);
    EXPECT_EQ(rawExitStatus(pid, 10s), 0);
}
