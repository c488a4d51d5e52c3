// What the driver remembers between sentences, and the sentence rewrites that use it.
#pragma once

#include "nmea_types.h"

enum : ULONG {
    NMEA_LINE_SIZE = 512, // a line's storage and the work area: every pointer here has this much
    FIX_STATUS_WIDTH = 2,
    UTC_TIME_WIDTH = 7,
    POSITION_WIDTH = 27,
    SPEED_WIDTH = 6,
    UTC_DATE_WIDTH = 7,
    COURSE_WIDTH = 7,
    GGA_TIME_COMMA_AT = 6, // "$GPGGA" then comma 1; an empty time has comma 2 right behind it
};

// Text fragments as the receiver sent them, fixed width, no terminator.
struct NAV_STATE {
    UCHAR FixStatus[FIX_STATUS_WIDTH];
    UCHAR UtcTime[UTC_TIME_WIDTH];
    UCHAR Position[POSITION_WIDTH];
    UCHAR Speed[SPEED_WIDTH];
    UCHAR UtcDate[UTC_DATE_WIDTH];
    UCHAR Course[COURSE_WIDTH];
    BOOLEAN GgaHasTime;
    BOOLEAN TimeValid;
};

// One instance for the whole driver, shared by every device.
extern NAV_STATE NavState;

void ResetNavState();

// `line` points at the NMEA_LINE_SIZE bytes of line storage holding a sentence, zero bytes
// behind it; `out` at a zero-filled work area of NMEA_LINE_SIZE bytes. Writers stop after the "*".
// FALSE when the rewritten sentence would not fit the work area once finished; nothing
// usable is in `out` then.
BOOLEAN RewriteGga(const UCHAR* line, UCHAR* out);
void CaptureVtg(const UCHAR* line, UCHAR* out);
void ParseTimeSentenceDirect(const UCHAR* line);
void ParseTimeSentenceGps(const UCHAR* line);
void BuildRmc(UCHAR* out);
