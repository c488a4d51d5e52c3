// The physical-memory map: each mapping is a copy of the firmware a test set.
#include "kernel_routines.h"
#include "kernel_state.h"

#include <cstdlib>
#include <cstring>

using namespace standin;

extern "C" {

PVOID NTAPI MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes,
                         MEMORY_CACHING_TYPE CacheEnable)
{
    (void)CacheEnable;
    CheckCallerIrql(KernelRoutine::MmMapIoSpace);
    KernelState& k = Kernel();
    std::lock_guard<std::mutex> guard(k.lock);
    if (k.faults.map.Fire())
        return nullptr;
    // Unset physical memory reads as zero; the mapping is a copy, as reads of it see.
    unsigned char* view =
        static_cast<unsigned char*>(std::calloc(1, NumberOfBytes ? NumberOfBytes : 1));
    ULONG64 start = static_cast<ULONG64>(PhysicalAddress.QuadPart);
    for (const auto& region : k.firmware) {
        for (size_t i = 0; i < region.second.size(); ++i) {
            ULONG64 address = region.first + i;
            if (address >= start && address < start + NumberOfBytes)
                view[address - start] = region.second[i];
        }
    }
    k.mappings[view] = Mapping{NumberOfBytes};
    return view;
}

VOID NTAPI MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes)
{
    CheckCallerIrql(KernelRoutine::MmUnmapIoSpace);
    bool ok = false;
    {
        std::lock_guard<std::mutex> guard(Kernel().lock);
        auto it = Kernel().mappings.find(BaseAddress);
        if (it != Kernel().mappings.end() && it->second.size == NumberOfBytes) {
            Kernel().mappings.erase(it);
            ok = true;
        }
    }
    if (!ok) {
        Report(VerifierRule::BadUnmap, "MmUnmapIoSpace of an address or size that was not mapped");
        return;
    }
    std::free(BaseAddress);
}

} // extern "C"
