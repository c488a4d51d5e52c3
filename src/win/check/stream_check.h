// What an application reading the filtered port must see: whole, correctly checksummed
// sentences of the five standard types, and GGA times filled once the time is known.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace check
{

struct SentenceCount {
    const char* type; // "GGA", ...
    unsigned long count;
};

struct StreamSummary {
    unsigned long bytes = 0;
    unsigned long leadingBytes = 0; // tail of a sentence already under way when reading began
    unsigned long sentences = 0;
    std::vector<SentenceCount> counts; // the five accepted types, in a fixed order
    std::string rmcStatuses;           // each status letter once, in the order first seen
    unsigned long epochs = 0;          // distinct RMC times
    double epochRate = 0;              // epochs per second of receiver time; 0 when unknown
    unsigned long faults = 0;
    std::string firstFault; // empty when the stream is clean
};

class StreamCheck
{
  public:
    StreamCheck();
    void Feed(const char* data, size_t length);
    // The stream as read so far. An unfinished sentence at the end is where reading stopped.
    StreamSummary Summary() const;

  private:
    void EndLine();
    void Fault(const std::string& what);
    void Sentence(const std::string& body);
    void NoteRmc(const std::vector<std::string>& fields);

    StreamSummary s_;
    std::string line_;
    bool started_ = false; // a '$' has been seen
    bool resync_ = false;  // dropping the rest of an overlong line
    bool timeKnown_ = false;
    long lastTime_ = -1; // RMC time of day in hundredths of a second
    long elapsed_ = 0;   // hundredths of a second between the first and the last RMC time
};

} // namespace check
