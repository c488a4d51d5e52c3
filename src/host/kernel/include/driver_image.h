// A kernel-mode driver image file (PE32, i386, native subsystem) mapped into this process the
// way the kernel maps it: sections at their addresses with their page protections, base
// relocations applied, every import of ntoskrnl.exe and HAL.dll bound to the stand-in's own
// routine. Only the 32-bit build can run what it maps; every other build still reads and
// checks the file, and refuses it at the end with a message saying so.
#pragma once

#include <ntddk.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <map>
#include <string>
#include <vector>

namespace standin
{

// True where this process can call i386 code: the 32-bit build.
constexpr bool kRunsDriverImages =
#if defined(__i386__)
    true;
#else
    false;
#endif

// A section as mapped: what the kernel's paging rules go by.
struct ImageSection {
    std::string name;
    ULONG rva;
    ULONG extent; // bytes it spans in the image
    ULONG characteristics;
    int protection; // of its pages, as mmap's PROT_* bits
};

class DriverImage
{
  public:
    DriverImage() = default;
    ~DriverImage();
    DriverImage(const DriverImage&) = delete;
    DriverImage& operator=(const DriverImage&) = delete;

    // Reads, checks and maps the file. On refusal returns false with the cause in `error`;
    // nothing of the image has run and nothing stays mapped. A second call replaces the first
    // image.
    bool Load(const std::string& path, std::string* error);
    bool Load(const std::vector<unsigned char>& file, std::string* error);

    bool Loaded() const { return base_ != nullptr; }
    PDRIVER_INITIALIZE Entry() const;
    unsigned char* Base() const { return base_; }
    ULONG Size() const { return size_; }
    // The mapped bytes at `rva`, or null unless all `length` bytes lie inside the image.
    void* At(ULONG rva, ULONG length) const;
    bool Contains(const void* address) const;
    const std::vector<ImageSection>& Sections() const { return sections_; }

    // Deepest stack use seen in a completion routine of this image, by the routine's RVA;
    // the kernel records it each time it calls one.
    void RecordCompletionStack(ULONG rva, ULONG bytes);
    ULONG DeepestCompletionStack(ULONG rva) const;

  private:
    void Unmap();

    unsigned char* base_ = nullptr;
    ULONG size_ = 0;       // SizeOfImage
    size_t mapLength_ = 0; // whole pages
    ULONG entryRva_ = 0;
    mutable std::mutex stackLock_;
    std::map<ULONG, ULONG> completionStack_;
    std::vector<ImageSection> sections_;
};

// The PE header checksum of `file`, the 4-byte field at `fieldOffset` read as zero.
uint32_t PeCheckSum(const std::vector<unsigned char>& file, size_t fieldOffset);

// The routine the stand-in exports under `name` from `module` (compared without regard to
// case, as the loader does), or null.
const void* FindKernelExport(const char* module, const char* name);

} // namespace standin
