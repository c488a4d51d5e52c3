// Executive pool: tagged blocks, tracked so that unload can tell what a driver left.
#include "kernel_routines.h"
#include "kernel_state.h"

#include <cstdlib>
#include <cstring>

using namespace standin;

namespace
{

PVOID AllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    KernelState& k = Kernel();
    std::lock_guard<std::mutex> guard(k.lock);
    k.poolCalls.push_back(Harness::PoolCall{PoolType, NumberOfBytes, Tag});
    if (k.faults.pool.Fire())
        return nullptr;
    // Fresh pool is not zeroed; fill it so that a driver relying on zeros shows.
    void* memory = std::malloc(NumberOfBytes ? NumberOfBytes : 1);
    std::memset(memory, 0xA5, NumberOfBytes);
    k.pool[memory] = PoolBlock{PoolType, NumberOfBytes, Tag};
    return memory;
}

void FreePool(KernelRoutine routine, PVOID P)
{
    bool known;
    POOL_TYPE type = NonPagedPool;
    {
        std::lock_guard<std::mutex> guard(Kernel().lock);
        auto it = Kernel().pool.find(P);
        known = it != Kernel().pool.end();
        if (known) {
            type = it->second.type;
            Kernel().pool.erase(it);
        }
    }
    CheckCallerIrql(routine, PoolHighestIrql(routine, type));
    if (!known) {
        Report(VerifierRule::BadPoolFree,
               "ExFreePool of memory that is not an outstanding pool block");
        return;
    }
    std::free(P);
}

} // namespace

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    const KernelRoutine routine = KernelRoutine::ExAllocatePoolWithTag;
    CheckCallerIrql(routine, PoolHighestIrql(routine, PoolType));
    return AllocatePool(PoolType, NumberOfBytes, Tag);
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    const KernelRoutine routine = KernelRoutine::ExAllocatePool;
    CheckCallerIrql(routine, PoolHighestIrql(routine, PoolType));
    return AllocatePool(PoolType, NumberOfBytes, 0x656E6F4E); // "None"
}

VOID NTAPI ExFreePool(PVOID P)
{
    FreePool(KernelRoutine::ExFreePool, P);
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    (void)Tag;
    FreePool(KernelRoutine::ExFreePoolWithTag, P);
}

} // extern "C"
