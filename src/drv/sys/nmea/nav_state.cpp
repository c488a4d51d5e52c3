// The driver-wide navigation memory and the sentence rewrites that read and write it. Fragments
// are kept as the receiver's own text; only the time sentence's date and time become numbers.
#include "nav_state.h"

#include "gps_time.h"
#include "word_scan.h"

NAV_STATE NavState = {{'0', '0'}, {}, {}, {}, {}, {}, FALSE, FALSE};

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
    if (o + count + 4 > NMEA_LINE_SIZE) {
        return FALSE;
    }
    __builtin_memcpy(out + o, line + from, count);
    return TRUE;
}

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
            // Room for the checksum digits and CR LF behind the "*".
            return o + 4 <= NMEA_LINE_SIZE;
        }
        if (b != ',') {
            continue;
        }
        ++commas;
        if (commas == 1) {
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
        } else if (commas == 2) {
            CopyField(NavState.Position, line, i, POSITION_WIDTH);
        } else if (commas == 6) {
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
        if (commas == 1 && usableFix) {
            CopyField(NavState.Course, line, i, COURSE_WIDTH);
        } else if (commas == 5) {
            if (usableFix) {
                CopyField(NavState.Speed, line, i, SPEED_WIDTH);
            }
            CopyRest(line, i + 1, out, i + 1);
            return;
        }
    }
}

void ParseTimeSentenceDirect(const UCHAR* line)
{
    NavState.TimeValid = TRUE;
    ULONG commas = 0;
    for (ULONG i = 0; i < NMEA_LINE_SIZE && line[i] != '*'; ++i) {
        if (line[i] != ',') {
            continue;
        }
        switch (++commas) {
            case 4: // ,hhmmss
                CopyField(NavState.UtcTime, line, i, UTC_TIME_WIDTH);
                break;
            case 5: // ,dd
                CopyField(NavState.UtcDate, line, i, 3);
                break;
            case 6: // mm
                CopyField(NavState.UtcDate + 3, line, i + 1, 2);
                break;
            case 7: // yy of yyyy
                CopyField(NavState.UtcDate + 5, line, i + 3, 2);
                break;
            default:
                break;
        }
    }
}

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
        if (commas == 4) {
            timeComma = i;
        } else if (commas == 8) {
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
    // hhmmss,dd,mm,yyyy is read at fixed offsets; all 17 bytes must be in the storage.
    const UCHAR* p = line + timeComma + 1;
    if (timeComma + 1 + 17 > NMEA_LINE_SIZE) {
        return;
    }
    NavState.TimeValid = TRUE;

    CALENDAR_TIME gps;
    gps.Hour = ParseTwoDigits(p + 0);
    gps.Minute = ParseTwoDigits(p + 2);
    gps.Second = ParseTwoDigits(p + 4);
    gps.Day = ParseTwoDigits(p + 7);
    gps.Month = ParseTwoDigits(p + 10);
    gps.Year = ParseTwoDigits(p + 15);
    CALENDAR_TIME utc = ConvertGpsToUtc(gps);

    NavState.UtcDate[0] = ',';
    FormatTwoDigits(utc.Day, NavState.UtcDate + 1);
    FormatTwoDigits(utc.Month, NavState.UtcDate + 3);
    FormatTwoDigits(utc.Year, NavState.UtcDate + 5);
    NavState.UtcTime[0] = ',';
    FormatTwoDigits(utc.Hour, NavState.UtcTime + 1);
    FormatTwoDigits(utc.Minute, NavState.UtcTime + 3);
    FormatTwoDigits(utc.Second, NavState.UtcTime + 5);
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
