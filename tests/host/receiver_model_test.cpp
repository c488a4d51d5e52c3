// The simulated receiver: what it sends must be what the filter is built to take apart, byte for
// byte, and it must answer the filter's commands.
#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <string>
#include <vector>

#include "engine_loop.h"
#include "receiver_model.h"

namespace nmeafilt
{
namespace
{

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end + 2 - start));
        start = end + 2;
    }
    return lines;
}

// Fields between "$" and "*": [0] is the identifier.
std::vector<std::string> Fields(const std::string& line)
{
    std::vector<std::string> fields;
    std::string body = line.substr(1, line.find('*') - 1);
    std::size_t start = 0;
    for (;;) {
        std::size_t comma = body.find(',', start);
        fields.push_back(body.substr(start, comma - start));
        if (comma == std::string::npos)
            return fields;
        start = comma + 1;
    }
}

std::string Find(const std::string& epoch, const std::string& identifier)
{
    for (const std::string& line : Lines(epoch))
        if (line.compare(1, identifier.size(), identifier) == 0)
            return line;
    return std::string();
}

// Position of the k-th comma (1-based), as the filter counts them.
std::size_t Comma(const std::string& line, int k)
{
    std::size_t at = std::string::npos;
    for (int i = 0; i < k; ++i)
        at = line.find(',', at + 1);
    return at;
}

int SecondOfDay(const std::string& hhmmss)
{
    return std::stoi(hhmmss.substr(0, 2)) * 3600 + std::stoi(hhmmss.substr(2, 2)) * 60 +
           std::stoi(hhmmss.substr(4, 2));
}

double Degrees(const std::string& angle, int degreeDigits, const std::string& hemisphere)
{
    double value =
        std::stoi(angle.substr(0, degreeDigits)) + std::stod(angle.substr(degreeDigits)) / 60.0;
    return hemisphere == "S" || hemisphere == "W" ? -value : value;
}

ReceiverConfig Config(TimeMode mode, std::uint64_t seed, unsigned rate = 1, bool rmc = true)
{
    ReceiverConfig config;
    config.mode = mode;
    config.seed = seed;
    config.rateHz = rate;
    config.rmcOutput = rmc;
    return config;
}

TEST(ChecksumTest, FinishAndVerifyAgree)
{
    EXPECT_EQ(FinishSentence("PQXN,GPint,GGA01,GSA01,GSV01,VTG01,RMC01,W"),
              CommandText(RmcRateCommand));
    EXPECT_EQ(FinishSentence("PQXN,GPint,GGA01,GSA01,GSV01,VTG01,err01,W"),
              CommandText(ErrRateCommand));
    EXPECT_TRUE(ChecksumValid(std::string(CommandText(RmcRateCommand))));
    const char* bad[] = {
        "$PQXN,GPint,GGA01,GSA01,GSV01,VTG01,RMC01,W*47\r\n", // wrong sum
        "$GPVTG,,T,,M,,N,,K,N*2c\r\n",                        // lowercase digits
        "$GPVTG,,T,,M,,N,,K,N*2C\n",                          // LF alone
        "GPVTG,,T,,M,,N,,K,N*2C\r\n",                         // no "$"
    };
    for (const char* line : bad) {
        EXPECT_FALSE(ChecksumValid(line)) << line;
    }
    EXPECT_TRUE(ChecksumValid("$GPVTG,,T,,M,,N,,K,N*2C\r\n"));
}

TEST(CivilTimeTest, AgreesWithTheCLibrary)
{
    // Every 7 hours 13 minutes 17 seconds from 1970 to 2100, against gmtime_r.
    for (std::int64_t t = 0; t < 4102444800; t += 7 * 3600 + 13 * 60 + 17) {
        std::time_t tt = static_cast<std::time_t>(t);
        std::tm ref;
        gmtime_r(&tt, &ref);
        CivilTime c = CivilFromUnixMs(t * 1000 + 999);
        ASSERT_EQ(c.year, ref.tm_year + 1900) << t;
        ASSERT_EQ(c.month, ref.tm_mon + 1) << t;
        ASSERT_EQ(c.day, ref.tm_mday) << t;
        ASSERT_EQ(c.hour * 3600 + c.minute * 60 + c.second,
                  ref.tm_hour * 3600 + ref.tm_min * 60 + ref.tm_sec)
            << t;
        ASSERT_EQ(c.millisecond, 999);
    }
}

// Every sentence of every epoch, for many seeds and both modes: a valid NMEA line that the filter
// would accept, and the field widths its fixed-width copies depend on.
TEST(ReceiverModelTest, SentencesAreWellFormedWithTheWidthsTheFilterCopies)
{
    int fixedGga = 0;
    for (std::uint64_t seed = 0; seed < 150; ++seed) {
        for (TimeMode mode : {TimeMode::Gps, TimeMode::Utc}) {
            ReceiverModel model(Config(mode, seed, 1 + seed % 5));
            for (int e = 0; e < 60; ++e) {
                std::string epoch = model.NextEpoch();
                for (const std::string& line : Lines(epoch)) {
                    ASSERT_TRUE(ChecksumValid(line)) << line;
                    ASSERT_LE(line.size(), 82u) << line;
                    for (char c : line) {
                        ASSERT_TRUE(c == '\r' || c == '\n' || (c >= 0x20 && c < 0x7F)) << line;
                    }
                }
                std::string gga = Find(epoch, "GPGGA");
                std::vector<std::string> f = Fields(gga);
                ASSERT_EQ(f.size(), 15u) << gga;
                if (f[6] != "1")
                    continue;
                ++fixedGga;
                ASSERT_EQ(f[2].size(), 10u) << gga;
                ASSERT_EQ(f[4].size(), 11u) << gga;
                ASSERT_TRUE(f[3] == "N" || f[3] == "S") << gga;
                ASSERT_TRUE(f[5] == "E" || f[5] == "W") << gga;
                // The 27 bytes from comma 2 are the four position fields and end at comma 6.
                ASSERT_EQ(Comma(gga, 6) - Comma(gga, 2), 27u) << gga;

                std::string vtg = Find(epoch, "GPVTG");
                ASSERT_EQ(Comma(vtg, 2) - Comma(vtg, 1), 7u) << vtg;
                ASSERT_EQ(Comma(vtg, 6) - Comma(vtg, 5), 6u) << vtg;
                double course = std::stod(Fields(vtg)[1]);
                ASSERT_GE(course, 0.0);
                ASSERT_LT(course, 360.0);

                std::string pqxn = Find(epoch, "PQXN");
                // hhmmss,dd,mm,yyyy at the fixed offsets the GPS-time parser reads.
                std::string t = pqxn.substr(Comma(pqxn, 4) + 1);
                ASSERT_EQ(t[6], ',');
                ASSERT_EQ(t[9], ',');
                ASSERT_EQ(t[12], ',');
                ASSERT_EQ(t[17], ',');
                ASSERT_EQ(Comma(pqxn, 8), Comma(pqxn, 4) + 18);
            }
        }
    }
    EXPECT_GT(fixedGga, 10000);
}

TEST(ReceiverModelTest, EpochHoldsTheSentencesInOrder)
{
    ReceiverModel off(Config(TimeMode::Gps, 5, 1, false));
    ReceiverModel on(Config(TimeMode::Gps, 5, 1, true));
    for (int e = 0; e < 12; ++e) {
        std::vector<std::string> ids;
        for (const std::string& line : Lines(on.NextEpoch()))
            ids.push_back(Fields(line)[0]);
        ASSERT_GE(ids.size(), 7u);
        EXPECT_EQ(ids[0], "GPGGA");
        EXPECT_EQ(ids[1], "GPGSA");
        std::size_t i = 2;
        while (i < ids.size() && ids[i] == "GPGSV")
            ++i;
        EXPECT_GE(i, 4u) << "at least two GSV sentences for eight or more satellites";
        ASSERT_EQ(ids.size(), i + 3);
        EXPECT_EQ(ids[i], "GPVTG");
        EXPECT_EQ(ids[i + 1], "PQXN");
        EXPECT_EQ(ids[i + 2], "GPRMC");
        EXPECT_EQ(Find(off.NextEpoch(), "GPRMC"), "");
    }
}

TEST(ReceiverModelTest, NoFixForAFewSecondsThenFixQualityOne)
{
    for (std::uint64_t seed = 0; seed < 40; ++seed) {
        for (unsigned rate : {1u, 4u}) {
            ReceiverModel model(Config(TimeMode::Gps, seed, rate));
            EXPECT_GE(model.FixEpoch(), 3u * rate);
            EXPECT_LE(model.FixEpoch(), 8u * rate);
            for (std::uint64_t e = 0; e < model.FixEpoch() + 20; ++e) {
                std::string epoch = model.NextEpoch();
                bool fixed = e >= model.FixEpoch();
                std::vector<std::string> gga = Fields(Find(epoch, "GPGGA"));
                std::vector<std::string> pqxn = Fields(Find(epoch, "PQXN"));
                std::vector<std::string> rmc = Fields(Find(epoch, "GPRMC"));
                ASSERT_EQ(gga[6], fixed ? "1" : "0") << "seed " << seed << " epoch " << e;
                ASSERT_EQ(pqxn[8], fixed ? "1" : "0");
                ASSERT_EQ(rmc[2], fixed ? "A" : "V");
                if (!fixed) {
                    ASSERT_EQ(gga[2], "");
                }
            }
        }
    }
}

TEST(ReceiverModelTest, TimeFieldsFollowTheMode)
{
    for (std::uint64_t seed : {1u, 2u, 99u, 12345u}) {
        ReceiverModel gps(Config(TimeMode::Gps, seed));
        ReceiverModel utc(Config(TimeMode::Utc, seed));
        for (int e = 0; e < 30; ++e) {
            std::int64_t utcMs = utc.EpochUtcMs();
            std::string g = gps.NextEpoch();
            std::string u = utc.NextEpoch();
            std::vector<std::string> ggaG = Fields(Find(g, "GPGGA"));
            std::vector<std::string> ggaU = Fields(Find(u, "GPGGA"));
            std::vector<std::string> timeG = Fields(Find(g, "PQXN"));
            std::vector<std::string> timeU = Fields(Find(u, "PQXN"));
            std::vector<std::string> rmcG = Fields(Find(g, "GPRMC"));
            std::vector<std::string> rmcU = Fields(Find(u, "GPRMC"));

            EXPECT_EQ(ggaG[1], "");
            ASSERT_EQ(ggaU[1].size(), 10u);
            EXPECT_EQ(ggaU[1].substr(0, 6), timeU[4]);
            EXPECT_EQ(rmcG[1], "");
            EXPECT_EQ(rmcU[1], ggaU[1]);
            EXPECT_EQ(rmcG[9], "");

            // UTC mode carries UTC; gps mode the same instant 18 s later on the GPS clock.
            std::time_t t = static_cast<std::time_t>(utcMs / 1000);
            for (int pass = 0; pass < 2; ++pass) {
                std::tm ref;
                gmtime_r(&t, &ref);
                const std::vector<std::string>& f = pass == 0 ? timeU : timeG;
                EXPECT_EQ(SecondOfDay(f[4]), ref.tm_hour * 3600 + ref.tm_min * 60 + ref.tm_sec);
                EXPECT_EQ(std::stoi(f[5]), ref.tm_mday);
                EXPECT_EQ(std::stoi(f[6]), ref.tm_mon + 1);
                EXPECT_EQ(std::stoi(f[7]), ref.tm_year + 1900);
                t += 18;
            }
            EXPECT_GE(std::stoi(timeU[7]), 2020);
            // Everything but the time fields is the same in both modes.
            EXPECT_EQ(std::vector<std::string>(ggaG.begin() + 2, ggaG.end()),
                      std::vector<std::string>(ggaU.begin() + 2, ggaU.end()));
            EXPECT_EQ(Find(g, "GPVTG"), Find(u, "GPVTG"));
        }
    }
}

TEST(ReceiverModelTest, EpochsStepByTheRate)
{
    ReceiverModel model(Config(TimeMode::Utc, 3, 5));
    std::int64_t previous = -1;
    for (int e = 0; e < 20; ++e) {
        std::string time = Fields(Find(model.NextEpoch(), "GPGGA"))[1];
        std::int64_t ms = SecondOfDay(time) * 1000 + std::stoi(time.substr(7));
        if (previous >= 0) {
            EXPECT_EQ((ms - previous + 86400000) % 86400000, 200) << time;
        }
        previous = ms;
    }
}

TEST(ReceiverModelTest, TrackMovesAtTheReportedSpeed)
{
    ReceiverModel model(Config(TimeMode::Gps, 8, 1));
    while (!model.HasFix())
        model.NextEpoch();
    double lat0 = 0, lon0 = 0, speed0 = 0;
    int moved = 0;
    for (int e = 0; e < 120; ++e) {
        std::string epoch = model.NextEpoch();
        std::vector<std::string> gga = Fields(Find(epoch, "GPGGA"));
        double lat = Degrees(gga[2], 2, gga[3]);
        double lon = Degrees(gga[4], 3, gga[5]);
        double speed = std::stod(Fields(Find(epoch, "GPVTG"))[5]);
        if (e > 0) {
            // Nautical miles covered in one second, on a small patch of the sphere.
            double dLat = (lat - lat0) * 60.0;
            double dLon = (lon - lon0) * 60.0 * std::cos(lat * M_PI / 180.0);
            double covered = std::hypot(dLat, dLon) * 3600.0;
            EXPECT_NEAR(covered, speed0, 0.1 + speed0 * 0.05) << "epoch " << e;
            moved += covered > 0.5;
        }
        lat0 = lat;
        lon0 = lon;
        speed0 = speed;
    }
    EXPECT_GT(moved, 0);
}

TEST(ReceiverModelTest, DeterministicForASeed)
{
    auto run = [](std::uint64_t seed) {
        ReceiverModel model(Config(TimeMode::Gps, seed));
        std::string all;
        for (int e = 0; e < 40; ++e)
            all += model.NextEpoch();
        return all;
    };
    EXPECT_EQ(run(42), run(42));
    EXPECT_NE(run(42), run(43));
}

TEST(ReceiverModelTest, RateCommandsSwitchRmcOutput)
{
    ReceiverModel model(Config(TimeMode::Utc, 1, 1, false));
    EXPECT_EQ(Find(model.NextEpoch(), "GPRMC"), "");

    model.Receive(CommandText(RmcRateCommand).data(), CommandText(RmcRateCommand).size());
    EXPECT_TRUE(model.RmcOutput());
    EXPECT_NE(Find(model.NextEpoch(), "GPRMC"), "");
    EXPECT_NE(Find(model.NextEpoch(), "GPRMC"), "");

    // Byte by byte, as a slow line delivers it.
    for (char c : CommandText(ErrRateCommand))
        model.Receive(&c, 1);
    EXPECT_FALSE(model.RmcOutput());
    EXPECT_EQ(Find(model.NextEpoch(), "GPRMC"), "");
    EXPECT_EQ(model.RmcOnCommands(), 1u);
    EXPECT_EQ(model.RmcOffCommands(), 1u);
}

TEST(ReceiverModelTest, OnlyTheExactCommandsAreObeyed)
{
    std::string on(CommandText(RmcRateCommand));
    const std::string ignored[] = {
        "$PQXN,GPint,GGA01,GSA01,GSV01,VTG01,RMC01,W*47\r\n", // wrong checksum
        "$PQXN,GPint,GGA01,GSA01,GSV01,VTG01,rmc01,W*46\r\n", // other field
        "$PQXN,GPint,GGA01,GSA01,GSV01,VTG01,RMC01,W*46\n",   // no CR
        on.substr(0, on.size() - 2) + " \r\n",                // a space before CR LF
        on.substr(0, 20) + on,                                // broken off, then restarted...
    };
    for (std::size_t i = 0; i < 4; ++i) {
        ReceiverModel model(Config(TimeMode::Utc, 1, 1, false));
        model.Receive(ignored[i].data(), ignored[i].size());
        EXPECT_FALSE(model.RmcOutput()) << ignored[i];
        EXPECT_EQ(model.OtherLines(), 1u);
    }
    // ...a "$" starts a new line, so the complete command after the fragment counts.
    ReceiverModel model(Config(TimeMode::Utc, 1, 1, false));
    model.Receive(ignored[4].data(), ignored[4].size());
    EXPECT_TRUE(model.RmcOutput());
    // A flood without line ends is thrown away, and the next command still works.
    std::string flood(2000, 'A');
    model.Receive(flood.data(), flood.size());
    model.Receive(CommandText(ErrRateCommand).data(), CommandText(ErrRateCommand).size());
    EXPECT_FALSE(model.RmcOutput());
}

// Through the filter's engine: the synthesized RMC carries the receiver's position and its GPS
// time converted to UTC, and in utc mode the engine asks for the receiver's RMC. The filter reads
// GPS time one second late (GPS time minus the published offset, 18 s today, plus one); the RMC
// it builds from a time sentence carries the time of the one before, one epoch earlier, so at
// 1 Hz each RMC carries the UTC of its own epoch.
TEST(ReceiverModelTest, FilterTurnsTheStreamIntoRmcWithUtc)
{
    ReceiverModel model(Config(TimeMode::Gps, 11, 1, false));
    std::string stream;
    std::vector<std::int64_t> times;
    std::vector<std::string> positions;
    for (int e = 0; e < 15; ++e) {
        times.push_back(model.EpochUtcMs());
        std::string epoch = model.NextEpoch();
        std::string gga = Find(epoch, "GPGGA");
        positions.push_back(gga.substr(Comma(gga, 2), 27));
        stream += epoch;
    }
    StringSink sink;
    ReplayThroughEngine(stream, ReplayConfig(), sink);
    std::vector<std::string> rmc;
    for (const std::string& line : Lines(sink.output)) {
        if (line.compare(0, 6, "$GPRMC") == 0) {
            rmc.push_back(line);
        }
    }
    ASSERT_EQ(rmc.size(), 15u);
    ASSERT_GT(model.FixEpoch(), 0u);
    for (std::size_t e = 0; e < rmc.size(); ++e) {
        std::vector<std::string> f = Fields(rmc[e]);
        ASSERT_TRUE(ChecksumValid(rmc[e]));
        if (e < model.FixEpoch()) {
            EXPECT_EQ(f[2], "V") << rmc[e];
            continue;
        }
        EXPECT_EQ(f[2], "A");
        EXPECT_EQ(rmc[e].substr(Comma(rmc[e], 3), 27), positions[e]);
        if (e == model.FixEpoch()) {
            EXPECT_EQ(f[1], "") << "the time sentence before had status 0";
            continue;
        }
        std::time_t t = static_cast<std::time_t>(times[e] / 1000);
        std::tm ref;
        gmtime_r(&t, &ref);
        char expected[16];
        std::snprintf(expected, sizeof expected, "%02d%02d%02d", ref.tm_hour, ref.tm_min,
                      ref.tm_sec);
        EXPECT_EQ(f[1], expected) << rmc[e];
    }
    EXPECT_EQ(sink.commands, "");

    ReceiverModel utc(Config(TimeMode::Utc, 11, 1, false));
    StringSink utcSink;
    ReplayThroughEngine(utc.NextEpoch() + utc.NextEpoch(), ReplayConfig(), utcSink);
    EXPECT_EQ(utcSink.commands.substr(0, CommandText(RmcRateCommand).size()),
              CommandText(RmcRateCommand));
}

} // namespace
} // namespace nmeafilt
