// What the stand-in exports to a driver image, by module and name: the routines an image
// loader binds its imports to.
#include <driver_image.h>

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
    const char* module;
    const char* name;
    const void* routine;
};

#define KERNEL(name)                                                                               \
    {                                                                                              \
        "ntoskrnl.exe", #name, reinterpret_cast<const void*>(&(name))                              \
    }
#define HAL(name)                                                                                  \
    {                                                                                              \
        "hal.dll", #name, reinterpret_cast<const void*>(&(name))                                   \
    }

const Export kExports[] = {
    KERNEL(IoCreateDevice),
    KERNEL(IoDeleteDevice),
    KERNEL(IoAttachDeviceToDeviceStack),
    KERNEL(IoDetachDevice),
    KERNEL(IofCallDriver),
    KERNEL(IofCompleteRequest),
    KERNEL(IoAllocateIrp),
    KERNEL(IoFreeIrp),
    KERNEL(KeInitializeEvent),
    KERNEL(KeSetEvent),
    KERNEL(KeClearEvent),
    KERNEL(KeReadStateEvent),
    KERNEL(KeWaitForSingleObject),
    KERNEL(PoStartNextPowerIrp),
    KERNEL(PoCallDriver),
    KERNEL(ExAllocatePoolWithTag),
    KERNEL(ExAllocatePool),
    KERNEL(ExFreePool),
    KERNEL(ExFreePoolWithTag),
    KERNEL(MmMapIoSpace),
    KERNEL(MmUnmapIoSpace),
    KERNEL(RtlInitUnicodeString),
    KERNEL(RtlAppendUnicodeStringToString),
    KERNEL(RtlWriteRegistryValue),
    {"ntoskrnl.exe", "memcpy", reinterpret_cast<const void*>(&StandinMemcpy)},
    {"ntoskrnl.exe", "memmove", reinterpret_cast<const void*>(&StandinMemmove)},
    {"ntoskrnl.exe", "memset", reinterpret_cast<const void*>(&StandinMemset)},
    HAL(KeGetCurrentIrql),
    HAL(KfRaiseIrql),
    HAL(KfLowerIrql),
};

} // namespace

namespace standin
{

const void* FindKernelExport(const char* module, const char* name)
{
    for (const Export& e : kExports)
        if (strcasecmp(e.module, module) == 0 && std::strcmp(e.name, name) == 0)
            return e.routine;
    return nullptr;
}

} // namespace standin
