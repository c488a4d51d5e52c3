// What the driver remembers between sentences, and the sentence rewrites that use it.
#pragma once

#include "nmea_types.h"

enum : ULONG {
    NMEA_LINE_SIZE = 512, // line storage and work area; every line pointer here has this much
    FIX_STATUS_WIDTH = 2,
    UTC_TIME_WIDTH = 7,
    POSITION_WIDTH = 27,
    SPEED_WIDTH = 6,
    UTC_DATE_WIDTH = 7,
    COURSE_WIDTH = 7,
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

// `line` points at the 512-byte line storage holding a sentence; `out` at a zero-filled
// 512-byte work area. Writers stop after the "*".
// FALSE when the rewritten sentence would not fit the work area once finished; nothing
// usable is in `out` then.
BOOLEAN RewriteGga(const UCHAR* line, UCHAR* out);
void CaptureVtg(const UCHAR* line, UCHAR* out);
void ParseTimeSentenceDirect(const UCHAR* line);
void ParseTimeSentenceGps(const UCHAR* line);
void BuildRmc(UCHAR* out);
