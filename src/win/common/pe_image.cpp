#include "pe_image.h"

#include <cstdio>

namespace win
{

namespace
{

const std::uint16_t kPe32 = 0x10B, kPe32Plus = 0x20B;
const std::uint32_t kResourceDirectory = 2; // index among the data directories
const std::uint32_t kRtVersion = 16;
const std::uint32_t kSubdirectory = 0x80000000u;
const std::uint32_t kFixedInfoSignature = 0xFEEF04BDu;
const std::size_t kSectionHeaderSize = 40, kFixedInfoSize = 52;
// VS_VERSIONINFO: three 16-bit fields, then L"VS_VERSION_INFO" and padding to 32 bits.
const std::size_t kFixedInfoOffset = 40;

// Bounds-checked little-endian reads over the file; any read past the end fails the parse.
struct Bytes {
    const unsigned char* data;
    std::size_t size;

    bool Has(std::size_t at, std::size_t n) const { return at <= size && n <= size - at; }
    std::uint16_t U16(std::size_t at) const { return std::uint16_t(data[at] | data[at + 1] << 8); }
    std::uint32_t U32(std::size_t at) const
    {
        return std::uint32_t(U16(at)) | std::uint32_t(U16(at + 2)) << 16;
    }
};

struct Sections {
    std::size_t first; // offset of the first section header
    unsigned count;
};

// The file offset of `size` bytes at `rva`, or false when no section holds them whole.
bool FileOffset(const Bytes& b, const Sections& s, std::uint32_t rva, std::uint32_t size,
                std::size_t* offset)
{
    for (unsigned i = 0; i < s.count; ++i) {
        std::size_t h = s.first + i * kSectionHeaderSize;
        std::uint32_t va = b.U32(h + 12), raw = b.U32(h + 16), pointer = b.U32(h + 20);
        if (rva >= va && rva - va <= raw && size <= raw - (rva - va)) {
            const std::uint64_t at = std::uint64_t(pointer) + (rva - va);
            *offset = static_cast<std::size_t>(at);
            return at <= b.size && b.Has(*offset, size);
        }
    }
    return false;
}

// The entry for `id` (or the first entry when `id` is 0) of the resource directory at `dir`.
bool Entry(const Bytes& b, std::size_t base, std::size_t dir, std::uint32_t id, std::uint32_t* to)
{
    if (!b.Has(dir, 16)) {
        return false;
    }
    std::size_t count = std::size_t(b.U16(dir + 12)) + b.U16(dir + 14);
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t e = dir + 16 + 8 * i;
        if (!b.Has(e, 8)) {
            return false;
        }
        if (id == 0 || b.U32(e) == id) {
            *to = b.U32(e + 4);
            return (*to & ~kSubdirectory) < b.size - base;
        }
    }
    return false;
}

bool ReadVersion(const Bytes& b, const Sections& s, std::uint32_t rva, std::uint32_t size,
                 FileVersion* version)
{
    std::size_t base = 0;
    if (!FileOffset(b, s, rva, size, &base)) {
        return false;
    }
    // Type, then name, then language: three levels, the last one pointing at the data.
    std::uint32_t to = 0;
    if (!Entry(b, base, base, kRtVersion, &to) || !(to & kSubdirectory) ||
        !Entry(b, base, base + (to & ~kSubdirectory), 0, &to) || !(to & kSubdirectory) ||
        !Entry(b, base, base + (to & ~kSubdirectory), 0, &to) || (to & kSubdirectory) ||
        !b.Has(base + to, 8)) {
        return false;
    }
    std::size_t info = 0;
    std::uint32_t infoSize = b.U32(base + to + 4);
    if (infoSize < kFixedInfoOffset + kFixedInfoSize ||
        !FileOffset(b, s, b.U32(base + to), infoSize, &info) || b.U16(info + 2) < kFixedInfoSize ||
        b.U32(info + kFixedInfoOffset) != kFixedInfoSignature) {
        return false;
    }
    std::uint32_t ms = b.U32(info + kFixedInfoOffset + 8), ls = b.U32(info + kFixedInfoOffset + 12);
    *version = {
        {std::uint16_t(ms >> 16), std::uint16_t(ms), std::uint16_t(ls >> 16), std::uint16_t(ls)}};
    return true;
}

} // namespace

std::string VersionText(const FileVersion& v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", v.part[0], v.part[1], v.part[2], v.part[3]);
    return text;
}

int CompareVersions(const FileVersion& a, const FileVersion& b)
{
    for (int i = 0; i < 4; ++i) {
        if (a.part[i] != b.part[i]) {
            return a.part[i] < b.part[i] ? -1 : 1;
        }
    }
    return 0;
}

bool ReadImageFacts(const unsigned char* data, std::size_t size, ImageFacts* facts)
{
    const Bytes b{data, size};
    if (!b.Has(0, 0x40) || data[0] != 'M' || data[1] != 'Z') {
        return false;
    }
    const std::size_t pe = b.U32(0x3C);
    if (!b.Has(pe, 24) || b.U32(pe) != 0x00004550u) { // "PE\0\0"
        return false;
    }
    const std::size_t optional = pe + 24, optionalSize = b.U16(pe + 20);
    if (!b.Has(optional, optionalSize) || optionalSize < 70) {
        return false;
    }
    const std::uint16_t magic = b.U16(optional);
    if (magic != kPe32 && magic != kPe32Plus) {
        return false;
    }
    *facts = ImageFacts();
    facts->machine = b.U16(pe + 4);
    facts->subsystem = b.U16(optional + 68);
    const Sections sections{optional + optionalSize, b.U16(pe + 6)};
    if (!b.Has(sections.first, sections.count * kSectionHeaderSize)) {
        return true;
    }
    // Where the count of data directories and the directories themselves sit differs by format.
    const std::size_t countAt = magic == kPe32 ? 92 : 108, dirs = countAt + 4;
    const std::size_t resource = dirs + 8 * kResourceDirectory;
    if (optionalSize < resource + 8 || b.U32(optional + countAt) <= kResourceDirectory) {
        return true;
    }
    facts->hasVersion = ReadVersion(b, sections, b.U32(optional + resource),
                                    b.U32(optional + resource + 4), &facts->version);
    return true;
}

} // namespace win
