// Hostile bytes on the connection end it as a connection error, never with a crash, a hang
// or a large allocation; junk that decodes is ignored; peers of other users are refused.

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <msgpack.hpp>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/message_codec.h"
#include "support/raw_service.h"
#include "support/service_run.h"

namespace {

// Without the diagnostic log: a flood of bad input would flood standard error too.
RawStart quietStart()
{
    RawStart start;
    start.environment = {};
    return start;
}

std::string stopRequest(uint32_t msgid)
{
    Message message;
    message.kind = MessageKind::Request;
    message.msgid = msgid;
    message.dictionary.setString("command", "stop");
    return encodeMessage(message);
}

std::string plainMessageHeader()
{
    // [2, "message", [ {  ... with one entry, whose key "data" follows
    return std::string("\x93\x02\xA7message\x91\x81\xA4" "data", 17);
}

} // namespace

TEST(HostileInput, BadStreamsEndTheServiceWithZeroAndLittleMemory)
{
    std::vector<std::pair<std::string, std::string>> streams = {
        {"bin promising 3 GiB", plainMessageHeader() + std::string("\xC6\xC0\x00\x00\x00", 5)},
        {"str promising 2 GiB", plainMessageHeader() + std::string("\xDB\x80\x00\x00\x00", 5) + "abc"},
        {"array of billions", std::string("\xDD\xFF\xFF\xFF\xF0", 5)},
        {"map of billions", std::string("\x93\x02\xA7message\x91\xDF\xFF\xFF\xFF\xF0", 16)},
        {"nesting", std::string(4096, '\x91')},
        {"reserved byte", std::string("\x93\x02\xC1", 3)},
    };
    for (const auto &[name, bytes] : streams) {
        RawConnection connection(quietStart());
        connection.write(bytes);
        // No close from our side: the service must end the connection itself.
        long peak = residentPeakKiB(connection.pid);
        EXPECT_EQ(connection.exitStatus(), 0) << name;
        EXPECT_LT(peak, serviceMemoryBoundKiB(16 * 1024)) << name;
    }
}

TEST(HostileInput, TruncatedFramesAndUnfinishedPromisesEndWhenTheHostCloses)
{
    std::string stop = stopRequest(5);
    std::vector<std::pair<std::string, std::string>> streams = {
        {"truncated request", stop.substr(0, stop.size() - 2)},
        {"60 MiB promised, 1 MiB sent", plainMessageHeader() + std::string("\xC6\x03\xC0\x00\x00", 5) + std::string(1 << 20, 'x')},
    };
    for (const auto &[name, bytes] : streams) {
        RawConnection connection(quietStart());
        connection.write(bytes);
        EXPECT_FALSE(rawExitStatus(connection.pid, 200ms).has_value()) << name << ": ended before the host closed";
        long peak = residentPeakKiB(connection.pid);
        connection.closeConnection();
        EXPECT_EQ(connection.exitStatus(), 0) << name;
        EXPECT_LT(peak, serviceMemoryBoundKiB(16 * 1024)) << name;
    }
}

TEST(HostileInput, DecodableJunkIsIgnoredAndTheServiceKeepsServing)
{
    msgpack::sbuffer junk;
    msgpack::packer<msgpack::sbuffer> p(junk);
    p.pack(std::string("just a string"));
    p.pack_array(5); for (int i = 0; i < 5; ++i) p.pack(i);                          // unknown shape
    p.pack_array(3); p.pack(2); p.pack(std::string("m")); p.pack_array(1);           // non-string keys
    p.pack_map(2); p.pack(1); p.pack(std::string("stop")); p.pack(true); p.pack(false);
    p.pack_array(4); p.pack(0); p.pack(1); p.pack(std::string("m")); p.pack_array(1); // wrong value types
    p.pack_map(1); p.pack(std::string("command")); p.pack(42);
    p.pack_array(4); p.pack(1); p.pack(2); p.pack_nil(); p.pack_map(0);               // a reply to nothing
    RawConnection connection(quietStart());
    std::string bytes(junk.data(), junk.size());
    // A flood of small messages in one go, after the junk.
    Message breakMessage;
    breakMessage.dictionary.setString("command", "break");
    std::string oneBreak = encodeMessage(breakMessage);
    for (int i = 0; i < 200000; ++i)
        bytes += oneBreak;
    connection.write(bytes + stopRequest(77));
    auto reply = readMessage(connection.fd, 20s);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->msgid, 77u);
    EXPECT_EQ(reply->dictionary.getBool("result"), false);
    EXPECT_EQ(connection.exitStatus(), 0);
}

TEST(HostileInput, SetEnvPayloadsOfAnyShapeGiveTheirEntriesAndNothingMore)
{
    TempDir bundle;
    makeBundleCopy(bundle.path(), {{"gdb-x86_64", "report"}});
    // As large as a child's environment can be on Linux (exec refuses much more).
    std::string big(1 << 20, '\0');
    std::vector<std::string> bigEntries;
    size_t at = 0;
    for (int i = 0; at + 1000 < big.size(); ++i) {
        std::string entry = "V" + std::to_string(i) + "=" + std::string(900, 'v');
        memcpy(big.data() + at, entry.data(), entry.size());
        at += entry.size() + 1;
        bigEntries.push_back(entry);
    }
    struct Case {
        std::string name;
        std::string payload;
        std::vector<std::string> expected;
    };
    std::vector<Case> cases = {
        {"no terminator", std::string("A=1\0B=2", 7), {"A=1", "B=2"}},
        {"junk after the terminator", std::string("A=1\0\0B=2\0junk", 13), {"A=1"}},
        {"only junk after an empty first string", std::string("\0A=1\0", 5), {}},
        {"a megabyte", big, bigEntries},
    };
    for (const auto &c : cases) {
        ServiceRun::Options options;
        options.bundleDir = bundle.path();
        ServiceRun run(options);
        run.setEnvironmentPayload(std::vector<uint8_t>(c.payload.begin(), c.payload.end()));
        ASSERT_EQ(run.launchGdb(), true) << c.name;
        ASSERT_TRUE(run.waitForOutput("END-REPORT\n", 30s)) << c.name;
        auto report = parseStandinReport(run.output());
        ASSERT_TRUE(report.has_value()) << c.name;
        EXPECT_TRUE(report->environment == c.expected) << c.name << ": " << report->environment.size() << " entries";
        EXPECT_EQ(run.request("stop"), true) << c.name;
    }
}

TEST(HostileInput, SetEnvOfManyMegabytesIsTakenWhole)
{
    std::vector<uint8_t> payload;
    for (int i = 0; payload.size() < (48u << 20); ++i) {
        std::string entry = "HUGE" + std::to_string(i) + "=" + std::string(4000, 'h');
        payload.insert(payload.end(), entry.begin(), entry.end());
        payload.push_back(0);
    }
    payload.push_back(0);
    ServiceRun run;
    run.setEnvironmentPayload(payload);
    run.setEnvironmentPayload(payload);
    EXPECT_EQ(run.request("stop", 30s), false);
    EXPECT_EQ(run.exitStatus(), 0);
}

TEST(Descriptors, PeerOfAnotherUserIsRefusedAndChangesNothing)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to connect as another user";
    TempDir directory;
    chmod(directory.path().c_str(), 0755);
    std::string path = directory.path() + "/service.sock";
    int listener = listeningSocket(path);
    ASSERT_GE(listener, 0);
    chmod(path.c_str(), 0777);
    TempDir bundle;
    makeBundleCopy(bundle.path(), {{"gdb-x86_64", "report"}});
    RawStart start;
    start.descriptor3 = listener;
    start.bundleDir = bundle.path();
    pid_t service = startRawService(start);
    close(listener);

    DataCollector output;
    auto owner = ServiceClient::connectTo(path, output.callbacks());
    ASSERT_TRUE(owner);
    owner->sendData("set_env", environmentPayload({"OWNER=1"}));

    // Another user connects: its connection is closed at once, and it empties nothing.
    pid_t stranger = fork();
    if (stranger == 0) {
        signal(SIGPIPE, SIG_IGN); // the service may close before our request is written
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(10);
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address = unixAddress(path);
        if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            _exit(11);
        std::string stop = stopRequest(3);
        ssize_t ignored = write(fd, stop.data(), stop.size());
        (void)ignored;
        char byte;
        // End of file, or a reset because our request was never read: refused either way.
        _exit(read(fd, &byte, 1) <= 0 ? 0 : 12);
    }
    int strangerStatus = 0;
    waitpid(stranger, &strangerStatus, 0);
    EXPECT_TRUE(WIFEXITED(strangerStatus) && WEXITSTATUS(strangerStatus) == 0) << "stranger status " << strangerStatus;

    EXPECT_EQ(owner->requestResult("launch_gdb", 10s), true);
    ASSERT_TRUE(output.waitFor("END-REPORT\n", 10s));
    auto report = parseStandinReport(output.text());
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(report->environment, std::vector<std::string>{"OWNER=1"});
    EXPECT_EQ(owner->requestResult("stop", 10s), true);
    EXPECT_EQ(rawExitStatus(service, 10s), 0);
}
