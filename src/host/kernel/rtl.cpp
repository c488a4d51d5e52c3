// Run-time library: counted strings and the registry.
#include "kernel_routines.h"
#include "kernel_state.h"

#include <cstring>

namespace standin
{

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

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    CheckCallerIrql(KernelRoutine::RtlInitUnicodeString);
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
    CheckCallerIrql(KernelRoutine::RtlAppendUnicodeStringToString);
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
    CheckCallerIrql(KernelRoutine::RtlWriteRegistryValue);
    KernelState& k = Kernel();
    std::lock_guard<std::mutex> guard(k.lock);
    if (k.faults.registry.Fire())
        return k.faults.registry.status;
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
