// Both LLDB back ends fed one script of lines, side by side: their records must be the same once
// what two runs of one session may legitimately differ in is put aside.

#include <map>
#include <regex>

#include "tests/backends/lldb_backend.h"

namespace {

// A line to send and, after its result, what to wait for: the states of a process record
// ("stopped exited"), or "=" and text the debuggee writes.
struct Step {
    Step(std::string line, std::string await = "") : line(std::move(line)), await(std::move(await)) {}
    std::string line;
    std::string await;
};

void play(Backend &backend, const Step &step)
{
    backend.command(step.line);
    const std::string states = " " + step.await + " ";
    const bool awaited =
        step.await.empty() ||
        (step.await.starts_with("=")
             ? waitUntil([&] { return backend.output().find(step.await.substr(1)) != std::string::npos; })
             : backend
                   .next([&](const Json &r) {
                       if (r.value("type", "") != "process")
                           return false;
                       std::string state = " ";
                       state += r.value("state", "");
                       state += ' ';
                       return states.find(state) != std::string::npos;
                   })
                   .has_value());
    EXPECT_TRUE(awaited) << step.line << " was not followed by " << step.await;
}

// One record as a line, with what may differ between the back ends replaced:
// - the ready record's back end name, the one field meant to tell them apart;
// - pids and thread ids, which the kernel hands out: numbered in order of appearance instead;
// - stack addresses (the top megabyte): the debuggee inherits its back end's environment, where
//   one has PYTHONPATH and the other DYLD_FRAMEWORK_PATH, so its stack starts elsewhere. Other
//   addresses are kept: LLDB launches without address randomisation.
std::string normalised(Json record, std::map<std::string, std::string> &ids)
{
    if (record.value("type", "") == "ready")
        record.erase("backend");
    const std::string line = record.dump();
    static const std::regex id(R"((Process |"pid":|pid = |tid = )(\d+))");
    std::string text;
    auto from = line.cbegin();
    for (std::sregex_iterator at(line.begin(), line.end(), id), end; at != end; ++at) {
        const auto found = ids.emplace((*at)[2].str(), std::to_string(ids.size() + 1)).first;
        text.append(from, (*at)[2].first).append("#" + found->second);
        from = (*at)[2].second;
    }
    text.append(from, line.cend());
    return std::regex_replace(text, std::regex(R"(0x0*7ffffff[0-9a-f]{5}\b)"), "<stack>");
}

// A session's records as two texts, one line a record: the commands' side (results, errors) and
// the debuggee's (process and output records), whose interleaving is timing only. The output is
// joined into one record before the next process record that is not a resume: where it was cut,
// and whether it came before or after the resume's record, carries no meaning.
std::pair<std::string, std::string> sides(Backend &backend)
{
    std::map<std::string, std::string> ids;
    std::string commands, debuggee, stream, output;
    const auto flush = [&] {
        if (!output.empty())
            debuggee += normalised({{"type", "output"}, {"stream", stream}, {"data", output}}, ids) + "\n";
        output.clear();
    };
    for (const Json &record : backend.records()) {
        const std::string type = record.value("type", "");
        if (type == "output" && record.value("stream", "") != stream)
            flush(), stream = record.value("stream", "");
        if (type == "output")
            output += record.value("data", "");
        else if (type == "process" && record.value("state", "") == "running")
            debuggee += normalised(record, ids) + "\n"; // output right after a resume may come first
        else if (type == "process")
            flush(), debuggee += normalised(record, ids) + "\n";
        else
            commands += normalised(record, ids) + "\n";
    }
    flush();
    return {commands, debuggee};
}

const std::string program = LD_STANDIN_DIR "/console_program";
const std::string source = LD_SOURCE_DIR "/tests/debuggees/console_program.c";

const std::vector<Step> script = {
    // Refused lines and requests, each check in its turn, before there is anything to debug.
    {"version"},
    {""},
    {"bad \xff\xfe line"},
    {std::string("a NUL \0 byte", 12)},
    {"bogus-command ünïcödé ☃"},
    {R"(  ["request"])"},
    {R"({"request":"input")"},
    {R"({"request":"complete","line":"br",})"},
    {R"({"request":"frames","thread":NaN})"},
    {R"({"request":"evaluate","expression":1e400})"},
    {R"({"request":"complete","line":"\ud800"})"},
    {R"({"a":)" + std::string(64, '[') + std::string(64, ']') + "}"},
    {R"({"a":)" + std::string(65, '[')},
    {R"({"data":"x"})"},
    {R"({"request":7})"},
    {R"({"request":"frobnicate","extra":[1,{"é":null}]})"},
    {R"({"request":"input"})"},
    {R"({"request":"input","data":3})"},
    {R"({"request":"complete","line":"br","cursor":1.0})"},
    {R"({"request":"complete","line":"br","cursor":18446744073709551616})"},
    {R"({"request":"complete","line":"br","cursor":3})"},
    {R"({"request":"complete","line":"a\u0000"})"},
    {R"({"request":"breakpoints","file":"a","lines":[{"line":4294967296}]})"},
    {R"({"request":"breakpoints","file":"a","lines":[{"line":1,"condition":false}]})"},
    {R"({"request":"functionBreakpoints","functions":[{"name":""}]})"},
    {R"({"request":"step","kind":"over","kind":"sideways"})"},
    {R"({"request":"launch","arguments":["a",1]})"},
    {R"({"request":"launch","start":false,"cwd":"/"})"},
    {R"({"request":"setVariable","handle":1,"name":"x"})"},
    {R"({"request":"console","terminal":"/dev/null"})"},
    {R"({"request":"launch","terminal":""})"},
    {R"({"request":"modules"})"},
    {R"({"request":"consoleSize"})"},
    {R"({"request":"input","data":"x"})"},
    {R"({"request":"threads"})"},
    {R"({"request":"frames"})"},
    {R"({"request":"evaluate","expression":"1 + 2"})"},
    {R"({"request":"breakpoints","file":"a","lines":[]})"},
    {"frame variable"},
    // Completion, with the cursor counted in characters past non-ASCII ones.
    {R"({"request":"complete","line":"breakpoint se"})"},
    {R"({"request":"complete","line":"frame variable üü","cursor":16})"},
    {R"({"request":"complete","line":"frame variable üü","cursor":18})"},
    {R"({"request":"complete","line":"setting","cursor":5})"},
    {R"({"request":"complete","line":"bogus-command"})"},
    // A debuggee that asks for a name on its terminal, then sums squares.
    {"target create " + program},
    {R"({"request":"launch","terminal":"/dev/null"})"},
    {R"({"request":"sources"})"},
    {R"({"request":"evaluate","expression":"sizeof(int) * 2"})"},
    {"breakpoint set -n größe"},
    {R"({"request":"functionBreakpoints","functions":[{"name":"sum","condition":"n == 3"},{"name":"nosuch"}]})"},
    {R"({"request":"breakpoints","file":")" + source + R"(","lines":[{"line":11},{"line":33},{"line":1000}]})"},
    {R"({"request":"breakpoints","file":"other.c","lines":[{"line":5}]})"},
    {"process launch -- ask", "=name? "},
    {R"({"request":"input","data":"Zoë ☃\n"})", "stopped"},
    {"frame variable name"},
    {R"({"request":"evaluate","expression":"name"})"},
    {"continue", "stopped"},
    {R"({"request":"modules"})"},
    {"bt"},
    {"thread list"},
    {R"({"request":"threads"})"},
    {R"({"request":"frames","start":1,"count":1})"},
    {R"({"request":"frames","thread":9})"},
    {R"({"request":"scopes","frame":9})"},
    // Stepping, by commands and by requests; each resume drops the handles given before it.
    {"next", "stopped exited"},
    {"next", "stopped exited"},
    {R"({"request":"scopes"})"},
    {R"({"request":"variables","handle":1})"},
    {R"({"request":"variables","handle":2})"},
    {R"({"request":"variables","handle":3})"},
    {R"({"request":"variables","handle":4})"},
    {R"({"request":"setVariable","handle":3,"name":"n","value":"abc"})"},
    {R"({"request":"setVariable","handle":3,"name":"nosuch","value":"1"})"},
    {R"({"request":"setVariable","handle":3,"name":"n","value":"2"})"},
    {R"({"request":"evaluate","expression":"n * 10"})"},
    {R"({"request":"evaluate","expression":"nosuch + 1"})"},
    {R"({"request":"evaluate","expression":"\"ünïcödé ☃\""})"},
    {R"({"request":"complete","line":"frame variable to"})"},
    {"expression -- \"größe ☃\""},
    {"step", "stopped exited"},
    {R"({"request":"variables","handle":2})"},
    {"frame variable x"}, // y is not set yet: what it holds is no one's
    {"finish", "stopped exited"},
    {R"({"request":"step","kind":"into"})", "stopped exited"},
    {R"({"request":"step","kind":"over"})", "stopped exited"},
    // Stepping out of sum meets square's breakpoint first; continuing finishes that step out.
    {R"({"request":"step","kind":"out"})", "stopped exited"},
    {"up"},
    {"breakpoint delete"},
    {R"({"request":"step","kind":"continue"})", "stopped exited"},
    {"frame variable name"},
    {"continue", "exited"},
    // Launched again by request, with a non-ASCII argument, stopping at the entry first.
    {R"({"request":"launch","arguments":["größe ☃",""],"stopAtEntry":true})", "stopped"},
    {R"({"request":"frames","count":1})"},
    {"frame variable argc"},
    {R"({"request":"step","kind":"continue"})", "exited"},
    {R"({"request":"input","data":"x"})"},
    {"quit"},
};

TEST(LldbBackendsAgree, OneScriptOfLinesGivesTheSameRecordsFromBothBackEndsOnceNormalised)
{
    if (access("/usr/lib/llvm-16/bin/lldb-server", X_OK) != 0 || access(LD_BUNDLE_DIR "/lldb-helper", X_OK) != 0)
        GTEST_SKIP() << "LLDB 16 or lldb-helper is not installed";
    Backend helper(Kind::Helper), python(Kind::Script);
    // Line by line in step, so that both sessions run at once.
    for (const Step &step : script) {
        play(helper, step);
        play(python, step);
    }
    ASSERT_EQ(helper.end(), 0);
    ASSERT_EQ(python.end(), 0);
    const auto [commands, debuggee] = sides(helper);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), '\n'), script.size() + 3) << "ready, two errors, results";
    EXPECT_NE(debuggee.find("hello Zoë ☃"), std::string::npos) << debuggee;
    const auto [pythonCommands, pythonDebuggee] = sides(python);
    EXPECT_EQ(pythonCommands, commands);
    EXPECT_EQ(pythonDebuggee, debuggee);
}

} // namespace
