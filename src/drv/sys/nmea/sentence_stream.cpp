// From raw port bytes to queued, re-checksummed sentences, and from the queue to a reader.
#include "sentence_stream.h"

static const UCHAR CR = '\r';
static const UCHAR LF = '\n';

// Lengths are read once into a local: a reset between two steps of a routine must not change
// the bound a copy was checked against.
static ULONG ReadOnce(const ULONG& value)
{
    return *static_cast<const volatile ULONG*>(&value);
}

static ULONG UsableCapacity(const BYTE_BUFFER* buffer)
{
    ULONG capacity = ReadOnce(buffer->Capacity);
    return capacity <= BYTE_BUFFER_SIZE ? capacity : BYTE_BUFFER_SIZE;
}

void EmptyBuffer(BYTE_BUFFER* buffer)
{
    __builtin_memset(buffer->Data, 0, UsableCapacity(buffer));
    buffer->Length = 0;
}

void SizeBuffer(BYTE_BUFFER* buffer, ULONG capacity)
{
    __builtin_memset(buffer, 0, sizeof(*buffer));
    buffer->Capacity = capacity <= BYTE_BUFFER_SIZE ? capacity : BYTE_BUFFER_SIZE;
}

// Index of the first "*" after the leading "$" within `size` bytes, or `size` when none.
static ULONG FindStar(const UCHAR* text, ULONG size)
{
    ULONG i = 1;
    while (i < size && text[i] != '*') {
        ++i;
    }
    return i < size ? i : size;
}

UCHAR NmeaChecksum(const UCHAR* text, ULONG size)
{
    UCHAR sum = 0;
    for (ULONG i = 1; i < size && text[i] != '*'; ++i) {
        sum ^= text[i];
    }
    return sum;
}

void FormatHexByte(UCHAR value, UCHAR* out)
{
    static const char digits[] = "0123456789ABCDEF";
    out[0] = static_cast<UCHAR>(digits[value >> 4]);
    out[1] = static_cast<UCHAR>(digits[value & 0x0F]);
}

BOOLEAN NmeaVerifyChecksum(const UCHAR* line, ULONG size)
{
    ULONG star = FindStar(line, size);
    if (size < 3 || star > size - 3) {
        return FALSE; // no "*", or no room for two digits after it
    }
    for (ULONG i = 1; i < star; ++i) {
        if (line[i] == 0) {
            return FALSE;
        }
    }
    UCHAR expected[2];
    FormatHexByte(NmeaChecksum(line, star), expected);
    return line[star + 1] == expected[0] && line[star + 2] == expected[1];
}

ULONG NmeaFinishSentence(UCHAR* text, ULONG size)
{
    ULONG star = FindStar(text, size);
    if (size < 5 || star > size - 5) {
        return 0; // no "*", or no room for the digits and CR LF
    }
    FormatHexByte(NmeaChecksum(text, star), text + star + 1);
    text[star + 3] = CR;
    text[star + 4] = LF;
    return star + 5;
}

static BOOLEAN StartsWith(const UCHAR* line, const char* id)
{
    for (ULONG i = 0; id[i] != 0; ++i) {
        if (line[i] != static_cast<UCHAR>(id[i])) {
            return FALSE;
        }
    }
    return TRUE;
}

static void CountFate(FILTER_COUNTERS* counters, LINE_FATE fate)
{
    switch (fate) {
        case LINE_QUEUED:
        case LINE_REWRITTEN:
            counters->SentencesQueued++;
            break;
        case LINE_SYNTHESIZED:
            counters->SentencesQueued++;
            counters->RmcSynthesized++;
            break;
        case LINE_DROPPED_CHECKSUM:
            counters->DroppedChecksum++;
            break;
        case LINE_DROPPED_TYPE:
            counters->DroppedType++;
            break;
        case LINE_DROPPED_TOO_LONG:
            counters->DroppedTooLong++;
            break;
        case LINE_DISCARDED_OVERLONG:
            counters->DiscardedOverlong++;
            break;
    }
}

static LINE_FATE Report(DEVICE_EXTENSION* ext, LINE_FATE fate, const UCHAR* line, ULONG length,
                        const UCHAR* out, ULONG outLength)
{
    CountFate(&ext->Counters, fate);
    if (ext->LineObserver != nullptr) {
        ext->LineObserver(ext->ObserverContext, fate, line, length, out, outLength);
    }
    return fate;
}

// Rewrites `line` into `work` by its identifier; the fate if it is to be queued, else the drop.
static LINE_FATE RewriteByType(DEVICE_EXTENSION* ext, const UCHAR* line, ULONG length, UCHAR* work)
{
    if (StartsWith(line, "$GPGGA")) {
        BOOLEAN filled = NavState.TimeValid && line[6] == ',' && line[7] == ',';
        if (!RewriteGga(line, work)) {
            return LINE_DROPPED_TOO_LONG;
        }
        return filled ? LINE_REWRITTEN : LINE_QUEUED;
    }
    if (StartsWith(line, "$GPGSA") || StartsWith(line, "$GPGSV")) {
        __builtin_memcpy(work, line, length);
        return LINE_QUEUED;
    }
    if (StartsWith(line, "$GPVTG")) {
        CaptureVtg(line, work);
        return LINE_QUEUED;
    }
    if (StartsWith(line, "$GPRMC")) {
        __builtin_memcpy(work, line, length);
        if (!NavState.GgaHasTime) {
            ext->SendErrRateCommand = TRUE; // receiver sends RMC itself: tell it to stop
        }
        return LINE_QUEUED;
    }
    if (StartsWith(line, "$PQXN")) {
        if (NavState.GgaHasTime) {
            // Receiver reports UTC: take this sentence's time, and ask for its own RMC.
            ext->SendRmcRateCommand = TRUE;
            ParseTimeSentenceDirect(line);
            BuildRmc(work);
            NavState.TimeValid = FALSE;
        } else {
            // GPS time: the RMC carries the time stored from the previous time sentence.
            BuildRmc(work);
            ParseTimeSentenceGps(line);
        }
        return LINE_SYNTHESIZED;
    }
    return LINE_DROPPED_TYPE;
}

LINE_FATE ProcessSentence(DEVICE_EXTENSION* ext)
{
    const UCHAR* line = ext->LineBuffer.Data;
    ULONG length = ReadOnce(ext->LineBuffer.Length);
    if (length > UsableCapacity(&ext->LineBuffer)) {
        return Report(ext, LINE_DISCARDED_OVERLONG, line, 0, nullptr, 0);
    }
    if (!NmeaVerifyChecksum(line, length)) {
        return Report(ext, LINE_DROPPED_CHECKSUM, line, length, nullptr, 0);
    }

    UCHAR work[NMEA_LINE_SIZE];
    __builtin_memset(work, 0, sizeof(work));
    LINE_FATE fate = RewriteByType(ext, line, length, work);
    if (fate != LINE_QUEUED && fate != LINE_REWRITTEN && fate != LINE_SYNTHESIZED) {
        return Report(ext, fate, line, length, nullptr, 0);
    }
    ULONG finished = NmeaFinishSentence(work, sizeof(work));
    if (finished == 0) {
        return Report(ext, LINE_DROPPED_TOO_LONG, line, length, nullptr, 0);
    }
    AppendOutput(ext, work, finished);
    return Report(ext, fate, line, length, work, finished);
}

void AssembleLines(DEVICE_EXTENSION* ext)
{
    BYTE_BUFFER* lineBuffer = &ext->LineBuffer;
    const ULONG received = ReadOnce(ext->ReadBuffer.Length);
    const ULONG lineCapacity = UsableCapacity(lineBuffer);
    if (received == 0 || received >= lineCapacity || received > UsableCapacity(&ext->ReadBuffer)) {
        return;
    }
    ext->Counters.BytesIn += received;

    ULONG length = ReadOnce(lineBuffer->Length);
    if (length >= lineCapacity) {
        EmptyBuffer(lineBuffer);
        length = 0;
    }
    for (ULONG r = 0; r < received; ++r) {
        const UCHAR b = ext->ReadBuffer.Data[r];
        if (b == '$') {
            // A "$" always starts a new sentence; whatever came before it is lost.
            EmptyBuffer(lineBuffer);
            length = 0;
        }
        lineBuffer->Data[length] = b;
        if (length > 0 && b == LF && lineBuffer->Data[length - 1] == CR) {
            lineBuffer->Length = length + 1;
            ProcessSentence(ext);
            EmptyBuffer(lineBuffer);
            length = 0;
            continue;
        }
        lineBuffer->Length = ++length;
        if (length >= lineCapacity) {
            Report(ext, LINE_DISCARDED_OVERLONG, lineBuffer->Data, length, nullptr, 0);
            EmptyBuffer(lineBuffer);
            length = 0;
        }
    }
}

void AppendOutput(DEVICE_EXTENSION* ext, const UCHAR* text, ULONG length)
{
    BYTE_BUFFER* queue = &ext->OutputBuffer;
    const ULONG capacity = UsableCapacity(queue);
    if (length > capacity) {
        return; // cannot be held at all
    }
    ULONG held = ReadOnce(queue->Length);
    if (held > capacity || held + length >= capacity) {
        // Keep the newest sentence; older unread output is lost.
        if (held != 0) {
            ext->Counters.QueueOverflows++;
        }
        EmptyBuffer(queue);
        held = 0;
    }
    __builtin_memcpy(queue->Data + held, text, length);
    queue->Length = held + length;
}

BOOLEAN DeliverOutput(DEVICE_EXTENSION* ext, void* destination, ULONG requested, ULONG* delivered)
{
    BYTE_BUFFER* queue = &ext->OutputBuffer;
    const ULONG held = ReadOnce(queue->Length);
    if (held == 0) {
        return FALSE;
    }
    if (held > UsableCapacity(queue)) {
        EmptyBuffer(queue); // cannot be trusted; nothing is handed out from it
        return FALSE;
    }
    if (requested < held) {
        if (requested != 0) {
            __builtin_memcpy(destination, queue->Data, requested);
            __builtin_memmove(queue->Data, queue->Data + requested, held - requested);
        }
        queue->Length = held - requested;
        *delivered = requested;
    } else {
        __builtin_memcpy(destination, queue->Data, held);
        *delivered = held;
        EmptyBuffer(queue);
    }
    ext->Counters.BytesOut += *delivered;
    return TRUE;
}
