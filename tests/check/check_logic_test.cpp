// The installation check's verdicts, with sentences as the filter and a bare receiver send them.
#include <gtest/gtest.h>

#include <string>

#include "options.h"
#include "report.h"
#include "stream_check.h"

namespace
{

using check::Outcome;

const std::string kGgaNoTime =
    "$GPGGA,,4807.03812,N,01131.00000,E,0,00,0.9,545.0,M,46.9,M,,*44\r\n";
const std::string kGga =
    "$GPGGA,094103,4807.04360,N,01131.00844,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n";
const std::string kGsa = "$GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1*39\r\n";
const std::string kGsv = "$GPGSV,2,2,08,17,05,020,00,24,60,080,47,25,18,170,25,29,08,270,00*72\r\n";
const std::string kVtg = "$GPVTG,055.70,T,035.40,M,005.9,N,010.9,K*4F\r\n";
const std::string kRmcNoTime = "$GPRMC,,V,,,,,,,,,,A*5C\r\n";
const std::string kRmc =
    "$GPRMC,094103,A,4807.04360,N,01131.00844,E,005.9,055.70,081226,,,A*4B\r\n";
const std::string kRmcNext =
    "$GPRMC,094104,A,4807.04360,N,01131.00844,E,006.0,055.95,081226,,,A*4D\r\n";
const std::string kPqxn = "$PQXN,GPint,GGA01,GSA01,GSV01,VTG01,RMC01,W*46\r\n";
const std::string kGll = "$GPGLL,4916.45,N,12311.12,W,225444,A,*1D\r\n";

check::StreamSummary Check(const std::string& bytes, size_t piece = 4096)
{
    check::StreamCheck stream;
    for (size_t at = 0; at < bytes.size(); at += piece) {
        stream.Feed(bytes.data() + at, std::min(piece, bytes.size() - at));
    }
    return stream.Summary();
}

struct StreamCase {
    const char* name;
    std::string bytes;
    Outcome outcome;
    const char* detail; // a part of the verdict's text
};

TEST(StreamVerdict, JudgesEveryByte)
{
    const std::string epoch = kGga + kGsa + kGsv + kVtg + kRmc;
    const StreamCase cases[] = {
        {"filtered epoch", epoch, Outcome::Pass, "5 sentences (GGA 1, GSA 1, GSV 1, VTG 1, RMC 1)"},
        {"opened mid-sentence, stopped mid-sentence", "1,M,,*44\r\n" + epoch + "$GPGSA,A,3",
         Outcome::Pass, "5 sentences"},
        {"time not yet known", kGgaNoTime + kRmcNoTime + kGga + kRmc, Outcome::Pass,
         "RMC status V, A"},
        {"proprietary sentence", epoch + kPqxn, Outcome::Fail, "proprietary sentence $PQXN"},
        {"unhandled type", kGll + epoch, Outcome::Fail, "unexpected sentence $GPGLL"},
        {"lowercase checksum", "$GPVTG,055.70,T,035.40,M,005.9,N,010.9,K*4f\r\n", Outcome::Fail,
         "uppercase"},
        {"wrong checksum", "$GPVTG,055.70,T,035.40,M,005.9,N,010.9,K*4E\r\n", Outcome::Fail,
         "wrong checksum"},
        {"LF only", epoch.substr(0, kGga.size() - 2) + "\n", Outcome::Fail, "not a whole sentence"},
        {"truncated sentence runs into the next", "$GPGSA,A,3,04" + kVtg, Outcome::Fail,
         "not a whole sentence"},
        {"bytes after the checksum", "$GPVTG,055.70,T,035.40,M,005.9,N,010.9,K*4FXX\r\n",
         Outcome::Fail, "not a whole sentence"},
        {"empty GGA time once RMC had one", kRmc + kGgaNoTime, Outcome::Fail,
         "GGA with an empty time"},
        {"overlong line", "$GP" + std::string(600, 'A') + "\r\n" + epoch, Outcome::Fail,
         "more than 512"},
        {"nothing", "", Outcome::Fail, "no whole sentence in 10 s (0 bytes)"},
        {"only a fragment", "0.9,545.0,M", Outcome::Fail, "no whole sentence in 10 s (11 bytes)"},
    };
    for (const StreamCase& c : cases) {
        for (size_t piece : {size_t(1), size_t(7), size_t(4096)}) {
            check::CheckResult r = check::StreamVerdict(Check(c.bytes, piece), 10);
            EXPECT_EQ(r.outcome, c.outcome)
                << c.name << ", pieces of " << piece << ": " << r.detail;
            EXPECT_NE(r.detail.find(c.detail), std::string::npos) << c.name << ": " << r.detail;
        }
    }
}

TEST(StreamVerdict, CountsFaultsAndResynchronises)
{
    check::StreamSummary s =
        Check(kPqxn + kGga + kPqxn + "$GP" + std::string(600, 'A') + "\r\n" + kVtg);
    EXPECT_EQ(s.faults, 3u);
    EXPECT_EQ(s.sentences, 2u); // the GGA and the VTG after the overlong line
    EXPECT_EQ(s.leadingBytes, 0u);
    EXPECT_NE(check::StreamVerdict(s, 10).detail.find("(and 2 more)"), std::string::npos);
}

TEST(StreamVerdict, EpochRateFromRmcTimes)
{
    struct {
        const char* name;
        std::string bytes;
        unsigned long epochs;
        double rate;
    } cases[] = {
        {"one a second", kRmc + kGga + kRmcNext, 2, 1.0},
        {"repeated time is one epoch", kRmc + kRmc + kRmcNext, 2, 1.0},
        {"two a second across midnight",
         "$GPRMC,235959.50,A,4807.04360,N,01131.00844,E,005.9,055.70,081226,,,A*6E\r\n"
         "$GPRMC,000000.00,A,4807.04360,N,01131.00844,E,005.9,055.70,091226,,,A*6B\r\n"
         "$GPRMC,000000.50,A,4807.04360,N,01131.00844,E,005.9,055.70,091226,,,A*6E\r\n"
         "$GPRMC,000001.00,A,4807.04360,N,01131.00844,E,005.9,055.70,091226,,,A*6A\r\n",
         4, 2.0},
        {"tenths",
         "$GPRMC,094102.2,A,4807.04223,N,01131.00633,E,005.8,055.45,081226,,,A*59\r\n" + kRmc, 2,
         1.25},
        {"a single epoch has no rate", kRmc, 1, 0.0},
        {"no time", kRmcNoTime + kRmcNoTime, 0, 0.0},
    };
    for (const auto& c : cases) {
        check::StreamSummary s = Check(c.bytes);
        EXPECT_EQ(s.epochs, c.epochs) << c.name;
        EXPECT_DOUBLE_EQ(s.epochRate, c.rate) << c.name;
    }
}

TEST(Verdicts, InstallationAndHandshake)
{
    struct {
        const char* name;
        check::CheckResult got;
        Outcome outcome;
        const char* detail;
    } cases[] = {
        {"filter listed", check::FilterListVerdict("ACPI\\PNP0501\\1", {"serenum", "NmeaFilt"}),
         Outcome::Pass, "serenum, NmeaFilt"},
        {"filter missing", check::FilterListVerdict("ACPI\\PNP0501\\1", {"serenum"}), Outcome::Fail,
         "no nmeafilt in UpperFilters (serenum)"},
        {"no filters at all", check::FilterListVerdict("X", {}), Outcome::Fail, "(none)"},
        {"a longer name is another filter", check::FilterListVerdict("X", {"nmeafilt2"}),
         Outcome::Fail, ""},
        {"service running", check::ServiceVerdict({1, 3, 4}), Outcome::Pass, "running"},
        {"service stopped", check::ServiceVerdict({1, 3, 1}), Outcome::Fail, "but stopped"},
        {"service starts at boot", check::ServiceVerdict({1, 0, 4}), Outcome::Fail, "start type 0"},
        {"user-mode service", check::ServiceVerdict({16, 3, 4}), Outcome::Fail, "service type 16"},
        {"handshake overridden", check::HandshakeVerdict({false, false, 1, 1}), Outcome::Pass, ""},
        {"CTS flow kept", check::HandshakeVerdict({true, false, 1, 1}), Outcome::Fail,
         ": CTS output flow is on"},
        {"DSR flow kept", check::HandshakeVerdict({false, true, 1, 1}), Outcome::Fail,
         ": DSR output flow is on"},
        {"DTR handshake kept", check::HandshakeVerdict({false, false, 2, 1}), Outcome::Fail, "DTR"},
        {"RTS toggle kept", check::HandshakeVerdict({false, false, 1, 3}), Outcome::Fail, "RTS"},
        {"DTR off is not on", check::HandshakeVerdict({false, false, 0, 1}), Outcome::Fail, "DTR"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.got.outcome, c.outcome) << c.name << ": " << c.got.detail;
        EXPECT_NE(c.got.detail.find(c.detail), std::string::npos) << c.name << ": " << c.got.detail;
    }
}

TEST(Report, ExitCodeAndJson)
{
    check::Report r;
    r.port = "COM3";
    r.seconds = 10;
    r.checks = {{"service", Outcome::Skipped, "needs \"rights\"\\\n"},
                {"stream", Outcome::Pass, "ok"}};
    EXPECT_EQ(check::ExitCode(r), 0);
    std::string json = check::RenderJson(r);
    EXPECT_NE(json.find(R"("detail": "needs \"rights\"\\\u000a")"), std::string::npos) << json;
    EXPECT_NE(json.find(R"("machine_name": null)"), std::string::npos) << json;
    EXPECT_NE(json.find(R"("result": "pass")"), std::string::npos) << json;
    r.checks.push_back({"handshake", Outcome::Fail, "x"});
    EXPECT_EQ(check::ExitCode(r), 1);
    EXPECT_NE(check::RenderText(r).find("result: FAIL (1 of 3 checks failed)"), std::string::npos);
}

TEST(Report, PortThatDoesNotOpenHasItsOwnExitCodeAndReason)
{
    const struct {
        unsigned long error;
        const char* reason;
    } cases[] = {{2, "missing"}, {3, "missing"}, {5, "in use"}, {32, "in use"}, {87, "error"}};
    for (const auto& c : cases) {
        check::Report r;
        r.port = "COM3";
        r.checks = {{"upper-filter", Outcome::Fail, "no present Ports device has PortName COM3"}};
        r.portError = c.error;
        r.portErrorText = "error text";
        EXPECT_EQ(check::ExitCode(r), 4) << c.error;
        const std::string json = check::RenderJson(r);
        EXPECT_NE(json.find("\"port_error\": {\"error\": " + std::to_string(c.error) +
                            ", \"reason\": \"" + c.reason + "\", \"detail\": \"error text\"}"),
                  std::string::npos)
            << json;
        EXPECT_NE(json.find("\"exit_code\": 4"), std::string::npos) << json;
        EXPECT_NE(check::RenderText(r).find(std::string("COM3 cannot be opened (") + c.reason),
                  std::string::npos);
    }
}

TEST(Options, CommandLine)
{
    struct {
        std::vector<const char*> argv;
        const char* port; // null: refused
        unsigned seconds;
        bool json;
        const char* error;
    } cases[] = {
        {{"COM3"}, "COM3", 10, false, ""},
        {{"com12", "--json", "--seconds", "5"}, "COM12", 5, true, ""},
        {{"--seconds=3600", "COM1"}, "COM1", 3600, false, ""},
        {{}, nullptr, 0, false, "no port"},
        {{"COM3", "--seconds"}, nullptr, 0, false, "--seconds needs"},
        {{"COM3", "--seconds", "0"}, nullptr, 0, false, "from 1 to 3600"},
        {{"COM3", "--seconds=3601"}, nullptr, 0, false, "from 1 to 3600"},
        {{"COM3", "--seconds", "-5"}, nullptr, 0, false, "from 1 to 3600"},
        {{"COM3", "--seconds", "5s"}, nullptr, 0, false, "from 1 to 3600"},
        {{"COM0"}, nullptr, 0, false, "COM1 to COM256"},
        {{"LPT1"}, nullptr, 0, false, "not a port name"},
        {{"COM3", "COM4"}, nullptr, 0, false, "one port only"},
        {{"COM3", "--verbose"}, nullptr, 0, false, "unknown option '--verbose'"},
        {{"--version"}, "", 10, false, ""},
    };
    for (const auto& c : cases) {
        std::vector<const char*> argv{"nmeafilt-check"};
        argv.insert(argv.end(), c.argv.begin(), c.argv.end());
        check::Options o;
        std::string error;
        bool ok = check::ParseOptions(static_cast<int>(argv.size()), argv.data(), &o, &error);
        std::string line = argv.size() > 1 ? argv[1] : "(none)";
        ASSERT_EQ(ok, c.port != nullptr) << line << ": " << error;
        if (ok) {
            EXPECT_EQ(o.port, c.port);
            EXPECT_EQ(o.seconds, c.seconds);
            EXPECT_EQ(o.json, c.json);
        } else {
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
    }
}

} // namespace
