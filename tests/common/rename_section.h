// A copy of a driver image file with one section renamed and its header checksum made good
// again, so that the loader takes it: the kernel's paging rules go by section names.
#pragma once

#include <driver_image.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "slurp.h"

namespace rename_section
{
inline uint32_t Le(const std::vector<unsigned char>& file, size_t at, int bytes)
{
    uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        value = value << 8 | file.at(at + size_t(i));
    }
    return value;
}
} // namespace rename_section

// Empty when the image has no section named `from`.
inline std::vector<unsigned char> ImageWithSectionRenamed(const std::string& path, const char* from,
                                                          const char* to)
{
    using rename_section::Le;
    const std::string text = Slurp(path);
    std::vector<unsigned char> file(text.begin(), text.end());
    const size_t fileHeader = Le(file, 0x3C, 4) + 4; // after the "PE\0\0" signature
    const size_t sections = Le(file, fileHeader + 2, 2);
    const size_t optional = fileHeader + 20;
    const size_t table = optional + Le(file, fileHeader + 16, 2);
    const size_t nameSize = 8;
    const size_t headerSize = 40;
    char wanted[nameSize] = {};
    std::memcpy(wanted, from, std::min(std::strlen(from), nameSize));
    for (size_t i = 0; i < sections; ++i) {
        const size_t at = table + i * headerSize;
        file.at(at + nameSize - 1); // inside the file
        unsigned char* name = file.data() + at;
        if (std::memcmp(name, wanted, nameSize) == 0) {
            std::memset(name, 0, nameSize);
            std::memcpy(name, to, std::min(std::strlen(to), nameSize));
            const size_t checkSum = optional + 64;
            const uint32_t sum = standin::PeCheckSum(file, checkSum);
            for (int b = 0; b < 4; ++b) {
                file.at(checkSum + size_t(b)) = static_cast<unsigned char>(sum >> (8 * b));
            }
            return file;
        }
    }
    return {};
}
