// Line assembly, validation, dispatch by sentence type and the output queue, over the
// per-device record. No kernel service is called from here.
#pragma once

#include "nav_state.h"

enum : ULONG {
    BYTE_BUFFER_SIZE = NMEA_LINE_SIZE,
    LINE_BUFFER_CAPACITY = BYTE_BUFFER_SIZE,
    OUTPUT_BUFFER_CAPACITY = BYTE_BUFFER_SIZE,
    READ_BUFFER_CAPACITY = 96, // what the port driver is asked for per read
};
// What the bounds below rely on, so that no size can change alone: the rewrites scan a line's
// whole storage, and a line of any length the buffer takes; a finished sentence, up to the work
// area's size, fits the queue on its own; a read is taken only when it is shorter than a line.
static_assert(BYTE_BUFFER_SIZE == ULONG(NMEA_LINE_SIZE), "the rewrites read this much storage");
static_assert(LINE_BUFFER_CAPACITY == ULONG(NMEA_LINE_SIZE), "the rewrites see every line");
static_assert(OUTPUT_BUFFER_CAPACITY >= ULONG(NMEA_LINE_SIZE), "any finished sentence fits");
static_assert(READ_BUFFER_CAPACITY < LINE_BUFFER_CAPACITY, "a read is shorter than a line");

struct BYTE_BUFFER {
    UCHAR Data[BYTE_BUFFER_SIZE];
    ULONG Capacity; // bytes of Data in use, set when the device starts
    ULONG Length;   // bytes held; for LineBuffer the next write position
};

// What became of one completed line; reported to a line observer when one is set.
enum LINE_FATE : ULONG {
    LINE_QUEUED,            // queued as received (checksum rewritten)
    LINE_REWRITTEN,         // GGA queued with its empty time filled
    LINE_SYNTHESIZED,       // time sentence replaced by an RMC
    LINE_DROPPED_CHECKSUM,  // no "*", a zero byte before it, or wrong digits
    LINE_DROPPED_TYPE,      // not a sentence the filter handles
    LINE_DROPPED_TOO_LONG,  // would exceed the work area once rewritten
    LINE_DISCARDED_OVERLONG // 512 bytes without CR LF
};

// Called for every completed or discarded line; `out` is what was queued (null if nothing).
typedef void (*LINE_OBSERVER)(void* context, LINE_FATE fate, const UCHAR* line, ULONG lineLength,
                              const UCHAR* out, ULONG outLength);

// Figures for the host tools; plain increments, never read by the driver itself.
struct FILTER_COUNTERS {
    ULONG BytesIn;
    ULONG BytesOut;
    ULONG SentencesQueued;
    ULONG DroppedChecksum;
    ULONG DroppedType;
    ULONG DroppedTooLong;
    ULONG DiscardedOverlong;
    ULONG QueueOverflows;
    ULONG RmcSynthesized;
    ULONG CommandsWritten;
};

// Per-device record; the driver frame sees the three pointers as device objects and a buffer.
struct DEVICE_EXTENSION {
    void* Self;
    void* NextLowerDriver;
    BYTE_BUFFER LineBuffer;
    BYTE_BUFFER OutputBuffer;
    BYTE_BUFFER ReadBuffer;
    void* SavedUserBuffer;
    ULONG SavedUserLength;
    ULONG DevicePowerState;
    BOOLEAN SendRmcRateCommand;
    BOOLEAN SendErrRateCommand;
    // Beyond the record proper: the one-read guard, the figures and the observer.
    volatile LONG ReadInProgress;
    FILTER_COUNTERS Counters;
    LINE_OBSERVER LineObserver;
    void* ObserverContext;
};

UCHAR NmeaChecksum(const UCHAR* text, ULONG size);
void FormatHexByte(UCHAR value, UCHAR* out);
BOOLEAN NmeaVerifyChecksum(const UCHAR* line, ULONG size);
ULONG NmeaFinishSentence(UCHAR* text, ULONG size);

void EmptyBuffer(BYTE_BUFFER* buffer);
void SizeBuffer(BYTE_BUFFER* buffer, ULONG capacity);

// The device's three buffers at their capacities, empty: what the frame's start does to them.
void SizeDeviceBuffers(DEVICE_EXTENSION* ext);
// The stream as an open begins it: the three buffers emptied and the navigation state reset.
void ResetStream(DEVICE_EXTENSION* ext);

// Start and open as the frame does them, for code that runs the engine without the frame (the
// engine-only replay, the fuzzers, the benchmark): the record zero-filled as the I/O manager
// creates it, then started and opened. Inline, so that the driver image carries none of it.
inline void StartAndOpenDevice(DEVICE_EXTENSION* ext)
{
    __builtin_memset(ext, 0, sizeof(*ext));
    SizeDeviceBuffers(ext);
    ResetStream(ext);
}

void AssembleLines(DEVICE_EXTENSION* ext);
LINE_FATE ProcessSentence(DEVICE_EXTENSION* ext);
void AppendOutput(DEVICE_EXTENSION* ext, const UCHAR* text, ULONG length);
BOOLEAN DeliverOutput(DEVICE_EXTENSION* ext, void* destination, ULONG requested, ULONG* delivered);
