// The two LLDB back ends, driven the way the service drives them, through the same cases: a
// session, text that is not UTF-8, interrupts, and how the back end's end ends the debuggee.

#include <filesystem>
#include <map>
#include <poll.h>
#include <regex>

#include "tests/backends/lldb_backend.h"

namespace {

const std::string example = LD_BIN_DIR "/example-program";

std::string statusField(pid_t pid, const std::string &field)
{
    std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("\n" + field + ":\t");
    return at == std::string::npos ? "" : status.substr(at + field.size() + 3, 16);
}

class LldbBackend : public ::testing::TestWithParam<Kind> {};

TEST_P(LldbBackend, SessionStopsAtEachBreakpointReadsTheVariableAndRelaysTheDebuggeesOutputAsUtf8)
{
    Backend backend(GetParam());
    Json ready = backend.records().at(0);
    EXPECT_EQ(ready.value("backend", ""), GetParam() == Kind::Helper ? "lldb-helper" : "lldb_server");
    EXPECT_EQ(ready.value("version", ""), firstLine("/usr/bin/lldb-16 --version"));
    // A command line that is not UTF-8 is refused, with an error record, but uses up its seq.
    backend.send("bad \xff\xfe line\n");
    EXPECT_TRUE(backend.command("version").value("ok", false));
    std::vector<Json> records = backend.records();
    EXPECT_TRUE(std::any_of(records.begin(), records.end(), [](const Json &r) {
        return r.value("seq", 0u) == 1 && !r.value("ok", true);
    })) << "the line that is not UTF-8 did not use up its seq number";
    EXPECT_TRUE(backend.next([](const Json &r) { return r.value("type", "") == "error"; }));
    EXPECT_TRUE(backend.command("target create " + example).value("ok", false));
    EXPECT_TRUE(backend.command("breakpoint set -n compute").value("ok", false));
    EXPECT_TRUE(backend.command("process launch").value("ok", false));
    for (int x = 1; x <= 3; ++x) {
        auto stopped = backend.nextState("stopped");
        ASSERT_TRUE(stopped) << "no stop for x = " << x;
        EXPECT_EQ(stopped->value("reason", ""), "breakpoint");
        EXPECT_EQ((*stopped)["frame"].value("function", ""), "compute");
        EXPECT_EQ((*stopped)["frame"].value("file", ""), LD_SOURCE_DIR "/example/example_program.c");
        pid_t debuggee = stopped->value("pid", 0);
        // The back end started with signals blocked and ignored; none of that reaches the
        // debuggee but SIGPIPE, which LLDB's debug server ignores for every debuggee.
        EXPECT_EQ(statusField(debuggee, "SigBlk"), "0000000000000000");
        EXPECT_EQ(std::stoull(statusField(debuggee, "SigIgn"), nullptr, 16) & ~(1ull << (SIGPIPE - 1)), 0u);
        EXPECT_EQ(descriptorCount(debuggee), 3u);
        EXPECT_EQ(backend.command("frame variable x").value("output", ""), "(int) x = " + std::to_string(x) + "\n");
        EXPECT_TRUE(backend.command("continue").value("ok", false));
    }
    auto exited = backend.nextState("exited");
    ASSERT_TRUE(exited);
    EXPECT_EQ(exited->value("status", -1), 0);
    EXPECT_EQ(backend.output(), "step 1 total 2\r\nstep 2 total 7\r\nstep 3 total 17\r\ndone 17\r\n");
    for (const Json &record : backend.records())
        EXPECT_EQ(record.value("output", "").find("total"), std::string::npos) << record.dump();

    // An accented letter, a byte that never starts a character, a character written in two
    // pieces apart in time, and one cut short by the end of the output.
    backend.command("target create /bin/sh");
    backend.command(R"(process launch -- -c "printf '\303\251 \377 \342\202'; sleep 0.3; printf '\254 \342\202'")");
    ASSERT_TRUE(backend.nextState("exited"));
    EXPECT_TRUE(backend.output().ends_with("done 17\r\n\xC3\xA9 \xEF\xBF\xBD \xE2\x82\xAC \xEF\xBF\xBD"));
    backend.closeCommands();
    EXPECT_EQ(backend.end(), 0);
}

TEST_P(LldbBackend, RequestsGetOneResultEachAndACommandThatLeavesTheDebuggeeRunningReportsThatFirst)
{
    Backend backend(GetParam());
    // Whether a "running" record came after the previous result and before this one.
    const auto runningFirst = [&](const Json &result) {
        bool running = false;
        for (const Json &r : backend.records()) {
            if (r.value("type", "") == "result" && r.value("seq", 0u) == result.value("seq", 0u))
                return running;
            running = r.value("type", "") != "result" && (running || r.value("state", "") == "running");
        }
        return false;
    };
    const std::string version = backend.command("version").value("output", "");
    ASSERT_NE(version, "");
    const std::pair<std::string, std::string> refused[] = {
        {R"({"request":"input")", "error: request line is not valid JSON\n"},
        {R"(  ["input"])", "error: '[\"input\"]' is not a valid command.\n"},
        {R"({"request":"frobnicate"})", "error: unknown request \"frobnicate\"\n"},
        {R"({"data":"x"})", "error: request has no \"request\" field\n"},
        {R"({"request":"complete","line":["breakpoint"]})", "error: field \"line\" must be a string\n"},
        {R"({"request":"complete","line":"br","cursor":-1})",
         "error: field \"cursor\" must be a non-negative integer\n"},
        {R"({"request":"input","data":"hello\n"})", "error: no debuggee to write to\n"},
    };
    for (const auto &[line, error] : refused) {
        Json result = backend.command(line);
        EXPECT_FALSE(result.value("ok", true)) << line;
        EXPECT_EQ(result.value("output", "?"), "") << line;
        EXPECT_EQ(result.value("error", ""), error) << line;
        EXPECT_FALSE(result.contains("matches")) << line;
    }
    Json completion = backend.command(R"({"request":"complete","line":"breakpoint se"})");
    EXPECT_TRUE(completion.value("ok", false));
    EXPECT_NE(completion.dump().find(R"("error":"","matches":[)"), std::string::npos) << completion.dump();
    const auto matches = completion.value("matches", std::vector<std::string>{});
    EXPECT_NE(std::find(matches.begin(), matches.end(), "set"), matches.end()) << completion.dump();
    // Whole words: the word at a cursor (in characters) before the line's end completes the same.
    EXPECT_EQ(backend.command(R"({"request":"complete","line":"breakpoint sexyz","cursor":12})")["matches"],
              completion["matches"]);
    EXPECT_EQ(backend.command(R"({"request":"complete","line":"bogus-command"})")["matches"], Json::array());
    // No request became the command an empty line repeats.
    EXPECT_EQ(backend.command("").value("output", ""), version);

    // A debuggee that waits for a line on its terminal runs, reported before the launch's result,
    // until an input request gives it one.
    backend.command("target create /bin/sh");
    EXPECT_TRUE(runningFirst(backend.command(R"(process launch -- -c "read line; echo got [$line]")")));
    Json input = backend.command(R"({"request":"input","data":"hello\n"})");
    EXPECT_TRUE(input.value("ok", false)) << input.dump();
    ASSERT_TRUE(backend.nextState("exited"));
    EXPECT_NE(backend.output().find("got [hello]\r\n"), std::string::npos) << backend.output();

    // The same for a launch that runs into a breakpoint, and for continuing from it.
    backend.command("target create " + example);
    backend.command("breakpoint set -n compute");
    EXPECT_TRUE(runningFirst(backend.command("process launch")));
    ASSERT_TRUE(backend.nextState("stopped"));
    EXPECT_TRUE(runningFirst(backend.command("continue")));
    ASSERT_TRUE(backend.nextState("stopped"));
    // The event side never reports a resumption the command side has reported already.
    std::map<int, std::string> last;
    for (const Json &r : backend.records()) {
        if (r.value("type", "") != "process")
            continue;
        std::string &before = last[r.value("pid", 0)];
        EXPECT_FALSE(before == "running" && r.value("state", "") == "running") << r.dump();
        before = r.value("state", "");
    }
    backend.closeCommands();
    EXPECT_EQ(backend.end(), 0);
}

// The line of the file that holds the text, counted from 1.
int lineOf(const std::string &path, const std::string &text)
{
    const std::string content = readFile(path);
    return 1 + static_cast<int>(std::count(content.begin(), content.begin() + content.find(text), '\n'));
}

// Whether actual holds what is wanted: each field of an object (null: absent), each entry of an array
// (no more, unless the last wanted is "..."), equal values; "~re" a text matching re, "=name" any value,
// kept under that name (a text without its quotes).
bool holds(const Json &actual, const Json &wanted, std::map<std::string, std::string> &kept)
{
    const std::string text = wanted.is_string() ? wanted.get<std::string>() : "";
    if (text.starts_with("="))
        return kept[text.substr(1)] = actual.is_string() ? actual.get<std::string>() : actual.dump(), true;
    if (text.starts_with("~"))
        return std::regex_match(actual.is_string() ? actual.get<std::string>() : actual.dump(),
                                std::regex(text.substr(1)));
    if (!wanted.is_structured() || wanted.type() != actual.type())
        return actual == wanted;
    const size_t open = wanted.is_array() && !wanted.empty() && wanted.back() == "...";
    if (wanted.is_array() && (open ? actual.size() + 1 < wanted.size() : actual.size() != wanted.size()))
        return false;
    size_t index = 0;
    for (auto item = wanted.begin(); index + open < wanted.size(); ++item, ++index) {
        const bool array = wanted.is_array();
        const Json *there = array ? &actual[index] : actual.contains(item.key()) ? &actual[item.key()] : nullptr;
        if (item->is_null() ? there != nullptr : there == nullptr || !holds(*there, *item, kept))
            return false;
    }
    return true;
}

// Plays steps in order, each checked as it comes. "@name@" in a step stands for what is known
// by that name, with what was kept on the way.
// Sent: a command line, a request without {"request": and its closing brace, or "?" and the states of a
// process record to wait for. Wanted: JSON that the request's body or the record holds; "error: re", a
// refusal whose error matches re; "", ok without a body.
using Steps = std::vector<std::pair<std::string, std::string>>;

void play(Backend &backend, const Steps &steps, std::map<std::string, std::string> &known)
{
    for (const auto &[send, expect] : steps) {
        std::string line = send, wanted = expect;
        for (const auto &[name, value] : known) {
            for (std::string *text : {&line, &wanted})
                for (size_t at; (at = text->find("@" + name + "@")) != std::string::npos;)
                    text->replace(at, name.size() + 2, value);
        }
        const std::string states = std::string(" ").append(line, 1) + " "; // for a "?" line
        const auto awaited = [&](const Json &r) {
            return states.find(std::string(" ").append(r.value("state", "-")).append(" ")) != std::string::npos;
        };
        const std::string request = line.starts_with("\"") ? R"({"request":)" + line + "}" : line;
        const std::optional<Json> got = line.starts_with("?") ? backend.next(awaited) : backend.command(request);
        ASSERT_TRUE(got) << line;
        bool fits = got->value("ok", false) && wanted.empty() && !got->contains("body");
        if (wanted.starts_with("error: "))
            fits = !got->value("ok", true) && !got->contains("body") &&
                   std::regex_match(got->value("error", ""), std::regex(wanted + "\n"));
        else if (!wanted.empty())
            fits = holds(line.starts_with("?") ? *got : got->value("body", Json()), Json::parse(wanted), known);
        EXPECT_TRUE(fits) << line << "\n got: " << got->dump() << "\n wanted: " << wanted;
    }
}

TEST_P(LldbBackend, RequestsSetBreakpointsReadThreadsFramesScopesAndVariablesEvaluateAndStepTheDebuggee)
{
    Backend backend(GetParam());
    const std::string source = LD_SOURCE_DIR "/example/example_program.c";
    const std::string shapes = LD_SOURCE_DIR "/tests/debuggees/struct_program.c";
    std::map<std::string, std::string> known = {{"example", example},
                                                {"source", source},
                                                {"struct", LD_STANDIN_DIR "/struct_program"},
                                                {"sum", std::to_string(lineOf(shapes, "int sum = 0;"))},
                                                {"square", std::to_string(lineOf(source, "int square = x * x;"))},
                                                {"next", std::to_string(lineOf(source, "return square + 1;"))}};
    const Steps steps = {
        {R"("breakpoints","lines":[])", R"(error: request "breakpoints" has no "file" field)"},
        {R"("breakpoints","file":"","lines":[])", R"(error: field "file" must not be empty)"},
        {R"("breakpoints","file":"a\u0000","lines":[])", R"(error: field "file" must not hold a NUL character)"},
        {R"("breakpoints","file":"a","lines":[3])", R"(error: field "lines" must be an array of objects)"},
        {R"("breakpoints","file":"a","lines":[{}])", R"(error: an entry of "lines" has no "line" field)"},
        {R"("breakpoints","file":"a","lines":[{"line":0}])",
         R"(error: field "line" must be an integer from 1 to 4294967295)"},
        {R"("breakpoints","file":"a","lines":[{"line":1,"ignoreCount":-1}])",
         R"(error: field "ignoreCount" must be an integer from 0 to 4294967295)"},
        {R"("functionBreakpoints","functions":[{"name":3}])", R"(error: field "name" must be a string)"},
        {R"("frames","thread":1.0)", R"(error: field "thread" must be a non-negative integer)"},
        {R"("step","kind":"sideways")",
         R"(error: field "kind" must be "over", "into", "out", "continue", "overInstruction" or "intoInstruction")"},
        {R"("breakpoints","file":"a","lines":[])", "error: no target"},
        {R"("frames")", "error: no process"},
        {R"("variables","handle":1,"start":-1)", R"(error: field "start" must be a non-negative integer)"},
        {R"("variables","handle":1,"count":true)", R"(error: field "count" must be a non-negative integer)"},
        {R"("variables","handle":1)", "error: no such handle 1"},
        {R"("threads")", R"({"threads":[]})"},
        // Set before the launch, breakpoints resolve in the program file; a command line's one stays.
        {"target create @example@", ""},
        {"breakpoint set -n spin", ""},
        {R"("breakpoints","file":"@source@","lines":[{"line":@square@},{"line":1000}])",
         R"({"breakpoints":[)"
         R"({"id":"=first","verified":true,"line":@square@},{"verified":false,"message":"no code at this line"}]})"},
        {R"("breakpoints","file":"/a.c","lines":[{"line":5}])",
         R"({"breakpoints":[{"verified":false,"line":5,"message":"not resolved yet"}]})"},
        {"process launch", ""},
        {"?stopped exited", R"({"reason":"breakpoint","thread":"=thread","frame":{"line":@square@}})"},
        {R"("threads")", R"({"threads":[{"id":@thread@,"name":"example-program"}]})"},
        {R"("frames","thread":@thread@,"count":2)",
         R"({"total":"~[2-9]|[1-9][0-9]+","frames":[{"index":0,"function":)"
         R"("compute","file":"@source@","line":@square@,"address":"~0x[0-9a-f]{16}"},{"function":"main"}]})"},
        {R"("frames","start":1,"count":1)", R"({"frames":[{"index":1,"function":"main"}]})"},
        {R"("scopes","thread":@thread@,"frame":0)",
         R"({"scopes":[{"name":"Locals","handle":"=locals"},)"
         R"({"name":"Arguments","handle":"=args"},{"name":"Registers","handle":"=registers"}]})"},
        {R"("variables","handle":@args@)", R"({"variables":[{"name":"x","value":"1","type":"int","handle":0}]})"},
        {R"("variables","handle":@locals@)", R"({"variables":[{"name":"square","type":"int","handle":0}]})"},
        {R"("variables","handle":@registers@)",
         R"({"variables":[{"value":"{...}","type":null,"handle":"=set"},"..."]})"},
        {R"("variables","handle":@set@)", R"({"variables":[{"value":"~0x[0-9a-f]+","handle":0},"..."]})"},
        {R"("evaluate","expression":"x * 10","frame":0)", R"({"value":"10","type":"int","handle":0})"},
        {R"("evaluate","expression":"nosuch + 1")", R"(error: [^\n]*nosuch[^\n]*)"},
        {R"("frames","thread":99)", "error: no thread 99"},
        {R"("scopes","frame":99)", "error: no frame 99"},
        {R"("setVariable","handle":@args@,"name":"y","value":"1")", R"(error: handle @args@ has no child "y")"},
        {R"("setVariable","handle":@args@,"name":"x","value":"abc")", "error: 'abc' is not a valid integer .*"},
        {R"("setVariable","handle":@args@,"name":"x","value":"5")", R"({"value":"5"})"},
        {R"("evaluate","expression":"x")", R"({"value":"5"})"},
        // Hexadecimal on request, then natural again; an lvalue expression is assigned to through
        // its address, an rvalue refused.
        {R"("variables","handle":@args@,"format":"hex")", R"({"variables":[{"name":"x","value":"0x00000005"}]})"},
        {R"("variables","handle":@args@)", R"({"variables":[{"name":"x","value":"5"}]})"},
        {R"("evaluate","expression":"x + 37","format":"hex")", R"({"value":"0x0000002a","type":"int"})"},
        {R"("evaluate","expression":"x","format":"octal")", R"(error: field "format" must be "natural" or "hex")"},
        {R"("setExpression","expression":"(&x)[0]","value":"6","format":"hex")", R"({"value":"0x00000006"})"},
        {R"("setExpression","expression":"x + 1","value":"6")", R"(error: [^\n]*rvalue[^\n]*)"},
        {R"("setExpression","expression":"x","value":"5")", R"({"value":"5","type":"int","handle":0})"},
        // A step resumes: its stop comes as a record, and the handles of the stop before are gone.
        {R"("step","kind":"over","thread":@thread@)", ""},
        {"?stopped exited", R"({"reason":"plan-complete","frame":{"function":"compute","line":@next@}})"},
        {R"("evaluate","expression":"square")", R"({"value":"25"})"},
        {R"("variables","handle":@args@)", "error: no such handle @args@"},
        {R"("step","kind":"out")", ""},
        {"?stopped exited", R"({"reason":"plan-complete","frame":{"function":"main"}})"},
        // A new set for the file deletes the one before, and not the command line's breakpoint.
        {R"("breakpoints","file":"@source@","lines":[{"line":@square@,"condition":"x == 2"}])",
         R"({"breakpoints":[{"verified":true,"line":@square@}]})"},
        {"breakpoint list @first@", "error: [^]*"},
        {"breakpoint list 1", ""},
        {R"("step","kind":"continue")", ""},
        {"?stopped exited", R"({"reason":"breakpoint"})"},
        {R"("evaluate","expression":"x")", R"({"value":"2"})"},
        // Main's total located and watched, then no longer (whether the machine's debug registers
        // fire is the DAP sessions' concern).
        {R"("locate","name":"total","frame":1)", R"({"address":"=total","size":4})"},
        {R"("locate","name":"(&total)[0]","frame":1)", R"({"address":@total@,"size":4})"},
        {R"("locate","name":"x + 1")", R"(error: "x \+ 1" is not in memory)"},
        {R"("watchpoints","watchpoints":[{"address":@total@,"size":4,"access":"sideways"}])",
         R"(error: field "access" must be "read", "write" or "readWrite")"},
        {R"("watchpoints","watchpoints":[{"address":@total@,"size":4}])",
         R"({"watchpoints":[{"id":"=watch","verified":true}]})"},
        {R"("watchpoints","watchpoints":[])", R"({"watchpoints":[]})"},
        // compute's one call left is passed by, so the debuggee ends without stopping.
        {R"("breakpoints","file":"@source@","lines":[])", R"({"breakpoints":[]})"},
        {R"("functionBreakpoints","functions":[{"name":"compute","ignoreCount":1}])",
         R"({"breakpoints":[{"verified":true,"line":@square@}]})"},
        {R"("step","kind":"continue")", ""},
        {"?stopped exited", R"({"state":"exited"})"},
        // A struct behind a pointer, member by member; an array's elements a page at a time.
        {"target create @struct@", ""},
        {R"("functionBreakpoints","functions":[{"name":"perimeter"}])", R"({"breakpoints":[{"line":@sum@}]})"},
        {"process launch", ""},
        {"?stopped exited", R"({"frame":{"function":"perimeter"}})"},
        {R"("scopes")", R"({"scopes":[{},{"handle":"=args"},{}]})"},
        {R"("variables","handle":@args@)", R"({"variables":[{"name":"shape","type":"const shape *","handle":"=p"}]})"},
        {R"("variables","handle":@p@)", R"({"variables":[{"name":"id","value":"42","handle":0},)"
                                        R"({"name":"origin","value":"{...}","handle":"=origin","elements":null},)"
                                        R"({"name":"sides","handle":"=sides","elements":3}]})"},
        {R"("variables","handle":@origin@)", R"({"variables":[{"name":"x","value":"3"},{"name":"y","value":"4"}]})"},
        {R"("variables","handle":@sides@)",
         R"({"variables":[{"name":"[0]","value":"5"},{"value":"6"},{"value":"7"}]})"},
        {R"("variables","handle":@sides@,"start":1,"count":1)", R"({"variables":[{"name":"[1]","value":"6"}]})"},
        {R"("variables","handle":@sides@,"start":2)", R"({"variables":[{"name":"[2]","value":"7"}]})"},
        {R"("evaluate","expression":"shape->sides")", R"({"type":"const int[3]","elements":3})"},
        // A debuggee waiting on its terminal runs until it reads a line.
        {"target create /bin/sh", ""},
        {R"(process launch -- -c "read line")", ""},
        {"?running", "{}"},
        {R"("step","kind":"over")", "error: the process is not stopped"},
        {R"("input","data":"\n")", ""},
        {"?exited", "{}"},
    };
    play(backend, steps, known);
    backend.closeCommands();
    EXPECT_EQ(backend.end(), 0);
}

TEST_P(LldbBackend, MemoryReadsAndWritesAVariableDisassemblesAtThePcStepsAnInstructionAndStopsAtAnAddress)
{
    Backend backend(GetParam());
    const std::string source = LD_SOURCE_DIR "/example/example_program.c";
    std::map<std::string, std::string> known = {{"example", example},
                                                {"square", std::to_string(lineOf(source, "int square = x * x;"))}};
    const Steps steps = {
        {R"("readMemory","address":0,"count":1048577)", R"(error: field "count" must be at most 1048576)"},
        {R"("readMemory","address":-1,"count":1)", R"(error: field "address" must be a non-negative integer)"},
        {R"("writeMemory","address":0,"data":"abc")", R"(error: field "data" must be hex digits, two for each byte)"},
        {R"("disassemble","address":0,"count":262145)", R"(error: field "count" must be at most 262144)"},
        {R"("instructionBreakpoints","addresses":[{}])", R"(error: an entry of "addresses" has no "address" field)"},
        {R"("readMemory","address":0,"count":1)", "error: no process"},
        {"target create @example@", ""},
        {"breakpoint set -n compute", ""},
        {"process launch", ""},
        {"?stopped exited", R"({"reason":"breakpoint","frame":{"line":@square@}})"},
        {R"("evaluate","expression":"&x")", R"({"type":"int *","address":"~0x[0-9a-f]{16}"})"},
        {R"("evaluate","expression":"(unsigned long)&x")", R"({"value":"=x"})"},
        {R"("readMemory","address":@x@,"count":4)", R"({"data":"01000000"})"},
        {R"("writeMemory","address":@x@,"data":"07000000")", R"({"written":4})"},
        {R"("evaluate","expression":"x")", R"({"value":"7"})"},
        {R"("readMemory","address":0,"count":4)", "error: .+"},
        {R"("evaluate","expression":"(unsigned long)$pc")", R"({"value":"=pc"})"},
        {R"("disassemble","address":@pc@,"count":3)",
         R"({"instructions":[{"address":@pc@,"bytes":"~([0-9a-f]{2})+","text":"~[a-z].*","symbol":"compute",)"
         R"("line":@square@},{"address":"=second"},{"address":"=third"}]})"},
        {R"("disassemble","address":@pc@,"end":@second@,"count":3)", R"({"instructions":[{"address":@pc@}]})"},
        {R"("step","kind":"intoInstruction")", ""},
        {"?stopped exited", R"({"reason":"plan-complete","frame":{"function":"compute"}})"},
        {R"("evaluate","expression":"(unsigned long)$pc")", R"({"value":"@second@"})"},
        {R"("instructionBreakpoints","addresses":[{"address":@third@}])", R"({"breakpoints":[{"verified":true}]})"},
        {R"("step","kind":"continue")", ""},
        {"?stopped exited", R"({"reason":"breakpoint"})"},
        {R"("evaluate","expression":"(unsigned long)$pc")", R"({"value":"@third@"})"},
        {R"("instructionBreakpoints","addresses":[])", R"({"breakpoints":[]})"},
        {"breakpoint delete 1", ""},
        {R"("step","kind":"continue")", ""},
        {"?exited", "{}"},
    };
    play(backend, steps, known);
    backend.closeCommands();
    EXPECT_EQ(backend.end(), 0);
}

// Each launch has /bin/sh write its arguments and its directory to a file, where they must be
// exactly what was sent: nothing on the way reads them as a command line or a shell would.
TEST_P(LldbBackend, LaunchRequestGivesTheProgramItsArgumentsAndDirectoryByteForByteAndStopsAtEntryWhenAsked)
{
    Backend backend(GetParam());
    TempDir scratch;
    const std::string directory = scratch.path() + "/work `dir`\n'é' $HOME";
    const std::string written = scratch.path() + "/written";
    std::filesystem::create_directory(directory);
    const std::vector<std::string> hostile = {"tick `1+1`",
                                              "",
                                              "two\nlines",
                                              "it's \"quoted\" \\ $HOME",
                                              "é ü",
                                              "`touch " + scratch.path() + "/marker`",
                                              "$(touch " + scratch.path() + "/marker)"};
    Json arguments = {"-c", "printf '[%s]' \"$@\" > \"$0\"; pwd -P >> \"$0\"", written};
    std::string expected;
    for (const auto &argument : hostile) {
        arguments.push_back(argument);
        expected += "[" + argument + "]";
    }
    const auto inner = [](const Json &value) { return value.dump().substr(1, value.dump().size() - 2); };
    std::map<std::string, std::string> known = {{"arguments", arguments.dump()}, {"directory", inner(directory)}};
    const Steps refusals = {
        {R"("launch","arguments":"-c")", R"(error: field "arguments" must be an array of strings)"},
        {R"("launch","arguments":["a",1])", R"(error: field "arguments" must be an array of strings)"},
        {R"("launch","arguments":["a\u0000b"])", R"(error: field "arguments" must not hold a NUL character)"},
        {R"("launch","cwd":"")", R"(error: field "cwd" must not be empty)"},
        {R"("launch","cwd":7)", R"(error: field "cwd" must be a string)"},
        {R"("launch","stopAtEntry":1)", R"(error: field "stopAtEntry" must be true or false)"},
        {R"("launch","start":"no")", R"(error: field "start" must be true or false)"},
        {R"("launch","start":false,"stopAtEntry":true)", R"(error: "cwd" and "stopAtEntry" need "start": true)"},
        {R"("launch")", "error: no target"},
        {"target create /bin/sh", ""},
        {R"("launch","cwd":"/nonexistent")", "error: Cannot launch '/bin/sh': chdir failed: No such file or directory"},
    };
    play(backend, refusals, known);
    // Launched at once, stopped at the entry first; kept by the target for a later process launch.
    play(backend,
         {{R"("launch","arguments":@arguments@,"cwd":"@directory@","stopAtEntry":true)", ""},
          {"?stopped exited", R"({"state":"stopped","reason":"signal","signal":"SIGSTOP"})"},
          {R"("step","kind":"continue")", ""},
          {"?exited", R"({"status":0})"}},
         known);
    EXPECT_EQ(readFile(written), expected + directory + "\n");
    std::filesystem::remove(written);
    play(backend,
         {{R"("launch","arguments":@arguments@,"start":false)", ""}, {"process launch", ""}, {"?exited", "{}"}}, known);
    EXPECT_EQ(readFile(written), expected + std::filesystem::current_path().string() + "\n");
    EXPECT_FALSE(std::filesystem::exists(scratch.path() + "/marker"));
    backend.closeCommands();
    EXPECT_EQ(backend.end(), 0);
}

// What a back end sets in its own environment for LLDB's start (the debug server's place, the
// compiled Python module's) stays out of the debuggee's; a value the back end was given passes.
// Python allowed to write compiled modules, the back end still leaves none in LLDB's installation.
TEST_P(LldbBackend, TheDebuggeeGetsTheBackEndsEnvironmentWithoutWhatLldbsStartNeededAndLldbGetsNoFiles)
{
    const std::string compiled = firstLine("/usr/bin/lldb-16 -P") + "/lldb/__pycache__";
    const auto newest = [&] {
        auto latest = std::filesystem::file_time_type::min();
        std::error_code error;
        for (const auto &entry : std::filesystem::directory_iterator(compiled, error))
            latest = std::max(latest, entry.last_write_time());
        return latest;
    };
    const auto before = newest();
    const char *noWriting = getenv("PYTHONDONTWRITEBYTECODE");
    const std::string keptNoWriting = noWriting ? noWriting : "";
    unsetenv("PYTHONDONTWRITEBYTECODE");
    for (const char *given : {static_cast<const char *>(nullptr), "/given/cache"}) {
        SCOPED_TRACE(given ? given : "no cache of the user's");
        given ? setenv("PYTHONPYCACHEPREFIX", given, 1) : unsetenv("PYTHONPYCACHEPREFIX");
        Backend backend(GetParam());
        unsetenv("PYTHONPYCACHEPREFIX");
        TempDir scratch;
        const std::string written = scratch.path() + "/environment";
        const Json arguments = {"-c", "env > \"$0\"", written};
        std::map<std::string, std::string> known = {{"arguments", arguments.dump()}};
        play(backend,
             {{"target create /bin/sh", ""},
              {R"("launch","arguments":@arguments@)", ""},
              {"?exited", R"({"status":0})"}},
             known);
        std::map<std::string, std::string> seen;
        std::istringstream lines(readFile(written));
        for (std::string line; std::getline(lines, line);) {
            if (const size_t equals = line.find('='); equals != std::string::npos)
                seen[line.substr(0, equals)] = line.substr(equals + 1);
        }
        EXPECT_EQ(seen.count("LLDB_DEBUGSERVER_PATH"), 0u);
        if (given)
            EXPECT_EQ(seen["PYTHONPYCACHEPREFIX"], given);
        else
            EXPECT_EQ(seen.count("PYTHONPYCACHEPREFIX"), 0u) << seen["PYTHONPYCACHEPREFIX"];
        EXPECT_EQ(seen["HOME"], getenv("HOME") ? getenv("HOME") : "");
        backend.closeCommands();
        EXPECT_EQ(backend.end(), 0);
    }
    if (noWriting)
        setenv("PYTHONDONTWRITEBYTECODE", keptNoWriting.c_str(), 1);
    EXPECT_TRUE(newest() == before) << "compiled modules written in " << compiled;
}

// A terminal the test owns: what LLDB writes there, read as it grows.
struct Terminal {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    std::string screen;

    Terminal() { EXPECT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0); }
    ~Terminal() { close(master); }
    std::string path() const { return ptsname(master); }
    void type(const std::string &keys)
    {
        EXPECT_EQ(write(master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }
    // Reads until text shows after what was awaited before; what came up to it.
    std::string await(const std::string &text)
    {
        waitUntil([&] {
            char bytes[65536];
            pollfd ready{master, POLLIN, 0};
            while (poll(&ready, 1, 0) > 0 && (ready.revents & POLLIN) != 0) {
                const ssize_t got = read(master, bytes, sizeof bytes);
                if (got <= 0)
                    break;
                screen.append(bytes, static_cast<size_t>(got));
            }
            return screen.find(text) != std::string::npos;
        });
        const size_t at = screen.find(text);
        EXPECT_NE(at, std::string::npos) << "no " << text << " in " << screen;
        std::string seen = screen.substr(0, at == std::string::npos ? 0 : at + text.size());
        screen.erase(0, seen.size());
        return seen;
    }
};

TEST_P(LldbBackend, ConsoleRunsLldbsInterpreterOnTheTerminalWhileTheRecordsStayComplete)
{
    TempDir home;
    writeFile(home.path() + "/.lldbinit", "settings set prompt (init) \n");
    setenv("HOME", home.path().c_str(), 1);
    Backend backend(GetParam());
    Terminal terminal;
    std::map<std::string, std::string> known = {{"terminal", terminal.path()}, {"example", example}};
    play(backend,
         {{R"("console")", R"(error: request "console" has no "terminal" field)"},
          {R"("console","terminal":"")", R"(error: field "terminal" must not be empty)"},
          {R"("console","terminal":7)", R"(error: field "terminal" must be a string)"},
          {R"("console","terminal":"@terminal@","initFile":"yes")", R"(error: field "initFile" must be true or false)"},
          {R"("console","terminal":"/nonexistent")", "error: cannot open /nonexistent: No such file or directory"},
          {R"("console","terminal":"/dev/null")", "error: /dev/null is not a terminal"},
          {R"("consoleSize")", "error: no console"},
          {"target create @example@", ""},
          {R"("console","terminal":"@terminal@","initFile":true)", ""},
          {R"("console","terminal":"@terminal@")", "error: a console is already running"},
          {R"("consoleSize")", ""}},
         known);
    // LLDB's own console: the init file's prompt, its description of each stop with the source
    // line, and the program's output; the records have all of it too, in their own terms.
    terminal.await("(init)");
    terminal.type("breakpoint set -n compute\r");
    terminal.await("(init)");
    terminal.type("process launch\r");
    EXPECT_NE(terminal.await("(init)").find("breakpoint 1.1"), std::string::npos);
    auto stopped = backend.nextState("stopped");
    ASSERT_TRUE(stopped);
    EXPECT_EQ(stopped->value("breakpoint", 0), 1);
    EXPECT_EQ(descriptorCount(stopped->value("pid", 0)), 3u) << "the console's terminal reached the debuggee";
    // The command descriptor keeps serving while the interpreter runs.
    EXPECT_EQ(backend.command("frame variable x").value("output", ""), "(int) x = 1\n");
    terminal.type("breakpoint delete 1\r");
    terminal.await("(init)");
    terminal.type("continue\r");
    const std::string shown = terminal.await("exited with status = 0");
    ASSERT_TRUE(backend.nextState("exited"));
    const std::string written = "step 1 total 2\r\nstep 2 total 7\r\nstep 3 total 17\r\ndone 17\r\n";
    EXPECT_EQ(backend.output(), written);
    for (const std::string line : {"step 1 total 2", "step 3 total 17", "done 17"})
        EXPECT_NE(shown.find(line), std::string::npos) << shown;
    // Keys typed before LLDB's next prompt are the program's, as under lldb.
    terminal.await("(init)");
    terminal.type("quit\r");
    EXPECT_TRUE(backend.next([](const Json &r) { return r.value("type", "") == "console"; }));
    EXPECT_EQ(backend.end(), 0);
}

std::string kindName(const ::testing::TestParamInfo<Kind> &info)
{
    return info.param == Kind::Helper ? "Helper" : "Script";
}

INSTANTIATE_TEST_SUITE_P(Backends, LldbBackend, ::testing::Values(Kind::Helper, Kind::Script), kindName);

// Ended by SIGTERM, SIGKILL, or end of input (0) on the command descriptor.
class LldbBackendEnding : public ::testing::TestWithParam<std::tuple<Kind, int>> {};

TEST_P(LldbBackendEnding, SigintOnlyStopsTheDebuggeeButNoEndingLeavesItOrTheDebugServerRunning)
{
    const auto [kind, ending] = GetParam();
    Backend backend(kind);
    backend.signal(SIGINT);
    EXPECT_TRUE(backend.command("version").value("ok", false)) << "SIGINT with no debuggee ended the back end";
    backend.command("target create " + example);
    // Stopping in spin first: an interrupt while LLDB is busy with the loader stops it there.
    backend.command("breakpoint set -n spin");
    backend.command("process launch -- spin");
    ASSERT_TRUE(backend.nextState("stopped"));
    backend.command("breakpoint delete 1");
    backend.command("continue");
    auto running = backend.nextState("running");
    ASSERT_TRUE(running);
    backend.signal(SIGINT);
    auto stopped = backend.nextState("stopped");
    ASSERT_TRUE(stopped);
    EXPECT_EQ(stopped->value("reason", ""), "signal");
    EXPECT_EQ((*stopped)["frame"].value("function", ""), "spin");
    backend.command("continue");
    ASSERT_TRUE(backend.nextState("running"));

    std::vector<pid_t> below = childrenOf(backend.pid());
    for (size_t i = 0; i < below.size(); ++i) {
        for (pid_t child : childrenOf(below[i]))
            below.push_back(child);
    }
    ASSERT_NE(std::find(below.begin(), below.end(), running->value("pid", 0)), below.end());
    if (ending == 0)
        backend.closeCommands();
    else
        backend.signal(ending);
    auto status = backend.end();
    ASSERT_TRUE(status);
    EXPECT_TRUE(ending == SIGKILL ? WIFSIGNALED(*status) : *status == 0) << *status;
    if (ending != SIGKILL) {
        EXPECT_TRUE(backend.nextState("exited")) << "the last word on the debuggee is not that it has gone";
    }
    for (pid_t pid : below)
        EXPECT_TRUE(processGone(pid)) << "process " << pid << " outlived its back end";
}

INSTANTIATE_TEST_SUITE_P(Endings, LldbBackendEnding,
                         ::testing::Combine(::testing::Values(Kind::Helper, Kind::Script),
                                            ::testing::Values(SIGTERM, 0, SIGKILL)));

// The helper's supervisor loads no LLDB; the worker it forks does. One that cannot says why in
// its only record, as LLDB failing to start would.
TEST(LldbHelperStart, AWorkerThatCannotLoadLldbSaysWhyInItsOnlyRecordAndEndsWithStatusOne)
{
    TempDir directory;
    std::filesystem::copy_file(LD_BUNDLE_DIR "/lldb-helper", directory.path() + "/lldb-helper");
    int command[2], event[2];
    ASSERT_EQ(pipe2(command, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(event, O_CLOEXEC), 0);
    const std::string helper = directory.path() + "/lldb-helper";
    const std::string commandFd = std::to_string(command[0]), eventFd = std::to_string(event[1]);
    const pid_t pid = fork();
    if (pid == 0) {
        fcntl(command[0], F_SETFD, 0);
        fcntl(event[1], F_SETFD, 0);
        execl(helper.c_str(), "lldb-helper", commandFd.c_str(), eventFd.c_str(), nullptr);
        _exit(127);
    }
    close(command[0]);
    close(event[1]);
    std::string events;
    char buffer[4096];
    for (ssize_t got; (got = read(event[0], buffer, sizeof buffer)) > 0;)
        events.append(buffer, static_cast<size_t>(got));
    close(event[0]);
    close(command[1]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    ASSERT_EQ(std::count(events.begin(), events.end(), '\n'), 1) << events;
    const Json record = Json::parse(events);
    EXPECT_EQ(record.value("type", ""), "error");
    EXPECT_NE(record.value("message", "").find("lldb-helper-worker.so"), std::string::npos) << events;
}

} // namespace
