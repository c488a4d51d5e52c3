// The image loader: reads an untrusted PE32 file by copying its records out of byte ranges it
// has checked, maps it, relocates it, binds its imports and protects its pages. Every refusal
// comes before any of the image's code could run, and takes the mapping with it.
#include <driver_image.h>
#include <pe_format.h>

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

using namespace pe;

constexpr uint32_t kLargestImage = 64u << 20;
constexpr size_t kLongestName = 255; // no export of either module comes near it

// Whether `length` bytes at `offset` lie inside `size` bytes, without wrapping.
bool Inside(uint64_t offset, uint64_t length, uint64_t size)
{
    return offset <= size && length <= size - offset;
}

// A record copied out of `bytes` at `offset`, or false when it does not lie wholly inside.
template <class T> bool Copy(const unsigned char* bytes, uint64_t size, uint64_t offset, T* record)
{
    if (!Inside(offset, sizeof(T), size))
        return false;
    std::memcpy(record, bytes + offset, sizeof(T));
    return true;
}

template <class T> bool Copy(const std::vector<unsigned char>& file, uint64_t offset, T* record)
{
    return Copy(file.data(), file.size(), offset, record);
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

struct Section {
    std::string name; // printable
    IMAGE_SECTION_HEADER header;
    // What the section spans in the image, and how much of its raw data is copied there.
    uint32_t Extent() const
    {
        return header.VirtualSize ? header.VirtualSize : header.SizeOfRawData;
    }
    uint32_t Copied() const
    {
        return header.VirtualSize ? std::min(header.SizeOfRawData, header.VirtualSize)
                                  : header.SizeOfRawData;
    }
};

// The headers as read: of the optional header, the file's SizeOfOptionalHeader bytes.
struct Headers {
    IMAGE_NT_HEADERS32 nt{};
    size_t checkSumOffset = 0;
    std::vector<Section> sections;
    IMAGE_DATA_DIRECTORY Directory(uint32_t index) const
    {
        const IMAGE_OPTIONAL_HEADER32& oh = nt.OptionalHeader;
        return index < oh.NumberOfRvaAndSizes ? oh.DataDirectory[index] : IMAGE_DATA_DIRECTORY{};
    }
};

bool ParseHeaders(const std::vector<unsigned char>& file, Headers* h, std::string* error)
{
    const size_t size = file.size();
    uint16_t magic = 0;
    if (Copy(file, 0, &magic) && magic != IMAGE_DOS_SIGNATURE)
        return Fail(error, "not a PE image: no MZ signature");
    IMAGE_DOS_HEADER dos;
    if (!Copy(file, 0, &dos))
        return Fail(error, "truncated file: %zu bytes is too short for the DOS header", size);
    const uint32_t pe = dos.e_lfanew;
    IMAGE_NT_HEADERS32& nt = h->nt;
    const size_t fixedHeaders = offsetof(IMAGE_NT_HEADERS32, OptionalHeader);
    if (!Inside(pe, fixedHeaders, size))
        return Fail(error, "truncated file: the PE headers at 0x%X lie past its end (0x%zX bytes)",
                    pe, size);
    std::memcpy(&nt, file.data() + pe, fixedHeaders);
    if (nt.Signature != IMAGE_NT_SIGNATURE)
        return Fail(error, "not a PE image: no PE signature at 0x%X", pe);

    const IMAGE_FILE_HEADER& fh = nt.FileHeader;
    if (fh.Machine != IMAGE_FILE_MACHINE_I386)
        return Fail(error, "wrong machine 0x%04X: not i386 (0x014C)", fh.Machine);

    const size_t optional = pe + fixedHeaders;
    const uint16_t optionalSize = fh.SizeOfOptionalHeader;
    if (!Inside(optional, optionalSize, size))
        return Fail(error, "truncated file: the optional header needs 0x%X bytes at 0x%zX",
                    optionalSize, optional);
    // The file's bytes of it, the rest left zero.
    IMAGE_OPTIONAL_HEADER32& oh = nt.OptionalHeader;
    std::memcpy(&oh, file.data() + optional, std::min<size_t>(optionalSize, sizeof oh));
    if (optionalSize < sizeof oh.Magic || oh.Magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC)
        return Fail(error, "not a PE32 image: optional header magic 0x%X",
                    optionalSize < sizeof oh.Magic ? 0u : oh.Magic);
    if (optionalSize < kOptionalFixedSize)
        return Fail(error, "not a PE32 image: the optional header has only %u bytes", optionalSize);
    h->checkSumOffset = optional + offsetof(IMAGE_OPTIONAL_HEADER32, CheckSum);
    const uint32_t directoryCount = oh.NumberOfRvaAndSizes;
    if (static_cast<uint64_t>(directoryCount) * sizeof(IMAGE_DATA_DIRECTORY) >
        optionalSize - kOptionalFixedSize)
        return Fail(error, "not a PE32 image: %u data directories do not fit its optional header",
                    directoryCount);
    if (oh.Subsystem != IMAGE_SUBSYSTEM_NATIVE)
        return Fail(error, "wrong subsystem %u: not native (1)", oh.Subsystem);

    if (oh.SizeOfImage == 0 || oh.SizeOfImage > kLargestImage)
        return Fail(error, "bad image size 0x%X: not between 1 byte and 64 MiB", oh.SizeOfImage);
    const size_t table = optional + optionalSize;
    const size_t tableSize = fh.NumberOfSections * sizeof(IMAGE_SECTION_HEADER);
    if (!Inside(table, tableSize, size))
        return Fail(error,
                    "truncated file: the section table (%u sections at 0x%zX) runs past "
                    "its end (0x%zX bytes)",
                    fh.NumberOfSections, table, size);
    if (oh.SizeOfHeaders < table + tableSize || oh.SizeOfHeaders > oh.SizeOfImage)
        return Fail(error, "bad header size 0x%X: the headers end at 0x%zX, the image at 0x%X",
                    oh.SizeOfHeaders, table + tableSize, oh.SizeOfImage);
    if (oh.SizeOfHeaders > size)
        return Fail(error, "truncated file: the headers need 0x%X bytes, it has 0x%zX",
                    oh.SizeOfHeaders, size);

    h->sections.clear();
    for (uint16_t i = 0; i < fh.NumberOfSections; ++i) {
        Section section;
        const IMAGE_SECTION_HEADER& sh = section.header;
        Copy(file, table + i * sizeof sh, &section.header); // inside: the table was checked
        section.name = Printable(std::string(sh.Name, strnlen(sh.Name, sizeof sh.Name)));
        if (sh.VirtualAddress < oh.SizeOfHeaders ||
            !Inside(sh.VirtualAddress, section.Extent(), oh.SizeOfImage))
            return Fail(error, "section %s lies outside the image", section.name.c_str());
        if (sh.SizeOfRawData != 0 && !Inside(sh.PointerToRawData, sh.SizeOfRawData, size))
            return Fail(error,
                        "truncated file: section %s needs 0x%X bytes at 0x%X, the file "
                        "has 0x%zX",
                        section.name.c_str(), sh.SizeOfRawData, sh.PointerToRawData, size);
        h->sections.push_back(section);
    }
    return true;
}

// The mapped image as the loader sees it while it fixes it up.
struct Image {
    unsigned char* base;
    uint32_t size;
    unsigned char* At(uint64_t rva, uint64_t length) const
    {
        return Inside(rva, length, size) ? base + rva : nullptr;
    }
    template <class T> bool Copy(uint64_t rva, T* record) const
    {
        return ::Copy(base, size, rva, record);
    }
    template <class T> void Store(uint64_t rva, T value) const // where Copy succeeded
    {
        std::memcpy(base + rva, &value, sizeof value);
    }
    // A NUL-terminated name at `rva`, read without leaving the image.
    bool Name(uint32_t rva, std::string* out) const
    {
        const unsigned char* name = At(rva, 1);
        const void* end =
            name ? std::memchr(name, 0, std::min<uint64_t>(size - rva, kLongestName + 1)) : nullptr;
        if (end)
            out->assign(reinterpret_cast<const char*>(name),
                        static_cast<const unsigned char*>(end) - name);
        return end != nullptr;
    }
};

// Walks every block whatever the build; adds `delta` only where `apply` says the result is an
// address this process can use.
bool Relocate(const Image& image, const IMAGE_DATA_DIRECTORY& dir, uint32_t delta, bool apply,
              std::string* error)
{
    if (!image.At(dir.VirtualAddress, dir.Size))
        return Fail(error, "bad relocation directory: 0x%X bytes at RVA 0x%X lie outside the image",
                    dir.Size, dir.VirtualAddress);
    for (uint32_t at = 0; at < dir.Size;) {
        const uint32_t blockRva = dir.VirtualAddress + at;
        IMAGE_BASE_RELOCATION block{};
        if (dir.Size - at < sizeof block)
            return Fail(error,
                        "bad relocation block at RVA 0x%X: its header runs past the "
                        "directory",
                        blockRva);
        image.Copy(blockRva, &block); // inside the directory, as are its entries below
        const uint32_t blockSize = block.SizeOfBlock;
        if (blockSize < sizeof block)
            return Fail(error, "bad relocation block at RVA 0x%X: size %u is less than its header",
                        blockRva, blockSize);
        if (blockSize % 2 != 0)
            return Fail(error, "bad relocation block at RVA 0x%X: size %u is odd", blockRva,
                        blockSize);
        if (blockSize > dir.Size - at)
            return Fail(error, "bad relocation block at RVA 0x%X: size %u runs past the directory",
                        blockRva, blockSize);
        for (uint32_t e = sizeof block; e < blockSize; e += sizeof(uint16_t)) {
            uint16_t entry = 0;
            image.Copy(blockRva + e, &entry);
            const unsigned type = entry >> 12;
            if (type == IMAGE_REL_BASED_ABSOLUTE)
                continue;
            if (type != IMAGE_REL_BASED_HIGHLOW)
                return Fail(error, "bad relocation block at RVA 0x%X: type %u is not supported",
                            blockRva, type);
            const uint64_t targetRva =
                static_cast<uint64_t>(block.VirtualAddress) + (entry & 0xFFF);
            uint32_t target;
            if (!image.Copy(targetRva, &target))
                return Fail(error,
                            "bad relocation block at RVA 0x%X: entry 0x%04X points "
                            "outside the image",
                            blockRva, entry);
            if (apply)
                image.Store(targetRva, target + delta);
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
bool BindImports(const Image& image, const IMAGE_DATA_DIRECTORY& dir, bool apply,
                 std::string* error)
{
    if (dir.VirtualAddress == 0 && dir.Size == 0)
        return true;
    for (uint64_t at = dir.VirtualAddress;; at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        IMAGE_IMPORT_DESCRIPTOR d;
        if (!image.Copy(at, &d))
            return Fail(error,
                        "bad import directory: descriptor at RVA 0x%llX lies outside the "
                        "image",
                        static_cast<unsigned long long>(at));
        const IMAGE_IMPORT_DESCRIPTOR last{};
        if (std::memcmp(&d, &last, sizeof d) == 0)
            return true;
        const uint32_t lookup = d.OriginalFirstThunk ? d.OriginalFirstThunk : d.FirstThunk;
        std::string module;
        if (!image.Name(d.Name, &module))
            return Fail(error, "bad import descriptor at RVA 0x%llX: no module name at RVA 0x%X",
                        static_cast<unsigned long long>(at), d.Name);
        const std::string shown = Printable(module);
        if (!KnownModule(module))
            return Fail(error, "import from unknown module %s", shown.c_str());
        if (d.FirstThunk == 0)
            return Fail(error, "bad import descriptor at RVA 0x%llX: no import address table",
                        static_cast<unsigned long long>(at));
        for (uint64_t i = 0;; ++i) {
            uint32_t value; // a hint-and-name RVA, or an ordinal
            if (!image.Copy(lookup + sizeof value * i, &value))
                return Fail(error,
                            "bad import table for %s: the lookup table at RVA 0x%X runs "
                            "out of the image",
                            shown.c_str(), lookup);
            if (value == 0)
                break;
            const uint64_t slotRva = d.FirstThunk + sizeof value * i;
            uint32_t slot;
            if (!image.Copy(slotRva, &slot))
                return Fail(error,
                            "bad import table for %s: the address table at RVA 0x%X runs "
                            "out of the image",
                            shown.c_str(), d.FirstThunk);
            if (value & IMAGE_ORDINAL_FLAG32)
                return Fail(error, "import by ordinal %u from %s", value & 0xFFFF, shown.c_str());
            std::string name;
            const uint64_t nameRva =
                static_cast<uint64_t>(value) + offsetof(IMAGE_IMPORT_BY_NAME, Name);
            if (!image.Name(static_cast<uint32_t>(nameRva), &name) ||
                !image.At(value, sizeof(IMAGE_IMPORT_BY_NAME::Hint)))
                return Fail(error, "bad import table for %s: no name at RVA 0x%X", shown.c_str(),
                            value);
            const void* routine = standin::FindKernelExport(module.c_str(), name.c_str());
            if (!routine)
                return Fail(error, "unknown import %s!%s", shown.c_str(), Printable(name).c_str());
            if (apply)
                image.Store(slotRva, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(routine)));
        }
    }
}

int Protection(uint32_t characteristics)
{
    return ((characteristics & IMAGE_SCN_MEM_READ) ? PROT_READ : 0) |
           ((characteristics & IMAGE_SCN_MEM_WRITE) ? PROT_WRITE : 0) |
           ((characteristics & IMAGE_SCN_MEM_EXECUTE) ? PROT_EXEC : 0);
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
    cover(0, h.nt.OptionalHeader.SizeOfHeaders, PROT_READ);
    for (const Section& s : h.sections)
        cover(s.header.VirtualAddress, s.Extent(), Protection(s.header.Characteristics));
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
    for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, f)) > 0;)
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
    const IMAGE_OPTIONAL_HEADER32& oh = h.nt.OptionalHeader;
    const uint32_t computed = PeCheckSum(file, h.checkSumOffset);
    if (oh.CheckSum != computed)
        return Fail(error, "header checksum 0x%08X does not match the file's 0x%08X", oh.CheckSum,
                    computed);
    const uint32_t entry = oh.AddressOfEntryPoint;
    const bool entryInCode =
        std::any_of(h.sections.begin(), h.sections.end(), [&](const Section& s) {
            return (s.header.Characteristics & IMAGE_SCN_MEM_EXECUTE) &&
                   entry >= s.header.VirtualAddress && entry - s.header.VirtualAddress < s.Extent();
        });
    if (!entryInCode)
        return Fail(error, "entry point 0x%X is not in code", entry);

    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    ScopedMapping mapping;
    mapping.length = (oh.SizeOfImage + page - 1) / page * page;
    mapping.base =
        mmap(nullptr, mapping.length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping.base == MAP_FAILED)
        return Fail(error, "cannot map 0x%X bytes: %s", oh.SizeOfImage, std::strerror(errno));
    unsigned char* base = static_cast<unsigned char*>(mapping.base);
    std::memcpy(base, file.data(), oh.SizeOfHeaders);
    for (const Section& s : h.sections)
        if (s.Copied() != 0)
            std::memcpy(base + s.header.VirtualAddress, file.data() + s.header.PointerToRawData,
                        s.Copied());

    const Image image{base, oh.SizeOfImage};
    const uintptr_t address = reinterpret_cast<uintptr_t>(base);
    const IMAGE_DATA_DIRECTORY relocations = h.Directory(IMAGE_DIRECTORY_ENTRY_BASERELOC);
    const bool stripped =
        relocations.Size == 0 || (h.nt.FileHeader.Characteristics & IMAGE_FILE_RELOCS_STRIPPED);
    if (address != oh.ImageBase && stripped)
        return Fail(error, "no base relocations: it cannot be moved from 0x%X", oh.ImageBase);
    // Checked even where the image landed at its own base, so a refusal does not depend on luck.
    const uint32_t delta = static_cast<uint32_t>(address) - oh.ImageBase;
    if (!stripped && !Relocate(image, relocations, delta, kRunsDriverImages, error))
        return false;
    if (!BindImports(image, h.Directory(IMAGE_DIRECTORY_ENTRY_IMPORT), kRunsDriverImages, error))
        return false;
    if (!Protect(base, mapping.length, page, h, error))
        return false;
    if (!kRunsDriverImages)
        return Fail(error, "an i386 driver image runs only in the 32-bit build");

    base_ = base;
    size_ = oh.SizeOfImage;
    mapLength_ = mapping.length;
    entryRva_ = entry;
    for (const Section& s : h.sections)
        sections_.push_back(ImageSection{s.name, s.header.VirtualAddress, s.Extent(),
                                         s.header.Characteristics,
                                         Protection(s.header.Characteristics)});
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

// The header checksum: a 16-bit sum with end-around carry of the file as little-endian words,
// the CheckSum field read as zero, plus the file's length.
uint32_t PeCheckSum(const std::vector<unsigned char>& file, size_t fieldOffset)
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

} // namespace standin
