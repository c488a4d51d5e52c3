// GPS-scale calendar time to UTC, in integer arithmetic only: the receiver reports GPS time and
// applications expect UTC.
#include "gps_time.h"

// After the base offset, each of these GPS instants (already moved back by the offsets before
// it) costs one more second. 820108800 is 2006-01-01; the rest are the leap seconds since.
const LONGLONG LeapSecondThresholds[] = {
    820108800LL,  // 2006-01-01
    914803200LL,  // 2009-01-01
    1025136000LL, // 2012-07-01
    1119744000LL, // 2015-07-01
    1167264000LL, // 2017-01-01
};
const ULONG LeapSecondThresholdCount =
    sizeof(LeapSecondThresholds) / sizeof(LeapSecondThresholds[0]);

signed char ParseTwoDigits(const UCHAR* text)
{
    // Two ASCII digits leave exactly their value in the low 8 bits; anything else is not checked.
    LONG value = text[0] * 10 + text[1] - 16;
    return static_cast<signed char>(static_cast<UCHAR>(value & 0xFF));
}

void FormatTwoDigits(LONG value, UCHAR* out)
{
    LONG b = static_cast<signed char>(static_cast<UCHAR>(value & 0xFF));
    out[0] = static_cast<UCHAR>(0x30 + b / 10);
    out[1] = static_cast<UCHAR>(0x30 + b % 10);
}

// The low 32 bits of a 64-bit truncating quotient, as the 30.59 and 365.25 factors need.
static LONG Scaled(LONG value, LONGLONG factor, LONGLONG divisor)
{
    return static_cast<LONG>(static_cast<LONGLONG>(value) * factor / divisor);
}

LONG DayNumberFromDate(LONG year, LONG month, LONG day)
{
    if (month < 3) {
        month += 12;
        year -= 1;
    }
    LONG monthTerm = Scaled(month - 2, 305900, 10000);
    LONG yearTerm = Scaled(year, 3652500, 10000);
    LONG centuryTerm = Scaled(year, 100, 10000);
    LONG fourCenturyTerm = Scaled(year, 100, 40000);
    return yearTerm + fourCenturyTerm - centuryTerm + monthTerm + day - 678911;
}

void DateFromDayNumber(LONG dayNumber, LONG* year, LONG* month, LONG* day)
{
    // Days from 1 March of year 0; out-of-range input gets a fixed date rather than overflow.
    LONG k = (dayNumber > 2146000000 || dayNumber < 0) ? 730000 : dayNumber + 678881;

    LONG q = (k - 1) / 146097;
    k -= 146097 * q;
    LONG c = (k - 1) / 36524;
    if (c == 4) {
        c = 3;
    }
    k -= 36524 * c;
    LONG d = (4 * k - 1) / 1461;
    if (d == 100) {
        d = 99;
    }
    k -= (1461 * d) >> 2;
    LONG e = (5 * k - 3) / 153;
    *day = k - (153 * e + 2) / 5;
    if (e > 9) {
        *month = e - 9;
        *year = 400 * q + 100 * c + d + 1;
    } else {
        *month = e + 3;
        *year = 400 * q + 100 * c + d;
    }
}

void GpsTimeFromDate(CALENDAR_TIME time, LONG* week, LONG* second)
{
    LONG fullYear = time.Year < 2 ? time.Year + 2100 : time.Year + 2000;
    LONG offset = DayNumberFromDate(fullYear, time.Month, time.Day) - GPS_EPOCH_DAY_NUMBER;
    LONG weekday = offset % 7;
    *week = offset / 7;
    *second = ((weekday * 24 + time.Hour) * 60 + time.Minute) * 60 + time.Second;
}

void DateFromGpsTime(LONG week, LONG second, CALENDAR_TIME* time)
{
    LONG days = second / SECONDS_PER_DAY;
    ULONG s = static_cast<ULONG>(second - SECONDS_PER_DAY * days);
    LONG fullYear;
    DateFromDayNumber(7 * week + days + GPS_EPOCH_DAY_NUMBER, &fullYear, &time->Month, &time->Day);
    time->Year = fullYear % 100;
    time->Hour = static_cast<LONG>(s / 3600);
    time->Minute = static_cast<LONG>(s % 3600 / 60);
    time->Second = static_cast<LONG>(s % 60);
}

// One second back, borrowing a week when the second of week goes negative.
static void StepBack(LONG* week, LONG* second, LONG seconds)
{
    *second -= seconds;
    if (*second < 0) {
        *second += SECONDS_PER_WEEK;
        *week -= 1;
    }
}

CALENDAR_TIME ConvertGpsToUtc(CALENDAR_TIME time)
{
    LONG week;
    LONG second;
    GpsTimeFromDate(time, &week, &second);
    StepBack(&week, &second, GPS_UTC_BASE_OFFSET);
    for (ULONG i = 0; i < LeapSecondThresholdCount; ++i) {
        LONGLONG continuous = static_cast<LONGLONG>(week) * SECONDS_PER_WEEK + second;
        if (continuous > LeapSecondThresholds[i]) {
            StepBack(&week, &second, 1);
        }
    }
    CALENDAR_TIME utc;
    DateFromGpsTime(week, second, &utc);
    return utc;
}
