// A copy of a driver image file with one section renamed and its header checksum made good
// again, so that the loader takes it: the kernel's paging rules go by section names.
#pragma once

#include <driver_image.h>
#include <pe_format.h>

#include <cstddef>
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
    auto at = [&file](size_t offset, size_t length) {
        file.at(offset + length - 1); // inside the file
        return file.data() + offset;
    };
    pe::IMAGE_DOS_HEADER dos;
    pe::IMAGE_NT_HEADERS32 nt;
    std::memcpy(&dos, at(0, sizeof dos), sizeof dos);
    std::memcpy(&nt, at(dos.e_lfanew, offsetof(pe::IMAGE_NT_HEADERS32, OptionalHeader)),
                offsetof(pe::IMAGE_NT_HEADERS32, OptionalHeader));
    const size_t optional = dos.e_lfanew + offsetof(pe::IMAGE_NT_HEADERS32, OptionalHeader);
    const size_t table = optional + nt.FileHeader.SizeOfOptionalHeader;
    for (size_t i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
        pe::IMAGE_SECTION_HEADER* section = reinterpret_cast<pe::IMAGE_SECTION_HEADER*>(
            at(table + i * sizeof(pe::IMAGE_SECTION_HEADER), sizeof(pe::IMAGE_SECTION_HEADER)));
        if (std::strncmp(section->Name, from, sizeof section->Name) == 0) {
            std::memset(section->Name, 0, sizeof section->Name);
            std::memcpy(section->Name, to, std::strlen(to));
            const size_t checkSum = optional + offsetof(pe::IMAGE_OPTIONAL_HEADER32, CheckSum);
            const uint32_t sum = standin::PeCheckSum(file, checkSum);
            std::memcpy(at(checkSum, sizeof sum), &sum, sizeof sum);
            return file;
        }
    }
    return {};
}
