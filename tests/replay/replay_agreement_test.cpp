// Replay through the whole driver against the engine alone: the same bytes reach the
// application and the receiver for every port chunk and read size.
#include <gtest/gtest.h>

#include "../common/slurp.h"
#include "driver_loop.h"

namespace
{

class ReplayAgreement : public ::testing::TestWithParam<const char*>
{
};

TEST_P(ReplayAgreement, DriverAndEngineGiveTheSameBytesForEveryChunkAndReadSize)
{
    const std::string path = GetParam();
    const std::string input = Slurp(path);
    ASSERT_FALSE(input.empty()) << path;
    for (unsigned readSize : {1u, 13u, 4096u}) {
        for (unsigned chunk = 1; chunk <= nmeafilt::kMaxChunk; ++chunk) {
            nmeafilt::ReplayConfig config;
            config.chunk = chunk;
            config.readSize = readSize;
            nmeafilt::StringSink engine;
            nmeafilt::StringSink driver;
            FILTER_COUNTERS e = nmeafilt::ReplayThroughEngine(input, config, engine);
            const nmeafilt::DriverReplay replay =
                nmeafilt::ReplayThroughDriver(input, config, driver);
            ASSERT_TRUE(replay.ran) << replay.error;
            const FILTER_COUNTERS& d = replay.counters;
            ASSERT_EQ(driver.output, engine.output)
                << path << " chunk " << chunk << " read " << readSize;
            ASSERT_EQ(driver.commands, engine.commands) << path << " chunk " << chunk;
            ASSERT_EQ(d.SentencesQueued, e.SentencesQueued);
            ASSERT_EQ(d.BytesIn, e.BytesIn);
            ASSERT_EQ(d.BytesOut, e.BytesOut);
            ASSERT_EQ(d.CommandsWritten, e.CommandsWritten);
        }
    }
}

#define DATA NMEAFILT_TEST_DATA "/corpus/"
INSTANTIATE_TEST_SUITE_P(Captures, ReplayAgreement,
                         ::testing::Values(NMEAFILT_SAMPLE_PATH, DATA "bn-9015.log",
                                           DATA "bt451.log", DATA "firefly-II.log",
                                           DATA "gp-320fw-2019-04-07-coldboot.log",
                                           DATA "gpslim236.log", DATA "haicom-305N.log",
                                           DATA "magellan-ec10.log", DATA "mt3339.log",
                                           DATA "nd-1005.log", DATA "neo-m8n.log"));

} // namespace
