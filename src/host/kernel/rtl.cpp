// Pool with tags, counted strings, the registry and the physical-memory map.
#include "kernel_state.h"

#include <cstdlib>
#include <cstring>

namespace standin
{

KernelState& Kernel()
{
    static KernelState state;
    return state;
}

void ResetKernel()
{
    KernelState& k = Kernel();
    std::lock_guard<std::mutex> guard(k.lock);
    for (auto& block : k.pool)
        std::free(block.first);
    k.pool.clear();
    // Requests a faulty driver never freed (or freed while held below) go with the kernel,
    // as its pool does; the verifier has had its say about them.
    for (auto& request : k.irps)
        std::free(request.first);
    k.irps.clear();
    k.poolCalls.clear();
    k.poolFailAfter = k.poolFailCount = 0;
    for (auto& m : k.mappings)
        std::free(m.first);
    k.mappings.clear();
    k.firmware.clear();
    k.mapFailures = 0;
    k.registry.clear();
    k.registryFailStatus = STATUS_SUCCESS;
    k.registryFailures = 0;
    k.createDeviceFailStatus = STATUS_SUCCESS;
    k.createDeviceFailures = 0;
    k.attachFailures = 0;
    k.irpFailures = 0;
    k.poStartNextCalls = 0;
    k.images.clear();
}

namespace
{
std::u16string FromWide(PCWSTR text)
{
    std::u16string out;
    if (text)
        for (; *text; ++text)
            out.push_back(*text);
    return out;
}
} // namespace

} // namespace standin

using namespace standin;

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    KernelState& k = Kernel();
    std::lock_guard<std::mutex> guard(k.lock);
    k.poolCalls.push_back(Harness::PoolCall{PoolType, NumberOfBytes, Tag});
    if (k.poolFailCount > 0) {
        if (k.poolFailAfter > 0) {
            k.poolFailAfter--;
        } else {
            k.poolFailCount--;
            return nullptr;
        }
    }
    // Fresh pool is not zeroed; fill it so that a driver relying on zeros shows.
    void* memory = std::malloc(NumberOfBytes ? NumberOfBytes : 1);
    std::memset(memory, 0xA5, NumberOfBytes);
    k.pool[memory] = PoolBlock{PoolType, NumberOfBytes, Tag};
    return memory;
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, 0x656E6F4E); // "None"
}

VOID NTAPI ExFreePool(PVOID P)
{
    bool known;
    {
        std::lock_guard<std::mutex> guard(Kernel().lock);
        known = Kernel().pool.erase(P) == 1;
    }
    if (!known) {
        Report(VerifierRule::BadPoolFree,
               "ExFreePool of memory that is not an outstanding pool block");
        return;
    }
    std::free(P);
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    (void)Tag;
    ExFreePool(P);
}

PVOID NTAPI MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes,
                         MEMORY_CACHING_TYPE CacheEnable)
{
    (void)CacheEnable;
    KernelState& k = Kernel();
    std::lock_guard<std::mutex> guard(k.lock);
    if (k.mapFailures > 0) {
        k.mapFailures--;
        return nullptr;
    }
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

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = 0;
    while (SourceString[bytes / sizeof(WCHAR)])
        bytes += sizeof(WCHAR);
    if (bytes > 0xFFFC) // the longest counted string with room for its terminator
        bytes = 0xFFFC;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    ULONG add = Source->Length;
    if (add == 0)
        return STATUS_SUCCESS;
    ULONG total = static_cast<ULONG>(Destination->Length) + add;
    if (total > Destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    char* end = reinterpret_cast<char*>(Destination->Buffer) + Destination->Length;
    std::memmove(end, Source->Buffer, add);
    Destination->Length = static_cast<USHORT>(total);
    // Terminated when there is room for it.
    if (total + sizeof(WCHAR) <= Destination->MaximumLength)
        Destination->Buffer[total / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                     ULONG ValueType, PVOID ValueData, ULONG ValueLength)
{
    KernelState& k = Kernel();
    std::lock_guard<std::mutex> guard(k.lock);
    if (k.registryFailures > 0) {
        k.registryFailures--;
        return k.registryFailStatus;
    }
    if ((RelativeTo & ~static_cast<ULONG>(RTL_REGISTRY_OPTIONAL)) != RTL_REGISTRY_ABSOLUTE)
        return STATUS_INVALID_PARAMETER; // only absolute paths are kept here
    RegistryValue value;
    value.Key = FromWide(Path);
    value.Name = FromWide(ValueName);
    value.Type = ValueType;
    const UCHAR* data = static_cast<const UCHAR*>(ValueData);
    value.Data.assign(data, data + ValueLength);
    k.registry.push_back(value);
    return STATUS_SUCCESS;
}

} // extern "C"
