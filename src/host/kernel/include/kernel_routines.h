// Every routine the stand-in exports to a driver, with the highest IRQL at which the kit's
// reference page for it allows a call. The image loader binds imports by these names, and each
// routine checks its caller's IRQL against this one table on entry.
#pragma once

#include <ntddk.h>

#include <cstddef>

namespace standin
{

enum class KernelRoutine {
    IoCreateDevice,
    IoDeleteDevice,
    IoAttachDeviceToDeviceStack,
    IoDetachDevice,
    IoGetAttachedDevice,
    IofCallDriver,
    IofCompleteRequest,
    IoAllocateIrp,
    IoFreeIrp,
    IoCancelIrp,
    IoAcquireCancelSpinLock,
    IoReleaseCancelSpinLock,
    KeInitializeEvent,
    KeSetEvent,
    KeClearEvent,
    KeReadStateEvent,
    KeWaitForSingleObject,
    KeGetCurrentIrql,
    KfRaiseIrql,
    KfLowerIrql,
    PoStartNextPowerIrp,
    PoCallDriver,
    ExAllocatePoolWithTag,
    ExAllocatePool,
    ExFreePool,
    ExFreePoolWithTag,
    MmMapIoSpace,
    MmUnmapIoSpace,
    RtlInitUnicodeString,
    RtlAppendUnicodeStringToString,
    RtlWriteRegistryValue,
    Memcpy,
    Memmove,
    Memset,
};

struct KernelRoutineEntry {
    KernelRoutine routine;
    const char* module; // where an image imports it from
    const char* name;   // under this name
    KIRQL highest;      // for pool routines: with nonpaged pool
};

// Paged pool may be allocated and freed up to APC_LEVEL only.
constexpr KIRQL kPagedPoolHighestIrql = APC_LEVEL;

inline constexpr KernelRoutineEntry kKernelRoutines[] = {
    {KernelRoutine::IoCreateDevice, "ntoskrnl.exe", "IoCreateDevice", PASSIVE_LEVEL},
    {KernelRoutine::IoDeleteDevice, "ntoskrnl.exe", "IoDeleteDevice", PASSIVE_LEVEL},
    {KernelRoutine::IoAttachDeviceToDeviceStack, "ntoskrnl.exe", "IoAttachDeviceToDeviceStack",
     DISPATCH_LEVEL},
    {KernelRoutine::IoDetachDevice, "ntoskrnl.exe", "IoDetachDevice", PASSIVE_LEVEL},
    {KernelRoutine::IoGetAttachedDevice, "ntoskrnl.exe", "IoGetAttachedDevice", DISPATCH_LEVEL},
    {KernelRoutine::IofCallDriver, "ntoskrnl.exe", "IofCallDriver", DISPATCH_LEVEL},
    {KernelRoutine::IofCompleteRequest, "ntoskrnl.exe", "IofCompleteRequest", DISPATCH_LEVEL},
    {KernelRoutine::IoAllocateIrp, "ntoskrnl.exe", "IoAllocateIrp", DISPATCH_LEVEL},
    {KernelRoutine::IoFreeIrp, "ntoskrnl.exe", "IoFreeIrp", DISPATCH_LEVEL},
    {KernelRoutine::IoCancelIrp, "ntoskrnl.exe", "IoCancelIrp", DISPATCH_LEVEL},
    {KernelRoutine::IoAcquireCancelSpinLock, "ntoskrnl.exe", "IoAcquireCancelSpinLock",
     DISPATCH_LEVEL},
    {KernelRoutine::IoReleaseCancelSpinLock, "ntoskrnl.exe", "IoReleaseCancelSpinLock",
     DISPATCH_LEVEL},
    {KernelRoutine::KeInitializeEvent, "ntoskrnl.exe", "KeInitializeEvent", HIGH_LEVEL},
    {KernelRoutine::KeSetEvent, "ntoskrnl.exe", "KeSetEvent", DISPATCH_LEVEL},
    {KernelRoutine::KeClearEvent, "ntoskrnl.exe", "KeClearEvent", DISPATCH_LEVEL},
    {KernelRoutine::KeReadStateEvent, "ntoskrnl.exe", "KeReadStateEvent", DISPATCH_LEVEL},
    // At DISPATCH_LEVEL only with a zero time-out: the wait-at-dispatch rule.
    {KernelRoutine::KeWaitForSingleObject, "ntoskrnl.exe", "KeWaitForSingleObject", DISPATCH_LEVEL},
    {KernelRoutine::KeGetCurrentIrql, "hal.dll", "KeGetCurrentIrql", HIGH_LEVEL},
    {KernelRoutine::KfRaiseIrql, "hal.dll", "KfRaiseIrql", HIGH_LEVEL},
    {KernelRoutine::KfLowerIrql, "hal.dll", "KfLowerIrql", HIGH_LEVEL},
    {KernelRoutine::PoStartNextPowerIrp, "ntoskrnl.exe", "PoStartNextPowerIrp", DISPATCH_LEVEL},
    {KernelRoutine::PoCallDriver, "ntoskrnl.exe", "PoCallDriver", DISPATCH_LEVEL},
    {KernelRoutine::ExAllocatePoolWithTag, "ntoskrnl.exe", "ExAllocatePoolWithTag", DISPATCH_LEVEL},
    {KernelRoutine::ExAllocatePool, "ntoskrnl.exe", "ExAllocatePool", DISPATCH_LEVEL},
    {KernelRoutine::ExFreePool, "ntoskrnl.exe", "ExFreePool", DISPATCH_LEVEL},
    {KernelRoutine::ExFreePoolWithTag, "ntoskrnl.exe", "ExFreePoolWithTag", DISPATCH_LEVEL},
    {KernelRoutine::MmMapIoSpace, "ntoskrnl.exe", "MmMapIoSpace", DISPATCH_LEVEL},
    {KernelRoutine::MmUnmapIoSpace, "ntoskrnl.exe", "MmUnmapIoSpace", DISPATCH_LEVEL},
    // The append routine's page asks only for resident buffers from DISPATCH_LEVEL up; taken
    // as its highest, as for the init routine.
    {KernelRoutine::RtlInitUnicodeString, "ntoskrnl.exe", "RtlInitUnicodeString", DISPATCH_LEVEL},
    {KernelRoutine::RtlAppendUnicodeStringToString, "ntoskrnl.exe",
     "RtlAppendUnicodeStringToString", DISPATCH_LEVEL},
    {KernelRoutine::RtlWriteRegistryValue, "ntoskrnl.exe", "RtlWriteRegistryValue", PASSIVE_LEVEL},
    {KernelRoutine::Memcpy, "ntoskrnl.exe", "memcpy", HIGH_LEVEL},
    {KernelRoutine::Memmove, "ntoskrnl.exe", "memmove", HIGH_LEVEL},
    {KernelRoutine::Memset, "ntoskrnl.exe", "memset", HIGH_LEVEL},
};

inline constexpr size_t kKernelRoutineCount = sizeof kKernelRoutines / sizeof kKernelRoutines[0];

constexpr bool RoutinesInOrder()
{
    for (size_t i = 0; i < kKernelRoutineCount; ++i)
        if (static_cast<size_t>(kKernelRoutines[i].routine) != i)
            return false;
    return static_cast<size_t>(KernelRoutine::Memset) + 1 == kKernelRoutineCount;
}
static_assert(RoutinesInOrder(), "one entry per routine, in the order of KernelRoutine");

constexpr const KernelRoutineEntry& RoutineEntry(KernelRoutine routine)
{
    return kKernelRoutines[static_cast<size_t>(routine)];
}

// Reports a call above the routine's highest IRQL (routine-irql); `highest` overrides the
// table where the arguments decide, as the pool type does.
void CheckCallerIrql(KernelRoutine routine);
void CheckCallerIrql(KernelRoutine routine, KIRQL highest);
// The highest IRQL for a pool routine given the pool type it allocates or frees.
KIRQL PoolHighestIrql(KernelRoutine routine, POOL_TYPE type);

} // namespace standin
