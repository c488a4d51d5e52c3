// nmeafilt run over real pseudo-terminals: the simulated receiver below, a reader on the output
// link above, the driver in the stand-in between. Time-outs only guard against hangs.
#include "pty_helpers.h"

#include "driver_loop.h"

namespace nmeafilt
{
namespace
{

using namespace testing_pty;

std::vector<std::string> Field(const std::string& line)
{
    std::vector<std::string> fields;
    std::string body = line.substr(1, line.find('*') - 1);
    std::stringstream in(body);
    std::string f;
    while (std::getline(in, f, ','))
        fields.push_back(f);
    return fields;
}

struct Stack {
    TempDir dir;
    std::string receiver = dir / "receiver";
    std::string served = dir / "served";
};

TEST(RunTest, GpsModeStreamIsRewrittenAndTheErrCommandReachesTheReceiver)
{
    Stack s;
    Program sim({"simulate", "--pty", s.receiver, "--mode", "gps", "--rmc", "on", "--rate", "10",
                 "--baud", "115200", "--seed", "21"},
                s.dir / "sim.err");
    ASSERT_TRUE(WaitFor(s.receiver, 10000));
    Program run({"run", "--port", s.receiver, "--baud", "115200", "--pty", s.served},
                s.dir / "run.err");
    ASSERT_TRUE(WaitFor(s.served, 10000));
    std::string error;
    int fd = OpenDevice(s.served, 115200, &error);
    ASSERT_GE(fd, 0) << error;
    LineReader reader(fd);

    // Until the receiver has stopped its own RMC and the filter's RMC carries a fix and a time:
    // every epoch then holds exactly one RMC, the synthesized one, and no time sentence.
    int epochs = EpochsUntil(
        reader,
        [](const std::vector<std::string>& epoch) {
            int rmc = 0;
            bool fixedWithTime = false;
            for (const std::string& line : epoch) {
                EXPECT_FALSE(IsType(line, "PQXN")) << line;
                if (IsType(line, "GPRMC")) {
                    ++rmc;
                    std::vector<std::string> f = Field(line);
                    fixedWithTime = f.size() == 13 && f[2] == "A" && f[1].size() == 6 &&
                                    f[9].size() == 6 && f[12] == "A";
                }
            }
            return rmc == 1 && fixedWithTime;
        },
        400);
    EXPECT_GE(epochs, 0) << "no epoch with the synthesized RMC alone";
    std::string gga;
    while (!IsType(gga = reader.Next(5000), "GPGGA") && !gga.empty()) {
    }
    EXPECT_EQ(Field(gga)[1].size(), 6u) << "GGA time filled by the filter: " << gga;

    // The receiver goes away: run closes down cleanly and removes its link.
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(10000), 0);
    EXPECT_EQ(run.Wait(10000), 0);
    close(fd);
    EXPECT_FALSE(Exists(s.served));
    std::string simSummary = Slurp(s.dir / "sim.err");
    EXPECT_NE(simSummary.find("RMC output off"), std::string::npos) << simSummary;
    std::string runSummary = Slurp(s.dir / "run.err");
    EXPECT_NE(runSummary.find("RMC synthesized"), std::string::npos) << runSummary;
    EXPECT_NE(runSummary.find("the device hung up"), std::string::npos) << runSummary;
    EXPECT_EQ(runSummary.find(" 0 commands written"), std::string::npos) << runSummary;
}

TEST(RunTest, UtcModeReceiverIsAskedForItsRmc)
{
    Stack s;
    Program sim({"simulate", "--pty", s.receiver, "--mode", "utc", "--rate", "10", "--baud",
                 "115200", "--seed", "3"},
                s.dir / "sim.err");
    ASSERT_TRUE(WaitFor(s.receiver, 10000));
    Program run({"run", "--port", s.receiver, "--baud", "115200", "--output", s.dir / "out"},
                s.dir / "run.err");
    // The receiver's own RMC (with its fractional seconds) comes through once it was asked.
    bool receiverRmc = false;
    for (long long end = NowMs() + 20000; !receiverRmc && NowMs() < end; usleep(50000)) {
        std::istringstream out(Slurp(s.dir / "out"));
        std::string line;
        while (std::getline(out, line)) {
            if (line.compare(0, 7, "$GPRMC,") == 0 && line.find('.') == 13)
                receiverRmc = true;
        }
    }
    EXPECT_TRUE(receiverRmc);
    run.Signal(SIGINT);
    EXPECT_EQ(run.Wait(10000), 0);
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(10000), 0);
    EXPECT_EQ(Slurp(s.dir / "sim.err").find("RMC on 0,"), std::string::npos);
    EXPECT_NE(Slurp(s.dir / "run.err").find("stopped"), std::string::npos);
}

// The number before `label` in the summary ("nmeafilt: 123 bytes out"), or -1.
long long SummaryFigure(const std::string& summary, const std::string& label)
{
    std::size_t at = summary.find(" " + label);
    if (at == std::string::npos)
        return -1;
    std::size_t start = summary.rfind(' ', at - 1);
    return std::stoll(summary.substr(start + 1, at - start - 1));
}

// The device hangs up while the reader of the served terminal is behind: run hands over what it
// has already written before it removes the terminal, so the reader gets every sentence the
// summary counts.
TEST(RunTest, AReaderBehindAtTheHangUpGetsEverythingDelivered)
{
    Stack s;
    PtyLink line; // the receiver's end of the device
    std::string error;
    ASSERT_TRUE(line.Create(s.receiver, &error)) << error;
    Program run({"run", "--port", s.receiver, "--baud", "115200", "--pty", s.served},
                s.dir / "run.err");
    ASSERT_TRUE(WaitFor(s.served, 10000));
    for (long long end = NowMs() + 10000; !line.PeerConnected() && NowMs() < end;)
        usleep(10000);
    ASSERT_TRUE(line.PeerConnected());
    // Once run says it serves, it has flushed what waited on the device before it came.
    for (long long end = NowMs() + 10000;
         Slurp(s.dir / "run.err").find("serving") == std::string::npos && NowMs() < end;)
        usleep(10000);
    int reader = OpenDevice(s.served, 115200, &error);
    ASSERT_GE(reader, 0) << error;

    // Several kilobytes of output at once, which the reader does not read yet.
    ReceiverConfig config;
    config.seed = 5;
    config.rateHz = 10;
    config.rmcOutput = true;
    ReceiverModel model(config);
    std::string capture;
    while (capture.size() < 10000)
        capture += model.NextEpoch();
    Send(line.Master(), capture);
    // The receiver hangs up once run has read all it sent.
    ASSERT_TRUE(line.WaitUntilTaken(10000));
    line.Close();
    usleep(500000); // run has seen the hang-up by now, and waits for the reader

    std::string received;
    char buffer[4096];
    for (long long end = NowMs() + 10000; NowMs() < end;) {
        ssize_t n = ReadAvailable(reader, buffer, sizeof buffer, 200);
        if (n < 0)
            break; // run has closed the terminal
        received.append(buffer, static_cast<std::size_t>(n));
    }
    close(reader);
    EXPECT_EQ(run.Wait(10000), 0);
    EXPECT_FALSE(Exists(s.served));

    const std::string summary = Slurp(s.dir / "run.err");
    EXPECT_NE(summary.find("the device hung up or ended"), std::string::npos) << summary;
    EXPECT_EQ(summary.find("lost"), std::string::npos) << summary;
    EXPECT_EQ(summary.find("had not taken"), std::string::npos) << summary;
    const long long sentences = std::count(received.begin(), received.end(), '\n');
    EXPECT_GT(received.size(), 4000u);
    EXPECT_EQ(static_cast<long long>(received.size()), SummaryFigure(summary, "bytes out"))
        << summary;
    EXPECT_EQ(sentences, SummaryFigure(summary, "sentences queued")) << summary;
    EXPECT_EQ(received.compare(0, 1, "$"), 0);
}

// A capture file as the device: run reads it to its end and delivers what replay delivers.
TEST(RunTest, FileDeviceGivesTheSameStreamAsReplay)
{
    TempDir dir;
    ReceiverConfig config;
    config.mode = TimeMode::Gps;
    config.seed = 9;
    config.rmcOutput = true;
    ReceiverModel model(config);
    std::string capture;
    for (int e = 0; e < 40; ++e)
        capture += model.NextEpoch();
    std::ofstream(dir / "capture") << capture;

    Program run({"run", "--port", dir / "capture", "--output", dir / "run.out"}, dir / "run.err");
    EXPECT_EQ(run.Wait(20000), 0);
    std::string command = std::string(NMEAFILT_PROGRAM) + " replay '" + (dir / "capture") +
                          "' > '" + (dir / "replay.out") + "' 2> '" + (dir / "replay.err") + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::string ran = Slurp(dir / "run.out");
    EXPECT_GT(ran.size(), capture.size() / 2);
    EXPECT_EQ(ran, Slurp(dir / "replay.out"));
    // The same summary, and why run ended.
    // The same summary, but for the commands, which a file does not take; and why run ended.
    std::string summary = Slurp(dir / "replay.err");
    const std::string written = " commands written\n";
    summary.replace(summary.find(written), written.size(),
                    " commands not sent: the device is no serial line\n");
    EXPECT_EQ(Slurp(dir / "run.err"), summary + "nmeafilt run: the device hung up or ended\n");
}

// The replay progress bar is fed by the driver loop: never backwards, ending at the whole input.
TEST(ReplayProgressTest, RisesToTheWholeInput)
{
    ReceiverConfig rc;
    rc.rmcOutput = true;
    ReceiverModel model(rc);
    std::string capture;
    for (int e = 0; e < 30; ++e)
        capture += model.NextEpoch();
    ReplayConfig config;
    std::vector<std::pair<size_t, size_t>> calls;
    config.progress = [&](size_t consumed, size_t total) { calls.emplace_back(consumed, total); };
    StringSink sink;
    ASSERT_TRUE(ReplayThroughDriver(capture, config, sink).ran);
    ASSERT_GT(calls.size(), capture.size() / kMaxChunk);
    for (std::size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].second, capture.size());
        EXPECT_LE(calls[i].first, capture.size());
        if (i > 0) {
            EXPECT_GE(calls[i].first, calls[i - 1].first);
        }
    }
    EXPECT_EQ(calls.back().first, capture.size());
}

TEST(RunTest, BadUsageAndUnusableDevicesOrLinks)
{
    TempDir dir;
    std::string file = dir / "file";
    std::ofstream(file) << "keep";
    struct Case {
        std::vector<std::string> args;
        int code;
    } cases[] = {
        {{}, 2},
        {{"--baud", "4800"}, 2},
        {{"--port", "/dev/null", "--baud", "300"}, 2},
        {{"--port", "/dev/null", "--pty", dir / "a", "--output", dir / "b"}, 2},
        {{"--port", "/dev/null", "--pty", dir / "a", "-"}, 2},
        {{"--port", "/dev/null", "--verbose"}, 2},
        {{"--port"}, 2},
        {{"--port", "/dev/null", "--image", "/dev/null"}, 2}, // this build runs no image
        {{"--port", "/nonexistent/ttyUSB9", "--wait", "0"}, 1},
        {{"--port", "/nonexistent/ttyUSB9", "--wait", "1"}, 1},
        {{"--port", "/dev/null", "--pty", dir / "a", "--pty-group", "no-such-group"}, 1},
        {{"--port", "/dev/null", "--pty-mode", "0888"}, 2},
        {{"--port", "/dev/null", "--pty", file}, 1},
        {{"--port", "/dev/null", "--output", dir / "missing-dir/out"}, 1},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"run"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Program run(args, dir / "err");
        EXPECT_EQ(run.Wait(10000), c.code) << (c.args.empty() ? "(none)" : c.args.back());
        std::string message = Slurp(dir / "err");
        EXPECT_EQ(message.compare(0, 14, "nmeafilt run: "), 0) << message;
    }
    EXPECT_EQ(Slurp(file), "keep");
    EXPECT_FALSE(Exists(dir / "a"));
}

// Reads `link` from the moment it appears until a read fails, `chunk` bytes at a time with a
// pause between reads; what it got.
std::string ReadUntilFailure(const std::string& link, std::size_t chunk, int pauseUs)
{
    if (!WaitFor(link, 10000))
        return std::string();
    int fd = open(link.c_str(), O_RDONLY | O_NOCTTY);
    std::string got;
    std::vector<char> buffer(chunk);
    for (ssize_t n; fd >= 0 && (n = read(fd, buffer.data(), chunk)) > 0;) {
        got.append(buffer.data(), static_cast<std::size_t>(n));
        usleep(static_cast<useconds_t>(pauseUs));
    }
    if (fd >= 0)
        close(fd);
    return got;
}

// A reader that opens the link as soon as it appears and reads until a read fails gets every
// byte run says it delivered, fast or slow; and the receiver on its own link hands all of its
// bytes to run the same way.
TEST(RunTest, AReaderFromTheStartGetsEveryByteDelivered)
{
    const struct {
        std::size_t chunk;
        int pauseUs;
    } readers[] = {{4096, 0}, {64, 4000}};
    for (const auto& r : readers) {
        SCOPED_TRACE(r.chunk);
        Stack s;
        Program sim({"simulate", "--pty", s.receiver, "--mode", "gps", "--rate", "20", "--baud",
                     "115200", "--seconds", "3"},
                    s.dir / "sim.err");
        ASSERT_TRUE(WaitFor(s.receiver, 10000));
        Program run({"run", "--port", s.receiver, "--baud", "115200", "--pty", s.served},
                    s.dir / "run.err");
        const std::string got = ReadUntilFailure(s.served, r.chunk, r.pauseUs);
        EXPECT_EQ(run.Wait(30000), 0);
        EXPECT_EQ(sim.Wait(10000), 0);
        const std::string summary = Slurp(s.dir / "run.err");
        EXPECT_GT(got.size(), 10000u) << summary;
        EXPECT_EQ(static_cast<long long>(got.size()), SummaryFigure(summary, "bytes delivered"))
            << summary;
        EXPECT_EQ(summary.find("lost"), std::string::npos) << summary;
        EXPECT_EQ(Slurp(s.dir / "sim.err").find("had not taken"), std::string::npos);
    }
}

// run waits for a device that is not there yet, and says so; the receiver makes its link only
// when it is ready to serve, so that run's first read finds it sending.
TEST(RunTest, WaitsForTheDeviceToAppear)
{
    Stack s;
    Program run({"run", "--port", s.receiver, "--baud", "115200", "--output", s.dir / "out"},
                s.dir / "run.err");
    for (long long end = NowMs() + 10000; Slurp(s.dir / "run.err").empty() && NowMs() < end;)
        usleep(10000);
    EXPECT_NE(Slurp(s.dir / "run.err").find("waiting up to 10 s for " + s.receiver),
              std::string::npos);
    usleep(300000);
    Program sim(
        {"simulate", "--pty", s.receiver, "--rate", "10", "--baud", "115200", "--seconds", "1"},
        s.dir / "sim.err");
    EXPECT_EQ(sim.Wait(10000), 0);
    EXPECT_EQ(run.Wait(10000), 0);
    EXPECT_NE(Slurp(s.dir / "out").find("$GPGSA"), std::string::npos);
    EXPECT_NE(Slurp(s.dir / "run.err").find("the device hung up or ended"), std::string::npos);
}

// An output that closes ends the run with its own code and says so, not that the device failed.
TEST(RunTest, AClosedOutputIsSaidAsSuch)
{
    TempDir dir;
    const std::string sample = Slurp(NMEAFILT_SAMPLE_PATH);
    std::ofstream capture(dir / "capture", std::ios::binary);
    for (int i = 0; i < 20; ++i) // more than a pipe holds
        capture << sample;
    capture.close();
    const std::string command = "bash -c \"'" + std::string(NMEAFILT_PROGRAM) + "' run --port '" +
                                (dir / "capture") + "' 2> '" + (dir / "err") +
                                "' | head -c 100 > /dev/null; exit \\${PIPESTATUS[0]}\"";
    const int status = std::system(command.c_str());
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 3);
    EXPECT_NE(Slurp(dir / "err").find("nmeafilt run: the output was closed"), std::string::npos)
        << Slurp(dir / "err");
}

} // namespace
} // namespace nmeafilt
