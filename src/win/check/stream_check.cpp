#include "stream_check.h"

#include <cstdio>
#include <cstring>

namespace check
{

namespace
{

// Longer than any sentence a receiver sends; a line this long is garbage, not a sentence.
const size_t kMaxLine = 512;
const char* const kTypes[] = {"GGA", "GSA", "GSV", "VTG", "RMC"};
const long kDay = 24L * 3600 * 100;

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::vector<std::string> Fields(const std::string& body)
{
    std::vector<std::string> out(1);
    for (char c : body) {
        if (c == ',') {
            out.emplace_back();
        } else {
            out.back() += c;
        }
    }
    return out;
}

// hhmmss or hhmmss.ss as hundredths of a second of the day; -1 when it is not a time.
long TimeOfDay(const std::string& field)
{
    if (field.size() < 6) {
        return -1;
    }
    for (size_t i = 0; i < 6; ++i) {
        if (field[i] < '0' || field[i] > '9') {
            return -1;
        }
    }
    auto two = [&](size_t i) { return (field[i] - '0') * 10 + (field[i + 1] - '0'); };
    long hundredths = 0;
    if (field.size() > 7 && field[6] == '.') {
        hundredths = (field[7] - '0') * 10;
        if (field.size() > 8) {
            hundredths += field[8] - '0';
        }
    }
    return ((two(0) * 60L + two(2)) * 60 + two(4)) * 100 + hundredths;
}

std::string Printable(const std::string& text)
{
    std::string out;
    for (char c : text.substr(0, 80)) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7F) {
            out += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", u);
            out += hex;
        }
    }
    return text.size() > 80 ? out + "..." : out;
}

} // namespace

StreamCheck::StreamCheck()
{
    for (const char* t : kTypes) {
        s_.counts.push_back({t, 0});
    }
}

void StreamCheck::Feed(const char* data, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        char c = data[i];
        ++s_.bytes;
        if (!started_ || resync_) {
            if (c != '$') {
                s_.leadingBytes += started_ ? 0 : 1;
                continue;
            }
            started_ = true;
            resync_ = false;
        }
        line_ += c;
        if (c == '\n') {
            EndLine();
        } else if (line_.size() > kMaxLine) {
            Fault("a line of more than 512 bytes: " + Printable(line_));
            line_.clear();
            resync_ = true;
        }
    }
}

void StreamCheck::Fault(const std::string& what)
{
    if (s_.faults++ == 0) {
        s_.firstFault = what;
    }
}

void StreamCheck::EndLine()
{
    std::string line;
    line.swap(line_);
    size_t star = line.find('*');
    bool shaped = line[0] == '$' && star != std::string::npos && line.size() == star + 5 &&
                  line[star + 3] == '\r' && line.find('$', 1) == std::string::npos;
    if (!shaped) {
        Fault("not a whole sentence: " + Printable(line));
        return;
    }
    int high = HexDigit(line[star + 1]);
    int low = HexDigit(line[star + 2]);
    if (high < 0 || low < 0) {
        Fault("checksum not two uppercase hex digits: " + Printable(line));
        return;
    }
    unsigned sum = 0;
    for (size_t i = 1; i < star; ++i) {
        sum ^= static_cast<unsigned char>(line[i]);
    }
    if (sum != static_cast<unsigned>(high * 16 + low)) {
        Fault("wrong checksum: " + Printable(line));
        return;
    }
    Sentence(line.substr(1, star - 1));
}

void StreamCheck::Sentence(const std::string& body)
{
    std::vector<std::string> fields = Fields(body);
    const std::string& address = fields[0];
    if (!address.empty() && address[0] == 'P') {
        Fault("proprietary sentence $" + address);
        return;
    }
    for (SentenceCount& c : s_.counts) {
        if (address == std::string("GP") + c.type) {
            ++c.count;
            ++s_.sentences;
            if (address == "GPRMC") {
                NoteRmc(fields);
            } else if (address == "GPGGA" && timeKnown_ &&
                       (fields.size() < 2 || fields[1].empty())) {
                Fault("GGA with an empty time after RMC gave the time: $" + Printable(body));
            }
            return;
        }
    }
    Fault("unexpected sentence $" + Printable(address));
}

void StreamCheck::NoteRmc(const std::vector<std::string>& fields)
{
    if (fields.size() > 2 && fields[2].size() == 1 &&
        s_.rmcStatuses.find(fields[2]) == std::string::npos) {
        s_.rmcStatuses += fields[2];
    }
    long t = fields.size() > 1 ? TimeOfDay(fields[1]) : -1;
    if (t < 0) {
        return;
    }
    timeKnown_ = true;
    if (t == lastTime_) {
        return;
    }
    if (lastTime_ >= 0) {
        elapsed_ += (t - lastTime_ + kDay) % kDay; // across midnight too
    }
    lastTime_ = t;
    ++s_.epochs;
}

StreamSummary StreamCheck::Summary() const
{
    StreamSummary s = s_;
    if (s.epochs > 1 && elapsed_ > 0) {
        s.epochRate = (s.epochs - 1) * 100.0 / static_cast<double>(elapsed_);
    }
    return s;
}

} // namespace check
