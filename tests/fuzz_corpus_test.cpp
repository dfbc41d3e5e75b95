// Replays the fuzz targets' corpora and saved regressions through the same checks the fuzzers
// run, so that a change which breaks what the fuzzers once established fails here by file name.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "tests/fuzz/dictionary_check.h"
#include "tests/fuzz/frame_decoder_check.h"
#include "tests/fuzz/set_env_check.h"

namespace {

using Check = std::optional<std::string> (*)(const uint8_t *, size_t);

std::vector<std::filesystem::path> inputsIn(const std::string &folder)
{
    std::vector<std::filesystem::path> files;
    const std::filesystem::path dir = std::filesystem::path(LD_SOURCE_DIR) / "tests" / "fuzz" / folder;
    if (!std::filesystem::is_directory(dir))
        return files;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
        if (entry.is_regular_file())
            files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Every failing file is reported, not just the first.
size_t replay(const std::string &folder, Check check)
{
    const std::vector<std::filesystem::path> files = inputsIn(folder);
    for (const std::filesystem::path &file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_TRUE(in.good() || in.eof()) << folder << "/" << file.filename().string() << ": unreadable";
        if (std::optional<std::string> broken = check(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size()))
            ADD_FAILURE() << folder << "/" << file.filename().string() << ": " << *broken;
    }
    return files.size();
}

} // namespace

TEST(FuzzCorpus, FrameDecoder)
{
    EXPECT_GT(replay("corpus/frame_decoder", fuzzcheck::checkFrameDecoder), 0u);
}

TEST(FuzzCorpus, Dictionary)
{
    EXPECT_GT(replay("corpus/dictionary", fuzzcheck::checkDictionary), 0u);
}

TEST(FuzzCorpus, SetEnv)
{
    EXPECT_GT(replay("corpus/set_env", fuzzcheck::checkSetEnv), 0u);
}

// Saved findings of every target; a folder no target reads would be silently ignored.
TEST(FuzzRegressions, EveryTarget)
{
    const std::vector<std::pair<std::string, Check>> targets = {
        {"frame_decoder", fuzzcheck::checkFrameDecoder},
        {"dictionary", fuzzcheck::checkDictionary},
        {"set_env", fuzzcheck::checkSetEnv},
    };
    size_t replayed = 0;
    for (const auto &[target, check] : targets)
        replayed += replay("regressions/" + target, check);
    EXPECT_GT(replayed, 0u);

    const std::filesystem::path root = std::filesystem::path(LD_SOURCE_DIR) / "tests" / "fuzz" / "regressions";
    for (const auto &entry : std::filesystem::directory_iterator(root)) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(std::any_of(targets.begin(), targets.end(), [&](const auto &target) { return target.first == name; }))
            << "regressions/" << name << " belongs to no target";
    }
}
