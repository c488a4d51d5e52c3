#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "../common/slurp.h"
#include "engine_loop.h"
#include "nmea_test_util.h"
#include "rate_commands.h"

using testutil::Sentence;

namespace
{

// A started and opened device fed by hand.
class Engine
{
  public:
    Engine() { StartAndOpenDevice(ext.get()); }
    // Port reads of `chunk` bytes each.
    void Feed(const std::string& bytes, size_t chunk = READ_BUFFER_CAPACITY)
    {
        for (size_t at = 0; at < bytes.size(); at += chunk) {
            std::string part = bytes.substr(at, chunk);
            std::memcpy(ext->ReadBuffer.Data, part.data(), part.size());
            ext->ReadBuffer.Length = static_cast<ULONG>(part.size());
            AssembleLines(ext.get());
        }
    }
    // One application read of `size` bytes; empty when the queue was.
    std::string Read(ULONG size)
    {
        std::string out(size, '\0');
        ULONG delivered = 12345;
        if (!DeliverOutput(ext.get(), out.data(), size, &delivered)) {
            EXPECT_EQ(delivered, 12345u) << "delivered set on an empty queue";
            return "";
        }
        out.resize(delivered);
        return out;
    }
    std::string ReadAll()
    {
        std::string all, part;
        while (!(part = Read(4096)).empty()) {
            all += part;
        }
        return all;
    }
    std::string Pending() const
    {
        return std::string(reinterpret_cast<const char*>(ext->LineBuffer.Data),
                           ext->LineBuffer.Length);
    }
    std::unique_ptr<DEVICE_EXTENSION> ext = std::make_unique<DEVICE_EXTENSION>();
};

const std::string kGsa = Sentence("GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1");
const std::string kGsv =
    Sentence("GPGSV,2,1,08,04,77,123,42,05,23,051,38,09,12,300,30,12,45,210,44");
const std::string kVtg = Sentence("GPVTG,054.70,T,034.40,M,005.5,N,010.2,K");
const std::string kGgaNoTime =
    Sentence("GPGGA,,4807.03812,N,01131.00000,E,1,08,0.9,545.4,M,46.9,M,,");
const std::string kGgaTime =
    Sentence("GPGGA,094105,4807.03812,N,01131.00000,E,1,08,0.9,545.4,M,46.9,M,,");
const std::string kTimeGps = Sentence("PQXN,GPtim,GPS,2347,094117,08,12,2026,2");
const std::string kTimeUtc = Sentence("PQXN,GPtim,UTC,2347,094105,08,12,2026,2");
const std::string kRmc =
    Sentence("GPRMC,094105,A,4807.03812,N,01131.00000,E,005.5,054.70,081226,,,A");

TEST(Checksum, ComputeVerifyAndFinish)
{
    const std::string rmcCommand = "$PQXN,GPint,GGA01,GSA01,GSV01,VTG01,RMC01,W*46\r\n";
    const std::string errCommand = "$PQXN,GPint,GGA01,GSA01,GSV01,VTG01,err01,W*7F\r\n";
    auto u = [](const std::string& s) { return reinterpret_cast<const UCHAR*>(s.data()); };
    EXPECT_EQ(NmeaChecksum(u(rmcCommand), 48), 0x46);
    EXPECT_EQ(NmeaChecksum(u(errCommand), 48), 0x7F);

    struct Case {
        std::string line;
        bool valid;
    } cases[] = {
        {rmcCommand, true},
        {errCommand, true},
        {"$PQXN,GPint,GGA01,GSA01,GSV01,VTG01,err01,W*7f\r\n", false}, // lowercase
        {"$PQXN,GPint,GGA01,GSA01,GSV01,VTG01,err01,W*7\r\n", false},  // one digit
        {"$PQXN,GPint,GGA01,GSA01,GSV01,VTG01,err01,W*", false},       // ends at the "*"
        {"$PQXN,GPint,GGA01,GSA01,GSV01,VTG01,err01,W\r\n", false},    // no "*"
        {std::string("$GPGSA,A\0,3*", 12) + "00\r\n", false},          // zero byte first
        {"$*00\r\n", true},
        {"X*00\r\n", true}, // the first byte never counts
    };
    for (const Case& c : cases) {
        EXPECT_EQ(NmeaVerifyChecksum(u(c.line), static_cast<ULONG>(c.line.size())), c.valid)
            << c.line;
    }

    UCHAR work[16] = "$AB*junk";
    EXPECT_EQ(NmeaFinishSentence(work, sizeof(work)), 8u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(work), 8), "$AB*03\r\n");
    UCHAR tight[6] = {'$', 'A', 'B', '*', 0, 0};
    EXPECT_EQ(NmeaFinishSentence(tight, sizeof(tight)), 0u); // no room for CR LF
}

TEST(Stream, SplitAnywhereGivesTheSameSentencesOnce)
{
    const std::string stream = kGsa + kGsv + kVtg + kGsa;
    Engine whole;
    whole.Feed(stream);
    const std::string expected = whole.ReadAll();
    EXPECT_EQ(expected, stream);
    for (size_t chunk = 1; chunk <= READ_BUFFER_CAPACITY; ++chunk) {
        Engine e;
        e.Feed(stream, chunk);
        EXPECT_EQ(e.ReadAll(), expected) << "chunk " << chunk;
    }
    // CR and LF in different port reads still end the line.
    Engine crlf;
    crlf.Feed(kGsa.substr(0, kGsa.size() - 1));
    EXPECT_EQ(crlf.ReadAll(), "");
    crlf.Feed("\n");
    EXPECT_EQ(crlf.ReadAll(), kGsa);
}

TEST(Stream, IncompleteSentenceWaitsForTheNextChunk)
{
    Engine e;
    e.Feed(kGsa + kGsv + kVtg.substr(0, 10));
    EXPECT_EQ(e.ReadAll(), kGsa + kGsv);
    EXPECT_EQ(e.Pending(), kVtg.substr(0, 10));
    e.Feed(kVtg.substr(10));
    EXPECT_EQ(e.ReadAll(), kVtg);
    EXPECT_EQ(e.ext->Counters.SentencesQueued, 3u);
}

TEST(Stream, WhatIsDroppedAndWhatIsCleanedUp)
{
    struct Case {
        const char* name;
        std::string in;
        std::string out;
    } cases[] = {
        {"wrong checksum", kGsa.substr(0, kGsa.size() - 4) + "00\r\n", ""},
        {"lowercase digits",
         Sentence("GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1").substr(0, 46) + "3b\r\n", ""},
        {"GLL not handled", Sentence("GPGLL,4807.038,N,01131.000,E,094105,A"), ""},
        {"ZDA not handled", Sentence("GPZDA,094105.00,08,12,2026,00,00"), ""},
        {"GN talker not handled", Sentence("GNGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1"), ""},
        {"zero byte before the star", std::string("$GPGSA,A,3\0", 11) + "*00\r\n", ""},
        {"junk after the checksum is not queued", kGsa.substr(0, kGsa.size() - 2) + " junk\r\n",
         kGsa},
        {"bytes before the first $", "noise\r\n" + kGsa, kGsa},
        {"a $ inside a line starts over", "$GPGSV,2,1,08,04" + kGsa, kGsa},
        {"LF alone does not end a line", kGsa.substr(0, kGsa.size() - 2) + "\n" + kGsv, kGsv},
        {"no star at all", "$GPGSA,A,3,04\r\n", ""},
    };
    for (const Case& c : cases) {
        Engine e;
        e.Feed(c.in);
        EXPECT_EQ(e.ReadAll(), c.out) << c.name;
    }
}

TEST(Stream, LongestLines)
{
    // A 512-byte line whose LF is its last byte is processed...
    std::string body = "GPGSA," + std::string(512 - 6 - 6, 'A');
    std::string longest = Sentence(body);
    ASSERT_EQ(longest.size(), 512u);
    Engine e;
    e.Feed(longest);
    EXPECT_EQ(e.ReadAll(), longest);

    // ...one more byte and it is discarded, and the stream carries on.
    std::string tooLong = Sentence(body + "A");
    Engine f;
    f.Feed(tooLong + kGsa);
    EXPECT_EQ(f.ReadAll(), kGsa);
    EXPECT_EQ(f.ext->Counters.DiscardedOverlong, 1u);

    // A GGA with an empty time near the limit no longer fits once the time is filled.
    std::string gga = Sentence("GPGGA,," + std::string(512 - 8 - 5, '1'));
    ASSERT_EQ(gga.size(), 512u);
    Engine g;
    g.Feed(kGgaNoTime + kTimeGps); // leaves a valid stored time, 09:41:00
    g.ReadAll();
    g.Feed(Sentence("GPGGA,,x") + gga);
    std::string out = g.ReadAll();
    EXPECT_EQ(out, Sentence("GPGGA,094100,x"));
    EXPECT_EQ(g.ext->Counters.DroppedTooLong, 1u);
}

TEST(Queue, OverflowKeepsTheNewestSentence)
{
    Engine e;
    std::string filler = Sentence("GPGSA," + std::string(500 - 12, 'B'));
    ASSERT_EQ(filler.size(), 500u);
    std::string sixty = Sentence("GPGSA," + std::string(60 - 12, 'C'));
    e.Feed(filler);
    EXPECT_EQ(e.ext->OutputBuffer.Length, 500u);
    e.Feed(sixty);
    EXPECT_EQ(e.ReadAll(), sixty);
    EXPECT_EQ(e.ext->Counters.QueueOverflows, 1u);

    // Exactly reaching the capacity also empties first: at most 511 bytes stay queued.
    Engine f;
    std::string twelve = Sentence("GPGSA,");
    ASSERT_EQ(twelve.size(), 12u);
    f.Feed(Sentence("GPGSA," + std::string(500 - 12, 'B')));
    f.Feed(twelve);
    EXPECT_EQ(f.ReadAll(), twelve);
}

TEST(Queue, PartialAndEmptyDeliveries)
{
    Engine e;
    std::string forty = Sentence("GPGSA," + std::string(40 - 12, 'D'));
    e.Feed(forty);
    EXPECT_EQ(e.Read(0), "");                   // satisfied at once with nothing...
    EXPECT_EQ(e.ext->OutputBuffer.Length, 40u); // ...and the queue is as it was
    EXPECT_EQ(e.Read(10), forty.substr(0, 10));
    EXPECT_EQ(e.Read(4096), forty.substr(10));
    EXPECT_EQ(e.Read(4096), "");
    EXPECT_EQ(e.ext->Counters.BytesOut, 40u);
}

TEST(Queue, InconsistentLengthsNeverMoveBytesOutOfBounds)
{
    Engine e;
    e.ext->OutputBuffer.Length = 4096;
    std::vector<char> guard(8, 'g');
    ULONG delivered = 7;
    EXPECT_FALSE(DeliverOutput(e.ext.get(), guard.data(), 8, &delivered));
    EXPECT_EQ(std::string(guard.begin(), guard.end()), "gggggggg");
    EXPECT_EQ(e.ext->OutputBuffer.Length, 0u);

    e.ext->ReadBuffer.Length = READ_BUFFER_CAPACITY + 1; // more than asked of the port
    e.ext->ReadBuffer.Data[0] = '$';
    AssembleLines(e.ext.get());
    EXPECT_EQ(e.ext->LineBuffer.Length, 0u);
    EXPECT_EQ(e.ext->Counters.BytesIn, 0u);

    e.ext->LineBuffer.Length = 9999;
    e.Feed(kGsa);
    EXPECT_EQ(e.ReadAll(), kGsa);

    // A device not started yet has no capacity: nothing is assembled.
    DEVICE_EXTENSION fresh = {};
    fresh.ReadBuffer.Length = 10;
    AssembleLines(&fresh);
    EXPECT_EQ(fresh.LineBuffer.Length, 0u);
}

TEST(TimeSentence, UtcModeRaisesTheRmcCommandAndCarriesItsOwnTime)
{
    Engine e;
    e.Feed(kGgaTime + kVtg + kTimeUtc);
    EXPECT_EQ(e.ReadAll(),
              kGgaTime + kVtg +
                  Sentence("GPRMC,094105,A,4807.03812,N,01131.00000,E,005.5,054.70,081226,,,A"));
    EXPECT_TRUE(e.ext->SendRmcRateCommand);
    EXPECT_FALSE(e.ext->SendErrRateCommand);
    EXPECT_FALSE(NavState.TimeValid); // used once
    // The receiver's own RMC while GGA carries time: passed on, no command.
    e.ext->SendRmcRateCommand = FALSE;
    e.Feed(kRmc);
    EXPECT_EQ(e.ReadAll(), kRmc);
    EXPECT_FALSE(e.ext->SendErrRateCommand);
    EXPECT_FALSE(e.ext->SendRmcRateCommand);
}

TEST(TimeSentence, GpsModeFillsGgaAndLagsOneSentence)
{
    Engine e;
    e.Feed(kTimeGps);
    EXPECT_EQ(e.ReadAll(), "$GPRMC,,V,,,,,,,,,,A*5C\r\n"); // nothing known yet
    e.Feed(kGgaNoTime + kVtg + Sentence("PQXN,GPtim,GPS,2347,094118,08,12,2026,2"));
    EXPECT_EQ(e.ReadAll(),
              Sentence("GPGGA,094100,4807.03812,N,01131.00000,E,1,08,0.9,545.4,M,46.9,M,,") + kVtg +
                  Sentence("GPRMC,094100,A,4807.03812,N,01131.00000,E,005.5,054.70,081226,,,A"));
    EXPECT_FALSE(e.ext->SendRmcRateCommand);

    // Status 0: this RMC still carries the previous time; the next has none.
    e.Feed(Sentence("PQXN,GPtim,GPS,2347,094119,08,12,2026,0"));
    EXPECT_EQ(e.ReadAll(),
              Sentence("GPRMC,094101,A,4807.03812,N,01131.00000,E,005.5,054.70,081226,,,A"));
    e.Feed(kTimeGps);
    EXPECT_EQ(e.ReadAll(), Sentence("GPRMC,,A,4807.03812,N,01131.00000,E,005.5,054.70,,,,A"));

    // The receiver's own RMC while GGA has no time asks for the err command.
    e.Feed(kRmc);
    EXPECT_EQ(e.ReadAll(), kRmc);
    EXPECT_TRUE(e.ext->SendErrRateCommand);
}

TEST(TimeSentence, LongerIdentifierIsStillTheTimeSentenceAndNeverPassesThrough)
{
    Engine e;
    e.Feed(Sentence("PQXNX,GPtim,GPS,2347,094117,08,12,2026,2"));
    EXPECT_EQ(e.ReadAll(), "$GPRMC,,V,,,,,,,,,,A*5C\r\n");
    EXPECT_EQ(e.ext->Counters.RmcSynthesized, 1u);
}

// Every sentence handed to applications is whole, verifies, and is of a type let through.
void ExpectWellFormed(const std::string& out, const std::string& name)
{
    size_t at = 0;
    while (at < out.size()) {
        size_t end = out.find("\r\n", at);
        ASSERT_NE(end, std::string::npos) << name;
        std::string s = out.substr(at, end + 2 - at);
        ASSERT_GE(s.size(), 6u);
        auto u = reinterpret_cast<const UCHAR*>(s.data());
        EXPECT_TRUE(NmeaVerifyChecksum(u, static_cast<ULONG>(s.size()))) << name << ": " << s;
        EXPECT_EQ(s.find('*'), s.size() - 5) << name << ": " << s;
        std::string id = s.substr(0, 6);
        EXPECT_TRUE(id == "$GPGGA" || id == "$GPGSA" || id == "$GPGSV" || id == "$GPVTG" ||
                    id == "$GPRMC")
            << name << ": " << s;
        at = end + 2;
    }
}

struct Capture {
    const char* file;
    bool lfOnly; // lines end with LF alone: nothing completes
};

TEST(Captures, RealReceiverLogsComeOutWholeAndIndependentOfChunking)
{
    const Capture captures[] = {
        {"corpus/bn-9015.log", false},      {"corpus/bt451.log", false},
        {"corpus/firefly-II.log", false},   {"corpus/gp-320fw-2019-04-07-coldboot.log", false},
        {"corpus/gpslim236.log", true},     {"corpus/haicom-305N.log", true},
        {"corpus/magellan-ec10.log", true}, {"corpus/mt3339.log", false},
        {"corpus/nd-1005.log", false},      {"corpus/neo-m8n.log", false},
    };
    for (const Capture& c : captures) {
        const std::string input = Slurp(std::string(NMEAFILT_TEST_DATA) + "/" + c.file);
        ASSERT_FALSE(input.empty()) << c.file;
        nmeafilt::StringSink reference;
        nmeafilt::ReplayThroughEngine(input, {}, reference);
        ExpectWellFormed(reference.output, c.file);
        EXPECT_EQ(reference.output.empty(), c.lfOnly) << c.file;
        for (unsigned chunk : {1u, 7u, 95u}) {
            for (unsigned readSize : {1u, 13u, 4096u}) {
                nmeafilt::StringSink sink;
                nmeafilt::ReplayConfig config;
                config.chunk = chunk;
                config.readSize = readSize;
                nmeafilt::ReplayThroughEngine(input, config, sink);
                EXPECT_EQ(sink.output, reference.output)
                    << c.file << " " << chunk << "/" << readSize;
                EXPECT_EQ(sink.commands, reference.commands) << c.file;
            }
        }
    }
}

TEST(Captures, DamageInRealLogsIsDropped)
{
    auto run = [](const char* file) {
        nmeafilt::StringSink sink;
        FILTER_COUNTERS c = nmeafilt::ReplayThroughEngine(
            Slurp(std::string(NMEAFILT_TEST_DATA) + "/" + file), {}, sink);
        return std::make_pair(sink.output, c);
    };
    // Every GGA of this receiver has a wrong checksum.
    auto firefly = run("corpus/firefly-II.log");
    EXPECT_EQ(firefly.first.find("$GPGGA"), std::string::npos);
    EXPECT_GT(firefly.second.DroppedChecksum, 0u);
    // 84-byte GGA lines are still sentences.
    EXPECT_NE(run("corpus/mt3339.log").first.find("$GPGGA"), std::string::npos);
    // GN and GL talkers are not passed on.
    auto neo = run("corpus/neo-m8n.log");
    EXPECT_EQ(neo.first.find("$GN"), std::string::npos);
    EXPECT_GT(neo.second.DroppedType, 0u);
}

TEST(Replay, BundledSampleExercisesEveryPath)
{
    const std::string input = Slurp(NMEAFILT_SAMPLE_PATH);
    nmeafilt::StringSink sink;
    FILTER_COUNTERS c = nmeafilt::ReplayThroughEngine(input, {}, sink);
    ExpectWellFormed(sink.output, "sample");
    EXPECT_EQ(c.BytesIn, input.size());
    EXPECT_EQ(c.BytesOut, sink.output.size());
    EXPECT_GT(c.RmcSynthesized, 0u);
    EXPECT_GT(c.DroppedChecksum, 0u);
    EXPECT_GT(c.DroppedType, 0u);
    auto text = [](const UCHAR* command) {
        return std::string(reinterpret_cast<const char*>(command), RATE_COMMAND_LENGTH);
    };
    EXPECT_NE(sink.commands.find(text(ErrRateCommand)), std::string::npos);
    EXPECT_NE(sink.commands.find(text(RmcRateCommand)), std::string::npos);
    EXPECT_EQ(sink.commands.size(), c.CommandsWritten * RATE_COMMAND_LENGTH);
    // No PQXN ever reaches an application.
    EXPECT_EQ(sink.output.find("PQXN"), std::string::npos);
}

} // namespace

namespace
{

// The word-at-a-time scans against the plain definition, for a "*" or a zero byte at every
// position of lines up to 40 bytes.
TEST(Checksum, AgreesWithTheByteByByteDefinitionWhereverTheStarOrAZeroFalls)
{
    for (size_t size = 0; size <= 40; ++size) {
        for (size_t star = 0; star <= size; ++star) {
            for (int zeroAt = -1; zeroAt < static_cast<int>(size); ++zeroAt) {
                std::string line(size, 'Q');
                for (size_t i = 0; i < size; ++i) {
                    line[i] = static_cast<char>('A' + (i * 7) % 23);
                }
                if (star < size) {
                    line[star] = '*';
                }
                if (zeroAt >= 0) {
                    line[zeroAt] = '\0';
                }
                unsigned sum = 0;
                size_t firstStar = size;
                bool zeroFirst = false;
                for (size_t i = 1; i < size; ++i) {
                    if (line[i] == '*') {
                        firstStar = i;
                        break;
                    }
                    zeroFirst |= line[i] == '\0';
                    sum ^= static_cast<unsigned char>(line[i]);
                }
                auto u = reinterpret_cast<const UCHAR*>(line.data());
                ASSERT_EQ(NmeaChecksum(u, static_cast<ULONG>(size)), sum) << size << "/" << star;
                if (firstStar + 2 < size) {
                    char digits[3];
                    std::snprintf(digits, sizeof(digits), "%02X", sum);
                    line[firstStar + 1] = digits[0];
                    line[firstStar + 2] = digits[1];
                }
                const bool expected = !zeroFirst && firstStar + 2 < size &&
                                      line[firstStar + 1] != '\0' && line[firstStar + 2] != '\0';
                bool digitsIntact = zeroAt < 0 || static_cast<size_t>(zeroAt) < firstStar ||
                                    static_cast<size_t>(zeroAt) > firstStar + 2;
                if (digitsIntact) {
                    ASSERT_EQ(NmeaVerifyChecksum(u, static_cast<ULONG>(size)), expected)
                        << size << "/" << star << "/" << zeroAt;
                }
            }
        }
    }
}

} // namespace

// Sentences too short for the fixed-width fields: whatever they leave in the state, every
// synthesized RMC is still one whole sentence of printable text, with no zero byte, no "*"
// or line end taken from behind another sentence's "*".
TEST(TimeSentence, ShortSentencesNeverPutZeroBytesOrForeignTailsIntoTheRmc)
{
    struct Case {
        const char* name;
        std::string input;
    } cases[] = {
        {"time sentence without its time fields", kGgaTime + Sentence("PQXN,GPtim,UTC")},
        {"time sentence with the time but no date", kGgaTime + Sentence("PQXN,GPtim,UTC,1,094105")},
        {"time field cut by the star", kGgaTime + Sentence("PQXN,GPtim,UTC,1,0941")},
        {"position cut by the star", Sentence("GPGGA,094105,4807.0,N,1,1") + kTimeUtc},
        {"course and speed cut by the star", kGgaTime + Sentence("GPVTG,05,T,0,M,0") + kTimeUtc},
        {"gga with empty time filled from a short time sentence",
         kGgaTime + Sentence("PQXN,GPtim,UTC,1,09") + kGgaNoTime},
    };
    for (const Case& c : cases) {
        Engine e;
        e.Feed(c.input);
        const std::string out = e.ReadAll();
        size_t at = 0;
        while (at < out.size()) {
            const size_t end = out.find("\r\n", at);
            ASSERT_NE(end, std::string::npos) << c.name;
            const std::string sentence = out.substr(at, end + 2 - at);
            const std::string body = sentence.substr(1, sentence.size() - 6);
            EXPECT_EQ(sentence, Sentence(body)) << c.name << ": " << sentence;
            for (char ch : body) {
                EXPECT_TRUE(ch >= 0x20 && ch < 0x7F && ch != '*' && ch != '$')
                    << c.name << ": byte " << int(static_cast<unsigned char>(ch)) << " in " << body;
            }
            at = end + 2;
        }
        EXPECT_NE(out.find("$GPRMC"), std::string::npos) << c.name;
    }
}
