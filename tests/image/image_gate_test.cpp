// The kernel's calls into the image check the calling convention: a completion routine that
// returns without removing its arguments, as one compiled without NTAPI does, is reported.
#include <driver_image.h>
#include <gtest/gtest.h>
#include <harness.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "../common/image_symbols.h"

namespace
{

// Turns the routine's first "ret 12" into a plain "ret", as a cdecl build of it would end.
bool MakeCdecl(standin::DriverImage& image, const char* routine)
{
    const unsigned long rva = ImageSymbols(NMEAFILT_IMAGE_MAP).Rva(routine);
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

TEST(ImageGate, CompletionRoutineThatLeavesItsArgumentsIsReported)
{
    std::vector<standin::Finding> findings;
    const standin::FindingHandler previous = standin::SetFindingHandler(
        [&findings](const standin::Finding& f) { findings.push_back(f); });
    {
        standin::DriverImage image;
        std::string error;
        ASSERT_TRUE(image.Load(NMEAFILT_IMAGE_PATH, &error)) << error;
        ASSERT_TRUE(MakeCdecl(image, "FilterReadComplete"));
        standin::Harness h;
        h.Load(image);
        h.AddDevice();
        h.Start();
        h.Open();
        EXPECT_TRUE(findings.empty());
        h.Port().QueueRead(standin::ReadOutcome::Data("$GPGSA,A,1,,,,,,,,,,,,,,,*1E\r\n"));
        h.Read(64);
        h.Close();
        h.Remove();
        h.Unload();
    }
    standin::SetFindingHandler(previous);
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_EQ(findings[0].Rule, "calling-convention");
    EXPECT_NE(findings[0].Message.find("completion routine"), std::string::npos);
    EXPECT_NE(findings[0].Message.find("removed 0 of its 12 argument bytes"), std::string::npos)
        << findings[0].Message;
}

} // namespace
