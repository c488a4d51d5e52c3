// The driver fuzzer's inputs, replayed with its checks: the committed corpus and each input
// that once found a fault, against the driver this program tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "../common/driver_replay.h"
#include "../common/slurp.h"
#include "tested_driver.h"

namespace
{

std::vector<std::string> InputsIn(const std::string& directory)
{
    std::vector<std::string> paths;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        // The licence beside the seeds taken from receiver logs is not an input.
        if (entry.is_regular_file() && entry.path().filename().string().rfind("COPYING", 0) != 0) {
            paths.push_back(entry.path().string());
        }
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

std::string Replay(const std::string& input, std::string* trace)
{
    TestedDriver drv; // outlives the harness the replay makes
    DriverReplay how;
    how.load = [&drv](standin::Harness& h) { return drv.Load(h, standin::kServicePath); };
    how.trace = trace;
    return ReplayDriverInput(reinterpret_cast<const uint8_t*>(input.data()), input.size(), how);
}

class FuzzInputs : public ::testing::TestWithParam<const char*>
{
};

// Each input passes every check, and a second run takes the very same path.
TEST_P(FuzzInputs, PassTheChecksTheSameWayEachTime)
{
    const std::vector<std::string> paths = InputsIn(GetParam());
    EXPECT_FALSE(paths.empty()) << GetParam();
    for (const std::string& path : paths) {
        const std::string input = Slurp(path);
        std::string first;
        std::string second;
        EXPECT_EQ(Replay(input, &first), "") << path;
        EXPECT_EQ(Replay(input, &second), "") << path;
        EXPECT_NE(first.find("port "), std::string::npos) << path << ": nothing reached the port";
        EXPECT_EQ(first, second) << path;
    }
}

INSTANTIATE_TEST_SUITE_P(Committed, FuzzInputs,
                         ::testing::Values(NMEAFILT_FUZZ_INPUTS "/corpus/driver_fuzz",
                                           NMEAFILT_FUZZ_INPUTS "/regressions/driver_fuzz"),
                         [](const ::testing::TestParamInfo<const char*>& row) {
                             return std::string(row.param).find("regressions") != std::string::npos
                                        ? std::string("Regressions")
                                        : std::string("Corpus");
                         });

} // namespace
