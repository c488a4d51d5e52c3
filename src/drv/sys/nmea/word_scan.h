// Eight bytes at a time for the hot scans over sentence text: a word is tested for a byte value
// without a branch per byte.
#pragma once

#include "nmea_types.h"

typedef unsigned long long WORD64;

inline WORD64 Load8(const UCHAR* p)
{
    WORD64 w;
    __builtin_memcpy(&w, p, sizeof(w));
    return w;
}

inline bool HasByte(WORD64 w, UCHAR b)
{
    const WORD64 ones = 0x0101010101010101ULL;
    const WORD64 v = w ^ (ones * b);
    return ((v - ones) & ~v & 0x8080808080808080ULL) != 0;
}

// Index of the first `b` in text[from, size), or `size` when there is none.
inline ULONG FindByte(const UCHAR* text, ULONG from, ULONG size, UCHAR b)
{
    ULONG i = from;
    while (size >= 8 && i <= size - 8 && !HasByte(Load8(text + i), b)) {
        i += 8;
    }
    while (i < size && text[i] != b) {
        ++i;
    }
    return i;
}
