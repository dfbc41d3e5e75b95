// The environment block built from set_env payloads, and the edits a launch makes to its copy.

#include <gtest/gtest.h>

#include "environment/environment_block.h"

namespace {

using Lines = std::vector<std::string>;

Lines entries(EnvironBlock block)
{
    Lines result;
    for (size_t i = 0; block != nullptr && block[i] != nullptr; ++i)
        result.emplace_back(block[i]);
    return result;
}

} // namespace

TEST(EnvironmentBlock, PayloadGivesItsStringsInOrderUpToTheFirstEmptyOneOrTheEndOfTheData)
{
    const std::vector<std::pair<std::string, Lines>> cases = {
        {std::string("A=1\0B=22\0A=2\0NOEQUALS\0\0", 23), {"A=1", "B=22", "A=2", "NOEQUALS"}},
        {std::string("A=1\0B=2", 7), {"A=1", "B=2"}},
        {std::string("A=1\0\0JUNK=1\0\0", 13), {"A=1"}},
        {std::string("\0A=1\0\0", 6), {}},
        {std::string(), {}},
    };
    for (const auto &[payload, expected] : cases) {
        // Exactly the payload's size, so nothing past its end is readable by accident.
        std::vector<char> exact(payload.begin(), payload.end());
        replaceEnvironment(exact.data(), exact.size());
        ASSERT_NE(childEnvironment, nullptr) << "an empty payload gave no block instead of an empty one";
        EXPECT_EQ(entries(childEnvironment), expected);
    }
    freeSetEnvironment();
    EXPECT_EQ(childEnvironment, nullptr);
}

TEST(EnvironmentBlock, ALaunchEditsItsCopyReplacingTheFirstWholeNameMatchInPlaceOrAppending)
{
    EXPECT_EQ(snapshotEnvironment(), nullptr);
    std::string payload("PATHX=1\0PATH\0A=1\0A=2\0\0", 22);
    replaceEnvironment(payload.data(), payload.size());
    EnvironBlock copy = snapshotEnvironment();
    EXPECT_EQ(getEnvironValue(copy, "PATH"), nullptr);
    setEnvironVariable(copy, "A", "3");
    setEnvironVariable(copy, "PATH", "/bin");
    // A value taken from the very entry being replaced survives the replacement.
    setEnvironVariable(copy, "A", getEnvironValue(copy, "A"));
    EXPECT_EQ(entries(copy), (Lines{"PATHX=1", "PATH", "A=3", "A=2", "PATH=/bin"}));
    EXPECT_EQ(entries(childEnvironment), (Lines{"PATHX=1", "PATH", "A=1", "A=2"}));
    freeSetEnvironment(copy);
    freeSetEnvironment();
}
