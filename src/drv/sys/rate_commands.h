// The two rate commands the read path writes to the receiver, as the receiver reads them:
// checksum and CR LF included. Free of kernel headers, so that the host tools and the simulated
// receiver use these very bytes; inline, so that a program holds one object of each, under its
// own name. The literal's terminator is storage only: a command is its RATE_COMMAND_LENGTH bytes.
#pragma once

#include "nmea/nmea_types.h"

// RMC output on: asks a receiver that reports UTC for its own RMC.
inline constexpr UCHAR RmcRateCommand[] = "$PQXN,GPint,GGA01,GSA01,GSV01,VTG01,RMC01,W*46\r\n";
// RMC output off: tells a receiver that reports GPS time to stop its RMC.
inline constexpr UCHAR ErrRateCommand[] = "$PQXN,GPint,GGA01,GSA01,GSV01,VTG01,err01,W*7F\r\n";

enum : ULONG {
    RATE_COMMAND_LENGTH = sizeof(RmcRateCommand) - 1,
};
static_assert(sizeof(ErrRateCommand) == sizeof(RmcRateCommand), "one length for both commands");

// A command ends in "*", the exclusive-or of its bytes between "$" and "*" as two uppercase hex
// digits, and CR LF: a receiver ignores one whose digits are wrong.
constexpr bool CarriesItsChecksum(const UCHAR (&command)[RATE_COMMAND_LENGTH + 1])
{
    UCHAR sum = 0;
    ULONG i = 1;
    for (; i < RATE_COMMAND_LENGTH && command[i] != '*'; ++i) {
        sum ^= command[i];
    }
    const char digits[] = "0123456789ABCDEF";
    return i + 5 == RATE_COMMAND_LENGTH && command[i + 1] == digits[sum >> 4] &&
           command[i + 2] == digits[sum & 0x0F] && command[i + 3] == '\r' && command[i + 4] == '\n';
}
static_assert(CarriesItsChecksum(RmcRateCommand), "RmcRateCommand's checksum digits");
static_assert(CarriesItsChecksum(ErrRateCommand), "ErrRateCommand's checksum digits");
