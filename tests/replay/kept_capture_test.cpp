// The sample as it was bundled before the receiver's GPS-UTC offset was corrected, kept with
// what the filter made of it: its replay must not change by a byte, however it is read.
#include <gtest/gtest.h>

#include "../common/slurp.h"
#include "driver_loop.h"

namespace
{

#define KEPT NMEAFILT_TEST_DATA "/sample-gps17/"

struct Reading {
    unsigned chunk;
    unsigned readSize;
};

TEST(KeptCapture, ReplaysToTheSameBytesAndCommandsAsWhenItWasKept)
{
    const std::string capture = Slurp(KEPT "capture.nmea");
    const std::string output = Slurp(KEPT "replay.out");
    const std::string commands = Slurp(KEPT "replay.commands");
    ASSERT_FALSE(capture.empty());
    ASSERT_FALSE(output.empty());
    ASSERT_FALSE(commands.empty());
    for (const Reading& r : {Reading{nmeafilt::kMaxChunk, nmeafilt::kDefaultReadSize},
                             Reading{7, 13}, Reading{1, 1}}) {
        nmeafilt::ReplayConfig config;
        config.chunk = r.chunk;
        config.readSize = r.readSize;
        nmeafilt::StringSink sink;
        const nmeafilt::DriverReplay replay = nmeafilt::ReplayThroughDriver(capture, config, sink);
        ASSERT_TRUE(replay.ran) << replay.error;
        EXPECT_EQ(sink.output, output) << "chunk " << r.chunk << ", read " << r.readSize;
        EXPECT_EQ(sink.commands, commands) << "chunk " << r.chunk << ", read " << r.readSize;
    }
}

} // namespace

// The bundled sample's receiver keeps GPS time as the filter expects it: the RMC sentences the
// filter builds and the receiver's own run in order, never a second back.
TEST(BundledSample, RmcTimesNeverGoBack)
{
    nmeafilt::StringSink sink;
    ASSERT_TRUE(
        nmeafilt::ReplayThroughDriver(Slurp(NMEAFILT_SAMPLE_PATH), nmeafilt::ReplayConfig(), sink)
            .ran);
    std::string last;
    int times = 0;
    for (std::size_t at = sink.output.find("$GPRMC,"); at != std::string::npos;
         at = sink.output.find("$GPRMC,", at + 1)) {
        const std::string time = sink.output.substr(at + 7, sink.output.find(',', at + 7) - at - 7);
        if (time.empty()) {
            continue; // no time known yet
        }
        EXPECT_GE(time, last) << "after " << last;
        last = time;
        ++times;
    }
    EXPECT_GT(times, 30);
}
