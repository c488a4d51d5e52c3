#include <gtest/gtest.h>

#include "nmea_test_util.h"

using testutil::Field;
using testutil::Line;
using testutil::Work;

namespace
{

const char kPosition[] = ",4807.03812,N,01131.00000,E";
static_assert(sizeof(kPosition) - 1 == POSITION_WIDTH, "fixture has the captured width");

class NavStateTest : public ::testing::Test
{
  protected:
    void SetUp() override { ResetNavState(); }

    static void SetTime(const char* time7, const char* date7)
    {
        std::memcpy(NavState.UtcTime, time7, UTC_TIME_WIDTH);
        std::memcpy(NavState.UtcDate, date7, UTC_DATE_WIDTH);
        NavState.TimeValid = TRUE;
    }
    static std::string Gga(const std::string& time, const std::string& quality)
    {
        return "$GPGGA," + time + kPosition + "," + quality + ",08,0.9,545.4,M,46.9,M,,*47\r\n";
    }
    static std::string Rmc()
    {
        Work w;
        BuildRmc(w.get());
        return w.text();
    }
};

TEST_F(NavStateTest, ResetLeavesOnlyFixStatusNonZero)
{
    std::memset(&NavState, 0x55, sizeof(NavState));
    ResetNavState();
    EXPECT_EQ(Field(NavState.FixStatus, 2), "00");
    const UCHAR* fields[] = {NavState.UtcTime, NavState.Position, NavState.Speed, NavState.UtcDate,
                             NavState.Course};
    const ULONG widths[] = {UTC_TIME_WIDTH, POSITION_WIDTH, SPEED_WIDTH, UTC_DATE_WIDTH,
                            COURSE_WIDTH};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(Field(fields[i], widths[i]), std::string(widths[i], '\0'));
    }
    EXPECT_FALSE(NavState.GgaHasTime);
    EXPECT_FALSE(NavState.TimeValid);
}

TEST_F(NavStateTest, GgaTimeFillAndCapture)
{
    struct Case {
        const char* name;
        bool timeValid;
        std::string in;
        std::string out; // up to the "*"
        bool ggaHasTime;
        std::string fixStatus;
        std::string position;
    } cases[] = {
        {"empty time filled", true, Gga("", "1"),
         "$GPGGA,123456" + std::string(kPosition) + ",1,08,0.9,545.4,M,46.9,M,,*", false, ",1",
         kPosition},
        {"empty time left without a valid time", false, Gga("", "1"),
         "$GPGGA," + std::string(kPosition) + ",1,08,0.9,545.4,M,46.9,M,,*", false, ",1",
         kPosition},
        {"own time kept", true, Gga("101010", "1"),
         "$GPGGA,101010" + std::string(kPosition) + ",1,08,0.9,545.4,M,46.9,M,,*", true, ",1",
         kPosition},
        {"no fix zeroes the position", false, Gga("101010", "0"),
         "$GPGGA,101010" + std::string(kPosition) + ",0,08,0.9,545.4,M,46.9,M,,*", true, ",0",
         std::string(POSITION_WIDTH, '0')},
        {"empty quality keeps the position", false, Gga("101010", ""),
         "$GPGGA,101010" + std::string(kPosition) + ",,08,0.9,545.4,M,46.9,M,,*", true, ",,",
         kPosition},
    };
    for (const Case& c : cases) {
        ResetNavState();
        if (c.timeValid) {
            SetTime(",123456", ",081226");
        }
        Work w;
        EXPECT_TRUE(RewriteGga(Line(c.in).get(), w.get())) << c.name;
        EXPECT_EQ(w.text(), c.out) << c.name;
        EXPECT_EQ(NavState.GgaHasTime, c.ggaHasTime) << c.name;
        EXPECT_EQ(Field(NavState.FixStatus, 2), c.fixStatus) << c.name;
        EXPECT_EQ(Field(NavState.Position, POSITION_WIDTH), c.position) << c.name;
    }
}

TEST_F(NavStateTest, GgaThatWouldOverflowTheWorkAreaOnceFilledIsRefused)
{
    // With the time filled the output grows by six; the "*" must stay at index 507 or before.
    for (size_t star : {500u, 501u, 502u, 507u}) {
        std::string text = "$GPGGA,," + std::string(star - 8, 'x') + "*00\r\n";
        ASSERT_EQ(text.find('*'), star);
        ResetNavState();
        SetTime(",123456", ",081226");
        Work w;
        EXPECT_EQ(RewriteGga(Line(text).get(), w.get()), star <= 501) << star;
        // Without a time to fill nothing grows, and it fits.
        ResetNavState();
        Work w2;
        EXPECT_TRUE(RewriteGga(Line(text).get(), w2.get())) << star;
    }
}

TEST_F(NavStateTest, VtgCapturesCourseAndSpeedOnlyWithAUsableFix)
{
    const std::string vtg = "$GPVTG,054.70,T,034.40,M,005.5,N,010.2,K*48\r\n";
    Work w;
    CaptureVtg(Line(vtg).get(), w.get());
    EXPECT_EQ(w.text(), vtg.substr(0, vtg.find('*') + 1));
    EXPECT_EQ(Field(NavState.Course, COURSE_WIDTH), std::string(COURSE_WIDTH, '\0'));
    EXPECT_EQ(Field(NavState.Speed, SPEED_WIDTH), std::string(SPEED_WIDTH, '\0'));

    for (const char* quality : {"2", "1"}) {
        Work g;
        RewriteGga(Line(Gga("101010", quality)).get(), g.get());
        Work v;
        CaptureVtg(Line(vtg).get(), v.get());
    }
    EXPECT_EQ(Field(NavState.Course, COURSE_WIDTH), ",054.70");
    EXPECT_EQ(Field(NavState.Speed, SPEED_WIDTH), ",005.5");
}

TEST_F(NavStateTest, DirectTimeSentenceTakesTimeAndDateAsTheyStand)
{
    ParseTimeSentenceDirect(Line("$PQXN,GPtim,UTC,2347,094117,08,12,2026,0*00\r\n").get());
    EXPECT_TRUE(NavState.TimeValid); // the status is not examined here
    EXPECT_EQ(Field(NavState.UtcTime, UTC_TIME_WIDTH), ",094117");
    EXPECT_EQ(Field(NavState.UtcDate, UTC_DATE_WIDTH), ",081226");

    // Too short to hold the fields: valid, but nothing is read beyond what is there.
    ResetNavState();
    ParseTimeSentenceDirect(Line("$PQXN,a,b*00\r\n").get());
    EXPECT_TRUE(NavState.TimeValid);
    EXPECT_EQ(Field(NavState.UtcTime, UTC_TIME_WIDTH), std::string(UTC_TIME_WIDTH, '\0'));
}

TEST_F(NavStateTest, GpsTimeSentenceStatusAndConversion)
{
    struct Case {
        const char* sentence;
        bool valid;
        const char* time; // expected UtcTime afterwards
        const char* date;
    } cases[] = {
        {"$PQXN,GPtim,GPS,2347,094117,08,12,2026,2*", true, ",094100", ",081226"},
        {"$PQXN,GPtim,GPS,2347,094117,08,12,2026,*", true, ",094100", ",081226"}, // empty status
        {"$PQXN,GPtim,GPS,2347,094117,08,12,2026,A*", true, ",094100", ",081226"},
        {"$PQXN,GPtim,GPS,2347,094117,08,12,2026,0*", false, ",111111", ",222222"}, // kept
        {"$PQXN,GPtim,GPS,2347,094117,08,12,2026,3*", false, ",111111", ",222222"},
        {"$PQXN,GPtim,GPS,2347,000005,01,01,2006,1*", true, ",235953", ",311205"},
        {"$PQXN,GPtim,GPS,2347,000010,01,01,2101,1*", true, ",235953", ",311200"},
    };
    for (const Case& c : cases) {
        ResetNavState();
        SetTime(",111111", ",222222");
        ParseTimeSentenceGps(Line(c.sentence).get());
        EXPECT_EQ(NavState.TimeValid, c.valid) << c.sentence;
        if (c.valid) {
            EXPECT_EQ(Field(NavState.UtcTime, UTC_TIME_WIDTH), c.time) << c.sentence;
            EXPECT_EQ(Field(NavState.UtcDate, UTC_DATE_WIDTH), c.date) << c.sentence;
        }
    }
}

TEST_F(NavStateTest, GpsTimeSentenceWithoutItsFieldsChangesNothing)
{
    const std::string sentences[] = {
        "$PQXN,GPtim,GPS,2347,094117,08,12*", "$PQXN*", "$PQXN,1,2,3*", "$PQXN,1,2,3,4,5,6,7*,8,",
        // Fields 4 to 7 shorter than the stamp read at fixed offsets from field 4: its end would
        // lie behind the "*", in the checksum, the line end and the zero fill.
        testutil::Sentence("PQXN,GPtim,GPS,2347,1,2,3,4,2"),
        testutil::Sentence("PQXN,GPtim,GPS,2347,0941,08,12,26,2")};
    for (const std::string& sentence : sentences) {
        for (BOOLEAN valid : {FALSE, TRUE}) {
            ResetNavState();
            SetTime(",111111", ",222222");
            NavState.TimeValid = valid;
            ParseTimeSentenceGps(Line(sentence).get());
            EXPECT_EQ(NavState.TimeValid, valid) << sentence;
            EXPECT_EQ(Field(NavState.UtcTime, UTC_TIME_WIDTH), ",111111") << sentence;
            EXPECT_EQ(Field(NavState.UtcDate, UTC_DATE_WIDTH), ",222222") << sentence;
        }
    }
}

TEST_F(NavStateTest, FiveDigitTimeIsReadAtFixedOffsetsAllTheSame)
{
    // ",09411,08,12,2026,2": offsets 0..16 from the digit after comma 4 straddle the fields.
    SetTime(",111111", ",222222");
    ParseTimeSentenceGps(Line("$PQXN,GPtim,GPS,2347,09411,08,12,2026,2,x*").get());
    EXPECT_TRUE(NavState.TimeValid);
    EXPECT_NE(Field(NavState.UtcTime, UTC_TIME_WIDTH), ",111111");
    EXPECT_EQ(NavState.UtcTime[0], ',');
}

TEST_F(NavStateTest, BuiltRmcFromWhatIsKnown)
{
    EXPECT_EQ(Rmc(), "$GPRMC,,V,,,,,,,,,,A*");

    Work g;
    RewriteGga(Line(Gga("101010", "1")).get(), g.get());
    // A usable fix but no course or speed captured yet: empty fields, never zero bytes.
    EXPECT_EQ(Rmc(), "$GPRMC,,A" + std::string(kPosition) + ",,,,,,A*");

    Work v;
    CaptureVtg(Line("$GPVTG,054.70,T,034.40,M,005.5,N,010.2,K*48\r\n").get(), v.get());
    SetTime(",094100", ",081226");
    EXPECT_EQ(Rmc(), "$GPRMC,094100,A" + std::string(kPosition) + ",005.5,054.70,081226,,,A*");

    // Only quality 1 counts: a differential fix reports status V.
    Work g2;
    RewriteGga(Line(Gga("101010", "2")).get(), g2.get());
    EXPECT_EQ(Rmc(), "$GPRMC,094100,V,,,,,,,081226,,,A*");
}

TEST_F(NavStateTest, NothingReadsPastTheLineStorage)
{
    // 512 bytes and no "*": every scan must stop at the storage's end (ASan watches).
    const std::string fills[] = {std::string(NMEA_LINE_SIZE, ','),
                                 "$GPGGA" + std::string(NMEA_LINE_SIZE - 6, ','),
                                 "$GPGGA,," + std::string(NMEA_LINE_SIZE - 8, '1')};
    for (const std::string& fill : fills) {
        auto storage = std::make_unique<std::array<UCHAR, NMEA_LINE_SIZE>>();
        std::memcpy(storage->data(), fill.data(), NMEA_LINE_SIZE);
        NavState.FixStatus[1] = '1';
        SetTime(",123456", ",081226");
        Work w;
        EXPECT_FALSE(RewriteGga(storage->data(), w.get()));
        Work v;
        CaptureVtg(storage->data(), v.get());
        ParseTimeSentenceDirect(storage->data());
        ParseTimeSentenceGps(storage->data());
    }
    // Comma 8 in the last byte: there is no status byte to read.
    std::string tail(NMEA_LINE_SIZE, 'x');
    for (size_t i = NMEA_LINE_SIZE - 8; i < NMEA_LINE_SIZE; ++i) {
        tail[i] = ',';
    }
    auto storage = std::make_unique<std::array<UCHAR, NMEA_LINE_SIZE>>();
    std::memcpy(storage->data(), tail.data(), NMEA_LINE_SIZE);
    SetTime(",111111", ",222222");
    ParseTimeSentenceGps(storage->data());
    EXPECT_EQ(Field(NavState.UtcTime, UTC_TIME_WIDTH), ",111111");
}

} // namespace
