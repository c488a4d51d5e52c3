// What the programs read from a driver image before trusting it: machine, subsystem, and the
// file version of its version resource. Pure over bytes, so a damaged file is only refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace win
{

const std::uint16_t kMachineI386 = 0x014C;
const std::uint16_t kMachineAmd64 = 0x8664;
const std::uint16_t kSubsystemNative = 1;

struct FileVersion {
    std::uint16_t part[4]; // major, minor, patch, build
};

std::string VersionText(const FileVersion& version); // "1.0.0.0"
// Below zero, zero or above zero as a is older than, the same as or newer than b.
int CompareVersions(const FileVersion& a, const FileVersion& b);

struct ImageFacts {
    std::uint16_t machine = 0;
    std::uint16_t subsystem = 0;
    bool hasVersion = false;
    FileVersion version = {};
};

// False when the bytes are no PE image. A missing or damaged version resource only leaves
// hasVersion false.
bool ReadImageFacts(const unsigned char* data, std::size_t size, ImageFacts* facts);

} // namespace win
