// A model of the GPS receiver the filter is written for: what it sends once per epoch and how it
// answers the two rate commands. Pure: no I/O, no clock, deterministic for a seed, so the same
// model drives `nmeafilt simulate` and the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "rate_commands.h"

namespace nmeafilt
{

// gps: GGA without time, time sentence in GPS time; utc: GGA with time, time sentence in UTC.
enum class TimeMode { Gps, Utc };

// One of the driver's two rate commands (rate_commands.h: RmcRateCommand turns the receiver's
// RMC output on, ErrRateCommand off), as text.
inline std::string_view CommandText(const UCHAR (&command)[RATE_COMMAND_LENGTH + 1])
{
    return std::string_view(reinterpret_cast<const char*>(command), RATE_COMMAND_LENGTH);
}

// The simulated receiver's GPS time runs ahead of UTC by this many seconds, as GPS time has since
// 2017-01-01. Its start times all come later.
inline constexpr int kGpsUtcOffsetSeconds = 18;

struct ReceiverConfig {
    TimeMode mode = TimeMode::Gps;
    unsigned rateHz = 1; // epochs per second, 1..20
    std::uint64_t seed = 1;
    bool rmcOutput = false; // RMC output at power-up
};

// Calendar fields of one instant.
struct CivilTime {
    int year, month, day, hour, minute, second, millisecond;
};

// Unix milliseconds to calendar fields (UTC, no leap seconds), by the C library.
CivilTime CivilFromUnixMs(std::int64_t unixMs);

// "$" + body + "*" + two uppercase hex digits + CR LF.
std::string FinishSentence(std::string_view body);

// True if `line` is "$...*HH\r\n" with uppercase hex digits matching the exclusive-or of the bytes
// between "$" and "*".
bool ChecksumValid(std::string_view line);

class ReceiverModel
{
  public:
    explicit ReceiverModel(const ReceiverConfig& config);

    // All sentences of the next epoch, CR LF terminated, in the order the receiver sends them.
    std::string NextEpoch();

    // Bytes written to the receiver. Complete lines equal to one of the two commands switch the
    // RMC output from the next epoch on; anything else is counted and ignored.
    void Receive(const char* data, std::size_t length);

    bool RmcOutput() const { return rmcOutput_; }
    bool HasFix() const { return epoch_ >= fixEpoch_; }
    std::uint64_t Epoch() const { return epoch_; }
    // First epoch with fix quality 1.
    std::uint64_t FixEpoch() const { return fixEpoch_; }
    // UTC of the epoch NextEpoch() will produce, in Unix milliseconds.
    std::int64_t EpochUtcMs() const;

    unsigned RmcOnCommands() const { return rmcOnCommands_; }
    unsigned RmcOffCommands() const { return rmcOffCommands_; }
    unsigned OtherLines() const { return otherLines_; }

  private:
    std::uint64_t NextRandom();
    int RandomBelow(int bound);
    void Advance();

    std::string UtcTimeField(const CivilTime& utc) const;
    double Hdop() const;
    std::string Gga(const CivilTime& utc) const;
    std::string Gsa() const;
    std::string Gsv() const;
    std::string Vtg() const;
    std::string TimeSentence(std::int64_t utcMs) const;
    std::string Rmc(const CivilTime& utc) const;
    std::string Latitude() const;
    std::string Longitude() const;

    struct Satellite {
        int prn, elevation, azimuth, snr;
    };
    static constexpr int kMaxSatellites = 12;

    ReceiverConfig config_;
    std::uint64_t rng_;
    std::int64_t startUtcMs_;
    std::uint64_t epoch_ = 0;
    std::uint64_t fixEpoch_;
    bool rmcOutput_;

    double latitude_;  // degrees, north positive
    double longitude_; // degrees, east positive
    double courseDeg_; // true course
    double speedKnots_;
    double declination_; // magnetic variation, east positive
    double altitude_;
    Satellite satellites_[kMaxSatellites];
    int satelliteCount_;
    int usedCount_;

    std::string input_;
    unsigned rmcOnCommands_ = 0;
    unsigned rmcOffCommands_ = 0;
    unsigned otherLines_ = 0;
};

} // namespace nmeafilt
