// The driver fuzzer's inputs, replayed with its checks: the committed corpus and each input
// that once found a fault, against the driver this program tests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../common/driver_replay.h"
#include "../common/slurp.h"
#include "tested_driver.h"

namespace
{

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
