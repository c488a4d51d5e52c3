// The two rate commands the read path writes to the receiver (defined in read.cpp). Free of
// kernel headers, so that the host tools and the simulated receiver use these very bytes.
#pragma once

#include "nmea/nmea_types.h"

enum : ULONG {
    RATE_COMMAND_LENGTH = 48,
};

// RMC output on: asks a receiver that reports UTC for its own RMC.
extern const UCHAR RmcRateCommand[RATE_COMMAND_LENGTH];
// RMC output off: tells a receiver that reports GPS time to stop its RMC.
extern const UCHAR ErrRateCommand[RATE_COMMAND_LENGTH];
