// The records and constants of a PE32 image file, by the kit's names, with their layouts
// asserted. Read only by copying bytes whose bounds were checked (PE files are little-endian,
// as the hosts this builds on).
#pragma once

#include <cstddef>
#include <cstdint>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "PE records are read as they lie");

namespace pe
{

constexpr uint16_t IMAGE_DOS_SIGNATURE = 0x5A4D; // "MZ"
constexpr uint32_t IMAGE_NT_SIGNATURE = 0x4550;  // "PE\0\0"
constexpr uint16_t IMAGE_FILE_MACHINE_I386 = 0x014C;
constexpr uint16_t IMAGE_FILE_RELOCS_STRIPPED = 0x0001;
constexpr uint16_t IMAGE_NT_OPTIONAL_HDR32_MAGIC = 0x10B;
constexpr uint16_t IMAGE_SUBSYSTEM_NATIVE = 1;
constexpr uint32_t IMAGE_SCN_MEM_DISCARDABLE = 0x02000000;
constexpr uint32_t IMAGE_SCN_MEM_EXECUTE = 0x20000000;
constexpr uint32_t IMAGE_SCN_MEM_READ = 0x40000000;
constexpr uint32_t IMAGE_SCN_MEM_WRITE = 0x80000000;
constexpr size_t IMAGE_SIZEOF_SHORT_NAME = 8;
constexpr size_t IMAGE_NUMBEROF_DIRECTORY_ENTRIES = 16;
constexpr uint32_t IMAGE_DIRECTORY_ENTRY_IMPORT = 1;
constexpr uint32_t IMAGE_DIRECTORY_ENTRY_BASERELOC = 5;
constexpr unsigned IMAGE_REL_BASED_ABSOLUTE = 0; // padding
constexpr unsigned IMAGE_REL_BASED_HIGHLOW = 3;
constexpr uint32_t IMAGE_ORDINAL_FLAG32 = 0x80000000;

struct IMAGE_DOS_HEADER {
    uint16_t e_magic;
    uint16_t e_cblp, e_cp, e_crlc, e_cparhdr, e_minalloc, e_maxalloc, e_ss, e_sp, e_csum, e_ip,
        e_cs, e_lfarlc, e_ovno, e_res[4], e_oemid, e_oeminfo, e_res2[10];
    uint32_t e_lfanew; // where the NT headers start
};

struct IMAGE_FILE_HEADER {
    uint16_t Machine;
    uint16_t NumberOfSections;
    uint32_t TimeDateStamp;
    uint32_t PointerToSymbolTable;
    uint32_t NumberOfSymbols;
    uint16_t SizeOfOptionalHeader;
    uint16_t Characteristics;
};

struct IMAGE_DATA_DIRECTORY {
    uint32_t VirtualAddress;
    uint32_t Size;
};

struct IMAGE_OPTIONAL_HEADER32 {
    uint16_t Magic;
    uint8_t MajorLinkerVersion, MinorLinkerVersion;
    uint32_t SizeOfCode, SizeOfInitializedData, SizeOfUninitializedData;
    uint32_t AddressOfEntryPoint;
    uint32_t BaseOfCode, BaseOfData;
    uint32_t ImageBase;
    uint32_t SectionAlignment, FileAlignment;
    uint16_t MajorOperatingSystemVersion, MinorOperatingSystemVersion;
    uint16_t MajorImageVersion, MinorImageVersion;
    uint16_t MajorSubsystemVersion, MinorSubsystemVersion;
    uint32_t Win32VersionValue;
    uint32_t SizeOfImage;
    uint32_t SizeOfHeaders;
    uint32_t CheckSum;
    uint16_t Subsystem;
    uint16_t DllCharacteristics;
    uint32_t SizeOfStackReserve, SizeOfStackCommit, SizeOfHeapReserve, SizeOfHeapCommit;
    uint32_t LoaderFlags;
    uint32_t NumberOfRvaAndSizes; // how many of DataDirectory are there
    IMAGE_DATA_DIRECTORY DataDirectory[IMAGE_NUMBEROF_DIRECTORY_ENTRIES];
};

struct IMAGE_NT_HEADERS32 {
    uint32_t Signature;
    IMAGE_FILE_HEADER FileHeader;
    IMAGE_OPTIONAL_HEADER32 OptionalHeader; // SizeOfOptionalHeader bytes of it are in the file
};

struct IMAGE_SECTION_HEADER {
    char Name[IMAGE_SIZEOF_SHORT_NAME]; // not terminated when all 8 are used
    uint32_t VirtualSize;
    uint32_t VirtualAddress;
    uint32_t SizeOfRawData;
    uint32_t PointerToRawData;
    uint32_t PointerToRelocations, PointerToLinenumbers;
    uint16_t NumberOfRelocations, NumberOfLinenumbers;
    uint32_t Characteristics;
};

struct IMAGE_IMPORT_DESCRIPTOR {
    uint32_t OriginalFirstThunk; // the lookup table; zero in old linkers' files
    uint32_t TimeDateStamp;
    uint32_t ForwarderChain;
    uint32_t Name;
    uint32_t FirstThunk; // the address table the loader writes
};

// What an import lookup entry points at when it names its routine.
struct IMAGE_IMPORT_BY_NAME {
    uint16_t Hint;
    char Name[1]; // NUL-terminated
};

// Followed by 16-bit entries: type in the top 4 bits, page offset in the low 12.
struct IMAGE_BASE_RELOCATION {
    uint32_t VirtualAddress;
    uint32_t SizeOfBlock;
};

// Where a PE32 optional header's fixed fields end and its data directories begin.
constexpr size_t kOptionalFixedSize = offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory);

static_assert(sizeof(IMAGE_DOS_HEADER) == 64 && offsetof(IMAGE_DOS_HEADER, e_lfanew) == 0x3C,
              "DOS header");
static_assert(sizeof(IMAGE_FILE_HEADER) == 20, "file header");
static_assert(offsetof(IMAGE_OPTIONAL_HEADER32, AddressOfEntryPoint) == 16 &&
                  offsetof(IMAGE_OPTIONAL_HEADER32, ImageBase) == 28 &&
                  offsetof(IMAGE_OPTIONAL_HEADER32, SizeOfImage) == 56 &&
                  offsetof(IMAGE_OPTIONAL_HEADER32, CheckSum) == 64 &&
                  offsetof(IMAGE_OPTIONAL_HEADER32, Subsystem) == 68 &&
                  offsetof(IMAGE_OPTIONAL_HEADER32, NumberOfRvaAndSizes) == 92 &&
                  kOptionalFixedSize == 96 && sizeof(IMAGE_OPTIONAL_HEADER32) == 224,
              "PE32 optional header");
static_assert(offsetof(IMAGE_NT_HEADERS32, FileHeader) == 4 &&
                  offsetof(IMAGE_NT_HEADERS32, OptionalHeader) == 24,
              "NT headers");
static_assert(sizeof(IMAGE_SECTION_HEADER) == 40 &&
                  offsetof(IMAGE_SECTION_HEADER, Characteristics) == 36,
              "section header");
static_assert(sizeof(IMAGE_IMPORT_DESCRIPTOR) == 20 &&
                  offsetof(IMAGE_IMPORT_DESCRIPTOR, Name) == 12,
              "import descriptor");
static_assert(offsetof(IMAGE_IMPORT_BY_NAME, Name) == 2, "import by name");
static_assert(sizeof(IMAGE_BASE_RELOCATION) == 8, "base relocation block");

} // namespace pe
