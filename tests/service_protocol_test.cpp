// The service on its connection: which commands reply, how bad input and the end of the
// connection end a run, and that peers of other users are refused.

#include <gtest/gtest.h>

#include <csignal>
#include <optional>
#include <sstream>
#include <poll.h>
#include <sys/ioctl.h>
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

// Writes all of bytes on a blocking socket; false once the service stopped taking them.
bool write(int fd, const std::string &bytes)
{
    return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
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

bool sigintPendingOrGone(pid_t pid)
{
    std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
    bool gone = true;
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("State:"))
            gone = line.find("Z (zombie)") != std::string::npos;
        if ((line.starts_with("SigPnd:") || line.starts_with("ShdPnd:")) &&
            (std::stoull(line.substr(7), nullptr, 16) >> (SIGINT - 1) & 1))
            return true;
    }
    return gone;
}

} // namespace

TEST(Protocol,
     OnlyTheStopRequestIsAnsweredBeforeALaunchCommandsShapedAsRepliesAreIgnoredAndAPlainStopEndsTheRunSilently)
{
    // "text", [0, 1, 2, 3, 4], a dictionary with a non-string key, a reply to nothing: all ignored.
    std::string ignored = "\xA4text\x95\x00\x01\x02\x03\x04\x93\x02\xA1m\x91\x81\x01\xC3\x94\x01\x02\xC0\x80"s;
    uint32_t msgid = 0;
    for (const std::string &name : std::vector<std::string>{"log", "send", "break", "set_env", "Stop", "stop\0x"s, ""})
        ignored += message(MessageKind::Request, ++msgid, name);
    // A reply from a host answers nothing, whatever it holds.
    for (const char *name : {"launch_gdb", "stop"})
        ignored += message(MessageKind::Reply, ++msgid, name);
    for (bool asRequest : {true, false}) {
        auto [pid, fd] = startRawConnection();
        // A flood of messages in one write, then the stop one byte at a time.
        std::string bytes = ignored;
        for (int i = 0; i < 100000; ++i)
            bytes += message(MessageKind::Plain, 0, "break");
        ASSERT_TRUE(write(fd, bytes));
        for (char byte : message(asRequest ? MessageKind::Request : MessageKind::Plain, 4294967295u, "stop"))
            ASSERT_TRUE(write(fd, std::string(1, byte)));
        auto replies = messagesUntilClosed(fd);
        ASSERT_EQ(replies.size(), asRequest ? 1u : 0u);
        if (asRequest) {
            EXPECT_EQ(replies[0].kind, MessageKind::Reply);
            EXPECT_EQ(replies[0].msgid, 4294967295u);
            EXPECT_EQ(replies[0].dictionary.getBool("result"), false);
        }
        EXPECT_EQ(rawExitStatus(pid), 0);
        close(fd);
    }
}

// With the host's socket full of data it has not read yet, a reply waits behind that data
// without holding up the connection's next command.
TEST(Protocol, AReplyTheHostIsNotReadingYetHoldsUpNoLaterCommandAndComesAfterTheDataBeforeIt)
{
    TempDir bundle;
    makeBundleCopy(bundle.path(), {{"gdb-x86_64", "scripted"}});
    int sockets[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets), 0);
    const pid_t pid = startRawService(sockets[1], bundle.path());
    close(sockets[1]);
    const int fd = sockets[0];
    Message flood{MessageKind::Plain, 0, {}};
    flood.dictionary.setString("command", "send");
    const std::string line = "flood 999999999\n";
    flood.dictionary.setData("data", MessageBytes(line.begin(), line.end()));
    ASSERT_TRUE(write(fd, message(MessageKind::Request, 1, "launch_gdb") + encodeMessage(flood)));
    ASSERT_TRUE(waitUntil([&] { return childrenOf(pid).size() == 1; }));
    const pid_t child = childrenOf(pid)[0];
    // Unread, the socket fills; once it is full, what waits in it no longer grows.
    int unread = -1;
    int unchangedChecks = 0;
    ASSERT_TRUE(waitUntil([&] {
        int now = 0;
        ioctl(fd, FIONREAD, &now);
        unchangedChecks = now == unread ? unchangedChecks + 1 : 0;
        unread = now;
        return unchangedChecks == 40;
    }));
    ASSERT_TRUE(write(fd, message(MessageKind::Request, 2, "launch_gdb") + message(MessageKind::Plain, 0, "break")));
    // Writing into the full pipe, the back end may take the signal only once the host reads:
    // pending is delivered.
    EXPECT_TRUE(waitUntil([&] { return sigintPendingOrGone(child); })) << "break was held up behind the reply";

    const std::vector<Message> received = messagesUntilClosed(fd);
    size_t bytesBefore = 0;
    std::optional<size_t> replyAt;
    for (size_t i = 0; i < received.size() && !replyAt; ++i) {
        if (received[i].kind == MessageKind::Reply && received[i].msgid == 2)
            replyAt = i;
        else
            bytesBefore += encodeMessage(received[i]).size();
    }
    ASSERT_TRUE(replyAt);
    EXPECT_EQ(received[*replyAt].dictionary.getBool("result"), false);
    EXPECT_GE(bytesBefore, static_cast<size_t>(unread)) << "the reply overtook data sent before it";
    EXPECT_EQ(rawExitStatus(pid), 0);
    close(fd);
}

// A sanitizer's runtime alone takes more than the bound of a plain build.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long memoryBoundKiB = 8 * 16 * 1024;
#else
constexpr long memoryBoundKiB = 16 * 1024;
#endif

TEST(Protocol, BadInputOrTheHostClosingEndsTheRunWithZeroAndLittleMemory)
{
    const std::string plainData = "\x93\x02\xA7message\x91\x81\xA4"
                                  "data";
    const std::vector<std::tuple<const char *, std::string, bool>> cases = {
        {"bin promising 3 GiB", plainData + "\xC6\xC0\x00\x00\x00"s, false},
        {"nesting", std::string(4096, '\x91'), false},
        {"reserved byte", "\x93\x02\xC1", false},
        {"60 MiB promised, 1 MiB sent, then the host closes",
         plainData + "\xC6\x03\xC0\x00\x00"s + std::string(1 << 20, 'x'), true},
    };
    for (const auto &[name, bytes, hostCloses] : cases) {
        auto [pid, fd] = startRawConnection();
        write(fd, bytes);
        long peak = statusKiB(pid, "VmHWM");
        if (hostCloses)
            shutdown(fd, SHUT_RDWR);
        EXPECT_EQ(rawExitStatus(pid), 0) << name;
        close(fd);
        EXPECT_LT(peak, memoryBoundKiB) << name;
    }
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
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(10);
        if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            _exit(11);
        // End of file, or a reset because the request was never read: refused either way.
        _exit(send(fd, stop.data(), stop.size(), MSG_NOSIGNAL) >= 0 && read(fd, &byte, 1) > 0 ? 12 : 0);
    }
    int status = 0;
    waitpid(stranger, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "stranger status " << status;
    EXPECT_EQ(owner->launchGdb(), true);
    StandinReport report = reportOf(*owner);
    EXPECT_EQ(report.environment, std::vector<std::string>{"OWNER=1"});
    // Neither the listening socket nor a connection reaches the back end.
    for (const auto &[fd, target] : report.descriptors)
        EXPECT_FALSE(target.starts_with("socket:")) << "descriptor " << fd;
    EXPECT_EQ(owner->request("stop"), true);
    EXPECT_EQ(rawExitStatus(service.pid), 0);
}
