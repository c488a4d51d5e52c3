// The image loader: reads an untrusted PE32 file with bounds-checked little-endian reads only,
// maps it, relocates it, binds its imports and protects its pages. Every refusal comes before
// any of the image's code could run, and takes the mapping with it.
#include <driver_image.h>

#include "kernel_state.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <strings.h>

namespace
{

constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint16_t kRelocsStripped = 0x0001;
constexpr uint32_t kScnExecute = 0x20000000;
constexpr uint32_t kScnRead = 0x40000000;
constexpr uint32_t kScnWrite = 0x80000000;
constexpr uint32_t kLargestImage = 64u << 20;
constexpr size_t kFileHeaderSize = 20;
constexpr size_t kOptionalFixedSize = 96; // PE32 fields before the data directories
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kImportDescriptorSize = 20;
constexpr size_t kLongestName = 255; // no export of either module comes near it

uint16_t Le16(const unsigned char* p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t Le32(const unsigned char* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void Put32(unsigned char* p, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(value >> (8 * i));
}

// Whether `length` bytes at `offset` lie inside `size` bytes, without wrapping.
bool Inside(uint64_t offset, uint64_t length, uint64_t size)
{
    return offset <= size && length <= size - offset;
}

// Messages name offsets and values in hex; the format attribute checks every call.
// NOLINTNEXTLINE(cert-dcl50-cpp)
__attribute__((format(printf, 2, 3))) bool Fail(std::string* error, const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (error)
        *error = text;
    return false;
}

// Names from the file go into messages; keep those readable whatever the bytes are.
std::string Printable(const std::string& raw)
{
    std::string out = raw;
    for (char& c : out)
        if (c < 0x20 || c > 0x7E)
            c = '?';
    return out;
}

struct Directory {
    uint32_t rva = 0;
    uint32_t size = 0;
};

struct Section {
    std::string name;
    uint32_t virtualAddress, virtualSize, rawSize, rawOffset, characteristics;
    // What the section spans in the image, and how much of its raw data is copied there.
    uint32_t Extent() const { return virtualSize ? virtualSize : rawSize; }
    uint32_t Copied() const { return virtualSize ? std::min(rawSize, virtualSize) : rawSize; }
};

struct Headers {
    uint16_t characteristics = 0;
    uint32_t imageBase = 0, sizeOfImage = 0, sizeOfHeaders = 0, entryRva = 0, checkSum = 0;
    size_t checkSumOffset = 0;
    Directory imports, relocations;
    std::vector<Section> sections;
};

bool ParseHeaders(const std::vector<unsigned char>& file, Headers* h, std::string* error)
{
    const unsigned char* f = file.data();
    const size_t size = file.size();
    if (size >= 2 && (f[0] != 'M' || f[1] != 'Z'))
        return Fail(error, "not a PE image: no MZ signature");
    if (size < 0x40)
        return Fail(error, "truncated file: %zu bytes is too short for the DOS header", size);
    const uint32_t pe = Le32(f + 0x3C);
    if (!Inside(pe, 4 + kFileHeaderSize, size))
        return Fail(error, "truncated file: the PE headers at 0x%X lie past its end (0x%zX bytes)",
                    pe, size);
    if (std::memcmp(f + pe, "PE\0\0", 4) != 0)
        return Fail(error, "not a PE image: no PE signature at 0x%X", pe);

    const unsigned char* fh = f + pe + 4;
    const uint16_t machine = Le16(fh);
    if (machine != kMachineI386)
        return Fail(error, "wrong machine 0x%04X: not i386 (0x014C)", machine);
    const uint16_t sectionCount = Le16(fh + 2);
    const uint16_t optionalSize = Le16(fh + 16);
    h->characteristics = Le16(fh + 18);

    const size_t optional = pe + 4 + kFileHeaderSize;
    if (!Inside(optional, optionalSize, size))
        return Fail(error, "truncated file: the optional header needs 0x%X bytes at 0x%zX",
                    optionalSize, optional);
    const unsigned char* oh = f + optional;
    if (optionalSize < 2 || Le16(oh) != kMagicPe32)
        return Fail(error, "not a PE32 image: optional header magic 0x%X",
                    optionalSize < 2 ? 0u : Le16(oh));
    if (optionalSize < kOptionalFixedSize)
        return Fail(error, "not a PE32 image: the optional header has only %u bytes", optionalSize);
    h->entryRva = Le32(oh + 16);
    h->imageBase = Le32(oh + 28);
    h->sizeOfImage = Le32(oh + 56);
    h->sizeOfHeaders = Le32(oh + 60);
    h->checkSum = Le32(oh + 64);
    h->checkSumOffset = optional + 64;
    const uint16_t subsystem = Le16(oh + 68);
    const uint32_t directoryCount = Le32(oh + 92);
    if (static_cast<uint64_t>(directoryCount) * 8 > optionalSize - kOptionalFixedSize)
        return Fail(error, "not a PE32 image: %u data directories do not fit its optional header",
                    directoryCount);
    if (subsystem != kSubsystemNative)
        return Fail(error, "wrong subsystem %u: not native (1)", subsystem);
    auto directory = [&](uint32_t index) {
        Directory d;
        if (index < directoryCount) {
            d.rva = Le32(oh + kOptionalFixedSize + 8 * index);
            d.size = Le32(oh + kOptionalFixedSize + 8 * index + 4);
        }
        return d;
    };
    h->imports = directory(1);
    h->relocations = directory(5);

    if (h->sizeOfImage == 0 || h->sizeOfImage > kLargestImage)
        return Fail(error, "bad image size 0x%X: not between 1 byte and 64 MiB", h->sizeOfImage);
    const size_t table = optional + optionalSize;
    const size_t tableSize = sectionCount * kSectionHeaderSize;
    if (!Inside(table, tableSize, size))
        return Fail(error,
                    "truncated file: the section table (%u sections at 0x%zX) runs past "
                    "its end (0x%zX bytes)",
                    sectionCount, table, size);
    if (h->sizeOfHeaders < table + tableSize || h->sizeOfHeaders > h->sizeOfImage)
        return Fail(error, "bad header size 0x%X: the headers end at 0x%zX, the image at 0x%X",
                    h->sizeOfHeaders, table + tableSize, h->sizeOfImage);
    if (h->sizeOfHeaders > size)
        return Fail(error, "truncated file: the headers need 0x%X bytes, it has 0x%zX",
                    h->sizeOfHeaders, size);

    h->sections.clear();
    for (uint16_t i = 0; i < sectionCount; ++i) {
        const unsigned char* s = f + table + i * kSectionHeaderSize;
        Section section;
        const char* name = reinterpret_cast<const char*>(s);
        section.name = Printable(std::string(name, strnlen(name, 8)));
        section.virtualSize = Le32(s + 8);
        section.virtualAddress = Le32(s + 12);
        section.rawSize = Le32(s + 16);
        section.rawOffset = Le32(s + 20);
        section.characteristics = Le32(s + 36);
        if (section.virtualAddress < h->sizeOfHeaders ||
            !Inside(section.virtualAddress, section.Extent(), h->sizeOfImage))
            return Fail(error, "section %s lies outside the image", section.name.c_str());
        if (section.rawSize != 0 && !Inside(section.rawOffset, section.rawSize, size))
            return Fail(error,
                        "truncated file: section %s needs 0x%X bytes at 0x%X, the file "
                        "has 0x%zX",
                        section.name.c_str(), section.rawSize, section.rawOffset, size);
        h->sections.push_back(section);
    }
    return true;
}

} // namespace

// The header checksum: a 16-bit sum with end-around carry of the file as little-endian words,
// the CheckSum field read as zero, plus the file's length.
uint32_t standin::PeCheckSum(const std::vector<unsigned char>& file, size_t fieldOffset)
{
    auto byteAt = [&](size_t i) -> uint32_t {
        if (i >= file.size() || (i >= fieldOffset && i < fieldOffset + 4))
            return 0;
        return file[i];
    };
    uint32_t total = 0;
    for (size_t i = 0; i < file.size(); i += 2) {
        total += byteAt(i) | byteAt(i + 1) << 8;
        total = (total & 0xFFFF) + (total >> 16);
    }
    total = (total & 0xFFFF) + (total >> 16);
    return total + static_cast<uint32_t>(file.size());
}

namespace
{

// The mapped image as the loader sees it while it fixes it up.
struct Image {
    unsigned char* base;
    uint32_t size;
    unsigned char* At(uint64_t rva, uint64_t length) const
    {
        return Inside(rva, length, size) ? base + rva : nullptr;
    }
    // A NUL-terminated name at `rva`, read without leaving the image.
    bool Name(uint32_t rva, std::string* out) const
    {
        for (size_t n = 0; n <= kLongestName; ++n) {
            const unsigned char* c = At(static_cast<uint64_t>(rva) + n, 1);
            if (!c)
                return false;
            if (*c == 0) {
                out->assign(reinterpret_cast<const char*>(base + rva), n);
                return true;
            }
        }
        return false;
    }
};

// Walks every block whatever the build; adds `delta` only where `apply` says the result is an
// address this process can use.
bool Relocate(const Image& image, const Directory& dir, uint32_t delta, bool apply,
              std::string* error)
{
    if (!image.At(dir.rva, dir.size))
        return Fail(error, "bad relocation directory: 0x%X bytes at RVA 0x%X lie outside the image",
                    dir.size, dir.rva);
    for (uint32_t at = 0; at < dir.size;) {
        const uint32_t blockRva = dir.rva + at;
        if (dir.size - at < 8)
            return Fail(error,
                        "bad relocation block at RVA 0x%X: its header runs past the "
                        "directory",
                        blockRva);
        const unsigned char* block = image.At(blockRva, 8);
        const uint32_t page = Le32(block);
        const uint32_t blockSize = Le32(block + 4);
        if (blockSize < 8)
            return Fail(error, "bad relocation block at RVA 0x%X: size %u is less than its header",
                        blockRva, blockSize);
        if (blockSize % 2 != 0)
            return Fail(error, "bad relocation block at RVA 0x%X: size %u is odd", blockRva,
                        blockSize);
        if (blockSize > dir.size - at)
            return Fail(error, "bad relocation block at RVA 0x%X: size %u runs past the directory",
                        blockRva, blockSize);
        for (uint32_t e = 8; e < blockSize; e += 2) {
            const uint16_t entry = Le16(block + e);
            const unsigned type = entry >> 12;
            const uint32_t offset = entry & 0xFFF;
            if (type == 0) // padding
                continue;
            if (type != 3)
                return Fail(error, "bad relocation block at RVA 0x%X: type %u is not supported",
                            blockRva, type);
            unsigned char* target = image.At(static_cast<uint64_t>(page) + offset, 4);
            if (!target)
                return Fail(error,
                            "bad relocation block at RVA 0x%X: entry 0x%04X points "
                            "outside the image",
                            blockRva, entry);
            if (apply)
                Put32(target, Le32(target) + delta);
        }
        at += blockSize;
    }
    return true;
}

bool KnownModule(const std::string& module)
{
    return strcasecmp(module.c_str(), "ntoskrnl.exe") == 0 ||
           strcasecmp(module.c_str(), "hal.dll") == 0;
}

// Checks every import against the stand-in's exports; writes the slots only where `apply`
// says a 32-bit address of ours means something to the image.
bool BindImports(const Image& image, const Directory& dir, bool apply, std::string* error)
{
    if (dir.rva == 0 && dir.size == 0)
        return true;
    for (uint64_t at = dir.rva;; at += kImportDescriptorSize) {
        const unsigned char* d = image.At(at, kImportDescriptorSize);
        if (!d)
            return Fail(error,
                        "bad import directory: descriptor at RVA 0x%llX lies outside the "
                        "image",
                        static_cast<unsigned long long>(at));
        if (std::all_of(d, d + kImportDescriptorSize, [](unsigned char b) { return b == 0; }))
            return true;
        const uint32_t lookup = Le32(d) ? Le32(d) : Le32(d + 16);
        const uint32_t nameRva = Le32(d + 12);
        const uint32_t table = Le32(d + 16);
        std::string module;
        if (!image.Name(nameRva, &module))
            return Fail(error, "bad import descriptor at RVA 0x%llX: no module name at RVA 0x%X",
                        static_cast<unsigned long long>(at), nameRva);
        const std::string shown = Printable(module);
        if (!KnownModule(module))
            return Fail(error, "import from unknown module %s", shown.c_str());
        if (table == 0)
            return Fail(error, "bad import descriptor at RVA 0x%llX: no import address table",
                        static_cast<unsigned long long>(at));
        for (uint64_t i = 0;; ++i) {
            const unsigned char* entry = image.At(lookup + 4 * i, 4);
            if (!entry)
                return Fail(error,
                            "bad import table for %s: the lookup table at RVA 0x%X runs "
                            "out of the image",
                            shown.c_str(), lookup);
            const uint32_t value = Le32(entry);
            if (value == 0)
                break;
            unsigned char* slot = image.At(table + 4 * i, 4);
            if (!slot)
                return Fail(error,
                            "bad import table for %s: the address table at RVA 0x%X runs "
                            "out of the image",
                            shown.c_str(), table);
            if (value & 0x80000000u)
                return Fail(error, "import by ordinal %u from %s", value & 0xFFFF, shown.c_str());
            std::string name;
            if (!image.Name(static_cast<uint32_t>(static_cast<uint64_t>(value) + 2), &name) ||
                !image.At(value, 2))
                return Fail(error, "bad import table for %s: no name at RVA 0x%X", shown.c_str(),
                            value);
            const void* routine = standin::FindKernelExport(module.c_str(), name.c_str());
            if (!routine)
                return Fail(error, "unknown import %s!%s", shown.c_str(), Printable(name).c_str());
            if (apply)
                Put32(slot, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(routine)));
        }
    }
}

int Protection(uint32_t characteristics)
{
    return ((characteristics & kScnRead) ? PROT_READ : 0) |
           ((characteristics & kScnWrite) ? PROT_WRITE : 0) |
           ((characteristics & kScnExecute) ? PROT_EXEC : 0);
}

// Each page gets the union of what covers it; a page nothing covers is not accessible.
bool Protect(unsigned char* base, size_t length, size_t page, const Headers& h, std::string* error)
{
    std::vector<int> protection(length / page, PROT_NONE);
    auto cover = [&](uint64_t start, uint64_t extent, int flags) {
        if (extent == 0)
            return;
        for (uint64_t p = start / page; p <= (start + extent - 1) / page; ++p)
            protection[p] |= flags;
    };
    cover(0, h.sizeOfHeaders, PROT_READ);
    for (const Section& s : h.sections)
        cover(s.virtualAddress, s.Extent(), Protection(s.characteristics));
    for (size_t first = 0; first < protection.size();) {
        size_t last = first;
        while (last + 1 < protection.size() && protection[last + 1] == protection[first])
            ++last;
        if (mprotect(base + first * page, (last - first + 1) * page, protection[first]) != 0)
            return Fail(error, "cannot protect the image's pages: %s", std::strerror(errno));
        first = last + 1;
    }
    return true;
}

// Unmaps on every way out but the one that keeps the image.
struct ScopedMapping {
    void* base = MAP_FAILED;
    size_t length = 0;
    ~ScopedMapping()
    {
        if (base != MAP_FAILED)
            munmap(base, length);
    }
};

} // namespace

namespace standin
{

DriverImage::~DriverImage()
{
    Unmap();
}

void DriverImage::Unmap()
{
    ForgetImage(this);
    sections_.clear();
    if (base_)
        munmap(base_, mapLength_);
    base_ = nullptr;
    size_ = 0;
    mapLength_ = 0;
    entryRva_ = 0;
}

bool DriverImage::Load(const std::string& path, std::string* error)
{
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return Fail(error, "cannot read %s: %s", path.c_str(), std::strerror(errno));
    std::vector<unsigned char> file;
    unsigned char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        file.insert(file.end(), chunk, chunk + got);
    const int readError = std::ferror(f) ? errno : 0;
    std::fclose(f);
    if (readError != 0)
        return Fail(error, "cannot read %s: %s", path.c_str(), std::strerror(readError));
    return Load(file, error);
}

bool DriverImage::Load(const std::vector<unsigned char>& file, std::string* error)
{
    Unmap();
    {
        std::lock_guard<std::mutex> guard(stackLock_);
        completionStack_.clear();
    }

    Headers h;
    if (!ParseHeaders(file, &h, error))
        return false;
    const uint32_t computed = PeCheckSum(file, h.checkSumOffset);
    if (h.checkSum != computed)
        return Fail(error, "header checksum 0x%08X does not match the file's 0x%08X", h.checkSum,
                    computed);
    const bool entryInCode =
        std::any_of(h.sections.begin(), h.sections.end(), [&](const Section& s) {
            return (s.characteristics & kScnExecute) && h.entryRva >= s.virtualAddress &&
                   h.entryRva - s.virtualAddress < s.Extent();
        });
    if (!entryInCode)
        return Fail(error, "entry point 0x%X is not in code", h.entryRva);

    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    ScopedMapping mapping;
    mapping.length = (h.sizeOfImage + page - 1) / page * page;
    mapping.base =
        mmap(nullptr, mapping.length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping.base == MAP_FAILED)
        return Fail(error, "cannot map 0x%X bytes: %s", h.sizeOfImage, std::strerror(errno));
    unsigned char* base = static_cast<unsigned char*>(mapping.base);
    std::memcpy(base, file.data(), h.sizeOfHeaders);
    for (const Section& s : h.sections)
        if (s.Copied() != 0)
            std::memcpy(base + s.virtualAddress, file.data() + s.rawOffset, s.Copied());

    const Image image{base, h.sizeOfImage};
    const uintptr_t address = reinterpret_cast<uintptr_t>(base);
    const bool stripped = h.relocations.size == 0 || (h.characteristics & kRelocsStripped);
    if (address != h.imageBase && stripped)
        return Fail(error, "no base relocations: it cannot be moved from 0x%X", h.imageBase);
    // Checked even where the image landed at its own base, so a refusal does not depend on luck.
    const uint32_t delta = static_cast<uint32_t>(address) - h.imageBase;
    if (!stripped && !Relocate(image, h.relocations, delta, kRunsDriverImages, error))
        return false;
    if (!BindImports(image, h.imports, kRunsDriverImages, error))
        return false;
    if (!Protect(base, mapping.length, page, h, error))
        return false;
    if (!kRunsDriverImages)
        return Fail(error, "an i386 driver image runs only in the 32-bit build");

    base_ = base;
    size_ = h.sizeOfImage;
    mapLength_ = mapping.length;
    entryRva_ = h.entryRva;
    for (const Section& s : h.sections)
        sections_.push_back(ImageSection{s.name, s.virtualAddress, s.Extent(), s.characteristics,
                                         Protection(s.characteristics)});
    mapping.base = MAP_FAILED; // ours now
    return true;
}

PDRIVER_INITIALIZE DriverImage::Entry() const
{
    return base_ ? reinterpret_cast<PDRIVER_INITIALIZE>(base_ + entryRva_) : nullptr;
}

void* DriverImage::At(ULONG rva, ULONG length) const
{
    if (!base_ || rva >= size_ || length > size_ - rva)
        return nullptr;
    return base_ + rva;
}

bool DriverImage::Contains(const void* address) const
{
    const uintptr_t a = reinterpret_cast<uintptr_t>(address);
    const uintptr_t b = reinterpret_cast<uintptr_t>(base_);
    return base_ && a >= b && a - b < size_;
}

void DriverImage::RecordCompletionStack(ULONG rva, ULONG bytes)
{
    std::lock_guard<std::mutex> guard(stackLock_);
    ULONG& deepest = completionStack_[rva];
    deepest = std::max(deepest, bytes);
}

ULONG DriverImage::DeepestCompletionStack(ULONG rva) const
{
    std::lock_guard<std::mutex> guard(stackLock_);
    auto it = completionStack_.find(rva);
    return it == completionStack_.end() ? 0 : it->second;
}

} // namespace standin
