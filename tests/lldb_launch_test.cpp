// launch_lldb through real service processes: stand-in toolchains under a temporary system root,
// stand-in back ends in a copy of the bundle. What each child is given, which descriptors each
// side keeps, which lines are written in which order, and how refused or failed launches leave
// the service.

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <unistd.h>

#include "support/service_run.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

const std::string helperLaunching = "Launching LLDB (C++)\u2026";
const std::string pythonLaunching = "Launching LLDB (Python)\u2026";

// One open descriptor of a process as /proc shows it.
struct Descriptor {
    std::string target;
    int access = -1; // O_RDONLY, O_WRONLY or O_RDWR
};

std::map<int, Descriptor> openDescriptors(pid_t pid)
{
    std::map<int, Descriptor> descriptors;
    std::string base = "/proc/" + std::to_string(pid);
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(base + "/fd", error)) {
        std::string name = entry.path().filename();
        std::error_code linkError;
        fs::path target = fs::read_symlink(entry.path(), linkError);
        if (linkError)
            continue; // closed while we looked
        Descriptor descriptor;
        descriptor.target = target.string();
        std::string info = readFile(base + "/fdinfo/" + name);
        size_t flags = info.find("flags:");
        if (flags != std::string::npos)
            descriptor.access = static_cast<int>(strtol(info.c_str() + flags + 6, nullptr, 8) & O_ACCMODE);
        descriptors[std::stoi(name)] = descriptor;
    }
    return descriptors;
}

bool waitUntil(const std::function<bool()> &condition, std::chrono::milliseconds timeout = 10s)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// Upper-case hex only: a dump in lower case, or with an odd digit count, is no dump.
std::optional<std::string> decodeHex(std::string_view hex)
{
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    if (hex.size() % 2 != 0)
        return std::nullopt;
    std::string bytes;
    for (size_t i = 0; i < hex.size(); i += 2) {
        int high = digit(hex[i]);
        int low = digit(hex[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes.push_back(static_cast<char>(high * 16 + low));
    }
    return bytes;
}

// The bytes the "data received" entries describe, joined in order; a malformed entry shows up
// as a marker that can never equal what the host received.
std::string relayedPerDiagnostics(const ServiceRun &run)
{
    static const std::string prefix = "data received: ";
    std::string joined;
    for (const auto &entry : run.diagnostics()) {
        if (!entry.starts_with(prefix))
            continue;
        auto bytes = decodeHex(std::string_view(entry).substr(prefix.size()));
        if (!bytes || bytes->empty())
            return "<malformed entry: " + entry + ">";
        joined += *bytes;
    }
    return joined;
}

struct ConsoleLine {
    pid_t pid = -1;
    long tid = -1;
    std::string message;
};

std::optional<ConsoleLine> parseConsoleLine(const std::string &line)
{
    static const std::regex form(
        R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} local-debugger\[(\d+):(\d+)\] (.*)$)");
    std::smatch match;
    if (!std::regex_match(line, match, form))
        return std::nullopt;
    return ConsoleLine{std::stoi(match[1]), std::stol(match[2]), match[3]};
}

// Everything on the service's standard error in order, as "log: …" and "console: …", without
// the start-up line and without the per-chunk and per-send dumps (their order against the
// child's lines is not fixed).
Lines linesInOrder(const ServiceRun &run)
{
    static const std::string prefix = "[TORVEX_DEBUGGER(XPC)] ";
    Lines lines;
    std::istringstream text(run.stderrText());
    for (std::string line; std::getline(text, line);) {
        if (line.starts_with(prefix)) {
            std::string message = line.substr(prefix.size());
            if (message.starts_with("data received: ") || message.starts_with("send command received: "))
                continue;
            lines.push_back("log: " + message);
        } else if (auto console = parseConsoleLine(line)) {
            if (console->message.starts_with("launching local debugger (pid "))
                continue;
            lines.push_back("console: " + console->message);
        } else {
            lines.push_back("other: " + line);
        }
    }
    return lines;
}

std::string upperHex(const std::string &bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    for (unsigned char byte : bytes) {
        hex.push_back(digits[byte >> 4]);
        hex.push_back(digits[byte & 0x0F]);
    }
    return hex;
}

// Standard error is read on another thread of ours: once the diagnostic of a send made now has
// arrived, so has everything the service wrote before handling it. Needs logging on.
void settle(ServiceRun &run)
{
    static int sequence = 0;
    std::string marker = "settle-" + std::to_string(++sequence) + "\n";
    run.send(marker);
    ASSERT_TRUE(run.waitForStderr("send command received: " + upperHex(marker) + "\n"));
}

std::vector<ConsoleLine> consoleLinesSaying(const ServiceRun &run, const std::string &message)
{
    std::vector<ConsoleLine> found;
    std::istringstream text(run.stderrText());
    for (std::string line; std::getline(text, line);) {
        auto console = parseConsoleLine(line);
        if (console && console->message == message)
            found.push_back(*console);
    }
    return found;
}

size_t countOf(const Lines &lines, const std::string &line)
{
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

// lines with the first mark in each replaced by value.
Lines withMarkReplaced(Lines lines, const std::string &mark, const std::string &value)
{
    for (std::string &line : lines) {
        if (size_t at = line.find(mark); at != std::string::npos)
            line.replace(at, mark.size(), value);
    }
    return lines;
}

// The run still relays both ways, and everything written before now is on standard error.
void expectStillServed(ServiceRun &run)
{
    run.send("still-served\n");
    ASSERT_TRUE(run.waitForOutput("still-served\n"));
    settle(run);
}

// A directory path of exactly length bytes below base, made of components short enough for
// any file system.
std::string directoryOfLength(const std::string &base, size_t length)
{
    std::string path = base;
    while (path.size() < length) {
        size_t remaining = length - path.size();
        // Each component is "/" and at least one byte; never leave a lone "/" for the last one.
        size_t component = remaining > 201 ? std::min<size_t>(200, remaining - 2) : remaining - 1;
        path += "/" + std::string(component, 'd');
    }
    fs::create_directories(path);
    return path;
}

class LldbLaunch : public ::testing::Test {
protected:
    std::string at(const std::string &fixedPath) const { return root_.path() + fixedPath; }
    std::string contents() const { return at("/Toolchains/Current.app/Contents"); }
    std::string developer() const { return contents() + "/Developer"; }
    std::string frameworks() const { return contents() + "/SharedFrameworks"; }
    std::string lldb() const { return developer() + "/usr/bin/lldb"; }
    std::string pythonDirectory() const { return contents() + "/SharedFrameworks/LLDB.framework/Resources/Python"; }
    std::string python() const { return at("/usr/bin/python"); }
    std::string bundle() const { return bundleHome_.path() + "/bundle"; }
    std::string script() const { return bundle() + "/lldb_server.py"; }

    // A shell tool that notes each run in <root>/<counter>.count before doing body.
    void makeTool(const std::string &path, const std::string &counter, const std::string &body)
    {
        fs::create_directories(fs::path(path).parent_path());
        writeFile(path, "#!/bin/sh\necho run >> '" + at("/" + counter + ".count") + "'\n" + body + "\n", 0755);
    }

    int runsOf(const std::string &counter) const
    {
        std::string text = readFile(at("/" + counter + ".count"));
        return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
    }

    void writeVersion(const std::string &directory, const std::string &version)
    {
        fs::create_directories(directory);
        writeFile(directory + "/Info.plist",
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                  "<key>CFBundleShortVersionString</key><string>" + version + "</string></dict></plist>\n");
    }

    // xcode-select names the developer directory; its parent holds the version.
    void helperToolchain(const std::string &version = "16.0")
    {
        fs::create_directories(developer());
        makeTool(at("/usr/bin/xcode-select"), "xcode-select",
                 "[ \"$*\" = \"-p\" ] || exit 1\nprintf '%s\\n' '" + developer() + "'");
        writeVersion(contents(), version);
    }

    // An older toolchain: xcrun finds LLDB, LLDB names its Python directory, and the rooted
    // python is the reporting stand-in.
    void pythonToolchain(const std::string &version = "9.4")
    {
        helperToolchain(version);
        makeTool(at("/usr/bin/xcrun"), "xcrun",
                 "[ \"$*\" = \"-find lldb\" ] || exit 1\nprintf '%s\\n' '" + lldb() + "'");
        makeTool(lldb(), "lldb", "[ \"$*\" = \"-P\" ] || exit 1\nprintf '%s\\n' '" + pythonDirectory() + "'");
        fs::create_directories(pythonDirectory());
        installPython();
    }

    void installPython()
    {
        fs::create_directories(fs::path(python()).parent_path());
        fs::copy_file(fs::path(LD_STANDIN_DIR) / "report", python(), fs::copy_options::overwrite_existing);
    }

    void makeBundle(const std::string &helperStandin = "report")
    {
        makeBundleCopy(bundle(), {{"lldb-helper", helperStandin}});
        writeFile(script(), "# stand-in script; the rooted python that runs it reports instead\n");
    }

    std::unique_ptr<ServiceRun> start(const std::string &bundleDirectory = "")
    {
        ServiceRun::Options options;
        options.bundleDir = bundleDirectory.empty() ? bundle() : bundleDirectory;
        // The service's own values of the two variables must reach no child.
        options.extraEnvironment = {"TORVEX_DEBUGGER_ROOT=" + root_.path(), "DYLD_FRAMEWORK_PATH=/service/own",
                                    "PYTHONPATH=/service/own"};
        return std::make_unique<ServiceRun>(options);
    }

    // Logging on, and known to be on, so everything after it is observable.
    void startLogging(ServiceRun &run)
    {
        run.command("log");
        ASSERT_TRUE(run.waitForStderr("message logger started"));
    }

    StandinReport launched(ServiceRun &run)
    {
        EXPECT_EQ(run.launchLldb(), true);
        EXPECT_TRUE(run.waitForOutput("END-REPORT\n"));
        auto report = parseStandinReport(run.output());
        EXPECT_TRUE(report.has_value());
        return report.value_or(StandinReport{});
    }

    // Five pipes: the child holds the ends it works with (0, 1, 2 also under their own numbers),
    // the service exactly the opposite ends, and neither holds anything else of them.
    void expectLldbDescriptorLayout(pid_t servicePid, const StandinReport &report)
    {
        ASSERT_GE(report.argv.size(), 3u);
        static const std::regex decimal("0|[1-9][0-9]*");
        const std::string &commandArgument = report.argv[report.argv.size() - 2];
        const std::string &eventArgument = report.argv.back();
        ASSERT_TRUE(std::regex_match(commandArgument, decimal)) << commandArgument;
        ASSERT_TRUE(std::regex_match(eventArgument, decimal)) << eventArgument;
        int commandFd = std::stoi(commandArgument);
        int eventFd = std::stoi(eventArgument);
        for (int fd : {commandFd, eventFd})
            EXPECT_GT(fd, 2);

        for (const auto &[fd, target] : report.descriptors)
            EXPECT_TRUE(target.starts_with("pipe:")) << "child descriptor " << fd << " is " << target;
        EXPECT_EQ(report.descriptors.size(), 8u);
        for (int fd : {0, 1, 2, commandFd, eventFd})
            ASSERT_TRUE(report.descriptors.contains(fd)) << "child lacks descriptor " << fd;

        struct End {
            const char *what;
            int childFd;
            int childAccess;
            size_t childCopies;
        };
        const std::vector<End> ends = {{"standard input", 0, O_RDONLY, 2},
                                       {"standard output", 1, O_WRONLY, 2},
                                       {"standard error", 2, O_WRONLY, 2},
                                       {"command", commandFd, O_RDONLY, 1},
                                       {"event", eventFd, O_WRONLY, 1}};
        std::set<std::string> pipes;
        for (const auto &end : ends)
            pipes.insert(report.descriptors.at(end.childFd));
        ASSERT_EQ(pipes.size(), 5u) << "the child's five descriptors do not name five pipes";

        auto child = openDescriptors(report.pid);
        auto service = openDescriptors(servicePid);
        for (const auto &end : ends) {
            const std::string &pipe = report.descriptors.at(end.childFd);
            size_t copies = 0;
            for (const auto &[fd, target] : report.descriptors) {
                if (target != pipe)
                    continue;
                ++copies;
                EXPECT_EQ(child[fd].access, end.childAccess) << end.what << " pipe: child descriptor " << fd;
            }
            EXPECT_EQ(copies, end.childCopies) << end.what << " pipe in the child";

            std::vector<int> held;
            for (const auto &[fd, descriptor] : service) {
                if (descriptor.target == pipe)
                    held.push_back(fd);
            }
            ASSERT_EQ(held.size(), 1u) << end.what << " pipe: the service should hold exactly its own end";
            EXPECT_EQ(service[held[0]].access, end.childAccess == O_RDONLY ? O_WRONLY : O_RDONLY)
                << end.what << " pipe: the service holds the child's end";
        }
    }

    TempDir root_;
    TempDir bundleHome_;
};

// ---- The C++ back end ----

TEST_F(LldbLaunch, HelperGetsItsPathAndDecimalDescriptorsAndTheBlockWithFrameworksJoined)
{
    struct Case {
        std::string version;
        std::optional<Lines> block; // none: no set_env at all
        Lines expected;             // "<fw>" stands for the frameworks directory
    };
    const std::vector<Case> cases = {
        {"16.0", Lines{"B=2", "A=1", "B=3", "NOEQUALS", "EMPTY="},
         {"B=2", "A=1", "B=3", "NOEQUALS", "EMPTY=", "DYLD_FRAMEWORK_PATH=<fw>"}},
        {"10", Lines{"A=1", "DYLD_FRAMEWORK_PATH=/opt/fw", "Z=9"}, {"A=1", "DYLD_FRAMEWORK_PATH=/opt/fw:<fw>", "Z=9"}},
        {"16.0", Lines{"DYLD_FRAMEWORK_PATH=", "X=1"}, {"DYLD_FRAMEWORK_PATH=:<fw>", "X=1"}},
        {"10",
         Lines{"DYLD_FRAMEWORK_PATHX=1", "DYLD_FRAMEWORK_PATH", "DYLD_FRAMEWORK_PATH=/a", "DYLD_FRAMEWORK_PATH=/b"},
         {"DYLD_FRAMEWORK_PATHX=1", "DYLD_FRAMEWORK_PATH", "DYLD_FRAMEWORK_PATH=/a:<fw>", "DYLD_FRAMEWORK_PATH=/b"}},
        {"16.0", Lines{}, {"DYLD_FRAMEWORK_PATH=<fw>"}},
        {"10", std::nullopt, {"DYLD_FRAMEWORK_PATH=<fw>"}},
    };
    makeBundle();
    for (const auto &c : cases) {
        SCOPED_TRACE("version " + c.version + ", block of " +
                     (c.block ? std::to_string(c.block->size()) + " entries" : std::string("no set_env")));
        helperToolchain(c.version);
        auto run = start();
        if (c.block)
            run->setEnvironment(*c.block);
        auto report = launched(*run);
        ASSERT_EQ(report.argv.size(), 3u);
        EXPECT_EQ(report.argv[0], bundle() + "/lldb-helper");
        EXPECT_EQ(report.argv[1], std::to_string(report.inputFd));
        EXPECT_EQ(report.argv[2], std::to_string(report.outputFd));
        EXPECT_EQ(report.environment, withMarkReplaced(c.expected, "<fw>", frameworks()));
        EXPECT_EQ(run->request("stop"), true);
        EXPECT_EQ(run->exitStatus(), 0);
    }
}

TEST_F(LldbLaunch, HelperAndServiceEachHoldOnlyTheirOwnPipeEndsAndTheChildStartsWithCleanSignals)
{
    helperToolchain();
    makeBundle();
    auto run = start();
    run->setEnvironment({"A=1"});
    auto report = launched(*run);
    expectLldbDescriptorLayout(run->pid(), report);
    EXPECT_EQ(report.blocked, "");
    EXPECT_EQ(report.ignored, "");
    EXPECT_EQ(run->request("stop"), true);
}

TEST_F(LldbLaunch, SendReachesTheCommandDescriptorBreakInterruptsAndStopEndsBoth)
{
    helperToolchain();
    makeBundle();
    auto run = start();
    auto report = launched(*run);
    std::string bytes = std::string("first\0\xff\x01 line\n", 14) + std::string(100000, 'q') + "last-marker\n";
    run->send(bytes);
    ASSERT_TRUE(run->waitForOutput("last-marker\n"));
    std::string output = run->output();
    EXPECT_EQ(output.substr(output.find("END-REPORT\n") + 11), bytes);
    run->command("break");
    EXPECT_TRUE(run->waitForOutput("<SIGINT>\n"));
    EXPECT_FALSE(processGone(report.pid, 0ms)) << "break ended the back end";
    EXPECT_EQ(run->request("stop"), true);
    EXPECT_EQ(run->exitStatus(), 0);
    EXPECT_TRUE(processGone(report.pid));

    // Logging was never switched on: console lines only, from the service and from the child.
    ASSERT_TRUE(run->waitForStderr("LLDB helper thread alive"));
    EXPECT_EQ(consoleLinesSaying(*run, helperLaunching).size(), 1u);
    EXPECT_EQ(run->diagnostics(), Lines{});
}

TEST_F(LldbLaunch, HelperLaunchWritesItsLinesInOrderAndTheChildSignsWithItsOwnPid)
{
    helperToolchain();
    makeBundle();
    auto run = start();
    startLogging(*run);
    auto report = launched(*run);
    ASSERT_TRUE(run->waitForStderr("LLDB helper thread alive"));
    run->send("echo-marker\n");
    ASSERT_TRUE(run->waitForOutput("echo-marker\n"));
    settle(*run);

    EXPECT_EQ(linesInOrder(*run), (Lines{"log: message logger started", "log: launch_lldb command received",
                                         "console: " + helperLaunching, "log: LLDB helper thread launched",
                                         "console: LLDB helper thread alive"}));
    auto launching = consoleLinesSaying(*run, helperLaunching);
    ASSERT_EQ(launching.size(), 1u);
    EXPECT_EQ(launching[0].pid, run->pid());
    auto alive = consoleLinesSaying(*run, "LLDB helper thread alive");
    ASSERT_EQ(alive.size(), 1u);
    EXPECT_EQ(alive[0].pid, report.pid);
    EXPECT_EQ(alive[0].tid, report.pid);

    // Every relayed chunk is dumped before it leaves, so the dumps add up to what arrived.
    EXPECT_TRUE(waitUntil([&] { return relayedPerDiagnostics(*run) == run->output(); }))
        << relayedPerDiagnostics(*run).size() << " bytes dumped, " << run->output().size() << " received";
    EXPECT_EQ(run->request("stop"), true);
}

TEST_F(LldbLaunch, DefaultDeveloperDirectoryIsUsedAndItsProbeDiagnosticsRepeatForARefusedLaunch)
{
    // No xcode-select: every probe says so and falls back to the rooted default directory.
    fs::create_directories(at("/Applications/Xcode.app/Contents/Developer"));
    makeBundle();
    auto run = start();
    startLogging(*run);
    auto report = launched(*run);
    EXPECT_EQ(report.environment,
              Lines{"DYLD_FRAMEWORK_PATH=" + at("/Applications/Xcode.app/Contents/SharedFrameworks")});
    ASSERT_TRUE(run->waitForStderr("LLDB helper thread alive"));
    EXPECT_EQ(run->launchLldb(), false);
    expectStillServed(*run);

    const std::string missing = "log: Unable to find the xcode-select tool.";
    EXPECT_EQ(linesInOrder(*run),
              (Lines{"log: message logger started", "log: launch_lldb command received", missing,
                     "console: " + helperLaunching, missing, "log: LLDB helper thread launched",
                     "console: LLDB helper thread alive", "log: launch_lldb command received", missing}));
    EXPECT_EQ(run->request("stop"), true);
    EXPECT_EQ(run->exitStatus(), 0);
}

// ---- Launch commands while a debugger runs ----

TEST_F(LldbLaunch, HelperChoiceProbesTwicePerLaunchAndOnceMoreForARefusedOneThatLeavesTheRunServed)
{
    helperToolchain();
    makeBundle();
    auto run = start();
    startLogging(*run);
    auto report = launched(*run);
    EXPECT_EQ(runsOf("xcode-select"), 2);

    EXPECT_EQ(run->launchLldb(), false);
    EXPECT_EQ(runsOf("xcode-select"), 3);
    EXPECT_EQ(run->launchGdb(), false);
    EXPECT_EQ(run->launchLldb(), false);
    EXPECT_EQ(runsOf("xcode-select"), 4);

    // The tools exited while the debugger ran: neither taken for its exit nor blocking the run.
    expectStillServed(*run);
    std::string output = run->output();
    EXPECT_EQ(output.find("END-REPORT"), output.rfind("END-REPORT")) << "a second child reported";
    EXPECT_EQ(consoleLinesSaying(*run, helperLaunching).size(), 1u);
    EXPECT_EQ(run->stderrText().find("Launching GDB"), std::string::npos);
    EXPECT_FALSE(processGone(report.pid, 0ms));
    EXPECT_EQ(run->request("stop"), true);
    EXPECT_EQ(run->exitStatus(), 0);
    EXPECT_TRUE(processGone(report.pid));
}

TEST_F(LldbLaunch, ToolsOfRefusedLaunchesNeverEndTheRunEvenOnceTheRelayHasFinished)
{
    helperToolchain();
    makeBundle("closes_output");
    auto run = start();
    EXPECT_EQ(run->launchLldb(), true);
    ASSERT_TRUE(run->waitForOutput("\n"));
    pid_t child = std::stoi(run->output().substr(std::string("closing output ").size()));
    // The relay's last delivery is empty. From here on, an exit mistaken for the debugger's
    // would end the service at once instead of waiting for the relay.
    ASSERT_TRUE(waitUntil([&] {
        auto messages = run->dataMessages();
        return !messages.empty() && messages.back().empty();
    }));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(run->launchLldb(), false) << "refused launch " << i;
    EXPECT_EQ(runsOf("xcode-select"), 5);
    EXPECT_FALSE(processGone(child, 0ms));
    EXPECT_EQ(run->request("stop"), true);
    EXPECT_EQ(run->exitStatus(), 0);
    EXPECT_TRUE(processGone(child));
}

TEST_F(LldbLaunch, RefusedLaunchWhilePythonRunsProbesTheDeveloperDirectoryOnlyAndLeavesTheRunServed)
{
    pythonToolchain();
    makeBundle();
    auto run = start();
    startLogging(*run);
    auto report = launched(*run);
    EXPECT_EQ(runsOf("xcode-select"), 1);
    EXPECT_EQ(runsOf("xcrun"), 1);
    EXPECT_EQ(runsOf("lldb"), 1);

    EXPECT_EQ(run->launchLldb(), false);
    EXPECT_EQ(runsOf("xcode-select"), 2);
    EXPECT_EQ(runsOf("xcrun"), 1);
    EXPECT_EQ(runsOf("lldb"), 1);
    expectStillServed(*run);

    Lines lines = linesInOrder(*run);
    EXPECT_EQ(countOf(lines, "log: launch_lldb command received"), 2u);
    EXPECT_EQ(countOf(lines, "console: " + pythonLaunching), 1u);
    EXPECT_EQ(countOf(lines, "log: Python script found at " + script()), 1u);
    EXPECT_EQ(lines.back(), "log: launch_lldb command received");
    EXPECT_FALSE(processGone(report.pid, 0ms));
    EXPECT_EQ(run->request("stop"), true);
    EXPECT_EQ(run->exitStatus(), 0);
    EXPECT_TRUE(processGone(report.pid));
}

TEST_F(LldbLaunch, LaunchLldbAfterARunningGdbProbesThenRefusesWithoutAConsoleLine)
{
    helperToolchain();
    makeBundleCopy(bundle(), {{"lldb-helper", "report"}, {"gdb-x86_64", "report"}});
    auto run = start();
    startLogging(*run);
    EXPECT_EQ(run->launchGdb(), true);
    ASSERT_TRUE(run->waitForOutput("END-REPORT\n"));
    EXPECT_EQ(run->launchLldb(), false);
    EXPECT_EQ(runsOf("xcode-select"), 1);
    expectStillServed(*run);
    EXPECT_EQ(run->stderrText().find("Launching LLDB"), std::string::npos);
    EXPECT_EQ(run->request("stop"), true);
    EXPECT_EQ(run->exitStatus(), 0);
}

// ---- The Python back end ----

TEST_F(LldbLaunch, PythonRunsTheRootedProgramWithTheScriptAndReplacesPythonPath)
{
    struct Case {
        std::optional<Lines> block;
        Lines expected; // "<py>" stands for LLDB's Python directory
    };
    const std::vector<Case> cases = {
        {Lines{"A=1", "PYTHONPATH=/old:/older", "Z=2", "PYTHONPATH=/second"},
         {"A=1", "PYTHONPATH=<py>", "Z=2", "PYTHONPATH=/second"}},
        {Lines{"PYTHONPATH=", "B=2"}, {"PYTHONPATH=<py>", "B=2"}},
        {Lines{"DYLD_FRAMEWORK_PATH=/opt/fw", "PYTHONPATHX=1", "NOEQUALS"},
         {"DYLD_FRAMEWORK_PATH=/opt/fw", "PYTHONPATHX=1", "NOEQUALS", "PYTHONPATH=<py>"}},
        {std::nullopt, {"PYTHONPATH=<py>"}},
    };
    pythonToolchain();
    makeBundle();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.block ? std::to_string(c.block->size()) + " entries" : std::string("no set_env"));
        auto run = start();
        if (c.block)
            run->setEnvironment(*c.block);
        auto report = launched(*run);
        ASSERT_EQ(report.argv.size(), 4u);
        EXPECT_EQ(report.argv[0], python());
        EXPECT_EQ(report.argv[1], script());
        EXPECT_EQ(report.argv[2], std::to_string(report.inputFd));
        EXPECT_EQ(report.argv[3], std::to_string(report.outputFd));
        EXPECT_EQ(report.environment, withMarkReplaced(c.expected, "<py>", pythonDirectory()));
        EXPECT_EQ(run->request("stop"), true);
        EXPECT_EQ(run->exitStatus(), 0);
    }
}

TEST_F(LldbLaunch, PythonAndServiceEachHoldOnlyTheirOwnPipeEndsAndTheChildStartsWithCleanSignals)
{
    pythonToolchain();
    makeBundle();
    auto run = start();
    auto report = launched(*run);
    expectLldbDescriptorLayout(run->pid(), report);
    EXPECT_EQ(report.blocked, "");
    EXPECT_EQ(report.ignored, "");
    run->send("through-command\n");
    EXPECT_TRUE(run->waitForOutput("through-command\n"));
    run->command("break");
    EXPECT_TRUE(run->waitForOutput("<SIGINT>\n"));
    EXPECT_EQ(run->request("stop"), true);
    EXPECT_EQ(run->exitStatus(), 0);
    EXPECT_TRUE(processGone(report.pid));
}

TEST_F(LldbLaunch, PythonLaunchWritesItsLinesInOrderWhetherXcrunOrADefaultPathFindsLldb)
{
    pythonToolchain();
    makeBundle();
    {
        auto run = start();
        startLogging(*run);
        launched(*run);
        ASSERT_TRUE(run->waitForStderr("Python thread launched"));
        settle(*run);
        EXPECT_EQ(linesInOrder(*run),
                  (Lines{"log: message logger started", "log: launch_lldb command received",
                         "console: " + pythonLaunching, "log: lldb tool found at " + lldb(),
                         "log: LLDB Python Framework found at " + pythonDirectory(),
                         "log: Python script found at " + script(), "log: Python thread launched"}));
        EXPECT_TRUE(waitUntil([&] { return relayedPerDiagnostics(*run) == run->output(); }))
            << relayedPerDiagnostics(*run).size() << " bytes dumped, " << run->output().size() << " received";
        EXPECT_EQ(consoleLinesSaying(*run, pythonLaunching).at(0).pid, run->pid());
        EXPECT_EQ(run->request("stop"), true);
    }
    // Without xcrun, LLDB at the first default path; its Python directory from its own answer.
    fs::remove(at("/usr/bin/xcrun"));
    fs::rename(lldb(), at("/usr/bin/lldb"));
    {
        auto run = start();
        startLogging(*run);
        launched(*run);
        ASSERT_TRUE(run->waitForStderr("Python thread launched"));
        settle(*run);
        EXPECT_EQ(linesInOrder(*run),
                  (Lines{"log: message logger started", "log: launch_lldb command received",
                         "console: " + pythonLaunching, "log: Unable to find the xcrun tool.",
                         "log: lldb tool not found, trying default paths.",
                         "log: LLDB Python Framework found at " + pythonDirectory(),
                         "log: Python script found at " + script(), "log: Python thread launched"}));
        EXPECT_EQ(run->request("stop"), true);
    }
}

// ---- Launches that stop before a child ----

TEST_F(LldbLaunch, NoDeveloperDirectoryRepliesFalseAfterTheConsoleLineWithoutPipesAndTheServiceStaysUsable)
{
    makeBundle();
    auto run = start();
    startLogging(*run);
    size_t descriptorsBefore = openDescriptors(run->pid()).size();
    EXPECT_EQ(run->launchLldb(), false);
    EXPECT_EQ(run->launchLldb(), false);
    EXPECT_EQ(openDescriptors(run->pid()).size(), descriptorsBefore);
    settle(*run);
    const std::string missing = "log: Unable to find the xcode-select tool.";
    EXPECT_EQ(linesInOrder(*run),
              (Lines{"log: message logger started", "log: launch_lldb command received", missing,
                     "console: " + helperLaunching, missing, "log: launch_lldb command received", missing,
                     "console: " + helperLaunching, missing}));

    // Nothing of the failures stays behind: once a toolchain appears, a launch starts the helper.
    helperToolchain();
    auto report = launched(*run);
    EXPECT_EQ(report.environment, Lines{"DYLD_FRAMEWORK_PATH=" + frameworks()});
    EXPECT_EQ(run->request("stop"), true);
    EXPECT_EQ(run->exitStatus(), 0);
}

TEST_F(LldbLaunch, NoLldbAnywhereGivesTheFourLookupMessagesAndFalse)
{
    helperToolchain("9.4");
    makeBundle();
    installPython();
    auto run = start();
    startLogging(*run);
    size_t descriptorsBefore = openDescriptors(run->pid()).size();
    EXPECT_EQ(run->launchLldb(), false);
    EXPECT_EQ(openDescriptors(run->pid()).size(), descriptorsBefore);
    settle(*run);
    EXPECT_EQ(linesInOrder(*run),
              (Lines{"log: message logger started", "log: launch_lldb command received",
                     "console: " + pythonLaunching, "log: Unable to find the xcrun tool.",
                     "log: lldb tool not found, trying default paths.", "log: lldb tool not found",
                     "log: LLDB Python Framework found at (null)"}));
    EXPECT_EQ(run->request("stop"), false);
    EXPECT_EQ(run->exitStatus(), 0);
}

TEST_F(LldbLaunch, MissingOrUnusableHelperRepliesFalseAfterTheProbeWithoutPipesUntilItIsThere)
{
    helperToolchain();
    makeBundle();
    auto run = start();
    startLogging(*run);
    size_t descriptorsBefore = openDescriptors(run->pid()).size();
    const std::string helper = bundle() + "/lldb-helper";

    fs::remove(helper);
    EXPECT_EQ(run->launchLldb(), false);
    EXPECT_EQ(runsOf("xcode-select"), 2);
    writeFile(helper, "#!/bin/sh\n", 0644); // not executable
    EXPECT_EQ(run->launchLldb(), false);
    fs::remove(helper);
    fs::create_directory(helper);
    EXPECT_EQ(run->launchLldb(), false);
    EXPECT_EQ(runsOf("xcode-select"), 6);
    EXPECT_EQ(openDescriptors(run->pid()).size(), descriptorsBefore);
    settle(*run);
    EXPECT_EQ(countOf(linesInOrder(*run), "console: " + helperLaunching), 3u);
    EXPECT_EQ(countOf(linesInOrder(*run), "log: LLDB helper thread launched"), 0u);

    fs::remove(helper);
    fs::copy_file(fs::path(LD_STANDIN_DIR) / "report", helper);
    auto report = launched(*run);
    EXPECT_EQ(report.argv.at(0), helper);
    EXPECT_EQ(run->request("stop"), true);
}

TEST_F(LldbLaunch, MissingScriptRepliesFalseWithoutPipesAfterTheLookupUntilItIsThere)
{
    pythonToolchain();
    makeBundle();
    auto run = start();
    startLogging(*run);
    size_t descriptorsBefore = openDescriptors(run->pid()).size();

    fs::remove(script());
    EXPECT_EQ(run->launchLldb(), false);
    fs::create_directory(script());
    EXPECT_EQ(run->launchLldb(), false);
    EXPECT_EQ(openDescriptors(run->pid()).size(), descriptorsBefore);
    settle(*run);
    Lines lines = linesInOrder(*run);
    EXPECT_EQ(countOf(lines, "log: LLDB Python Framework found at " + pythonDirectory()), 2u);
    EXPECT_EQ(countOf(lines, "log: Python script found at " + script()), 0u);
    EXPECT_EQ(countOf(lines, "log: Python thread launched"), 0u);

    fs::remove(script());
    writeFile(script(), "# back again\n");
    auto report = launched(*run);
    EXPECT_EQ(report.argv.at(1), script());
    EXPECT_EQ(run->request("stop"), true);
}

TEST_F(LldbLaunch, BackEndPathsLongerThanTheirBuffersAreRefusedBeforeAnyPipe)
{
    struct BackEnd {
        std::function<void()> toolchain;
        std::string name;
        std::function<void(const std::string &)> install;
        size_t argvIndex; // where the back end's path is in the child's arguments
    };
    const std::vector<BackEnd> backEnds = {
        {[&] { helperToolchain(); }, "/lldb-helper",
         [](const std::string &directory) { makeBundleCopy(directory, {{"lldb-helper", "report"}}); }, 0},
        {[&] { pythonToolchain(); }, "/lldb_server.py",
         [](const std::string &directory) {
             makeBundleCopy(directory);
             writeFile(directory + "/lldb_server.py", "# stand-in\n");
         },
         1},
    };
    for (const BackEnd &backEnd : backEnds) {
        backEnd.toolchain();
        for (const auto &[pathLength, launches] : {std::pair<size_t, bool>{1023, true}, {1024, false}}) {
            SCOPED_TRACE(backEnd.name + " at a path of " + std::to_string(pathLength) + " bytes");
            TempDir home;
            std::string directory = directoryOfLength(home.path(), pathLength - backEnd.name.size());
            backEnd.install(directory);
            auto run = start(directory);
            startLogging(*run);
            size_t descriptorsBefore = openDescriptors(run->pid()).size();
            EXPECT_EQ(run->launchLldb(), launches);
            if (launches) {
                ASSERT_TRUE(run->waitForOutput("END-REPORT\n"));
                EXPECT_EQ(parseStandinReport(run->output())->argv.at(backEnd.argvIndex), directory + backEnd.name);
            } else {
                EXPECT_EQ(openDescriptors(run->pid()).size(), descriptorsBefore);
                settle(*run);
                Lines lines = linesInOrder(*run);
                EXPECT_EQ(countOf(lines, "log: Python thread launched") + countOf(lines, "log: LLDB helper thread launched"), 0u);
            }
            EXPECT_EQ(run->request("stop"), launches);
            EXPECT_EQ(run->exitStatus(), 0);
        }
    }
}

// ---- Back ends that cannot be executed ----

TEST_F(LldbLaunch, HelperThatCannotRunCountsAsLaunchedWritesItsFailureLinesAndEndsTheRun)
{
    helperToolchain();
    makeBundle();
    writeFile(bundle() + "/lldb-helper", "#!/nonexistent/interpreter\n", 0755);
    auto run = start();
    startLogging(*run);
    EXPECT_EQ(run->launchLldb(), true);
    EXPECT_EQ(run->exitStatus(), 0);
    ASSERT_TRUE(run->waitForStderr("CANNOT LAUNCH LLDB!!!"));
    EXPECT_EQ(linesInOrder(*run),
              (Lines{"log: message logger started", "log: launch_lldb command received",
                     "console: " + helperLaunching, "log: LLDB helper thread launched",
                     "console: LLDB helper thread alive", "log: Cannot launch LLDB helper",
                     "console: CANNOT LAUNCH LLDB!!!"}));
    auto alive = consoleLinesSaying(*run, "LLDB helper thread alive");
    auto cannot = consoleLinesSaying(*run, "CANNOT LAUNCH LLDB!!!");
    ASSERT_EQ(alive.size(), 1u);
    ASSERT_EQ(cannot.size(), 1u);
    EXPECT_NE(alive[0].pid, run->pid());
    EXPECT_EQ(cannot[0].pid, alive[0].pid);
    EXPECT_EQ(run->output(), "");
}

TEST_F(LldbLaunch, MissingPythonCountsAsLaunchedAndItsFailureTextStaysInTheUnreadPipe)
{
    pythonToolchain();
    fs::remove(python());
    makeBundle();
    auto run = start();
    startLogging(*run);
    EXPECT_EQ(run->launchLldb(), true);
    EXPECT_EQ(run->exitStatus(), 0);
    ASSERT_TRUE(run->waitForStderr("Cannot launch Python"));
    EXPECT_EQ(linesInOrder(*run),
              (Lines{"log: message logger started", "log: launch_lldb command received",
                     "console: " + pythonLaunching, "log: lldb tool found at " + lldb(),
                     "log: LLDB Python Framework found at " + pythonDirectory(),
                     "log: Python script found at " + script(), "log: Python thread launched",
                     "log: Cannot launch Python"}));
    EXPECT_EQ(run->stderrText().find("CANNOT LAUNCH"), std::string::npos);
    EXPECT_EQ(run->output(), "") << "the failure text reached the host";
}

} // namespace
