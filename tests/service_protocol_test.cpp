// The service on its connection: which commands reply, how bad input and the end of the
// connection end a run, and that peers of other users are refused.

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/message_codec.h"
#include "support/service_run.h"

using namespace std::string_literals;

namespace {

std::string message(MessageKind kind, uint32_t msgid, const std::string &command)
{
    Message message{kind, msgid, {}};
    message.dictionary.setString("command", command);
    return encodeMessage(message);
}

// Everything the service sends on fd until it closes the connection.
std::vector<Message> messagesUntilClosed(int fd)
{
    MessageDecoder decoder;
    std::vector<Message> messages;
    pollfd readable{fd, POLLIN, 0};
    char buffer[65536];
    for (ssize_t got; poll(&readable, 1, 20000) > 0 && (got = read(fd, buffer, sizeof buffer)) > 0;) {
        decoder.feed(buffer, static_cast<size_t>(got));
        for (Message message; decoder.next(message) == MessageDecoder::Status::Message;)
            messages.push_back(message);
    }
    return messages;
}

} // namespace

TEST(Protocol, OnlyTheStopRequestIsAnsweredBeforeALaunchAndAPlainStopEndsTheRunSilently)
{
    const std::vector<std::string> unanswered = {"log", "send", "break", "set_env", "Stop", "stop ", "stop\0x"s, ""};
    for (bool asRequest : {true, false}) {
        RawConnection connection;
        for (uint32_t i = 0; i < unanswered.size(); ++i)
            ASSERT_TRUE(connection.write(message(MessageKind::Request, i + 1, unanswered[i])));
        std::string stop = message(asRequest ? MessageKind::Request : MessageKind::Plain, 4294967295u, "stop");
        for (char byte : stop)
            ASSERT_TRUE(connection.write(std::string(1, byte)));
        auto replies = messagesUntilClosed(connection.fd);
        ASSERT_EQ(replies.size(), asRequest ? 1u : 0u);
        if (asRequest) {
            EXPECT_EQ(replies[0].kind, MessageKind::Reply);
            EXPECT_EQ(replies[0].msgid, 4294967295u);
            EXPECT_EQ(replies[0].dictionary.getBool("result"), false);
        }
        EXPECT_EQ(rawExitStatus(connection.pid), 0);
    }
}

TEST(Protocol, BadInputOrTheHostClosingEndsTheRunWithZeroAndLittleMemory)
{
    const std::string plainData = "\x93\x02\xA7message\x91\x81\xA4" "data";
    const std::vector<std::tuple<const char *, std::string, bool>> cases = {
        {"bin promising 3 GiB", plainData + "\xC6\xC0\x00\x00\x00"s, false},
        {"array of billions", "\xDD\xFF\xFF\xFF\xF0", false},
        {"nesting", std::string(4096, '\x91'), false},
        {"reserved byte", "\x93\x02\xC1", false},
        {"60 MiB promised, 1 MiB sent, then the host closes", plainData + "\xC6\x03\xC0\x00\x00"s + std::string(1 << 20, 'x'), true},
    };
    for (const auto &[name, bytes, hostCloses] : cases) {
        RawConnection connection;
        connection.write(bytes);
        long peak = residentPeakKiB(connection.pid);
        if (hostCloses)
            shutdown(connection.fd, SHUT_RDWR);
        EXPECT_EQ(rawExitStatus(connection.pid), 0) << name;
        EXPECT_LT(peak, 16 * 1024) << name;
    }
}

TEST(Protocol, ValuesThatAreNotMessagesAreIgnoredAndAFloodOfMessagesIsServedInOrder)
{
    // "text", [0, 1, 2, 3, 4], a dictionary with a non-string key, a reply to nothing.
    std::string bytes = "\xA4text\x95\x00\x01\x02\x03\x04\x93\x02\xA1m\x91\x81\x01\xC3\x94\x01\x02\xC0\x80"s;
    for (int i = 0; i < 200000; ++i)
        bytes += message(MessageKind::Plain, 0, "break");
    RawConnection connection;
    ASSERT_TRUE(connection.write(bytes + message(MessageKind::Request, 77, "stop")));
    auto replies = messagesUntilClosed(connection.fd);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].msgid, 77u);
    EXPECT_EQ(rawExitStatus(connection.pid), 0);
}

TEST(Protocol, PeerOfAnotherUserIsRefusedAndChangesNothingForTheOwner)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to connect as another user";
    TempDir bundle;
    makeBundleCopy(bundle.path(), {{"gdb-x86_64", "report"}});
    ListeningService service(bundle.path());
    chmod(service.directory.path().c_str(), 0755);
    chmod(service.path.c_str(), 0777);
    auto owner = ServiceRun::connect(service.path);
    owner->setEnvironment({"OWNER=1"});
    pid_t stranger = fork();
    if (stranger == 0) {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{AF_UNIX, {}};
        service.path.copy(address.sun_path, sizeof address.sun_path - 1);
        std::string stop = message(MessageKind::Request, 3, "stop");
        char byte;
        if (setgid(65534) != 0 || setuid(65534) != 0 || connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            _exit(10);
        // End of file, or a reset because the request was never read: refused either way.
        _exit(send(fd, stop.data(), stop.size(), MSG_NOSIGNAL) >= 0 && read(fd, &byte, 1) > 0 ? 12 : 0);
    }
    int status = 0;
    waitpid(stranger, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "stranger status " << status;
    EXPECT_EQ(owner->launchGdb(), true);
    EXPECT_EQ(reportOf(*owner).environment, std::vector<std::string>{"OWNER=1"});
    EXPECT_EQ(owner->request("stop"), true);
    EXPECT_EQ(rawExitStatus(service.pid), 0);
}
