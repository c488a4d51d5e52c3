// nmeafilt replay as a user runs it: output, summary, options and exit codes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>

#include "engine_loop.h"
#include "receiver_model.h"
#include "pty_helpers.h"

namespace nmeafilt
{
namespace
{

using testing_pty::Slurp;
using testing_pty::TempDir;

// Runs the program through the shell; returns its exit code.
int Replay(const std::string& arguments, const TempDir& dir)
{
    const std::string command = std::string(NMEAFILT_PROGRAM) + " replay " + arguments + " > '" +
                                (dir / "out") + "' 2> '" + (dir / "err") + "'";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ReplayCliTest, WithoutArgumentsTheBundledSampleIsRewritten)
{
    TempDir dir;
    ASSERT_EQ(Replay("", dir), 0);
    StringSink expected;
    ReplayThroughEngine(Slurp(NMEAFILT_SAMPLE_PATH), ReplayConfig{}, expected);
    ASSERT_FALSE(expected.output.empty());
    EXPECT_EQ(Slurp(dir / "out"), expected.output);
    const std::string summary = Slurp(dir / "err");
    EXPECT_NE(summary.find("bytes in"), std::string::npos) << summary;
    EXPECT_NE(summary.find("RMC synthesized"), std::string::npos) << summary;
    EXPECT_NE(summary.find("commands written"), std::string::npos) << summary;

    // The same bytes from standard input, and from a named file.
    ASSERT_EQ(Replay(std::string("- < '") + NMEAFILT_SAMPLE_PATH + "'", dir), 0);
    EXPECT_EQ(Slurp(dir / "out"), expected.output);
    ASSERT_EQ(Replay(std::string("--chunk 7 --read-size 13 '") + NMEAFILT_SAMPLE_PATH + "'", dir),
              0);
    EXPECT_EQ(Slurp(dir / "out"), expected.output);
}

TEST(ReplayCliTest, CommandsAreAppendedToTheirFile)
{
    TempDir dir;
    StringSink expected;
    ReplayThroughEngine(Slurp(NMEAFILT_SAMPLE_PATH), ReplayConfig{}, expected);
    ASSERT_FALSE(expected.commands.empty());
    const std::string option = "--commands '" + (dir / "commands") + "'";
    ASSERT_EQ(Replay(option, dir), 0);
    EXPECT_EQ(Slurp(dir / "commands"), expected.commands);
    ASSERT_EQ(Replay(option, dir), 0);
    EXPECT_EQ(Slurp(dir / "commands"), expected.commands + expected.commands);
}

TEST(ReplayCliTest, ExplainTellsTheFateOfEveryLine)
{
    TempDir dir;
    ASSERT_EQ(Replay("--explain", dir), 0);
    const std::string err = Slurp(dir / "err");
    for (const char* fate : {"queued", "rewritten", "synthesized", "bad or missing checksum",
                             "sentence type not handled"}) {
        EXPECT_NE(err.find(fate), std::string::npos) << fate;
    }
    EXPECT_NE(err.find("-> $GPRMC"), std::string::npos);
}

TEST(ReplayCliTest, BadUsageAndUnreadableFiles)
{
    TempDir dir;
    struct Case {
        std::string arguments;
        int code;
    } cases[] = {
        {"--chunk 0", 2},
        {"--chunk 97", 2},
        {"--chunk", 2},
        {"--read-size 0", 2},
        {"--read-size 12x", 2},
        {"--commands", 2},
        {"--verbose", 2},
        {"a b", 2},
        {"--image", 2},
        {std::string("--image '") + NMEAFILT_SAMPLE_PATH + "'", 2}, // this build runs no image
        {"'" + (dir / "missing.nmea") + "'", 1},
        {"--commands '" + (dir / "no-such-dir/c") + "'", 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Replay(c.arguments, dir), c.code) << c.arguments;
        const std::string err = Slurp(dir / "err");
        EXPECT_EQ(err.compare(0, 17, "nmeafilt replay: "), 0) << c.arguments << ": " << err;
        EXPECT_EQ(Slurp(dir / "out"), "") << c.arguments;
    }
}

// A capture that lost its CRs: said on standard error with the count of such lines, and with
// --crlf the filter sees what the receiver sent. CR LF captures get neither.
TEST(ReplayCliTest, LineFeedCapturesAreCountedAndCrlfRestoresThem)
{
    TempDir dir;
    ReceiverModel model(ReceiverConfig{});
    std::string crlf;
    for (int e = 0; e < 20; ++e)
        crlf += model.NextEpoch();
    std::ofstream(dir / "crlf.nmea", std::ios::binary) << crlf;
    std::string lf;
    std::size_t lines = 0;
    for (std::size_t i = 0; i < crlf.size(); ++i) {
        if (crlf[i] == '\r' && i + 1 < crlf.size() && crlf[i + 1] == '\n')
            continue;
        lines += crlf[i] == '\n';
        lf += crlf[i];
    }
    std::ofstream(dir / "lf.nmea", std::ios::binary) << lf;
    ASSERT_EQ(Replay("'" + (dir / "crlf.nmea") + "'", dir), 0);
    const std::string expected = Slurp(dir / "out");
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(Slurp(dir / "err").find("LF without CR"), std::string::npos);

    const struct {
        std::string options;
        bool output; // the sample's output, or none at all
    } cases[] = {{"", false}, {"--crlf", true}};
    for (const auto& c : cases) {
        ASSERT_EQ(Replay(c.options + " '" + (dir / "lf.nmea") + "'", dir), 0) << c.options;
        EXPECT_EQ(Slurp(dir / "out"), c.output ? expected : "") << c.options;
        const std::string err = Slurp(dir / "err");
        EXPECT_NE(err.find(std::to_string(lines) + " lines end in LF without CR"),
                  std::string::npos)
            << err;
        EXPECT_NE(err.find("--crlf"), std::string::npos) << err;
    }
}

} // namespace
} // namespace nmeafilt
