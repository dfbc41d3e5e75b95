// Each debugger's session: how lines to it are framed and numbered, and how the lines it writes
// pair with the commands they answer.

#include <gtest/gtest.h>

#include "host/session/gdb_session.h"
#include "host/session/lldb_session.h"

using namespace local_debugger;

namespace {

// Answers come between asynchronous records, stream text and the debuggee's own lines; only a
// result names the command it answers, and counting answers from a line's start agrees.
TEST(GdbSessionTest, PairsEachAnswerWithItsTokenAmongAsynchronousRecords)
{
    const std::vector<std::pair<std::string, std::optional<uint64_t>>> lines = {
        {"*running,thread-id=\"all\"", {}},
        {"=thread-created,id=\"1\",group-id=\"i1\"", {}},
        {"7^running", 7},
        {"~\"Breakpoint 1, compute\\n\"", {}},
        {"hello 3^done from the program", {}},
        {"*stopped,reason=\"end-stepping-range\",thread-id=\"1\"", {}},
        {"12^done,value=\"5\"", 12},
        {"8*stopped,reason=\"signal-received\"", {}},
        {"13^error,msg=\"No symbol \\\"y\\\" in current context.\"", 13},
        {"(gdb) ", {}},
    };
    for (const auto &[line, token] : lines) {
        const auto record = GdbSession::read(line);
        EXPECT_EQ(record ? GdbSession::answerTo(*record) : std::nullopt, token) << line;
        EXPECT_EQ(GdbSession::answers(line), token.has_value()) << line;
    }
}

// A word GDB reads back as it stands stays one C string on the command's one line.
TEST(GdbSessionTest, QuotedWordsReadBackWholeAndACommandNeverSpansLines)
{
    const std::vector<std::string> words = {
        "plain", "two\nlines", "a \"quoted\" \\ word", "tab\tcr\rbell\a", "--option-like", std::string("\x7f\x01", 2),
        "",      "naïve"};
    for (const auto &word : words) {
        const auto line = GdbSession::command(4, "-break-insert -- " + GdbSession::quoted(word));
        ASSERT_TRUE(line) << word;
        EXPECT_EQ(line->find('\n'), line->size() - 1) << word;
        const auto echoed = GdbSession::read("4^done,x=" + GdbSession::quoted(word));
        ASSERT_TRUE(echoed) << word;
        EXPECT_EQ(echoed->text("x"), word);
        const std::string console = GdbSession::console(5, word);
        EXPECT_EQ(console.find('\n'), console.size() - 1) << word;
    }
    EXPECT_FALSE(GdbSession::command(6, "-exec-next\n-exec-continue"));
}

// Two lines typed at once would take two numbers: refused, they leave the numbering as it was,
// so each later answer still pairs with its own line.
TEST(LldbSessionTest, NumbersOneLineAtATimeAndRefusesTextThatWouldBeTwo)
{
    LldbSession session;
    EXPECT_EQ(session.line("breakpoint set -n compute")->seq, 1u);
    EXPECT_FALSE(session.line("frame variable\nbt"));
    const auto request = session.request({{"request", "input"}, {"data", "one\ntwo\n"}});
    EXPECT_EQ(request.seq, 2u);
    EXPECT_EQ(request.bytes.find('\n'), request.bytes.size() - 1);
    const auto typed = session.line("");
    EXPECT_EQ(typed->seq, 3u);
    EXPECT_EQ(typed->bytes, "\n");

    const std::vector<std::tuple<std::string, LldbRecord::Kind, uint64_t>> records = {
        {R"({"type":"process","state":"running","pid":7})", LldbRecord::Kind::Process, 0},
        {R"({"type":"output","data":"{\"type\":\"result\",\"seq\":9}\n"})", LldbRecord::Kind::Output, 0},
        {R"({"type":"result","seq":2,"ok":true,"output":"","error":""})", LldbRecord::Kind::Result, 2},
        {R"({"type":"error","message":"line 4 is not UTF-8"})", LldbRecord::Kind::Error, 0},
        {R"({"type":"result","seq":3,"ok":false,"output":"","error":"error: x\n"})", LldbRecord::Kind::Result, 3},
    };
    for (const auto &[line, kind, seq] : records) {
        const auto record = LldbSession::read(line);
        ASSERT_TRUE(record) << line;
        EXPECT_EQ(record->kind, kind) << line;
        EXPECT_EQ(record->seq(), seq) << line;
        EXPECT_EQ(LldbSession::answers(line), kind == LldbRecord::Kind::Result) << line;
    }
    EXPECT_FALSE(LldbSession::read("Process 12 launched"));
}

// Stops read into one form: which may be a launch's stop at the entry point or an interrupt's is
// the debugger's own way of telling them; GDB writes an exit code in octal.
TEST(SessionStopTest, StopsOfBothDebuggersReadAsOneForm)
{
    using Cause = DebuggeeStop::Cause;
    struct Case {
        std::string line;
        Cause cause;
        int64_t breakpoint;
        std::string signal;
        bool mayBeEntry, mayBePause;
    };
    const auto check = [](const DebuggeeStop &stop, const Case &expected) {
        EXPECT_EQ(
            std::tuple(stop.cause, stop.breakpoint, stop.signal, stop.mayBeEntry, stop.mayBePause),
            std::tuple(expected.cause, expected.breakpoint, expected.signal, expected.mayBeEntry, expected.mayBePause))
            << expected.line;
    };
    const std::vector<Case> gdb = {
        {R"(*stopped,reason="breakpoint-hit",bkptno="3",thread-id="2",stopped-threads="all")", Cause::Breakpoint, 3, "",
         true, false},
        {R"(*stopped,reason="signal-received",signal-name="SIGINT",signal-meaning="Interrupt",thread-id="2")",
         Cause::Signal, 0, "SIGINT", false, true},
        {R"(*stopped,reason="signal-received",signal-name="SIGSEGV",signal-meaning="Segmentation fault")",
         Cause::Signal, 0, "SIGSEGV", false, false},
        {R"(*stopped,thread-id="2",stopped-threads="all")", Cause::Other, 0, "", false, true},
        {R"(*stopped,reason="end-stepping-range",thread-id="2")", Cause::Other, 0, "", false, false},
    };
    for (const auto &expected : gdb)
        check(GdbSession::stop(*GdbSession::read(expected.line)), expected);
    EXPECT_EQ(GdbSession::exitCode(*GdbSession::read(R"(*stopped,reason="exited",exit-code="012")")), 10);
    EXPECT_EQ(GdbSession::exitCode(*GdbSession::read(R"(*stopped,reason="exited-normally")")), 0);
    EXPECT_EQ(GdbSession::exitCode(*GdbSession::read(gdb[0].line)), std::nullopt);

    const std::vector<Case> lldb = {
        {R"({"type":"process","state":"stopped","reason":"breakpoint","breakpoint":2,"thread":1})", Cause::Breakpoint,
         2, "", false, false},
        {R"({"type":"process","state":"stopped","reason":"signal","signal":"SIGSTOP","thread":1})", Cause::Signal, 0,
         "SIGSTOP", true, true},
        {R"({"type":"process","state":"stopped","reason":"exception","thread":1})", Cause::Exception, 0, "", false,
         false},
        {R"({"type":"process","state":"stopped","reason":"none","thread":1})", Cause::Other, 0, "", true, false},
    };
    for (const auto &expected : lldb)
        check(LldbSession::read(expected.line)->stop(), expected);
}

// A debuggee a signal ended exits with 128 + its number under both debuggers; LLDB tells it as a
// status equal to the number of the signal it last stopped for, one it passes on.
TEST(SessionStopTest, ADeathBySignalIs128PlusItsNumberUnderBothDebuggers)
{
    EXPECT_EQ(GdbSession::exitCode(*GdbSession::read(R"(*stopped,reason="exited-signalled",signal-name="SIGSEGV")")),
              139);
    EXPECT_EQ(GdbSession::exitCode(*GdbSession::read(R"(*stopped,reason="exited-signalled",signal-name="SIGABRT")")),
              134);
    const std::vector<std::tuple<int, std::string, int64_t>> lldb = {
        {11, "SIGSEGV", 139}, {15, "SIGTERM", 143}, {11, "", 11}, {6, "SIGSEGV", 6},
        {19, "SIGSTOP", 19},  {5, "SIGTRAP", 5},    {0, "", 0},   {2, "SIGINT", 2},
    };
    for (const auto &[status, signal, code] : lldb) {
        const auto exited =
            LldbSession::read(R"({"type":"process","state":"exited","status":)" + std::to_string(status) + "}");
        EXPECT_EQ(LldbSession::exitCode(*exited, signal), code) << status << " after " << signal;
    }
}

} // namespace
