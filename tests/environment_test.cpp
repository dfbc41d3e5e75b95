// The environment block: payload parsing, order and duplicates, the matching rule, and the
// difference between no block and an empty one.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "environment/environment_block.h"

namespace {

std::vector<std::string> entries(EnvironBlock block)
{
    std::vector<std::string> result;
    for (size_t i = 0; block != nullptr && block[i] != nullptr; ++i)
        result.emplace_back(block[i]);
    return result;
}

void replaceWith(const std::string &payload)
{
    replaceEnvironment(payload.data(), payload.size());
}

class EnvironmentBlockTest : public ::testing::Test {
protected:
    void TearDown() override { freeSetEnvironment(); }
};

} // namespace

TEST_F(EnvironmentBlockTest, PayloadGivesItsStringsInOrderWithDuplicatesKept)
{
    replaceWith(std::string("A=1\0B=22\0A=2\0NOEQUALS\0\0", 23));
    EXPECT_EQ(entries(childEnvironment), (std::vector<std::string>{"A=1", "B=22", "A=2", "NOEQUALS"}));
    std::lock_guard<std::mutex> guard(environmentLock);
    EXPECT_STREQ(getEnvironValue("A"), "1");
}

TEST_F(EnvironmentBlockTest, EmptyPayloadsGiveAnEmptyBlockNotNoBlock)
{
    for (const std::string &payload : {std::string("\0", 1), std::string("\0A=1\0\0", 6), std::string()}) {
        replaceWith(payload);
        ASSERT_NE(childEnvironment, nullptr);
        EXPECT_EQ(childEnvironment[0], nullptr);
    }
    replaceEnvironment(nullptr, 0);
    ASSERT_NE(childEnvironment, nullptr);
    EXPECT_EQ(childEnvironment[0], nullptr);
    freeSetEnvironment();
    EXPECT_EQ(childEnvironment, nullptr);
}

TEST_F(EnvironmentBlockTest, WalkStopsAtTheEndOfTheDataAndIgnoresWhatFollowsTheTerminator)
{
    // No terminating empty string, and the last string has no NUL: cut at the end of the data.
    std::string unterminated("A=1\0B=2", 7);
    std::vector<char> exact(unterminated.begin(), unterminated.end()); // nothing readable past it
    replaceEnvironment(exact.data(), exact.size());
    EXPECT_EQ(entries(childEnvironment), (std::vector<std::string>{"A=1", "B=2"}));

    replaceWith(std::string("A=1\0\0JUNK=1\0\0", 13));
    EXPECT_EQ(entries(childEnvironment), (std::vector<std::string>{"A=1"}));
}

TEST_F(EnvironmentBlockTest, LargePayloadKeepsEveryEntry)
{
    std::string payload;
    for (int i = 0; i < 100000; ++i)
        payload += "VARIABLE_" + std::to_string(i) + "=" + std::string(40, 'v') + '\0';
    payload += '\0';
    replaceWith(payload);
    auto all = entries(childEnvironment);
    ASSERT_EQ(all.size(), 100000u);
    EXPECT_EQ(all.front().substr(0, 11), "VARIABLE_0=");
    EXPECT_EQ(all.back().substr(0, 16), "VARIABLE_99999=v");
}

TEST_F(EnvironmentBlockTest, MatchingNeedsTheWholeNameFollowedByEquals)
{
    replaceWith(std::string("PATHX=1\0PATH\0path=3\0", 20));
    std::lock_guard<std::mutex> guard(environmentLock);
    EXPECT_EQ(getEnvironValue("PATH"), nullptr);
    EXPECT_EQ(getEnvironValue("PAT"), nullptr);
    EXPECT_STREQ(getEnvironValue("PATHX"), "1");
    EXPECT_STREQ(getEnvironValue("path"), "3");
}

TEST_F(EnvironmentBlockTest, SettingReplacesTheFirstMatchInPlaceOrAppends)
{
    replaceWith(std::string("A=1\0A=2\0B=5\0\0", 14));
    setEnvironVariable("A", "3");
    setEnvironVariable("C", "");
    EXPECT_EQ(entries(childEnvironment), (std::vector<std::string>{"A=3", "A=2", "B=5", "C="}));
    std::lock_guard<std::mutex> guard(environmentLock);
    ASSERT_NE(getEnvironValue("C"), nullptr);
    EXPECT_STREQ(getEnvironValue("C"), "");
}

TEST_F(EnvironmentBlockTest, SettingOnNoBlockCreatesOneEntry)
{
    EXPECT_EQ(childEnvironment, nullptr);
    setEnvironVariable("X", "1");
    EXPECT_EQ(entries(childEnvironment), (std::vector<std::string>{"X=1"}));
}

TEST_F(EnvironmentBlockTest, ValueTakenFromTheEntryBeingReplacedSurvives)
{
    replaceWith(std::string("PATH=/usr/bin\0\0", 15));
    std::lock_guard<std::mutex> guard(environmentLock);
    setEnvironVariable(childEnvironment, "PATH", getEnvironValue("PATH"));
    EXPECT_EQ(entries(childEnvironment), (std::vector<std::string>{"PATH=/usr/bin"}));
}

TEST_F(EnvironmentBlockTest, ChildCopyChangesLeaveTheServiceBlockAlone)
{
    replaceWith(std::string("A=1\0\0", 5));
    EnvironBlock copy = snapshotEnvironment();
    setEnvironVariable(copy, "A", "changed");
    _appendEnviron(copy, "B=2");
    EXPECT_EQ(entries(copy), (std::vector<std::string>{"A=changed", "B=2"}));
    EXPECT_EQ(entries(childEnvironment), (std::vector<std::string>{"A=1"}));
    freeSetEnvironment(copy);
    EXPECT_EQ(copy, nullptr);

    freeSetEnvironment();
    EnvironBlock absentCopy = snapshotEnvironment();
    EXPECT_EQ(absentCopy, nullptr);
}
