// Replays the fuzz targets' corpora and saved findings through the same checks the fuzzers run,
// so that a change breaking what the fuzzers once established fails here by file name.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "tests/fuzz/harness.h"
#include "tests/support/files.h"

TEST(FuzzCorpus, EveryCorpusAndRegressionFilePassesItsTargetsChecks)
{
    namespace fs = std::filesystem;
    const std::map<std::string, fuzzharness::Broken (*)(const uint8_t *, size_t)> targets = {
        {"frame_decoder", fuzzharness::checkFrameDecoder},
        {"dictionary", fuzzharness::checkDictionary},
        {"set_env", fuzzharness::checkSetEnv},
    };
    const fs::path root = fs::path(LD_SOURCE_DIR) / "tests" / "fuzz";
    for (const auto &[target, check] : targets) {
        size_t replayed = 0;
        for (const std::string folder : {"corpus/", "regressions/"}) {
            std::error_code absent;
            for (const auto &file : fs::directory_iterator(root / (folder + target), absent)) {
                const std::string bytes = readFile(file.path());
                if (auto broken = check(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size()))
                    ADD_FAILURE() << folder << target << "/" << file.path().filename().string() << ": " << *broken;
                ++replayed;
            }
        }
        EXPECT_GT(replayed, 0u) << target << " has no corpus";
    }
}
