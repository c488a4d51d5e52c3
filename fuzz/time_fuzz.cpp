// GPS-to-UTC conversion over any six two-character fields. Formatting writes exactly two
// bytes per field whatever the values; for digits of a real date and time the result matches
// a second, independent computation of the same rule on a continuous count of seconds.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "../tests/common/civil_calendar.h"
#include "gps_time.h"

namespace
{

void Check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "time_fuzz: %s\n", what);
        std::abort();
    }
}

using civil::CivilFromDays;
using civil::DaysFromCivil;
using civil::DaysInMonth;

// A heap block of exactly one field's two bytes, made once: an allocation per field cost more
// than the conversion it guards.
const std::unique_ptr<UCHAR[]> gField(new UCHAR[2]);

bool AllDigits(const uint8_t* text)
{
    for (int i = 0; i < 12; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
    }
    return true;
}

int Field(const uint8_t* text, int index)
{
    return (text[2 * index] - '0') * 10 + (text[2 * index + 1] - '0');
}

// The rule on a continuous count of GPS seconds: 12 seconds back, then one more for every
// threshold the value (as it then stands) is past, in table order.
void Reference(const uint8_t* text, CALENDAR_TIME* utc, bool* real)
{
    const int yy = Field(text, 0);
    const unsigned month = static_cast<unsigned>(Field(text, 1));
    const unsigned day = static_cast<unsigned>(Field(text, 2));
    const int hour = Field(text, 3);
    const int minute = Field(text, 4);
    const int second = Field(text, 5);
    const long long year = yy < 2 ? 2100 + yy : 2000 + yy;
    *real = month >= 1 && month <= 12 && day >= 1 && day <= DaysInMonth(year, month) && hour < 24 &&
            minute < 60 && second < 60;
    if (!*real) {
        return;
    }
    const long long gpsEpoch = DaysFromCivil(1980, 1, 6);
    long long t =
        (DaysFromCivil(year, month, day) - gpsEpoch) * 86400 + hour * 3600 + minute * 60 + second;
    t -= 12;
    for (ULONG i = 0; i < LeapSecondThresholdCount; ++i) {
        if (t > LeapSecondThresholds[i]) {
            t -= 1;
        }
    }
    long long days = t / 86400;
    long long secondOfDay = t % 86400;
    if (secondOfDay < 0) {
        secondOfDay += 86400;
        days -= 1;
    }
    long long y;
    unsigned m;
    unsigned d;
    CivilFromDays(days + gpsEpoch, &y, &m, &d);
    utc->Year = static_cast<LONG>(y % 100);
    utc->Month = static_cast<LONG>(m);
    utc->Day = static_cast<LONG>(d);
    utc->Hour = static_cast<LONG>(secondOfDay / 3600);
    utc->Minute = static_cast<LONG>(secondOfDay % 3600 / 60);
    utc->Second = static_cast<LONG>(secondOfDay % 60);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 12) {
        return 0;
    }
    // Each parse gets exactly its two bytes, so a read past them is a sanitizer report.
    LONG parsed[6];
    for (int i = 0; i < 6; ++i) {
        std::memcpy(gField.get(), data + 2 * i, 2);
        parsed[i] = ParseTwoDigits(gField.get());
    }
    const CALENDAR_TIME gps = {parsed[0], parsed[1], parsed[2], parsed[3], parsed[4], parsed[5]};
    const CALENDAR_TIME utc = ConvertGpsToUtc(gps);
    const LONG fields[6] = {utc.Year, utc.Month, utc.Day, utc.Hour, utc.Minute, utc.Second};
    for (LONG value : fields) {
        // Exactly two bytes: the allocation catches more, two different fills catch fewer.
        const std::unique_ptr<UCHAR[]>& out = gField;
        UCHAR first[2];
        out[0] = out[1] = 0x00;
        FormatTwoDigits(value, out.get());
        std::memcpy(first, out.get(), 2);
        out[0] = out[1] = 0xFF;
        FormatTwoDigits(value, out.get());
        Check(!(first[0] == 0x00 && out[0] == 0xFF) && !(first[1] == 0x00 && out[1] == 0xFF),
              "formatting left a byte of its field unwritten");
        Check(first[0] == out[0] && first[1] == out[1], "formatting depends on the old bytes");
    }

    if (!AllDigits(data)) {
        return 0;
    }
    CALENDAR_TIME expected;
    bool real = false;
    Reference(data, &expected, &real);
    if (!real) {
        return 0;
    }
    Check(utc.Year == expected.Year && utc.Month == expected.Month && utc.Day == expected.Day &&
              utc.Hour == expected.Hour && utc.Minute == expected.Minute &&
              utc.Second == expected.Second,
          "UTC differs from the reference");
    // A real date formats as digits only.
    for (LONG value : fields) {
        UCHAR out[2];
        FormatTwoDigits(value, out);
        Check(out[0] >= '0' && out[0] <= '9' && out[1] >= '0' && out[1] <= '9',
              "a real date formats to other than two digits");
    }
    return 0;
}
