// The driver-wide navigation memory and the sentence rewrites that read and write it. Fragments
// are kept as the receiver's own text; only the time sentence's date and time become numbers.
#include "nav_state.h"

#include "gps_time.h"
#include "word_scan.h"

NAV_STATE NavState = {{'0', '0'}, {}, {}, {}, {}, {}, FALSE, FALSE};

// Fields are found by counting commas: comma k, counted from the start of the line, is the one
// in front of field k. Above each parser, a sentence as the receiver sends it, its fields
// numbered.

// The stored time and date, ",hhmmss" and ",ddmmyy": a comma, then three two-digit numbers.
enum : ULONG {
    FIRST_PAIR = 1,
    SECOND_PAIR = 3,
    THIRD_PAIR = 5,
    PAIR_WIDTH = 2,
    SENTENCE_TAIL = 4, // behind the "*": two checksum digits, CR and LF
};

static void Fill(UCHAR* dest, UCHAR value, ULONG count)
{
    __builtin_memset(dest, value, count);
}

// Fixed-width copies never read past the line storage: a field that would is left as it was.
// A field is taken only when all of its bytes lie in the sentence, ahead of its "*": bytes from
// behind it (checksum, line end, zero fill) would make a later RMC malformed.
static void CopyField(UCHAR* dest, const UCHAR* line, ULONG at, ULONG width)
{
    if (at > NMEA_LINE_SIZE || width > NMEA_LINE_SIZE - at) {
        return;
    }
    for (ULONG i = at; i < at + width; ++i) {
        if (line[i] == '*' || line[i] == 0) {
            return;
        }
    }
    __builtin_memcpy(dest, line + at, width);
}

void ResetNavState()
{
    Fill(NavState.UtcTime, 0, UTC_TIME_WIDTH);
    Fill(NavState.Position, 0, POSITION_WIDTH);
    Fill(NavState.Speed, 0, SPEED_WIDTH);
    Fill(NavState.UtcDate, 0, UTC_DATE_WIDTH);
    Fill(NavState.Course, 0, COURSE_WIDTH);
    NavState.FixStatus[0] = '0';
    NavState.FixStatus[1] = '0';
    NavState.GgaHasTime = FALSE;
    NavState.TimeValid = FALSE;
}

// Nothing more is captured: the rest of the line up to its "*" goes over in one copy.
// FALSE when there is no "*" or the finished sentence would not fit the work area.
static BOOLEAN CopyRest(const UCHAR* line, ULONG from, UCHAR* out, ULONG o)
{
    const ULONG star = FindByte(line, from, NMEA_LINE_SIZE, '*');
    if (star >= NMEA_LINE_SIZE) {
        return FALSE;
    }
    const ULONG count = star + 1 - from;
    if (o + count + SENTENCE_TAIL > NMEA_LINE_SIZE) {
        return FALSE;
    }
    __builtin_memcpy(out + o, line + from, count);
    return TRUE;
}

// $GPGGA,094117,4807.03812,N,01131.00000,E,1,08,0.9,545.4,M,46.9,M,,*43
//        1      2          3 4           5 6 7  8   9     10 to 14
enum : ULONG {
    GGA_TIME = 1,     // hhmmss; empty when the receiver reports GPS time
    GGA_LATITUDE = 2, // Position: fields 2 to 5 with their commas
    GGA_QUALITY = 6,  // fix quality; FixStatus: its comma and digit
};

BOOLEAN RewriteGga(const UCHAR* line, UCHAR* out)
{
    ULONG commas = 0;
    ULONG o = 0;
    for (ULONG i = 0; i < NMEA_LINE_SIZE; ++i) {
        UCHAR b = line[i];
        if (o >= NMEA_LINE_SIZE) {
            return FALSE;
        }
        out[o++] = b;
        if (b == '*') {
            return o + SENTENCE_TAIL <= NMEA_LINE_SIZE;
        }
        if (b != ',') {
            continue;
        }
        ++commas;
        if (commas == GGA_TIME) {
            BOOLEAN emptyTime = i + 1 < NMEA_LINE_SIZE && line[i + 1] == ',';
            if (emptyTime && NavState.TimeValid) {
                // The stored time starts with its own comma: it replaces this one.
                o -= 1;
                if (o + UTC_TIME_WIDTH > NMEA_LINE_SIZE) {
                    return FALSE;
                }
                __builtin_memcpy(out + o, NavState.UtcTime, UTC_TIME_WIDTH);
                o += UTC_TIME_WIDTH;
            }
            NavState.GgaHasTime = emptyTime ? FALSE : TRUE;
        } else if (commas == GGA_LATITUDE) {
            CopyField(NavState.Position, line, i, POSITION_WIDTH);
        } else if (commas == GGA_QUALITY) {
            if (i + FIX_STATUS_WIDTH <= NMEA_LINE_SIZE) {
                CopyField(NavState.FixStatus, line, i, FIX_STATUS_WIDTH);
                if (line[i + 1] == '0') {
                    Fill(NavState.Position, '0', POSITION_WIDTH);
                }
            }
            return CopyRest(line, i + 1, out, o);
        }
    }
    return FALSE;
}

// $GPVTG,054.70,T,034.40,M,005.5,N,010.2,K*48
//        1      2 3      4 5     6 7     8
enum : ULONG {
    VTG_COURSE = 1, // track made good, degrees true; Course: it with its comma
    VTG_SPEED = 5,  // speed over ground in knots; Speed: it with its comma
};

void CaptureVtg(const UCHAR* line, UCHAR* out)
{
    ULONG commas = 0;
    for (ULONG i = 0; i < NMEA_LINE_SIZE; ++i) {
        UCHAR b = line[i];
        out[i] = b;
        if (b == '*') {
            return;
        }
        if (b != ',') {
            continue;
        }
        ++commas;
        const BOOLEAN usableFix = NavState.FixStatus[1] == '1';
        if (commas == VTG_COURSE && usableFix) {
            CopyField(NavState.Course, line, i, COURSE_WIDTH);
        } else if (commas == VTG_SPEED) {
            if (usableFix) {
                CopyField(NavState.Speed, line, i, SPEED_WIDTH);
            }
            CopyRest(line, i + 1, out, i + 1);
            return;
        }
    }
}

// $PQXN,GPtim,UTC,2347,094117,08,12,2026,0*07
//       1     2   3    4      5  6  7    8
enum : ULONG {
    TIME_FIELD = 4,   // hhmmss
    DAY_FIELD = 5,    // dd
    MONTH_FIELD = 6,  // mm
    YEAR_FIELD = 7,   // yyyy
    STATUS_FIELD = 8, // "0" or "3" first: the receiver has no valid time
};

void ParseTimeSentenceDirect(const UCHAR* line)
{
    NavState.TimeValid = TRUE;
    ULONG commas = 0;
    for (ULONG i = 0; i < NMEA_LINE_SIZE && line[i] != '*'; ++i) {
        if (line[i] != ',') {
            continue;
        }
        switch (++commas) {
            case TIME_FIELD: // ,hhmmss
                CopyField(NavState.UtcTime, line, i, UTC_TIME_WIDTH);
                break;
            case DAY_FIELD: // ,dd
                CopyField(NavState.UtcDate, line, i, FIRST_PAIR + PAIR_WIDTH);
                break;
            case MONTH_FIELD: // mm
                CopyField(NavState.UtcDate + SECOND_PAIR, line, i + 1, PAIR_WIDTH);
                break;
            case YEAR_FIELD: // yy of yyyy
                CopyField(NavState.UtcDate + THIRD_PAIR, line, i + 1 + PAIR_WIDTH, PAIR_WIDTH);
                break;
            default:
                break;
        }
    }
}

// Fields 4 to 7 of the same sentence, read as one stamp at fixed offsets whatever their widths:
// 094117,08,12,2026
// 0 2 4  7  10   15
enum : ULONG {
    STAMP_HOUR = 0,
    STAMP_MINUTE = 2,
    STAMP_SECOND = 4,
    STAMP_DAY = 7,
    STAMP_MONTH = 10,
    STAMP_YEAR = 15, // the last two digits of yyyy
    STAMP_LENGTH = 17,
};

void ParseTimeSentenceGps(const UCHAR* line)
{
    ULONG timeComma = 0;
    ULONG statusComma = 0;
    ULONG commas = 0;
    for (ULONG i = 0; i < NMEA_LINE_SIZE && line[i] != '*'; ++i) {
        if (line[i] != ',') {
            continue;
        }
        ++commas;
        if (commas == TIME_FIELD) {
            timeComma = i;
        } else if (commas == STATUS_FIELD) {
            statusComma = i;
            break;
        }
    }
    if (statusComma == 0 || statusComma + 1 >= NMEA_LINE_SIZE) {
        return;
    }
    UCHAR status = line[statusComma + 1];
    if (status == '0' || status == '3') {
        NavState.TimeValid = FALSE;
        return;
    }
    // Like a copied field, the stamp is taken only when it lies ahead of the "*", within the
    // storage: cut short, it would read the checksum, line end and zero fill for a time.
    const ULONG star = FindByte(line, timeComma, NMEA_LINE_SIZE, '*');
    if (timeComma + 1 + STAMP_LENGTH > star) {
        return;
    }
    NavState.TimeValid = TRUE;
    const UCHAR* p = line + timeComma + 1;

    CALENDAR_TIME gps;
    gps.Hour = ParseTwoDigits(p + STAMP_HOUR);
    gps.Minute = ParseTwoDigits(p + STAMP_MINUTE);
    gps.Second = ParseTwoDigits(p + STAMP_SECOND);
    gps.Day = ParseTwoDigits(p + STAMP_DAY);
    gps.Month = ParseTwoDigits(p + STAMP_MONTH);
    gps.Year = ParseTwoDigits(p + STAMP_YEAR);
    CALENDAR_TIME utc = ConvertGpsToUtc(gps);

    NavState.UtcDate[0] = ',';
    FormatTwoDigits(utc.Day, NavState.UtcDate + FIRST_PAIR);
    FormatTwoDigits(utc.Month, NavState.UtcDate + SECOND_PAIR);
    FormatTwoDigits(utc.Year, NavState.UtcDate + THIRD_PAIR);
    NavState.UtcTime[0] = ',';
    FormatTwoDigits(utc.Hour, NavState.UtcTime + FIRST_PAIR);
    FormatTwoDigits(utc.Minute, NavState.UtcTime + SECOND_PAIR);
    FormatTwoDigits(utc.Second, NavState.UtcTime + THIRD_PAIR);
}

static ULONG Put(UCHAR* out, ULONG o, const char* text)
{
    while (*text != 0) {
        out[o++] = static_cast<UCHAR>(*text++);
    }
    return o;
}

static ULONG PutField(UCHAR* out, ULONG o, const UCHAR* field, ULONG width)
{
    __builtin_memcpy(out + o, field, width);
    return o + width;
}

// A fragment not (wholly) captured since the reset still holds zero bytes: it goes out as its
// empty fields, never as zero bytes.
static ULONG PutCapturedField(UCHAR* out, ULONG o, const UCHAR* field, ULONG width,
                              const char* empty = ",")
{
    for (ULONG i = 0; i < width; ++i) {
        if (field[i] == 0) {
            return Put(out, o, empty);
        }
    }
    return PutField(out, o, field, width);
}

// $GPRMC,094100,A,4807.03812,N,01131.00000,E,005.5,054.70,081226,,,A*44
//        1      2 3          4 5           6 7     8      9      10 to 12
void BuildRmc(UCHAR* out)
{
    ULONG o = Put(out, 0, "$GPRMC");
    o = NavState.TimeValid ? PutCapturedField(out, o, NavState.UtcTime, UTC_TIME_WIDTH)
                           : Put(out, o, ",");
    o = Put(out, o, ",");
    if (NavState.FixStatus[1] == '1') {
        o = Put(out, o, "A");
        o = PutCapturedField(out, o, NavState.Position, POSITION_WIDTH, ",,,,");
        o = PutCapturedField(out, o, NavState.Speed, SPEED_WIDTH);
        o = PutCapturedField(out, o, NavState.Course, COURSE_WIDTH);
    } else {
        o = Put(out, o, "V,,,,,,");
    }
    o = NavState.TimeValid ? PutCapturedField(out, o, NavState.UtcDate, UTC_DATE_WIDTH)
                           : Put(out, o, ",");
    Put(out, o, ",,,A*");
}
