// From raw port bytes to queued, re-checksummed sentences, and from the queue to a reader.
#include "sentence_stream.h"

#include "word_scan.h"

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

void SizeDeviceBuffers(DEVICE_EXTENSION* ext)
{
    SizeBuffer(&ext->LineBuffer, LINE_BUFFER_CAPACITY);
    SizeBuffer(&ext->OutputBuffer, OUTPUT_BUFFER_CAPACITY);
    SizeBuffer(&ext->ReadBuffer, READ_BUFFER_CAPACITY);
}

void ResetStream(DEVICE_EXTENSION* ext)
{
    EmptyBuffer(&ext->LineBuffer);
    EmptyBuffer(&ext->OutputBuffer);
    EmptyBuffer(&ext->ReadBuffer);
    ResetNavState();
}

// XOR of text[1..] up to the first "*" (or the first zero byte, when `zeroEnds`), eight bytes
// at a time while no word holds either. Returns where it stopped: `size` or more when it found
// neither.
static ULONG SumUntilStar(const UCHAR* text, ULONG size, BOOLEAN zeroEnds, UCHAR* sum)
{
    WORD64 words = 0;
    ULONG i = 1;
    while (size >= 8 && i <= size - 8) {
        const WORD64 w = Load8(text + i);
        if (HasByte(w, '*') || (zeroEnds && HasByte(w, 0))) {
            break;
        }
        words ^= w;
        i += 8;
    }
    words ^= words >> 32;
    words ^= words >> 16;
    words ^= words >> 8;
    UCHAR s = static_cast<UCHAR>(words);
    for (; i < size; ++i) {
        const UCHAR b = text[i];
        if (b == '*' || (zeroEnds && b == 0)) {
            break;
        }
        s ^= b;
    }
    *sum = s;
    return i;
}

UCHAR NmeaChecksum(const UCHAR* text, ULONG size)
{
    UCHAR sum;
    SumUntilStar(text, size, FALSE, &sum);
    return sum;
}

void FormatHexByte(UCHAR value, UCHAR* out)
{
    static const char digits[] = "0123456789ABCDEF";
    out[0] = static_cast<UCHAR>(digits[value >> 4]);
    out[1] = static_cast<UCHAR>(digits[value & 0x0F]);
}

// Index of the verified "*", or 0 when the line does not verify.
static ULONG VerifiedStar(const UCHAR* line, ULONG size)
{
    UCHAR sum;
    const ULONG star = SumUntilStar(line, size, TRUE, &sum);
    if (size < 3 || star > size - 3 || line[star] != '*') {
        return 0; // a zero byte first, no "*", or no room for two digits after it
    }
    UCHAR expected[2];
    FormatHexByte(sum, expected);
    return line[star + 1] == expected[0] && line[star + 2] == expected[1] ? star : 0;
}

BOOLEAN NmeaVerifyChecksum(const UCHAR* line, ULONG size)
{
    return VerifiedStar(line, size) != 0;
}

ULONG NmeaFinishSentence(UCHAR* text, ULONG size)
{
    UCHAR sum;
    const ULONG star = SumUntilStar(text, size, FALSE, &sum);
    if (size < 5 || star > size - 5) {
        return 0; // no "*", or no room for the digits and CR LF
    }
    FormatHexByte(sum, text + star + 1);
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

// A verified sentence queued as received: up to its checksum digits, which are already the
// right ones, then CR LF. The same bytes finishing would give, without scanning again.
static ULONG CopyVerified(const UCHAR* line, ULONG star, UCHAR* work)
{
    __builtin_memcpy(work, line, star + 3);
    work[star + 3] = CR;
    work[star + 4] = LF;
    return star + 5;
}

// Rewrites `line` into `work` by its identifier. Returns the fate; `*finished` is the finished
// length when the sentence is complete already, 0 when it still needs its checksum.
static LINE_FATE RewriteByType(DEVICE_EXTENSION* ext, const UCHAR* line, ULONG star, UCHAR* work,
                               ULONG* finished)
{
    *finished = 0;
    if (StartsWith(line, "$GPGGA")) {
        BOOLEAN filled = NavState.TimeValid && line[GGA_TIME_COMMA_AT] == ',' &&
                         line[GGA_TIME_COMMA_AT + 1] == ',';
        if (!RewriteGga(line, work)) {
            return LINE_DROPPED_TOO_LONG;
        }
        return filled ? LINE_REWRITTEN : LINE_QUEUED;
    }
    if (StartsWith(line, "$GPGSA") || StartsWith(line, "$GPGSV")) {
        *finished = CopyVerified(line, star, work);
        return LINE_QUEUED;
    }
    if (StartsWith(line, "$GPVTG")) {
        CaptureVtg(line, work);
        return LINE_QUEUED;
    }
    if (StartsWith(line, "$GPRMC")) {
        *finished = CopyVerified(line, star, work);
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
            // GPS time: the RMC carries the time stored from the previous time sentence, which
            // GPS_UTC_BASE_OFFSET allows for.
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
    ULONG star = VerifiedStar(line, length);
    if (star == 0) {
        return Report(ext, LINE_DROPPED_CHECKSUM, line, length, nullptr, 0);
    }

    // Every writer below ends its sentence with a "*" it wrote, and finishing reads no further,
    // so the work area needs no clearing.
    UCHAR work[NMEA_LINE_SIZE];
    ULONG finished;
    LINE_FATE fate = RewriteByType(ext, line, star, work, &finished);
    if (fate != LINE_QUEUED && fate != LINE_REWRITTEN && fate != LINE_SYNTHESIZED) {
        return Report(ext, fate, line, length, nullptr, 0);
    }
    if (finished == 0) {
        finished = NmeaFinishSentence(work, sizeof(work));
        if (finished == 0) {
            return Report(ext, LINE_DROPPED_TOO_LONG, line, length, nullptr, 0);
        }
    }
    AppendOutput(ext, work, finished);
    return Report(ext, fate, line, length, work, finished);
}

// Empties the line after `used` bytes of it were written; the rest is zero already.
static void ClearLine(BYTE_BUFFER* line, ULONG used)
{
    __builtin_memset(line->Data, 0, used);
    line->Length = 0;
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
    const UCHAR* in = ext->ReadBuffer.Data;
    UCHAR* line = lineBuffer->Data;
    for (ULONG r = 0; r < received; ++r) {
        // Ordinary bytes go over as one run, up to the next "$" or LF or the line's end.
        ULONG run = 0;
        const ULONG room = lineCapacity - 1 - length;
        while (run + 8 <= room && received - r - run >= 8) {
            const WORD64 w = Load8(in + r + run);
            if (HasByte(w, '$') || HasByte(w, LF)) {
                break;
            }
            run += 8;
        }
        while (r + run < received && run < room && in[r + run] != '$' && in[r + run] != LF) {
            ++run;
        }
        if (run != 0) {
            __builtin_memcpy(line + length, in + r, run);
            length += run;
            r += run;
            if (r == received) {
                break;
            }
        }
        const UCHAR b = in[r];
        if (b == '$') {
            // A "$" always starts a new sentence; whatever came before it is lost.
            ClearLine(lineBuffer, length);
            length = 0;
        }
        line[length] = b;
        if (b == LF && length > 0 && line[length - 1] == CR) {
            lineBuffer->Length = length + 1;
            ProcessSentence(ext);
            ClearLine(lineBuffer, length + 1);
            length = 0;
            continue;
        }
        if (++length >= lineCapacity) {
            lineBuffer->Length = length;
            Report(ext, LINE_DISCARDED_OVERLONG, line, length, nullptr, 0);
            ClearLine(lineBuffer, length);
            length = 0;
        }
    }
    lineBuffer->Length = length;
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
