// launch_lldb through real service processes: stand-in toolchains under a temporary system
// root, stand-in back ends in a copy of the bundle. Which back end the version calls for, what
// its child is given, and how refused launches leave the service.

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "support/service_run.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

class LldbLaunch : public ::testing::Test {
protected:
    std::string at(const std::string &fixedPath) const { return root_.path() + fixedPath; }
    std::string contents() const { return at("/Toolchains/Current.app/Contents"); }
    std::string lldb() const { return contents() + "/Developer/usr/bin/lldb"; }
    std::string python() const { return contents() + "/SharedFrameworks/LLDB.framework/Resources/Python"; }
    std::string bundle() const { return at("/bundle"); }

    void tool(const std::string &path, const std::string &arguments, const std::string &answer)
    {
        fs::create_directories(fs::path(path).parent_path());
        writeFile(path, "#!/bin/sh\n[ \"$*\" = \"" + arguments + "\" ] || exit 1\necho '" + answer + "'\n", 0755);
    }

    // xcode-select names the developer directory, whose parent holds the version; xcrun finds
    // LLDB, LLDB names its Python directory, and the rooted python is the "report" stand-in.
    void toolchain(const std::string &version)
    {
        fs::create_directories(python());
        tool(at("/usr/bin/xcode-select"), "-p", contents() + "/Developer");
        tool(at("/usr/bin/xcrun"), "-find lldb", lldb());
        tool(lldb(), "-P", python());
        writeFile(contents() + "/Info.plist", "<plist><dict><key>CFBundleShortVersionString</key><string>" + version +
                                                  "</string></dict></plist>\n");
        fs::copy_file(fs::path(LD_STANDIN_DIR) / "report", at("/usr/bin/python"), fs::copy_options::overwrite_existing);
    }

    void makeBundle(const std::string &directory)
    {
        makeBundleCopy(directory, {{"lldb-helper", "report"}});
        writeFile(directory + "/lldb_server.py", "# the rooted python that runs it reports instead\n");
    }

    // The service's own values of the back ends' variables must reach no child.
    std::unique_ptr<ServiceRun> start(const std::string &bundleDirectory)
    {
        return std::make_unique<ServiceRun>(bundleDirectory, Lines{"TORVEX_DEBUGGER_ROOT=" + root_.path(),
                                                                   "DYLD_FRAMEWORK_PATH=/own", "PYTHONPATH=/own"});
    }

    TempDir root_;
};

} // namespace

TEST_F(LldbLaunch, VersionChoosesTheBackEndWhoseChildGetsItsPipesAndTheBlockWithItsVariableJoinedIn)
{
    const std::vector<std::tuple<std::string, std::optional<Lines>, Lines>> cases = {
        {"16.0", Lines{"B=2", "A=1", "NOEQUALS"}, {"B=2", "A=1", "NOEQUALS", "DYLD_FRAMEWORK_PATH=<dir>"}},
        {"10",
         Lines{"DYLD_FRAMEWORK_PATH=/fw", "DYLD_FRAMEWORK_PATH=/b"},
         {"DYLD_FRAMEWORK_PATH=/fw:<dir>", "DYLD_FRAMEWORK_PATH=/b"}},
        {"16.0", std::nullopt, {"DYLD_FRAMEWORK_PATH=<dir>"}},
        {"9.4", Lines{"A=1", "PYTHONPATH=/old", "PYTHONPATH=/2"}, {"A=1", "PYTHONPATH=<dir>", "PYTHONPATH=/2"}},
        {"9.4", Lines{"PYTHONPATHX=1"}, {"PYTHONPATHX=1", "PYTHONPATH=<dir>"}},
        {"9.4", std::nullopt, {"PYTHONPATH=<dir>"}},
    };
    makeBundle(bundle());
    for (auto [version, block, expected] : cases) {
        SCOPED_TRACE("version " + version + (block ? "" : ", no set_env"));
        bool helper = version != "9.4";
        toolchain(version);
        auto run = start(bundle());
        if (block)
            run->setEnvironment(*block);
        EXPECT_EQ(run->launchLldb(), true);
        auto report = reportOf(*run);
        for (std::string &line : expected) {
            if (size_t mark = line.find("<dir>"); mark != std::string::npos)
                line.replace(mark, 5, helper ? contents() + "/SharedFrameworks" : python());
        }
        EXPECT_EQ(report.environment, expected);
        Lines program = {bundle() + "/lldb-helper"};
        if (!helper)
            program = {at("/usr/bin/python"), bundle() + "/lldb_server.py"};
        ASSERT_EQ(report.argv.size(), program.size() + 2);
        EXPECT_TRUE(std::equal(program.begin(), program.end(), report.argv.begin()));
        // The child holds its standard pipes and the two its last arguments name, nothing else.
        std::vector<int> held = {0, 1, 2, std::stoi(report.argv[program.size()]),
                                 std::stoi(report.argv[program.size() + 1])};
        std::sort(held.begin(), held.end());
        EXPECT_EQ(descriptorNumbers(report), held);
        for (const auto &[fd, target] : report.descriptors)
            EXPECT_TRUE(target.starts_with("pipe:")) << "descriptor " << fd << " is " << target;
        EXPECT_EQ(report.blocked + report.ignored, "");

        EXPECT_EQ(run->launchLldb(), false);
        EXPECT_EQ(run->launchGdb(), false);
        run->send("through the command pipe\n");
        EXPECT_TRUE(run->waitForOutput("through the command pipe\n"));
        run->command("break");
        EXPECT_TRUE(run->waitForOutput("<SIGINT>\n"));
        EXPECT_EQ(childrenOf(run->pid()), std::vector<pid_t>{report.pid});
        EXPECT_EQ(run->request("stop"), true);
        EXPECT_EQ(run->exitStatus(), 0);
        EXPECT_TRUE(processGone(report.pid));
    }
}

TEST_F(LldbLaunch, BackEndPathsLongerThanTheirBuffersAreRefusedWithoutPipes)
{
    for (const auto &[version, name] :
         std::vector<std::pair<std::string, std::string>>{{"16.0", "/lldb-helper"}, {"9.4", "/lldb_server.py"}}) {
        toolchain(version);
        for (const auto &[length, launches] : {std::pair<size_t, bool>{1023, true}, {1024, false}}) {
            SCOPED_TRACE(name + " at a path of " + std::to_string(length) + " bytes");
            TempDir home;
            std::string directory = home.path();
            // Components short enough for any file system, and never a lone "/" at the end.
            for (size_t left; (left = length - name.size() - directory.size()) > 0;) {
                directory.push_back('/');
                directory.append(left > 201 ? std::min<size_t>(200, left - 2) : left - 1, 'd');
            }
            makeBundle(directory);
            auto run = start(directory);
            EXPECT_EQ(run->launchLldb(), launches);
            size_t descriptors = descriptorCount(run->pid());
            // A refused launch opens no pipe and leaves the service to take another.
            EXPECT_EQ(run->launchLldb(), false);
            EXPECT_TRUE(launches || descriptorCount(run->pid()) == descriptors);
            Lines argv = launches ? reportOf(*run).argv : Lines{};
            EXPECT_EQ(std::find(argv.begin(), argv.end(), directory + name) != argv.end(), launches);
            EXPECT_EQ(run->request("stop"), launches);
        }
    }
}

TEST_F(LldbLaunch, StopOnAnotherConnectionWaitsForALaunchUnderWayAndStopsItsChild)
{
    toolchain("16.0");
    makeBundle(bundle());
    // The developer-directory tool answers late, so the stop arrives while the launch runs.
    writeFile(at("/usr/bin/xcode-select"), "#!/bin/sh\nsleep 1\necho '" + contents() + "/Developer'\n", 0755);
    ListeningService service(bundle(), {}, {"TORVEX_DEBUGGER_ROOT=" + root_.path()});
    auto launching = ServiceRun::connect(service.path);
    auto stopping = ServiceRun::connect(service.path);
    ASSERT_TRUE(launching && stopping);
    std::optional<bool> launched;
    std::thread launch([&] { launched = launching->launchLldb(); });
    std::this_thread::sleep_for(300ms);
    // True only when it found a child to stop: the one the launch under way started.
    EXPECT_EQ(stopping->request("stop"), true) << "the stop missed the child of the launch under way";
    launch.join();
    EXPECT_EQ(launched, true) << "the launch was answered before the stop that waited for it";
    EXPECT_EQ(rawExitStatus(service.pid), 0);
}
