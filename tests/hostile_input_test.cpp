// What a careless or hostile starter, host or toolchain can hand the service, and that it must
// survive with a clear outcome: no crash, spin, hang or forged line.

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "platform/property_list.h"
#include "support/service_run.h"

namespace {

// User plus system time of a process so far, in clock ticks.
long cpuTicks(pid_t pid)
{
    std::string text = readFile("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(text.substr(text.rfind(')') + 2)); // from field 3 on
    std::string skipped;
    for (int field = 3; field < 14; ++field)
        fields >> skipped;
    long user = 0;
    long system = 0;
    fields >> user >> system;
    return user + system;
}

std::string readAll(int fd)
{
    std::string text;
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(got));
    return text;
}

// A binary property list whose objects are given as (marker, references): each reference is a
// 3-byte object number, each offset 3 bytes; object 0 is the top.
std::string binaryList(const std::vector<std::pair<uint8_t, std::vector<uint32_t>>> &objects)
{
    std::string bytes = "bplist00";
    std::vector<size_t> offsets;
    const auto put = [&](uint64_t value, int size) {
        for (int shift = 8 * (size - 1); shift >= 0; shift -= 8)
            bytes.push_back(static_cast<char>(value >> shift));
    };
    for (const auto &[marker, references] : objects) {
        offsets.push_back(bytes.size());
        bytes.push_back(static_cast<char>(marker));
        for (uint32_t reference : references)
            put(reference, 3);
    }
    const size_t table = bytes.size();
    for (size_t offset : offsets)
        put(offset, 3);
    bytes.append(6, '\0');
    bytes.push_back(3);
    bytes.push_back(3);
    put(objects.size(), 8);
    put(0, 8);
    put(table, 8);
    return bytes;
}

} // namespace

TEST(HostileTrees, PropertyListsTooDeepTooWideOrTooLargeReadAsUnreadableAndRealOnesStillRead)
{
    TempDir directory;
    const std::string path = directory.path() + "/Info.plist";
    const std::string key = "CFBundleShortVersionString";
    const std::string real = "<plist><dict><key>" + key +
                             "</key><string>16.0</string><key>N</key><array><dict/>"
                             "<array><integer>1</integer></array></array></dict></plist>";
    std::string deepXml = "<plist><dict><key>" + key + "</key><string>16.0</string><key>x</key>";
    for (int level = 0; level < 60000; ++level)
        deepXml += "<array>";
    std::vector<std::pair<uint8_t, std::vector<uint32_t>>> chain, doubling;
    for (uint32_t object = 0; object + 1 < 100000; ++object)
        chain.push_back({0xA1, {object + 1}});
    chain.push_back({0xA0, {}});
    // Thirty levels of [B, B]: a file of a few hundred bytes whose tree has 2^30 nodes.
    for (uint32_t object = 0; object + 1 < 31; ++object)
        doubling.push_back({0xA2, {object + 1, object + 1}});
    doubling.push_back({0xA0, {}});
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"deep XML", deepXml},
        {"deep binary", binaryList(chain)},
        {"shared binary", binaryList(doubling)},
        {"over a MiB", real + std::string((1 << 20) + 1, ' ')},
    };
    for (const auto &[name, contents] : cases) {
        writeFile(path, contents);
        EXPECT_EQ(readPropertyListString(path, key), std::nullopt) << name;
    }
    writeFile(path, real);
    EXPECT_EQ(readPropertyListString(path, key), "16.0");
}

TEST(HostileStarts, NonBlockingListeningSocketIsWaitedOnNotSpunOn)
{
    TempDir bundle;
    makeBundleCopy(bundle.path(), {{"gdb-x86_64", "report"}});
    ListeningService service(bundle.path(), {}, {}, true);
    auto host = ServiceRun::connect(service.path);
    ASSERT_NE(host, nullptr);
    host->setEnvironment({"A=1"});
    ASSERT_EQ(host->launchGdb(), true);
    const long before = cpuTicks(service.pid);
    usleep(500 * 1000);
    // A service spinning in accept uses the whole half second (about 50 ticks).
    EXPECT_LT(cpuTicks(service.pid) - before, 10);
    auto second = ServiceRun::connect(service.path);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->request("stop"), true);
    EXPECT_EQ(rawExitStatus(service.pid), 0);
}

TEST(HostileStarts, StandardErrorIsNeverTakenForTheActivationSocket)
{
    // Activation variables set but descriptor 3 closed, and standard error a Unix stream
    // socket (as a journal stream is): the service must say so and exit 2.
    int stderrPair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, stderrPair), 0);
    pid_t pid = startRawService(-1, LD_BUNDLE_DIR, {{stderrPair[1], 2}});
    close(stderrPair[1]);
    EXPECT_EQ(rawExitStatus(pid), 2);
    EXPECT_NE(readAll(stderrPair[0]).find("no activation socket"), std::string::npos);
    close(stderrPair[0]);
}

TEST(HostileStarts, HostGoneDuringAToolRunEndsTheRunKillsTheToolAndLaunchesNothing)
{
    TempDir root;
    TempDir bundle;
    makeBundleCopy(bundle.path());
    const std::string launched = root.path() + "/launched";
    writeFile(bundle.path() + "/lldb-helper", "#!/bin/sh\ntouch '" + launched + "'\n", 0755);
    const std::string tool = root.path() + "/usr/bin/xcode-select";
    std::filesystem::create_directories(root.path() + "/usr/bin");
    writeFile(tool, "#!/bin/sh\necho $$ > '" + tool + ".pid'\nexec sleep 600\n", 0755);

    ServiceRun run(bundle.path(), {"TORVEX_DEBUGGER_ROOT=" + root.path()});
    ASSERT_TRUE(run.command("launch_lldb"));
    ASSERT_TRUE(waitUntil([&] { return readFile(tool + ".pid").find('\n') != std::string::npos; }));
    run.client().disconnect();
    EXPECT_EQ(run.exitStatus(), 0);
    pid_t toolPid = std::stoi(readFile(tool + ".pid"));
    EXPECT_TRUE(kill(toolPid, 0) != 0 && errno == ESRCH) << "the tool still runs";
    EXPECT_FALSE(std::filesystem::exists(launched));
}

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true; // their shadow memory needs more address space than any limit here
#else
constexpr bool sanitized = false;
#endif

// A bundle whose GDB never reads what it is sent.
void bundleWithDeafGdb(const std::string &directory)
{
    makeBundleCopy(directory);
    writeFile(directory + "/gdb-x86_64", "#!/bin/sh\nexec sleep 600\n", 0755);
}

std::array<int, 2> consolePipe()
{
    std::array<int, 2> fds{-1, -1};
    pipe2(fds.data(), O_CLOEXEC);
    return fds;
}

// A service whose console lines are kept: its standard error is a pipe, read to its end.
struct WatchedRun {
    explicit WatchedRun(const std::string &bundleDir) : console(consolePipe()), run(bundleDir, {}, console[1])
    {
        close(console[1]); // the service's copy is the only writer left
    }
    ~WatchedRun() { close(console[0]); }
    std::string consoleLines() { return readAll(console[0]); }

    std::array<int, 2> console;
    ServiceRun run;
};

} // namespace

TEST(HostileLimits, ConnectionsPastSixtyFourAreClosedAtOnceAndTheServedOnesGoOn)
{
    TempDir bundle;
    makeBundleCopy(bundle.path(), {{"gdb-x86_64", "report"}});
    ListeningService service(bundle.path());
    auto first = ServiceRun::connect(service.path);
    ASSERT_NE(first, nullptr);
    std::vector<int> others;
    for (int i = 0; i < 66; ++i) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{AF_UNIX, {}};
        service.path.copy(address.sun_path, sizeof address.sun_path - 1);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        others.push_back(fd);
    }
    // The first and 63 others are served; the last three are closed unread.
    for (size_t i = 63; i < others.size(); ++i) {
        pollfd readable{others[i], POLLIN, 0};
        ASSERT_EQ(poll(&readable, 1, 20000), 1) << "connection " << i + 2;
        char byte;
        EXPECT_EQ(read(others[i], &byte, 1), 0) << "connection " << i + 2;
    }
    pollfd served{others[62], POLLIN, 0};
    EXPECT_EQ(poll(&served, 1, 0), 0);
    EXPECT_EQ(first->launchGdb(), true);
    EXPECT_EQ(first->request("stop"), true);
    for (int fd : others)
        close(fd);
    EXPECT_EQ(rawExitStatus(service.pid), 0);
}

// A host that outruns its back end waits, as a writer on a full pipe does: nothing it sent is
// lost, and another connection's break and the relay go on meanwhile.
TEST(HostileLimits, SendsPastTheQueueBoundWaitForTheDebuggerLoseNothingAndBreakFromAnotherConnectionGoesOn)
{
    TempDir bundle;
    makeBundleCopy(bundle.path(), {{"gdb-x86_64", "scripted"}});
    ListeningService service(bundle.path());
    auto host = ServiceRun::connect(service.path);
    auto other = ServiceRun::connect(service.path);
    ASSERT_TRUE(host && other);
    ASSERT_EQ(host->launchGdb(), true);
    const size_t total = size_t{96} << 20;
    host->send("absorb " + std::to_string(total) + " 3000 0\n");
    ASSERT_TRUE(host->waitForOutput("absorbing\n"));
    std::thread sender([&] { sendPattern(*host, total); });
    other->command("break");
    EXPECT_TRUE(host->waitForOutput("interrupted\n"));
    sender.join();
    EXPECT_TRUE(host->waitForOutput("absorbed " + std::to_string(total) + " mismatches 0\n")) << host->output();
    EXPECT_EQ(other->request("stop"), true);
    EXPECT_EQ(rawExitStatus(service.pid), 0);
}

TEST(HostileLimits, SendsPastTheAddressSpaceAreDroppedOrTheirConnectionClosedNeverAnAbort)
{
    if (sanitized)
        GTEST_SKIP() << "under a sanitizer the address space cannot be limited";
    TempDir bundle;
    bundleWithDeafGdb(bundle.path());
    WatchedRun watched(bundle.path());
    ServiceRun &run = watched.run;
    ASSERT_EQ(run.launchGdb(), true);
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(statusKiB(run.pid(), "VmSize") + 48 * 1024) * 1024;
    ASSERT_EQ(prlimit(run.pid(), RLIMIT_AS, &limit, nullptr), 0);
    const std::string chunk(16 << 20, 'x');
    for (int i = 0; i < 4; ++i)
        run.send(chunk);
    run.request("stop");
    run.client().disconnect();
    EXPECT_EQ(run.exitStatus(), 0);
    const std::string lines = watched.consoleLines();
    EXPECT_TRUE(lines.find("dropped: no memory") != std::string::npos ||
                lines.find("connection closed") != std::string::npos)
        << lines;
}

TEST(HostileLimits, StartUpWithoutRoomForItsThreadsSaysSoAndExitsTwo)
{
    if (sanitized)
        GTEST_SKIP() << "under a sanitizer the address space cannot be limited";
    TempDir bundle;
    // Enough to load and start, not enough for the run's threads.
    writeFile(bundle.path() + "/local-debugger",
              "#!/bin/sh\nexec prlimit --as=16777216 -- '" LD_BUNDLE_DIR "/local-debugger'\n", 0755);
    WatchedRun watched(bundle.path());
    EXPECT_EQ(watched.run.exitStatus(), 2);
    const std::string lines = watched.consoleLines();
    EXPECT_NE(lines.find("\nlocal-debugger: cannot start: "), std::string::npos) << lines;
}
