// The checks cost a copy or a compare of at most one buffer per step, never a byte loop over
// one: the fuzz target builds this file without coverage hooks, so they stay cheap.
#include "engine_replay.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "sentence_stream.h"

namespace
{

// Stream bytes from the front, choices from the back: the layout the committed seeds were made
// for, that of libFuzzer's FuzzedDataProvider for a byte, a 16-bit value and a run of bytes.
class InputReader
{
  public:
    InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    size_t Remaining() const { return size_; }

    uint8_t Choice8() { return size_ == 0 ? 0 : data_[--size_]; }

    uint16_t Choice16()
    {
        uint16_t value = Choice8();
        if (size_ != 0) {
            value = static_cast<uint16_t>(value << 8 | data_[--size_]);
        }
        return value;
    }

    // Up to `n` bytes from the front; returns how many there were.
    size_t Take(size_t n, const uint8_t** bytes)
    {
        n = n < size_ ? n : size_;
        *bytes = data_;
        data_ += n;
        size_ -= n;
        return n;
    }

  private:
    const uint8_t* data_;
    size_t size_;
};

// Application reads: 0 to 600 bytes, or with whole reads at least a full queue's 512.
const ULONG kLargestRead = 600;
const ULONG kWholeRead = 512;
const UCHAR kFreshFill = 0xBE;

const UCHAR kZeros[BYTE_BUFFER_SIZE] = {};

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

class Replay
{
  public:
    const char* Run(const uint8_t* data, size_t size);

  private:
    bool Check(bool ok, const char* what)
    {
        if (!ok && failure_ == nullptr) {
            failure_ = what;
        }
        return ok;
    }
    void CheckBuffer(const BYTE_BUFFER& buffer, ULONG capacity, const char* what);
    void CheckBuffers();
    void Read(ULONG requested);
    void CheckWholeSentences();

    std::unique_ptr<DEVICE_EXTENSION> ext_ = std::make_unique<DEVICE_EXTENSION>();
    // A heap block of exactly each size asked so far, so that a byte written past a request is a
    // sanitizer report; kept, as a fresh one per read cost more than the engine's work.
    std::unique_ptr<UCHAR[]> destinations_[kLargestRead + 1];
    // Capacities as start set them: nothing after start may change them.
    ULONG capacities_[3] = {};
    // The queue as it stood before the read under check.
    UCHAR queued_[BYTE_BUFFER_SIZE] = {};
    std::string delivered_;
    const char* failure_ = nullptr;
};

void Replay::CheckBuffer(const BYTE_BUFFER& buffer, ULONG capacity, const char* what)
{
    Check(buffer.Capacity == capacity && buffer.Length <= capacity, what);
}

void Replay::CheckBuffers()
{
    const DEVICE_EXTENSION& ext = *ext_;
    CheckBuffer(ext.LineBuffer, capacities_[0], "line above capacity");
    CheckBuffer(ext.OutputBuffer, capacities_[1], "output queue above capacity");
    CheckBuffer(ext.ReadBuffer, capacities_[2], "read buffer above capacity");
    // Every scan of the line relies on zero bytes after what has been gathered.
    const BYTE_BUFFER& line = ext.LineBuffer;
    Check(failure_ != nullptr ||
              std::memcmp(line.Data + line.Length, kZeros, line.Capacity - line.Length) == 0,
          "line storage not zero after its length");
}

// One application read: exactly the head of the queue, never more than asked.
void Replay::Read(ULONG requested)
{
    BYTE_BUFFER& queue = ext_->OutputBuffer;
    const ULONG held = queue.Length; // within capacity: checked after the step before
    std::memcpy(queued_, queue.Data, held);
    // A zero-length read comes without a buffer. Filled as the sanitizer fills a fresh block, so
    // that bytes left over from an earlier read cannot pass for ones this read wrote.
    std::unique_ptr<UCHAR[]>& destination = destinations_[requested];
    if (requested != 0) {
        if (destination == nullptr) {
            destination.reset(new UCHAR[requested]);
        }
        std::memset(destination.get(), kFreshFill, requested);
    }
    ULONG count = 0xDEADBEEF;
    const BOOLEAN served = DeliverOutput(ext_.get(), destination.get(), requested, &count);
    CheckBuffers();
    if (!Check(served == (held != 0), "DeliverOutput result does not match the queue") || !served) {
        return;
    }
    const ULONG expected = held < requested ? held : requested;
    if (!Check(count == expected, "read delivered other than min(asked, queued)")) {
        return;
    }
    Check(count == 0 || std::memcmp(destination.get(), queued_, count) == 0,
          "read delivered other bytes than the head of the queue");
    Check(queue.Length == held - count &&
              std::memcmp(queue.Data, queued_ + count, held - count) == 0,
          "queue after a read is not what was left");
    delivered_.append(reinterpret_cast<const char*>(queued_), count);
}

// A run of sentences "$" ... "*" XX CR LF, each verifying and of a type that comes out.
void Replay::CheckWholeSentences()
{
    static const char* const kTypes[] = {"$GPGGA", "$GPGSA", "$GPGSV", "$GPVTG", "$GPRMC"};
    const std::string& stream = delivered_;
    size_t at = 0;
    while (failure_ == nullptr && at < stream.size()) {
        if (!Check(stream[at] == '$', "delivered sentence does not start with $")) {
            return;
        }
        const size_t star = stream.find('*', at);
        if (!Check(star != std::string::npos && star + 4 < stream.size(),
                   "delivered sentence has no * with two digits, CR and LF")) {
            return;
        }
        UCHAR sum = 0;
        for (size_t i = at + 1; i < star; ++i) {
            const UCHAR c = static_cast<UCHAR>(stream[i]);
            if (c == '$' || c == 0) {
                PrintSentence(stream, at, star);
                Check(false, "delivered sentence holds a $ or a zero byte");
                return;
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

const char* Replay::Run(const uint8_t* data, size_t size)
{
    InputReader input(data, size);
    // The device as start and open leave it: the record zero-filled, then started and opened.
    StartAndOpenDevice(ext_.get());
    capacities_[0] = ext_->LineBuffer.Capacity;
    capacities_[1] = ext_->OutputBuffer.Capacity;
    capacities_[2] = ext_->ReadBuffer.Capacity;
    delivered_.clear();
    failure_ = nullptr;

    const bool wholeReads = (input.Choice8() & 1) != 0;
    while (failure_ == nullptr && input.Remaining() != 0) {
        const uint8_t op = input.Choice8();
        const uint8_t* bytes;
        const size_t got = input.Take(1 + (op & 0x7F) % READ_BUFFER_CAPACITY, &bytes);
        if (got != 0) {
            std::memcpy(ext_->ReadBuffer.Data, bytes, got);
            ext_->ReadBuffer.Length = static_cast<ULONG>(got);
            AssembleLines(ext_.get());
            CheckBuffers();
        }
        // The top bit lets port reads pile up with no application read between them.
        if (failure_ == nullptr && (op & 0x80) == 0) {
            const uint16_t ask = input.Choice16();
            Read(wholeReads ? kWholeRead + ask % (kLargestRead - kWholeRead + 1)
                            : ask % (kLargestRead + 1));
        }
    }
    while (failure_ == nullptr && ext_->OutputBuffer.Length != 0) {
        Read(wholeReads ? kWholeRead : 97);
    }
    if (wholeReads) {
        CheckWholeSentences();
    }
    return failure_;
}

} // namespace

const char* ReplayEngineInput(const uint8_t* data, size_t size)
{
    static Replay replay;
    return replay.Run(data, size);
}
