#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "../common/civil_calendar.h"
#include "gps_time.h"

namespace
{

using civil::CivilFromDays;
using civil::DaysFromCivil;

const long long kMjdBase = DaysFromCivil(1858, 11, 17) - 1; // day number 0

using civil::DaysInMonth;

TEST(DayNumber, EveryDateFrom1858To2199RoundTripsAndAgreesWithAnIndependentCount)
{
    int y = 1858, m = 11, d = 17;
    for (LONG expected = 1; y < 2200; ++expected) {
        ASSERT_EQ(DayNumberFromDate(y, m, d), expected) << y << "-" << m << "-" << d;
        ASSERT_EQ(DaysFromCivil(y, m, d) - kMjdBase, expected);
        LONG ry = 0, rm = 0, rd = 0;
        DateFromDayNumber(expected, &ry, &rm, &rd);
        ASSERT_EQ(ry, y);
        ASSERT_EQ(rm, m);
        ASSERT_EQ(rd, d);
        if (++d > static_cast<int>(DaysInMonth(y, static_cast<unsigned>(m)))) {
            d = 1;
            if (++m > 12) {
                m = 1;
                ++y;
            }
        }
    }
}

TEST(DayNumber, FixedPointsAndOutOfRangeInput)
{
    struct Case {
        LONG dayNumber, year, month, day;
    } cases[] = {
        {0, 1858, 11, 16},      {1, 1858, 11, 17},         {44245, 1980, 1, 6},
        {51545, 2000, 1, 1},    {53737, 2006, 1, 1},       {2146000000, 5877407, 4, 25},
        {-1, 1998, 11, 1},      {2146000001, 1998, 11, 1}, {INT_MAX, 1998, 11, 1},
        {INT_MIN, 1998, 11, 1},
    };
    for (const Case& c : cases) {
        LONG y = 0, m = 0, d = 0;
        DateFromDayNumber(c.dayNumber, &y, &m, &d);
        EXPECT_EQ(y, c.year) << c.dayNumber;
        EXPECT_EQ(m, c.month) << c.dayNumber;
        EXPECT_EQ(d, c.day) << c.dayNumber;
    }
    // Out-of-range months and days carry into the neighbours.
    EXPECT_EQ(DayNumberFromDate(2005, 2, 30), DayNumberFromDate(2005, 3, 2));
    EXPECT_EQ(DayNumberFromDate(2005, 3, 0), DayNumberFromDate(2005, 2, 28));
    EXPECT_EQ(DayNumberFromDate(2005, 13, 1), DayNumberFromDate(2006, 1, 1));
}

struct ConversionCase {
    CALENDAR_TIME gps; // two-digit year as the sentence carries it
    CALENDAR_TIME utc;
};

std::string Show(const CALENDAR_TIME& t)
{
    char text[64];
    std::snprintf(text, sizeof(text), "%02d-%02d-%02d %02d:%02d:%02d", t.Year, t.Month, t.Day,
                  t.Hour, t.Minute, t.Second);
    return text;
}

TEST(ConvertGpsToUtc, KnownInstants)
{
    const ConversionCase cases[] = {
        {{5, 12, 31, 23, 59, 59}, {5, 12, 31, 23, 59, 47}},
        {{6, 1, 1, 0, 0, 5}, {5, 12, 31, 23, 59, 53}}, // borrows a week, 12 s
        {{6, 1, 8, 0, 0, 12}, {6, 1, 7, 23, 59, 59}},  // the 13th second borrows a week
        {{5, 6, 15, 12, 30, 45}, {5, 6, 15, 12, 30, 33}},
        {{7, 6, 15, 12, 30, 45}, {7, 6, 15, 12, 30, 32}},
        {{2, 1, 1, 0, 0, 0}, {1, 12, 31, 23, 59, 48}},
        {{4, 2, 29, 0, 0, 5}, {4, 2, 28, 23, 59, 53}},
        {{4, 3, 1, 0, 0, 5}, {4, 2, 29, 23, 59, 53}},
        {{5, 3, 1, 0, 0, 5}, {5, 2, 28, 23, 59, 53}},
        {{5, 2, 30, 0, 0, 30}, {5, 3, 2, 0, 0, 18}}, // out-of-range fields carry over
        {{5, 3, 0, 0, 0, 30}, {5, 2, 28, 0, 0, 18}},
        {{5, 13, 1, 0, 0, 30}, {6, 1, 1, 0, 0, 17}},
        {{5, 12, 31, 24, 0, 30}, {6, 1, 1, 0, 0, 17}},
        {{26, 12, 8, 9, 41, 17}, {26, 12, 8, 9, 41, 0}},
        {{99, 12, 31, 23, 59, 59}, {99, 12, 31, 23, 59, 42}},
        {{0, 1, 1, 0, 0, 0}, {99, 12, 31, 23, 59, 43}}, // 00 is 2100
        {{1, 1, 1, 0, 0, 10}, {0, 12, 31, 23, 59, 53}}, // 01 is 2101
        {{0, 3, 1, 0, 0, 5}, {0, 2, 28, 23, 59, 48}},
        {{0, 2, 29, 0, 0, 5}, {0, 2, 28, 23, 59, 48}}, // 2100 has no 29 February
    };
    for (const ConversionCase& c : cases) {
        CALENDAR_TIME got = ConvertGpsToUtc(c.gps);
        EXPECT_EQ(Show(got), Show(c.utc)) << "GPS " << Show(c.gps);
    }
}

// Across each leap second the result holds at midnight for two GPS seconds: the last second
// before the step and the first after it both read 00:00:00.
TEST(ConvertGpsToUtc, EachLeapSecondRepeatsMidnight)
{
    const ConversionCase cases[] = {
        {{6, 1, 1, 0, 0, 11}, {5, 12, 31, 23, 59, 59}}, // 13 s -> 14 s
        {{6, 1, 1, 0, 0, 12}, {6, 1, 1, 0, 0, 0}},
        {{6, 1, 1, 0, 0, 13}, {6, 1, 1, 0, 0, 0}},
        {{6, 1, 1, 0, 0, 14}, {6, 1, 1, 0, 0, 1}},
        {{9, 1, 1, 0, 0, 12}, {8, 12, 31, 23, 59, 59}}, // 14 s -> 15 s
        {{9, 1, 1, 0, 0, 13}, {9, 1, 1, 0, 0, 0}},
        {{9, 1, 1, 0, 0, 14}, {9, 1, 1, 0, 0, 0}},
        {{9, 1, 1, 0, 0, 15}, {9, 1, 1, 0, 0, 1}},
        {{12, 7, 1, 0, 0, 13}, {12, 6, 30, 23, 59, 59}}, // 15 s -> 16 s
        {{12, 7, 1, 0, 0, 14}, {12, 7, 1, 0, 0, 0}},
        {{12, 7, 1, 0, 0, 15}, {12, 7, 1, 0, 0, 0}},
        {{12, 7, 1, 0, 0, 16}, {12, 7, 1, 0, 0, 1}},
        {{15, 7, 1, 0, 0, 14}, {15, 6, 30, 23, 59, 59}}, // 16 s -> 17 s
        {{15, 7, 1, 0, 0, 15}, {15, 7, 1, 0, 0, 0}},
        {{15, 7, 1, 0, 0, 16}, {15, 7, 1, 0, 0, 0}},
        {{15, 7, 1, 0, 0, 17}, {15, 7, 1, 0, 0, 1}},
        {{17, 1, 1, 0, 0, 15}, {16, 12, 31, 23, 59, 59}}, // 17 s -> 18 s
        {{17, 1, 1, 0, 0, 16}, {17, 1, 1, 0, 0, 0}},
        {{17, 1, 1, 0, 0, 17}, {17, 1, 1, 0, 0, 0}},
        {{17, 1, 1, 0, 0, 18}, {17, 1, 1, 0, 0, 1}},
    };
    for (const ConversionCase& c : cases) {
        EXPECT_EQ(Show(ConvertGpsToUtc(c.gps)), Show(c.utc)) << "GPS " << Show(c.gps);
    }
}

// The published GPS-UTC offsets and the UTC dates they took effect.
struct PublishedOffset {
    long long year;
    unsigned month, day;
    long long seconds;
};
const PublishedOffset kPublishedOffsets[] = {
    {1999, 1, 1, 13}, {2006, 1, 1, 14}, {2009, 1, 1, 15},
    {2012, 7, 1, 16}, {2015, 7, 1, 17}, {2017, 1, 1, 18},
};

// Away from a step the filter reads one second late: GPS time minus the published offset, plus
// one. The first minute of a step day is left to the test above.
TEST(ConvertGpsToUtc, OneSecondLateAgainstThePublishedOffsetsEveryDayOfTheCenturies)
{
    const long long first = DaysFromCivil(2002, 1, 1);
    const long long last = DaysFromCivil(2101, 12, 31);
    const int secondsOfDay[] = {0, 5, 12, 13, 14, 3600 * 12 + 34 * 60 + 56, 86399};
    for (long long day = first; day <= last; ++day) {
        long long offset = 0;
        bool stepDay = false;
        for (const PublishedOffset& p : kPublishedOffsets) {
            const long long from = DaysFromCivil(p.year, p.month, p.day);
            if (day >= from) {
                offset = p.seconds;
            }
            stepDay = stepDay || day == from;
        }
        long long y;
        unsigned m, d;
        CivilFromDays(day, &y, &m, &d);
        for (int sod : secondsOfDay) {
            if (stepDay && sod < 60) {
                continue;
            }
            const CALENDAR_TIME gps = {static_cast<LONG>(y % 100),
                                       static_cast<LONG>(m),
                                       static_cast<LONG>(d),
                                       sod / 3600,
                                       sod % 3600 / 60,
                                       sod % 60};

            const long long utc = day * 86400 + sod - offset + 1;
            const long long utcDay = utc / 86400; // days since 1970: never negative here
            const long long usod = utc % 86400;
            long long uy;
            unsigned um, ud;
            CivilFromDays(utcDay, &uy, &um, &ud);
            const CALENDAR_TIME expected = {static_cast<LONG>(uy % 100),
                                            static_cast<LONG>(um),
                                            static_cast<LONG>(ud),
                                            static_cast<LONG>(usod / 3600),
                                            static_cast<LONG>(usod % 3600 / 60),
                                            static_cast<LONG>(usod % 60)};
            ASSERT_EQ(Show(ConvertGpsToUtc(gps)), Show(expected)) << "GPS " << Show(gps);
        }
    }
}

TEST(TwoDigitFields, ParseReadsDigitsAndWrapsEverythingElse)
{
    struct Case {
        const char* text;
        int value;
    } cases[] = {{"00", 0},
                 {"07", 7},
                 {"59", 59},
                 {"99", 99},
                 {"  ", 80},
                 {"A0", static_cast<signed char>(('A' * 10 + '0' - 16) & 0xFF)},
                 {"\xff\xff", static_cast<signed char>((255 * 10 + 255 - 16) & 0xFF)}};
    for (const Case& c : cases) {
        EXPECT_EQ(ParseTwoDigits(reinterpret_cast<const UCHAR*>(c.text)), c.value) << c.text;
    }
}

TEST(TwoDigitFields, FormatWritesExactlyTwoCharactersForAnyValue)
{
    struct Case {
        LONG value;
        const char* text;
    } cases[] = {{0, "00"},   {7, "07"},  {59, "59"},       {99, "99"},
                 {100, ":0"}, {-5, "0+"}, {256 + 42, "42"}, {200, "+*"}};
    for (const Case& c : cases) {
        UCHAR out[4] = {'#', '#', '#', '#'};
        FormatTwoDigits(c.value, out + 1);
        EXPECT_EQ(out[0], '#');
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out + 1), 2), c.text) << c.value;
        EXPECT_EQ(out[3], '#');
    }
}

} // namespace
