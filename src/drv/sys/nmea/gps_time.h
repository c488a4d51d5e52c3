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
