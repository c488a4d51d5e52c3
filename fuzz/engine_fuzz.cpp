// The stream engine against any byte stream from the receiver. The input is split by its own
// bytes into port reads of 1 to 96 bytes and application reads of 0 to 600 bytes. Beyond the
// sanitizers it checks the buffers' bounds, that a read gets at most what it asked for and
// exactly the head of the queue, and, when every read asks for at least 512 bytes, that the
// delivered stream is a run of whole, verifying sentences of the types the filter lets out.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sentence_stream.h"

namespace
{

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "engine_fuzz: %s\n", what);
    std::abort();
}

void Check(bool ok, const char* what)
{
    if (!ok) {
        Fail(what);
    }
}

void CheckBuffers(const DEVICE_EXTENSION& ext)
{
    Check(ext.OutputBuffer.Length <= ext.OutputBuffer.Capacity, "output queue above capacity");
    Check(ext.LineBuffer.Length <= ext.LineBuffer.Capacity, "line above capacity");
    Check(ext.ReadBuffer.Length <= ext.ReadBuffer.Capacity, "read buffer above capacity");
    // Every scan of the line relies on zero bytes after what has been gathered.
    for (ULONG i = ext.LineBuffer.Length; i < ext.LineBuffer.Capacity; ++i) {
        Check(ext.LineBuffer.Data[i] == 0, "line storage not zero after its length");
    }
}

int HexValue(UCHAR c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

void PrintSentence(const std::string& stream, size_t at, size_t star)
{
    std::fprintf(stderr, "sentence: ");
    for (size_t i = at; i < star + 5 && i < stream.size(); ++i) {
        const UCHAR c = static_cast<UCHAR>(stream[i]);
        std::fprintf(stderr, c >= 0x20 && c < 0x7F ? "%c" : "\\x%02X", c);
    }
    std::fprintf(stderr, "\n");
}

// A run of sentences "$" ... "*" XX CR LF, each verifying and of a type that comes out.
void CheckWholeSentences(const std::string& stream)
{
    static const char* const kTypes[] = {"$GPGGA", "$GPGSA", "$GPGSV", "$GPVTG", "$GPRMC"};
    size_t at = 0;
    while (at < stream.size()) {
        Check(stream[at] == '$', "delivered sentence does not start with $");
        const size_t star = stream.find('*', at);
        Check(star != std::string::npos && star + 4 < stream.size() + 1 &&
                  star + 4 <= stream.size(),
              "delivered sentence has no * with two digits, CR and LF");
        UCHAR sum = 0;
        for (size_t i = at + 1; i < star; ++i) {
            const UCHAR c = static_cast<UCHAR>(stream[i]);
            if (c == '$' || c == 0) {
                PrintSentence(stream, at, star);
                Fail("delivered sentence holds a $ or a zero byte");
            }
            sum = static_cast<UCHAR>(sum ^ c);
        }
        const int high = HexValue(static_cast<UCHAR>(stream[star + 1]));
        const int low = HexValue(static_cast<UCHAR>(stream[star + 2]));
        Check(high >= 0 && low >= 0, "checksum digits not uppercase hexadecimal");
        Check(high * 16 + low == sum, "delivered checksum does not verify");
        Check(stream[star + 3] == '\r' && stream[star + 4] == '\n', "sentence not ended by CR LF");
        bool known = false;
        for (const char* type : kTypes) {
            known = known || stream.compare(at, 6, type) == 0;
        }
        Check(known, "delivered sentence of a type the filter does not let out");
        at = star + 5;
    }
}

// One application read: exactly the head of the queue, never more than asked.
void Read(DEVICE_EXTENSION& ext, ULONG requested, std::string& delivered)
{
    const std::string queued(reinterpret_cast<const char*>(ext.OutputBuffer.Data),
                             ext.OutputBuffer.Length);
    // Sized exactly, so that a byte written past the request is a sanitizer report; a
    // zero-length read comes without a buffer.
    std::unique_ptr<UCHAR[]> destination(requested ? new UCHAR[requested] : nullptr);
    ULONG count = 0xDEADBEEF;
    const BOOLEAN served = DeliverOutput(&ext, destination.get(), requested, &count);
    CheckBuffers(ext);
    Check(served == !queued.empty(), "DeliverOutput result does not match the queue");
    if (!served) {
        return;
    }
    const size_t expected = queued.size() < requested ? queued.size() : requested;
    Check(count == expected, "read delivered other than min(asked, queued)");
    Check(count == 0 || std::memcmp(destination.get(), queued.data(), count) == 0,
          "read delivered other bytes than the head of the queue");
    const std::string rest(reinterpret_cast<const char*>(ext.OutputBuffer.Data),
                           ext.OutputBuffer.Length);
    Check(rest == queued.substr(count), "queue after a read is not what was left");
    delivered.append(queued, 0, count);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    // The device as start and open leave it.
    auto ext = std::make_unique<DEVICE_EXTENSION>();
    StartAndOpenDevice(ext.get());

    const bool wholeReads = input.ConsumeBool();
    std::string delivered;
    while (input.remaining_bytes() != 0) {
        const uint8_t op = input.ConsumeIntegral<uint8_t>();
        const size_t chunk = 1 + (op & 0x7F) % READ_BUFFER_CAPACITY;
        const std::vector<uint8_t> bytes = input.ConsumeBytes<uint8_t>(chunk);
        if (!bytes.empty()) {
            std::memcpy(ext->ReadBuffer.Data, bytes.data(), bytes.size());
            ext->ReadBuffer.Length = static_cast<ULONG>(bytes.size());
            AssembleLines(ext.get());
            CheckBuffers(*ext);
        }
        // The top bit lets port reads pile up with no application read between them.
        if ((op & 0x80) == 0) {
            const uint16_t ask = input.ConsumeIntegral<uint16_t>();
            Read(*ext, wholeReads ? 512 + ask % 89 : ask % 601, delivered);
        }
    }
    while (ext->OutputBuffer.Length != 0) {
        Read(*ext, wholeReads ? 512 : 97, delivered);
    }
    if (wholeReads) {
        CheckWholeSentences(delivered);
    }
    return 0;
}
