// nmeafilt simulate as a program, over real pseudo-terminals. Time-outs are generous and only
// guard against hangs; no result depends on timing.
#include "pty_helpers.h"

namespace nmeafilt
{
namespace
{

using namespace testing_pty;

TEST(SimulateTest, ServesAReaderAndObeysTheRateCommands)
{
    TempDir dir;
    std::string link = dir / "gps";
    std::string err = dir / "err";
    Program sim({"simulate", "--pty", link, "--mode", "utc", "--rate", "10", "--baud", "115200"},
                err);
    ASSERT_TRUE(WaitFor(link, 10000));
    std::string error;
    int fd = OpenDevice(link, 115200, &error);
    ASSERT_GE(fd, 0) << error;
    LineReader reader(fd);

    // A whole epoch, without RMC while its output is off.
    std::vector<std::string> types;
    EXPECT_GE(EpochsUntil(reader,
                          [&](const std::vector<std::string>& epoch) {
                              for (const std::string& line : epoch)
                                  types.push_back(line.substr(1, line.find(',') - 1));
                              return true;
                          }),
              0);
    ASSERT_GE(types.size(), 6u);
    EXPECT_EQ(types.front(), "GPGGA");
    EXPECT_EQ(types.back(), "PQXN");
    EXPECT_EQ(std::count(types.begin(), types.end(), "GPRMC"), 0);

    Send(fd, CommandText(RmcRateCommand));
    EXPECT_GE(EpochsUntil(reader, HasRmc), 0) << "RMC after the RMC command";
    Send(fd, CommandText(ErrRateCommand));
    EXPECT_GE(EpochsUntil(reader, [](const std::vector<std::string>& e) { return !HasRmc(e); }), 0)
        << "no RMC after the err command";

    // The reader hangs up: the receiver goes away cleanly.
    close(fd);
    EXPECT_EQ(sim.Wait(10000), 0);
    EXPECT_FALSE(Exists(link));
    std::string summary = Slurp(err);
    EXPECT_NE(summary.find("reader hung up"), std::string::npos) << summary;
    EXPECT_NE(summary.find("RMC on 1, RMC off 1, other lines 0"), std::string::npos) << summary;
}

TEST(SimulateTest, StopsOnSigtermAndRemovesItsLink)
{
    TempDir dir;
    std::string link = dir / "gps";
    Program sim({"simulate", "--pty", link}, dir / "err");
    ASSERT_TRUE(WaitFor(link, 10000));
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(10000), 0);
    EXPECT_FALSE(Exists(link));
    EXPECT_NE(Slurp(dir / "err").find("stopped"), std::string::npos);
}

TEST(SimulateTest, EndsAfterItsSecondsWithNobodyListening)
{
    TempDir dir;
    std::string link = dir / "gps";
    Program sim({"simulate", "--pty", link, "--seconds", "1", "--rate", "20", "--baud", "115200"},
                dir / "err");
    EXPECT_EQ(sim.Wait(20000), 0);
    EXPECT_FALSE(Exists(link));
    std::string summary = Slurp(dir / "err");
    EXPECT_NE(summary.find("time up after 20 epochs; 0 bytes sent"), std::string::npos) << summary;
}

// On an existing device: here the slave side of a pseudo-terminal the test holds.
TEST(SimulateTest, SendsOnAnExistingDevice)
{
    TempDir dir;
    PtyLink line;
    std::string error;
    ASSERT_TRUE(line.Create(dir / "line", &error)) << error;
    Program sim({"simulate", "--port", line.Link(), "--mode", "gps", "--rate", "10", "--baud",
                 "115200", "--seconds", "2", "--rmc", "on", "--seed", "4"},
                dir / "err");
    for (long long end = NowMs() + 10000; !line.PeerConnected() && NowMs() < end;)
        usleep(10000);
    ASSERT_TRUE(line.PeerConnected());
    LineReader reader(line.Master());
    int pqxn = 0;
    for (int i = 0; i < 60 && pqxn < 3; ++i) {
        std::string s = reader.Next(5000);
        ASSERT_FALSE(s.empty());
        EXPECT_TRUE(ChecksumValid(s)) << s;
        if (IsType(s, "GPGGA")) {
            EXPECT_EQ(s.compare(0, 8, "$GPGGA,,"), 0) << "no time in gps mode: " << s;
        }
        pqxn += IsType(s, "PQXN");
    }
    EXPECT_EQ(pqxn, 3);
    Send(line.Master(), CommandText(ErrRateCommand));
    // Keep reading so that the line never fills up.
    int code = -1;
    for (long long end = NowMs() + 20000; code < 0 && NowMs() < end; code = sim.Wait(0))
        reader.Next(100);
    EXPECT_EQ(code, 0);
    std::string summary = Slurp(dir / "err");
    EXPECT_NE(summary.find("time up after 20 epochs"), std::string::npos) << summary;
    EXPECT_NE(summary.find("RMC output off"), std::string::npos) << summary;
}

TEST(SimulateTest, BadUsageAndUnusableDevices)
{
    TempDir dir;
    std::string file = dir / "file";
    std::ofstream(file) << "keep";
    struct Case {
        std::vector<std::string> args;
        int code;
    } cases[] = {
        {{"--mode", "glonass"}, 2},
        {{"--rate", "0"}, 2},
        {{"--rate", "21"}, 2},
        {{"--baud", "4801"}, 2},
        {{"--seconds", "-1"}, 2},
        {{"--seed", "x"}, 2},
        {{"--rmc", "maybe"}, 2},
        {{"--port", "/dev/null", "--pty", dir / "gps"}, 2},
        {{"--frobnicate", "1"}, 2},
        {{"--seconds"}, 2},
        {{"--port", "/nonexistent/ttyUSB9"}, 1},
        {{"--pty", file}, 1},
        {{"--pty", dir / "missing-dir/gps"}, 1},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"simulate"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Program sim(args, dir / "err");
        EXPECT_EQ(sim.Wait(10000), c.code) << c.args[0];
        std::string message = Slurp(dir / "err");
        EXPECT_EQ(message.compare(0, 19, "nmeafilt simulate: "), 0) << message;
    }
    EXPECT_EQ(Slurp(file), "keep");
    EXPECT_FALSE(Exists(dir / "gps"));
}

} // namespace
} // namespace nmeafilt

namespace nmeafilt
{
namespace
{

// simulate as a user may misuse it: a regular file is no serial port, and a line too slow for
// the epochs asked for is said before it runs.
TEST(SimulateTest, RefusesAFileAndWarnsOfASlowLine)
{
    testing_pty::TempDir dir;
    std::ofstream(dir / "file") << "keep";
    testing_pty::Program file({"simulate", "--port", dir / "file"}, dir / "file.err");
    EXPECT_EQ(file.Wait(10000), 1);
    EXPECT_NE(testing_pty::Slurp(dir / "file.err").find("is a regular file, not a serial device"),
              std::string::npos);
    EXPECT_EQ(testing_pty::Slurp(dir / "file"), "keep");

    testing_pty::Program slow({"simulate", "--rate", "20", "--baud", "4800", "--pty", dir / "slow"},
                              dir / "slow.err");
    for (long long end = NowMs() + 10000;
         testing_pty::Slurp(dir / "slow.err").find("receiver on") == std::string::npos &&
         NowMs() < end;)
        usleep(10000);
    slow.Signal(SIGTERM);
    EXPECT_EQ(slow.Wait(10000), 0);
    EXPECT_NE(testing_pty::Slurp(dir / "slow.err").find("20 epochs a second need --baud"),
              std::string::npos)
        << testing_pty::Slurp(dir / "slow.err");
}

} // namespace
} // namespace nmeafilt
