// An application reading the port, played against the stream engine alone: the reference the
// driver-backed replay is checked against, and the home of what every replay prints.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "sentence_stream.h"

namespace nmeafilt
{

// A port read returns at most what the driver asks the port for.
constexpr unsigned kMaxChunk = READ_BUFFER_CAPACITY;
constexpr unsigned kDefaultReadSize = 4096;

// Where a replay's bytes go: what the application read, and what the receiver was sent.
class ReplaySink
{
  public:
    virtual ~ReplaySink() = default;
    virtual void Delivered(const UCHAR* data, size_t length) = 0;
    virtual void CommandWritten(const UCHAR* data, size_t length) = 0;
};

// Collects everything in memory (tests, comparisons).
class StringSink : public ReplaySink
{
  public:
    std::string output;
    std::string commands;
    void Delivered(const UCHAR* data, size_t length) override
    {
        output.append(reinterpret_cast<const char*>(data), length);
    }
    void CommandWritten(const UCHAR* data, size_t length) override
    {
        commands.append(reinterpret_cast<const char*>(data), length);
    }
};

struct ReplayConfig {
    unsigned chunk = kMaxChunk;           // bytes per port read, 1..96
    unsigned readSize = kDefaultReadSize; // bytes per application read, >= 1
    LINE_OBSERVER observer = nullptr;     // per-line fates, for --explain
    void* observerContext = nullptr;
    // Called as the input is consumed (bytes taken by the port so far, input size); optional.
    std::function<void(size_t consumed, size_t total)> progress = nullptr;
};

// The bytes per port read a replay uses: `config.chunk` brought into 1 .. kMaxChunk.
unsigned PortChunk(const ReplayConfig& config);

// Starts and opens a device over `input`, reads until a read returns nothing after the input is
// used up. Returns the device's counters.
FILTER_COUNTERS ReplayThroughEngine(const std::string& input, const ReplayConfig& config,
                                    ReplaySink& sink);

// Text for --explain and the summary, shared by every command that replays.
void ExplainLine(FILE* out, LINE_FATE fate, const UCHAR* line, ULONG lineLength,
                 const UCHAR* queued, ULONG queuedLength);
// `commandsSent` false: the commands went nowhere (a file or a pipe as the device).
void PrintSummary(FILE* out, const FILTER_COUNTERS& counters, bool commandsSent = true);

} // namespace nmeafilt
