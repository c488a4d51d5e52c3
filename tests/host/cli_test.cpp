// The command line of every command, as tables: good options in both spellings and what they
// set, bad ones in both spellings and what the usage error says.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "cli.h"
#include "pty_helpers.h"

namespace nmeafilt
{
namespace
{

struct Parsed {
    int code = 0;
    std::string out;
    std::string err;
    CommandLine line;
};

Parsed Parse(const std::vector<std::string>& args)
{
    std::vector<const char*> argv = {"nmeafilt"};
    for (const std::string& a : args) {
        argv.push_back(a.c_str());
    }
    Parsed p;
    char* outText = nullptr;
    char* errText = nullptr;
    size_t outSize = 0;
    size_t errSize = 0;
    FILE* out = open_memstream(&outText, &outSize);
    FILE* err = open_memstream(&errText, &errSize);
    p.code = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), &p.line, out, err);
    std::fclose(out);
    std::fclose(err);
    p.out.assign(outText, outSize);
    p.err.assign(errText, errSize);
    std::free(outText);
    std::free(errText);
    return p;
}

// "--opt value" as "--opt=value": every option given a value in the other spelling.
std::vector<std::string> Joined(const std::vector<std::string>& args)
{
    std::vector<std::string> joined;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i].compare(0, 2, "--") == 0 && i + 1 < args.size() &&
            args[i + 1].compare(0, 2, "--") != 0 && args[i] != "--explain") {
            joined.push_back(args[i] + "=" + args[i + 1]);
            ++i;
        } else {
            joined.push_back(args[i]);
        }
    }
    return joined;
}

std::string Show(const std::vector<std::string>& args)
{
    std::string text;
    for (const std::string& a : args) {
        text += " " + a;
    }
    return text;
}

struct Good {
    std::vector<std::string> args;
    Command command;
    std::function<void(const CommandLine&)> check;
};

const Good kGood[] = {
    {{"replay"},
     Command::Replay,
     [](const CommandLine& l) {
         EXPECT_EQ(l.replay.chunk, 96u);
         EXPECT_EQ(l.replay.readSize, 4096u);
         EXPECT_EQ(l.replay.commands, "");
         EXPECT_FALSE(l.replay.explain);
         EXPECT_FALSE(l.replay.haveInput);
     }},
    {{"replay", "--chunk", "7", "--read-size", "13", "--commands", "c.bin", "--explain", "--image",
      "x.sys", "capture.nmea"},
     Command::Replay,
     [](const CommandLine& l) {
         EXPECT_EQ(l.replay.chunk, 7u);
         EXPECT_EQ(l.replay.readSize, 13u);
         EXPECT_EQ(l.replay.commands, "c.bin");
         EXPECT_TRUE(l.replay.explain);
         EXPECT_EQ(l.replay.image, "x.sys");
         EXPECT_TRUE(l.replay.haveInput);
         EXPECT_EQ(l.replay.input, "capture.nmea");
     }},
    {{"replay", "--chunk", "1", "--read-size", "2147483647", "-"},
     Command::Replay,
     [](const CommandLine& l) {
         EXPECT_EQ(l.replay.chunk, 1u);
         EXPECT_EQ(l.replay.readSize, 2147483647u);
         EXPECT_EQ(l.replay.input, "-");
     }},
    {{"replay", "--chunk", "010", "--read-size", "0013"}, // decimal, not octal
     Command::Replay,
     [](const CommandLine& l) {
         EXPECT_EQ(l.replay.chunk, 10u);
         EXPECT_EQ(l.replay.readSize, 13u);
     }},
    {{"replay", "--chunk", "5", "--chunk", "96"}, // the last one counts
     Command::Replay,
     [](const CommandLine& l) { EXPECT_EQ(l.replay.chunk, 96u); }},
    {{"run", "--port", "/dev/ttyUSB0"},
     Command::Run,
     [](const CommandLine& l) {
         EXPECT_EQ(l.run.port, "/dev/ttyUSB0");
         EXPECT_EQ(l.run.baud, 4800u);
         EXPECT_EQ(l.run.link, "");
         EXPECT_EQ(l.run.output, "");
     }},
    {{"run", "--baud", "9600", "--port", "/dev/ttyS0", "--pty", "/tmp/gps0", "--image", "x.sys"},
     Command::Run,
     [](const CommandLine& l) {
         EXPECT_EQ(l.run.port, "/dev/ttyS0");
         EXPECT_EQ(l.run.baud, 9600u);
         EXPECT_EQ(l.run.link, "/tmp/gps0");
         EXPECT_EQ(l.run.image, "x.sys");
     }},
    {{"run", "--port", "dev", "--baud", "115200", "--output", "out.nmea"},
     Command::Run,
     [](const CommandLine& l) {
         EXPECT_EQ(l.run.baud, 115200u);
         EXPECT_EQ(l.run.output, "out.nmea");
     }},
    {{"run", "--port", "dev", "--baud", "1200", "-"},
     Command::Run,
     [](const CommandLine& l) {
         EXPECT_EQ(l.run.baud, 1200u);
         EXPECT_EQ(l.run.output, "-");
     }},
    {{"simulate"},
     Command::Simulate,
     [](const CommandLine& l) {
         EXPECT_EQ(l.simulate.port, "");
         EXPECT_EQ(l.simulate.link, "");
         EXPECT_EQ(l.simulate.receiver.mode, TimeMode::Gps);
         EXPECT_EQ(l.simulate.receiver.rateHz, 1u);
         EXPECT_EQ(l.simulate.seconds, 0u);
         EXPECT_EQ(l.simulate.receiver.seed, 1u);
         EXPECT_EQ(l.simulate.baud, 4800u);
         EXPECT_FALSE(l.simulate.receiver.rmcOutput);
     }},
    {{"simulate", "--pty", "/tmp/r", "--mode", "utc", "--rate", "20", "--seconds", "3", "--seed",
      "0", "--baud", "57600", "--rmc", "on"},
     Command::Simulate,
     [](const CommandLine& l) {
         EXPECT_EQ(l.simulate.link, "/tmp/r");
         EXPECT_EQ(l.simulate.receiver.mode, TimeMode::Utc);
         EXPECT_EQ(l.simulate.receiver.rateHz, 20u);
         EXPECT_EQ(l.simulate.seconds, 3u);
         EXPECT_EQ(l.simulate.receiver.seed, 0u);
         EXPECT_EQ(l.simulate.baud, 57600u);
         EXPECT_TRUE(l.simulate.receiver.rmcOutput);
     }},
    {{"simulate", "--port", "/dev/ttyS1", "--mode", "gps", "--rate", "1", "--seconds", "1000000000",
      "--seed", "4294967295", "--rmc", "off"},
     Command::Simulate,
     [](const CommandLine& l) {
         EXPECT_EQ(l.simulate.port, "/dev/ttyS1");
         EXPECT_EQ(l.simulate.receiver.mode, TimeMode::Gps);
         EXPECT_EQ(l.simulate.seconds, 1000000000u);
         EXPECT_EQ(l.simulate.receiver.seed, 4294967295u);
         EXPECT_FALSE(l.simulate.receiver.rmcOutput);
     }},
};

TEST(CommandLineTest, GoodOptionsInBothSpellings)
{
    for (const Good& g : kGood) {
        for (const std::vector<std::string>& args : {g.args, Joined(g.args)}) {
            SCOPED_TRACE(Show(args));
            const Parsed p = Parse(args);
            ASSERT_EQ(p.code, -1) << p.err;
            EXPECT_EQ(p.err, "");
            EXPECT_EQ(p.out, "");
            EXPECT_EQ(p.line.command, g.command);
            g.check(p.line);
        }
    }
}

struct Bad {
    std::vector<std::string> args;
    std::vector<std::string> said; // each must be in the first line of the error
};

const Bad kBad[] = {
    {{"replay", "--chunk", "0"}, {"--chunk", "from 1 to 96", "'0'"}},
    {{"replay", "--chunk", "97"}, {"--chunk", "from 1 to 96", "'97'"}},
    {{"replay", "--chunk", "0x10"}, {"--chunk", "from 1 to 96"}},
    {{"replay", "--chunk", "+5"}, {"--chunk", "from 1 to 96"}},
    {{"replay", "--read-size", "0"}, {"--read-size", "from 1 to 2147483647"}},
    {{"replay", "--read-size", "12x"}, {"--read-size", "from 1 to 2147483647", "'12x'"}},
    {{"replay", "--read-size", "2147483648"}, {"--read-size", "from 1 to 2147483647"}},
    {{"replay", "--commands", ""}, {"--commands"}},
    {{"replay", "--image", ""}, {"--image"}},
    {{"replay", "--verbose"}, {"--verbose"}},
    {{"replay", "a", "b"}, {"b"}},
    {{"run", "--port", "dev", "--baud", "300"},
     {"--baud", "{1200,2400,4800,9600,19200,38400,57600,115200}", "300"}},
    {{"run", "--port", "dev", "--baud", "4801"}, {"--baud", "{1200,"}},
    {{"run", "--baud", "4800"}, {"--port", "required"}},
    {{"run", "--port", "dev", "--pty", "a", "--output", "b"}, {"--pty", "--output"}},
    {{"run", "--port", "dev", "--pty", "a", "-"}, {"--pty", "STDOUT"}},
    {{"run", "--port", "dev", "--output", "b", "-"}, {"--output", "STDOUT"}},
    {{"run", "--port", ""}, {"--port"}},
    {{"run", "--port", "dev", "--verbose"}, {"--verbose"}},
    {{"run", "--port", "dev", "stray"}, {"stray"}},
    {{"simulate", "--mode", "glonass"}, {"--mode", "{gps,utc}", "glonass"}},
    {{"simulate", "--rate", "0"}, {"--rate", "from 1 to 20"}},
    {{"simulate", "--rate", "21"}, {"--rate", "from 1 to 20", "'21'"}},
    {{"simulate", "--baud", "4801"}, {"--baud", "{1200,"}},
    {{"simulate", "--seconds", "-1"}, {"--seconds", "from 1 to 1000000000", "'-1'"}},
    {{"simulate", "--seconds", "0"}, {"--seconds", "from 1 to 1000000000"}},
    {{"simulate", "--seed", "x"}, {"--seed", "a whole number from 0"}},
    {{"simulate", "--rmc", "maybe"}, {"--rmc", "{on,off}", "maybe"}},
    {{"simulate", "--port", "dev", "--pty", "link"}, {"--port", "--pty"}},
    {{"simulate", "--frobnicate", "1"}, {"--frobnicate"}},
};

TEST(CommandLineTest, BadOptionsInBothSpellingsNameTheOptionAndItsRange)
{
    for (const Bad& b : kBad) {
        for (const std::vector<std::string>& args : {b.args, Joined(b.args)}) {
            SCOPED_TRACE(Show(args));
            const Parsed p = Parse(args);
            EXPECT_EQ(p.code, 2);
            EXPECT_EQ(p.out, "");
            const std::string prefix = "nmeafilt " + args[0] + ": ";
            EXPECT_EQ(p.err.compare(0, prefix.size(), prefix), 0) << p.err;
            const std::string first = p.err.substr(0, p.err.find('\n'));
            for (const std::string& s : b.said) {
                EXPECT_NE(first.find(s), std::string::npos) << "'" << s << "' in: " << first;
            }
            // Then the command's synopsis.
            EXPECT_NE(p.err.find("Usage: nmeafilt " + args[0]), std::string::npos) << p.err;
        }
    }
}

// A value missing at the end names the option and what it takes.
TEST(CommandLineTest, AMissingValueNamesWhatTheOptionTakes)
{
    const struct {
        std::vector<std::string> args;
        std::string said;
    } cases[] = {
        {{"replay", "--chunk"}, "--chunk: 1 required N:from 1 to 96 missing"},
        {{"replay", "--commands"}, "--commands: 1 required FILE missing"},
        {{"replay", "--image"}, "--image: 1 required SYS missing"},
        {{"run", "--port"}, "--port: 1 required DEVICE missing"},
        {{"run", "--port", "dev", "--baud"}, "--baud: 1 required N:{1200,2400,"},
        {{"simulate", "--seconds"}, "--seconds: 1 required N:from 1 to"},
        {{"simulate", "--mode"}, "--mode: 1 required MODE:{gps,utc} missing"},
        {{"replay", "--chunk="}, "--chunk: 1 required N:from 1 to 96 missing"},
        {{"replay", "--explain=yes"}, "explain was given a disallowed flag override"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Show(c.args));
        const Parsed p = Parse(c.args);
        EXPECT_EQ(p.code, 2);
        EXPECT_NE(p.err.find(c.said), std::string::npos) << p.err;
    }
}

TEST(CommandLineTest, NoCommandOrAnUnknownOneIsBadUsage)
{
    const struct {
        std::vector<std::string> args;
        std::string said;
    } cases[] = {
        {{}, "nmeafilt: COMMAND is required"},
        {{"frobnicate"}, "nmeafilt: The following argument was not expected: frobnicate"},
        {{"--verbose"}, "nmeafilt: The following argument was not expected: --verbose"},
    };
    for (const auto& c : cases) {
        const Parsed p = Parse(c.args);
        EXPECT_EQ(p.code, 2);
        EXPECT_EQ(p.err.compare(0, c.said.size(), c.said), 0) << p.err;
        EXPECT_NE(p.err.find("Usage: nmeafilt [OPTIONS] [SUBCOMMAND]"), std::string::npos) << p.err;
    }
}

// The help comes from the same definitions: every option of a command is in its help, with
// what it takes, and the program's help holds every command with all of its options.
TEST(CommandLineTest, HelpListsEveryCommandWithItsOptions)
{
    const struct {
        std::string command;
        std::vector<std::string> options;
    } commands[] = {
        {"replay",
         {"--chunk N", "--read-size N", "--commands FILE", "--explain", "--image SYS", "FILE",
          "from 1 to 96"}},
        {"run",
         {"--port DEVICE", "--baud N", "--pty LINK", "--output FILE", "--image SYS",
          "{1200,2400,4800,9600,19200,38400,57600,115200}"}},
        {"simulate",
         {"--port DEVICE", "--pty LINK", "--mode MODE:{gps,utc}", "--rate HZ", "--seconds N",
          "--seed N", "--baud N", "--rmc SWITCH:{on,off}", "from 1 to 20"}},
    };
    for (const char* flag : {"--help", "-h"}) {
        const Parsed all = Parse({flag});
        EXPECT_EQ(all.code, 0);
        EXPECT_EQ(all.err, "");
        for (const auto& c : commands) {
            const Parsed one = Parse({c.command, flag});
            EXPECT_EQ(one.code, 0);
            EXPECT_EQ(one.err, "");
            EXPECT_NE(one.out.find("Usage: nmeafilt " + c.command), std::string::npos) << one.out;
            EXPECT_NE(all.out.find("\n" + c.command + "\n"), std::string::npos) << all.out;
            for (const std::string& o : c.options) {
                EXPECT_NE(one.out.find(o), std::string::npos) << c.command << ": " << o;
                EXPECT_NE(all.out.find(o), std::string::npos) << o;
            }
        }
    }
}

// The program itself: both spellings run, a bad value exits 2 with the range on standard error.
TEST(CommandLineTest, TheProgramTakesBothSpellings)
{
    using testing_pty::Slurp;
    testing_pty::TempDir dir;
    const std::string program = NMEAFILT_PROGRAM;
    auto exitCode = [&](const std::string& arguments) {
        const std::string command = program + " " + arguments + " > '" + (dir / "out") + "' 2> '" +
                                    (dir / "err") + "' < /dev/null";
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    const std::string sample = NMEAFILT_SAMPLE_PATH;
    ASSERT_EQ(exitCode("replay --chunk 7 --read-size 13 '" + sample + "'"), 0);
    const std::string spaced = Slurp(dir / "out");
    ASSERT_EQ(exitCode("replay --chunk=7 --read-size=13 '" + sample + "'"), 0);
    EXPECT_EQ(Slurp(dir / "out"), spaced);
    EXPECT_FALSE(spaced.empty());

    EXPECT_EQ(exitCode("run --baud=9600 --port='" + sample + "' --output='" + (dir / "run") + "'"),
              0)
        << Slurp(dir / "err");
    EXPECT_EQ(Slurp(dir / "run"), spaced);

    EXPECT_EQ(exitCode("run --baud=300 --port='" + sample + "'"), 2);
    EXPECT_EQ(Slurp(dir / "err").compare(0, 14, "nmeafilt run: "), 0);
    EXPECT_NE(Slurp(dir / "err").find("{1200,2400"), std::string::npos);
    EXPECT_EQ(exitCode("simulate --rate=0"), 2);
    EXPECT_NE(Slurp(dir / "err").find("--rate: takes a whole number from 1 to 20"),
              std::string::npos)
        << Slurp(dir / "err");
    EXPECT_EQ(exitCode("--help"), 0);
    EXPECT_NE(Slurp(dir / "out").find("--rmc SWITCH"), std::string::npos);
}

} // namespace
} // namespace nmeafilt
