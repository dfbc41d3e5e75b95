// Reading GDB/MI output lines: records as a real session writes them, and lines that are not.

#include <gtest/gtest.h>

#include "host/mi_record.h"

using namespace local_debugger;
using Kind = MiRecord::Kind;

namespace {

// A result list with `levels` lists, one inside the other, holding "x" innermost.
std::string nestedLists(int levels)
{
    return "^done,v=" + std::string(static_cast<size_t>(levels), '[') + "\"x\"" +
           std::string(static_cast<size_t>(levels), ']');
}

std::string innermostPath(int levels)
{
    std::string path = "v";
    for (int i = 0; i < levels; ++i)
        path += ".0";
    return path;
}

struct RecordCase {
    std::string line;
    Kind kind;
    std::optional<uint64_t> token;
    std::string resultClass;
    std::string streamText;
    std::vector<std::pair<std::string, std::string>> fields; // path, expected text
};

TEST(MiRecordTest, ParsesRecordsAsTheDebuggerWritesThem)
{
    const std::vector<RecordCase> cases = {
        {"(gdb) ", Kind::Prompt, {}, "", "", {}},
        {"=thread-group-added,id=\"i1\"", Kind::NotifyAsync, {}, "thread-group-added", "", {{"id", "i1"}}},
        {"12^running", Kind::Result, 12, "running", "", {}},
        {"^exit", Kind::Result, {}, "exit", "", {}},
        {"*running,thread-id=\"all\"", Kind::ExecAsync, {}, "running", "", {{"thread-id", "all"}}},
        {"+download,section=\".text\"", Kind::StatusAsync, {}, "download", "", {{"section", ".text"}}},
        {"^done,bkpt={number=\"1\",type=\"breakpoint\",disp=\"keep\",enabled=\"y\",addr=\"0x0000000000001160\","
         "func=\"compute\",file=\"/work/main/example/example_program.c\",fullname=\"/work/main/example/"
         "example_program.c\",line=\"10\",thread-groups=[\"i1\"],times=\"0\",original-location=\"compute\"}",
         Kind::Result,
         {},
         "done",
         "",
         {{"bkpt.number", "1"},
          {"bkpt.func", "compute"},
          {"bkpt.line", "10"},
          {"bkpt.thread-groups.0", "i1"},
          {"bkpt.original-location", "compute"}}},
        // A breakpoint with several locations: the locations follow as bare tuples.
        {"^done,bkpt={number=\"1\",type=\"breakpoint\",disp=\"keep\",enabled=\"y\",addr=\"<MULTIPLE>\",times=\"0\","
         "original-location=\"twice\"},{number=\"1.1\",enabled=\"y\",addr=\"0x000000000000113a\",func=\"twice\","
         "file=\"/tmp/mi/two.c\",fullname=\"/tmp/mi/two.c\",line=\"1\",thread-groups=[\"i1\"]},{number=\"1.2\","
         "enabled=\"y\",addr=\"0x0000000000001148\",func=\"twice\",file=\"/tmp/mi/two.c\",fullname=\"/tmp/mi/two.c\","
         "line=\"1\",thread-groups=[\"i1\"]}",
         Kind::Result,
         {},
         "done",
         "",
         {{"bkpt.addr", "<MULTIPLE>"}, {"1.number", "1.1"}, {"2.number", "1.2"}}},
        {"*stopped,reason=\"breakpoint-hit\",disp=\"keep\",bkptno=\"1\",frame={addr=\"0x0000555555555160\","
         "func=\"compute\",args=[{name=\"x\",value=\"1\"}],file=\"/work/main/example/example_program.c\","
         "fullname=\"/work/main/example/example_program.c\",line=\"10\",arch=\"i386:x86-64\"},thread-id=\"1\","
         "stopped-threads=\"all\",core=\"0\"",
         Kind::ExecAsync,
         {},
         "stopped",
         "",
         {{"reason", "breakpoint-hit"},
          {"frame.func", "compute"},
          {"frame.line", "10"},
          {"frame.args.0.name", "x"},
          {"frame.args.0.value", "1"},
          {"thread-id", "1"},
          {"core", "0"}}},
        {"^done,stack=[frame={level=\"0\",addr=\"0x0000555555555160\",func=\"compute\",file=\"/work/main/example/"
         "example_program.c\",fullname=\"/work/main/example/example_program.c\",line=\"10\",arch=\"i386:x86-64\"},"
         "frame={level=\"1\",addr=\"0x00005555555551de\",func=\"main\",file=\"/work/main/example/example_program.c\","
         "fullname=\"/work/main/example/example_program.c\",line=\"26\",arch=\"i386:x86-64\"}]",
         Kind::Result,
         {},
         "done",
         "",
         {{"stack.frame.func", "compute"}, {"stack.1.func", "main"}, {"stack.1.line", "26"}}},
        {"^error,msg=\"No symbol \\\"nosuch\\\" in current context.\"",
         Kind::Result,
         {},
         "error",
         "",
         {{"msg", "No symbol \"nosuch\" in current context."}}},
        // Raw bytes pass through; an escaped backslash before digits is not an octal escape.
        {"^done,value=\"\\\"a\302\240b\\\\033\\\"\"", Kind::Result, {}, "done", "", {{"value", "\"a\302\240b\\033\""}}},
        {"~\"10\\t    int square = x * x;\\n\"", Kind::ConsoleStream, {}, "", "10\t    int square = x * x;\n", {}},
        {"~\"\\302\\240\\033[0m\\r\\n\\q\"", Kind::ConsoleStream, {}, "", "\302\240\033[0m\r\nq", {}},
        {"@\"step 1 total 2\\n\"", Kind::TargetStream, {}, "", "step 1 total 2\n", {}},
        {"&\"Undefined command: \\\"nosuchcmd\\\".  Try \\\"help\\\".\\n\"",
         Kind::LogStream,
         {},
         "",
         "Undefined command: \"nosuchcmd\".  Try \"help\".\n",
         {}},
        {nestedLists(maxMiNesting), Kind::Result, {}, "done", "", {{innermostPath(maxMiNesting), "x"}}},
    };
    for (const RecordCase &c : cases) {
        SCOPED_TRACE(c.line);
        std::optional<MiRecord> record = parseMiRecord(c.line);
        ASSERT_TRUE(record.has_value());
        EXPECT_EQ(record->kind, c.kind);
        EXPECT_EQ(record->token, c.token);
        EXPECT_EQ(record->resultClass, c.resultClass);
        EXPECT_EQ(record->streamText, c.streamText);
        for (const auto &[path, expected] : c.fields)
            EXPECT_EQ(record->text(path), std::optional<std::string_view>(expected)) << path;
    }
}

TEST(MiRecordTest, RejectsLinesThatAreNotRecords)
{
    const std::vector<std::string> lines = {
        "",
        "hello world",
        "step 1 total 2",
        "^",
        "12",
        "12~\"a token on a stream\"",
        "99999999999999999999999^done",
        "(gdb) x",
        "~\"unterminated",
        "~\"ends in a backslash\\",
        "~\"text\" and more",
        "~plain",
        "^done,msg=\"\\400\"",
        "^done,a={b=\"1\"",
        "^done,a=[b=\"1\"}",
        "^done,a=\"1\"}",
        "^done,a=",
        "^done,=\"1\"",
        "^done,a={\"bare value in a tuple\"}",
        "^done a=\"1\"",
        nestedLists(maxMiNesting + 1),
        "^done,v=" + std::string(100000, '{'),
    };
    for (const std::string &line : lines)
        EXPECT_FALSE(parseMiRecord(line).has_value()) << line.substr(0, 80);
}

TEST(MiRecordTest, FindsOnlyPathsThatLeadToValues)
{
    std::optional<MiRecord> record = parseMiRecord("^done,stack=[frame={level=\"0\"}],none=[],empty={}");
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->find("none")->kind, MiValue::Kind::List);
    EXPECT_EQ(record->find("empty")->kind, MiValue::Kind::Tuple);
    for (const char *path : {"stack.1", "stack.0.level.x", "missing", "stack..level"})
        EXPECT_EQ(record->find(path), nullptr) << path;
    EXPECT_FALSE(record->text("stack.0").has_value()); // a tuple, not text
}

} // namespace
