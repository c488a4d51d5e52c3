#include "receiver_model.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "sentence_stream.h"

namespace nmeafilt
{

namespace
{

constexpr std::int64_t kMsPerSecond = 1000;
// Start times are drawn from the eight years after 2020-01-01, all later than the last leap
// second, so GPS time is UTC + kGpsUtcOffsetSeconds throughout.
constexpr int kStartSpanSeconds = 8 * 365 * 86400;
constexpr std::int64_t kSecondsPerWeek = 7 * 86400;
// Lines written to the receiver are commands of under 80 bytes; more is noise.
constexpr std::size_t kMaxInputLine = 256;
constexpr double kPi = 3.14159265358979323846;

// printf-style on purpose: -Wformat checks every call against its arguments.
// NOLINTNEXTLINE(cert-dcl50-cpp)
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string Format(const char* format, ...) // NOLINT(cert-dcl50-cpp)
{
    char text[160];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0)
        return std::string();
    return std::string(text, static_cast<std::size_t>(n) < sizeof text ? n : sizeof text - 1);
}

// Unix seconds of midnight UTC on a calendar day.
std::int64_t UnixSeconds(int year, int month, int day)
{
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    return static_cast<std::int64_t>(timegm(&tm));
}

std::int64_t FloorDiv(std::int64_t a, std::int64_t b)
{
    std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Fixed-width angle: whole degrees in `degreeDigits` digits, minutes as mm.mmmmm.
std::string Angle(double degrees, int degreeDigits, std::int64_t maxDegrees)
{
    constexpr std::int64_t kUnitsPerMinute = 100000;
    constexpr std::int64_t kUnitsPerDegree = 60 * kUnitsPerMinute;
    std::int64_t units = std::llround(std::fabs(degrees) * static_cast<double>(kUnitsPerDegree));
    if (units > maxDegrees * kUnitsPerDegree)
        units = maxDegrees * kUnitsPerDegree;
    std::int64_t whole = units / kUnitsPerDegree;
    std::int64_t rest = units % kUnitsPerDegree;
    return Format("%0*lld%02lld.%05lld", degreeDigits, static_cast<long long>(whole),
                  static_cast<long long>(rest / kUnitsPerMinute),
                  static_cast<long long>(rest % kUnitsPerMinute));
}

// Course in hundredths of a degree, always below 360.00.
std::string Course(double degrees)
{
    long long centi = std::llround(degrees * 100.0) % 36000;
    if (centi < 0)
        centi += 36000;
    return Format("%03lld.%02lld", centi / 100, centi % 100);
}

// Speed as ddd.d, five characters for anything under 1000.
std::string Speed(double value)
{
    long long tenths = std::llround(value * 10.0);
    if (tenths < 0)
        tenths = 0;
    if (tenths > 9999)
        tenths = 9999;
    return Format("%03lld.%01lld", tenths / 10, tenths % 10);
}

} // namespace

CivilTime CivilFromUnixMs(std::int64_t unixMs)
{
    const std::int64_t seconds = FloorDiv(unixMs, kMsPerSecond);
    const std::time_t whole = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&whole, &tm);
    return CivilTime{tm.tm_year + 1900,
                     tm.tm_mon + 1,
                     tm.tm_mday,
                     tm.tm_hour,
                     tm.tm_min,
                     tm.tm_sec,
                     static_cast<int>(unixMs - seconds * kMsPerSecond)};
}

std::string FinishSentence(std::string_view body)
{
    // The engine's own routine: the digits after "*", then CR LF.
    std::string line = "$" + std::string(body) + "*" + std::string(4, '\0');
    const ULONG length =
        NmeaFinishSentence(reinterpret_cast<UCHAR*>(line.data()), static_cast<ULONG>(line.size()));
    line.resize(length);
    return line;
}

bool ChecksumValid(std::string_view line)
{
    constexpr std::size_t kTail = 5; // "*HH\r\n"
    if (line.size() < kTail + 1 || line[0] != '$' || line.substr(line.size() - 2) != "\r\n" ||
        line.find_first_of("$*", 1) != line.size() - kTail) {
        return false;
    }
    return NmeaVerifyChecksum(reinterpret_cast<const UCHAR*>(line.data()),
                              static_cast<ULONG>(line.size() - 2)) != FALSE;
}

ReceiverModel::ReceiverModel(const ReceiverConfig& config)
    : config_(config), rng_(config.seed), rmcOutput_(config.rmcOutput)
{
    if (config_.rateHz < 1)
        config_.rateHz = 1;
    startUtcMs_ = (UnixSeconds(2020, 1, 1) + RandomBelow(kStartSpanSeconds)) * kMsPerSecond;
    fixEpoch_ = static_cast<std::uint64_t>(3 + RandomBelow(6)) * config_.rateHz;
    latitude_ = (RandomBelow(120000) - 60000) / 1000.0;
    longitude_ = (RandomBelow(360000) - 180000) / 1000.0;
    courseDeg_ = RandomBelow(36000) / 100.0;
    speedKnots_ = RandomBelow(300) / 10.0;
    declination_ = (RandomBelow(400) - 200) / 10.0;
    altitude_ = 20.0 + RandomBelow(4000) / 10.0;

    satelliteCount_ = 8 + RandomBelow(kMaxSatellites - 8 + 1);
    usedCount_ = 5 + RandomBelow(satelliteCount_ - 5 + 1);
    bool taken[33] = {};
    for (int i = 0; i < satelliteCount_; ++i) {
        int prn;
        do
            prn = 1 + RandomBelow(32);
        while (taken[prn]);
        taken[prn] = true;
        // Those used for the fix are the high ones with strong signals.
        bool used = i < usedCount_;
        satellites_[i] =
            Satellite{prn, used ? 25 + RandomBelow(61) : 5 + RandomBelow(25), RandomBelow(360),
                      used ? 35 + RandomBelow(14) : 18 + RandomBelow(15)};
    }
}

// splitmix64: small, good enough, and identical everywhere.
std::uint64_t ReceiverModel::NextRandom()
{
    std::uint64_t z = (rng_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

int ReceiverModel::RandomBelow(int bound)
{
    return static_cast<int>(NextRandom() % static_cast<std::uint64_t>(bound));
}

std::int64_t ReceiverModel::EpochUtcMs() const
{
    return startUtcMs_ +
           static_cast<std::int64_t>(epoch_) * kMsPerSecond / static_cast<int>(config_.rateHz);
}

std::string ReceiverModel::NextEpoch()
{
    std::int64_t utcMs = EpochUtcMs();
    CivilTime utc = CivilFromUnixMs(utcMs);
    std::string out = Gga(utc);
    out += Gsa();
    out += Gsv();
    out += Vtg();
    out += TimeSentence(utcMs);
    if (rmcOutput_)
        out += Rmc(utc);
    Advance();
    return out;
}

// The same number of draws every epoch, whatever the mode or RMC output, so that a seed gives the
// same track in both modes.
void ReceiverModel::Advance()
{
    double dt = 1.0 / config_.rateHz;
    speedKnots_ += (RandomBelow(21) - 10) / 20.0;
    if (speedKnots_ < 0.0)
        speedKnots_ = -speedKnots_;
    if (speedKnots_ > 60.0)
        speedKnots_ = 60.0;
    courseDeg_ = std::fmod(courseDeg_ + (RandomBelow(41) - 20) / 10.0 + 360.0, 360.0);

    double nauticalMiles = speedKnots_ * dt / 3600.0;
    double course = courseDeg_ * kPi / 180.0;
    latitude_ += nauticalMiles * std::cos(course) / 60.0;
    if (latitude_ > 85.0)
        latitude_ = 85.0;
    if (latitude_ < -85.0)
        latitude_ = -85.0;
    longitude_ += nauticalMiles * std::sin(course) / (60.0 * std::cos(latitude_ * kPi / 180.0));
    if (longitude_ >= 180.0)
        longitude_ -= 360.0;
    if (longitude_ < -180.0)
        longitude_ += 360.0;
    altitude_ += (RandomBelow(11) - 5) / 10.0;

    for (int i = 0; i < satelliteCount_; ++i) {
        int snr = satellites_[i].snr + RandomBelow(3) - 1;
        satellites_[i].snr = snr < 15 ? 15 : snr > 50 ? 50 : snr;
    }
    ++epoch_;
}

std::string ReceiverModel::Latitude() const
{
    return Angle(latitude_, 2, 89) + (latitude_ < 0 ? ",S" : ",N");
}

std::string ReceiverModel::Longitude() const
{
    return Angle(longitude_, 3, 180) + (longitude_ < 0 ? ",W" : ",E");
}

// hhmmss, as every time field of the receiver's has it.
std::string Hms(const CivilTime& t)
{
    return Format("%02d%02d%02d", t.hour, t.minute, t.second);
}

// GGA's and RMC's time: hhmmss.sss in utc mode; empty in gps mode, where the receiver has no UTC.
std::string ReceiverModel::UtcTimeField(const CivilTime& utc) const
{
    return config_.mode == TimeMode::Utc ? Hms(utc) + Format(".%03d", utc.millisecond) : "";
}

double ReceiverModel::Hdop() const
{
    return 0.8 + 0.1 * (kMaxSatellites - usedCount_);
}

std::string ReceiverModel::Gga(const CivilTime& utc) const
{
    const std::string time = UtcTimeField(utc);
    if (!HasFix())
        return FinishSentence("GPGGA," + time + ",,,,,0,00,99.9,,M,,M,,");
    return FinishSentence(
        "GPGGA," + time + "," + Latitude() + "," + Longitude() +
        Format(",1,%02d,%.1f,%.1f,M,%.1f,M,,", usedCount_, Hdop(), altitude_, 17.5));
}

std::string ReceiverModel::Gsa() const
{
    std::string body = HasFix() ? "GPGSA,A,3" : "GPGSA,A,1";
    for (int i = 0; i < kMaxSatellites; ++i) {
        body += ',';
        if (HasFix() && i < usedCount_)
            body += Format("%02d", satellites_[i].prn);
    }
    if (HasFix()) {
        const double hdop = Hdop();
        body += Format(",%.1f,%.1f,%.1f", hdop * 1.6, hdop, hdop * 1.3);
    } else {
        body += ",99.9,99.9,99.9";
    }
    return FinishSentence(body);
}

std::string ReceiverModel::Gsv() const
{
    // While acquiring, signals come up one satellite per epoch.
    int withSignal = HasFix() ? satelliteCount_ : static_cast<int>(epoch_);
    int sentences = (satelliteCount_ + 3) / 4;
    std::string out;
    for (int s = 0; s < sentences; ++s) {
        std::string body = Format("GPGSV,%d,%d,%02d", sentences, s + 1, satelliteCount_);
        for (int i = s * 4; i < satelliteCount_ && i < s * 4 + 4; ++i) {
            const Satellite& sat = satellites_[i];
            body += Format(",%02d,%02d,%03d,", sat.prn, sat.elevation, sat.azimuth);
            if (i < withSignal)
                body += Format("%02d", sat.snr);
        }
        out += FinishSentence(body);
    }
    return out;
}

std::string ReceiverModel::Vtg() const
{
    if (!HasFix())
        return FinishSentence("GPVTG,,T,,M,,N,,K,N");
    return FinishSentence("GPVTG," + Course(courseDeg_) + ",T," +
                          Course(courseDeg_ - declination_) + ",M," + Speed(speedKnots_) + ",N," +
                          Speed(speedKnots_ * 1.852) + ",K,A");
}

// Fields: 1 sentence kind, 2 GPS week, 3 second of week, 4 hhmmss, 5 dd, 6 mm, 7 yyyy, 8 status.
// In gps mode fields 4-7 carry GPS time; the status is "0" until the fix is up.
std::string ReceiverModel::TimeSentence(std::int64_t utcMs) const
{
    // GPS week 0 began at midnight UTC on 1980-01-06.
    std::int64_t gpsSeconds =
        FloorDiv(utcMs, kMsPerSecond) + kGpsUtcOffsetSeconds - UnixSeconds(1980, 1, 6);
    std::int64_t shown =
        config_.mode == TimeMode::Gps ? utcMs + kGpsUtcOffsetSeconds * kMsPerSecond : utcMs;
    CivilTime t = CivilFromUnixMs(shown);
    return FinishSentence(
        Format("PQXN,TM,%lld,%lld,", static_cast<long long>(gpsSeconds / kSecondsPerWeek),
               static_cast<long long>(gpsSeconds % kSecondsPerWeek)) +
        Hms(t) + Format(",%02d,%02d,%04d,%c", t.day, t.month, t.year, HasFix() ? '1' : '0'));
}

// A receiver that reports GPS time cannot fill RMC's UTC fields, so in gps mode they stay empty.
std::string ReceiverModel::Rmc(const CivilTime& utc) const
{
    const std::string time = UtcTimeField(utc);
    const std::string date =
        time.empty() ? "" : Format("%02d%02d%02d", utc.day, utc.month, utc.year % 100);
    if (!HasFix())
        return FinishSentence("GPRMC," + time + ",V,,,,,,," + date + ",,,N");
    return FinishSentence("GPRMC," + time + ",A," + Latitude() + "," + Longitude() + "," +
                          Speed(speedKnots_) + "," + Course(courseDeg_) + "," + date + ",,,A");
}

void ReceiverModel::Receive(const char* data, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i) {
        char c = data[i];
        if (c == '$' && !input_.empty()) {
            ++otherLines_;
            input_.clear();
        }
        input_ += c;
        if (c == '\n') {
            if (input_ == CommandText(RmcRateCommand)) {
                rmcOutput_ = true;
                ++rmcOnCommands_;
            } else if (input_ == CommandText(ErrRateCommand)) {
                rmcOutput_ = false;
                ++rmcOffCommands_;
            } else {
                ++otherLines_;
            }
            input_.clear();
        } else if (input_.size() > kMaxInputLine) {
            ++otherLines_;
            input_.clear();
        }
    }
}

} // namespace nmeafilt
