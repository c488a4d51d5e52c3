// GPS time to UTC and the two-digit text fields of NMEA. Pure integer functions.
#pragma once

#include "nmea_types.h"

struct CALENDAR_TIME {
    LONG Year; // two digits; the century comes from GpsTimeFromDate's rule
    LONG Month;
    LONG Day;
    LONG Hour;
    LONG Minute;
    LONG Second;
};
static_assert(sizeof(CALENDAR_TIME) == 24, "six 32-bit fields");

enum : LONG {
    SECONDS_PER_WEEK = 604800,
    SECONDS_PER_DAY = 86400,
    GPS_EPOCH_DAY_NUMBER = 44245, // 1980-01-06
    // One second less than the 13 s GPS time ran ahead of UTC from 1999 to 2005, and each step
    // of LeapSecondThresholds one less than the offset published for its years, on purpose: in
    // GPS-time mode the RMC built from a time sentence carries the time stored from the previous
    // one, an epoch and so a second earlier at 1 Hz. The second left out makes up for it, so
    // that at 1 Hz the RMC, and a GGA filled with the stored time, carry their own epoch's UTC.
    GPS_UTC_BASE_OFFSET = 12,
};

// GPS seconds (week * 604800 + second) after which one more leap second applies, oldest first.
extern const LONGLONG LeapSecondThresholds[];
extern const ULONG LeapSecondThresholdCount;

signed char ParseTwoDigits(const UCHAR* text);
void FormatTwoDigits(LONG value, UCHAR* out);
LONG DayNumberFromDate(LONG year, LONG month, LONG day);
void DateFromDayNumber(LONG dayNumber, LONG* year, LONG* month, LONG* day);
void GpsTimeFromDate(CALENDAR_TIME time, LONG* week, LONG* second);
void DateFromGpsTime(LONG week, LONG second, CALENDAR_TIME* time);
CALENDAR_TIME ConvertGpsToUtc(CALENDAR_TIME time);
