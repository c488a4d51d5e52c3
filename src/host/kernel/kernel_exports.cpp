// What the stand-in exports to a driver image, by module and name: the routines an image
// loader binds its imports to.
#include <driver_image.h>

#include "kernel_routines.h"

#include <cstring>
#include <strings.h>

namespace
{

// The kernel's memory routines are plain cdecl C; these copies realign the stack before
// entering the C library, which may want more than the 4 bytes Windows code keeps.
#if defined(__i386__)
#define STANDIN_REALIGN __attribute__((force_align_arg_pointer, noinline))
#else
#define STANDIN_REALIGN __attribute__((noinline))
#endif

extern "C" STANDIN_REALIGN void* StandinMemcpy(void* destination, const void* source, size_t size)
{
    void* result = std::memcpy(destination, source, size);
    __asm__ volatile("" ::: "memory"); // a real call, not a tail jump past the realignment
    return result;
}

extern "C" STANDIN_REALIGN void* StandinMemmove(void* destination, const void* source, size_t size)
{
    void* result = std::memmove(destination, source, size);
    __asm__ volatile("" ::: "memory");
    return result;
}

extern "C" STANDIN_REALIGN void* StandinMemset(void* destination, int value, size_t size)
{
    void* result = std::memset(destination, value, size);
    __asm__ volatile("" ::: "memory");
    return result;
}

struct Export {
    standin::KernelRoutine routine; // its name, module and IRQL come from the routine table
    const void* address;
};

#define EXPORT(name)                                                                               \
    {                                                                                              \
        standin::KernelRoutine::name, reinterpret_cast<const void*>(&(name))                       \
    }

const Export kExports[] = {
    EXPORT(IoCreateDevice),
    EXPORT(IoDeleteDevice),
    EXPORT(IoAttachDeviceToDeviceStack),
    EXPORT(IoDetachDevice),
    EXPORT(IoGetAttachedDevice),
    EXPORT(IofCallDriver),
    EXPORT(IofCompleteRequest),
    EXPORT(IoAllocateIrp),
    EXPORT(IoFreeIrp),
    EXPORT(IoCancelIrp),
    EXPORT(IoAcquireCancelSpinLock),
    EXPORT(IoReleaseCancelSpinLock),
    EXPORT(KeInitializeEvent),
    EXPORT(KeSetEvent),
    EXPORT(KeClearEvent),
    EXPORT(KeReadStateEvent),
    EXPORT(KeWaitForSingleObject),
    EXPORT(KeGetCurrentIrql),
    EXPORT(KfRaiseIrql),
    EXPORT(KfLowerIrql),
    EXPORT(PoStartNextPowerIrp),
    EXPORT(PoCallDriver),
    EXPORT(ExAllocatePoolWithTag),
    EXPORT(ExAllocatePool),
    EXPORT(ExFreePool),
    EXPORT(ExFreePoolWithTag),
    EXPORT(MmMapIoSpace),
    EXPORT(MmUnmapIoSpace),
    EXPORT(RtlInitUnicodeString),
    EXPORT(RtlAppendUnicodeStringToString),
    EXPORT(RtlWriteRegistryValue),
    {standin::KernelRoutine::Memcpy, reinterpret_cast<const void*>(&StandinMemcpy)},
    {standin::KernelRoutine::Memmove, reinterpret_cast<const void*>(&StandinMemmove)},
    {standin::KernelRoutine::Memset, reinterpret_cast<const void*>(&StandinMemset)},
};

} // namespace

namespace standin
{

const void* FindKernelExport(const char* module, const char* name)
{
    for (const Export& e : kExports) {
        const KernelRoutineEntry& entry = RoutineEntry(e.routine);
        if (strcasecmp(entry.module, module) == 0 && std::strcmp(entry.name, name) == 0)
            return e.address;
    }
    return nullptr;
}

} // namespace standin
