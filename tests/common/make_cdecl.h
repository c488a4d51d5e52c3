// Damages a routine of a mapped driver image into one that leaves its arguments on the stack,
// as a build of it without NTAPI would: the calling-convention check should then report it.
#pragma once

#include <driver_image.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

#include "image_symbols.h"

// Turns the first "ret 12" of a three-argument routine into a plain "ret", as a cdecl build of
// it would end.
inline bool MakeCdecl(standin::DriverImage& image, const char* mapPath, const char* routine)
{
    const unsigned long rva = ImageSymbols(mapPath).Rva(routine);
    auto* code = static_cast<unsigned char*>(image.At(ULONG(rva), 0x100));
    if (rva == 0 || code == nullptr) {
        return false;
    }
    const unsigned char ret12[] = {0xC2, 0x0C, 0x00};
    unsigned char* ret = std::search(code, code + 0x100, ret12, ret12 + 3);
    if (ret == code + 0x100) {
        return false;
    }
    // The pages holding the instruction's bytes: code pages all.
    const uintptr_t pageMask = ~(uintptr_t(sysconf(_SC_PAGESIZE)) - 1);
    const uintptr_t first = reinterpret_cast<uintptr_t>(ret) & pageMask;
    const uintptr_t last = reinterpret_cast<uintptr_t>(ret + 2) & pageMask;
    void* page = reinterpret_cast<void*>(first);
    const size_t span = last - first + uintptr_t(sysconf(_SC_PAGESIZE));
    mprotect(page, span, PROT_READ | PROT_WRITE | PROT_EXEC);
    std::memcpy(ret, "\xC3\x90\x90", 3);
    mprotect(page, span, PROT_READ | PROT_EXEC);
    return true;
}
