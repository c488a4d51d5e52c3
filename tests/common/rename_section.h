// A copy of a driver image file with one section renamed and its header checksum made good
// again, so that the loader takes it: the kernel's paging rules go by section names.
#pragma once

#include <driver_image.h>

#include <cstring>
#include <string>
#include <vector>

#include "slurp.h"

// Empty when the image has no section named `from` (at most 8 characters, as is `to`).
inline std::vector<unsigned char> ImageWithSectionRenamed(const std::string& path, const char* from,
                                                          const char* to)
{
    const std::string text = Slurp(path);
    std::vector<unsigned char> file(text.begin(), text.end());
    auto le = [&file](size_t at, int bytes) {
        size_t value = 0;
        for (int i = bytes - 1; i >= 0; --i) {
            value = value << 8 | file.at(at + size_t(i));
        }
        return value;
    };
    const size_t fileHeader = le(0x3C, 4) + 4; // past the "PE\0\0" signature
    const size_t optional = fileHeader + 20;
    const size_t table = optional + le(fileHeader + 16, 2);
    for (size_t i = 0, at = table; i < le(fileHeader + 2, 2); ++i, at += 40) {
        char name[9] = {};
        for (size_t c = 0; c < 8; ++c) {
            name[c] = char(file.at(at + c));
        }
        if (std::strcmp(name, from) == 0) {
            std::memset(&file[at], 0, 8);
            std::memcpy(&file[at], to, std::strlen(to));
            const size_t checkSum = optional + 64;
            const uint32_t sum = standin::PeCheckSum(file, checkSum);
            std::memcpy(&file.at(checkSum), &sum, sizeof sum); // little-endian, as the host
            return file;
        }
    }
    return {};
}
