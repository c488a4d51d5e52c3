// Sentences as the receiver sends them, placed in storage as the engine holds them.
#pragma once

#include <array>
#include <cstdio>
#include <cstring>
#include <string>

#include "nav_state.h"
#include "sentence_stream.h"

namespace testutil
{

// "$" + body + "*" + checksum + CR LF.
inline std::string Sentence(const std::string& body)
{
    unsigned sum = 0;
    for (char c : body) {
        sum ^= static_cast<unsigned char>(c);
    }
    char tail[8];
    std::snprintf(tail, sizeof(tail), "*%02X\r\n", sum);
    return "$" + body + tail;
}

// 512 bytes of line storage: the text, then zero bytes.
struct Line {
    std::array<UCHAR, NMEA_LINE_SIZE> data{};
    explicit Line(const std::string& text)
    {
        std::memcpy(data.data(), text.data(),
                    text.size() < data.size() ? text.size() : data.size());
    }
    const UCHAR* get() const { return data.data(); }
};

// A zero-filled work area.
struct Work {
    std::array<UCHAR, NMEA_LINE_SIZE> data{};
    UCHAR* get() { return data.data(); }
    // What the writers put there, up to and including the "*".
    std::string text() const
    {
        const char* p = reinterpret_cast<const char*>(data.data());
        const void* star = std::memchr(p, '*', data.size());
        return star == nullptr ? std::string(p, data.size())
                               : std::string(p, static_cast<const char*>(star) - p + 1);
    }
};

inline std::string Field(const UCHAR* bytes, size_t n)
{
    return std::string(reinterpret_cast<const char*>(bytes), n);
}

} // namespace testutil
