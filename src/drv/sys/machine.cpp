// Which machine the driver runs on: read from the firmware area at load and published as a
// value under the service key.
#include "filter.h"

const MACHINE_MODEL_ENTRY MachineModelTable[] = {
    {"WQ53-1", u"WQ53-1"}, {"WQ53-2", u"WQ53-2"}, {"WQ53-3", u"WQ53-3"},
    {"WQ53-4", u"WQ53-4"}, {"WQ86-1", u"WQ86-1"}, {"WQ86-2", u"WQ86-2"},
    {"WQ86-3", u"WQ86-3"}, {"WQ86-4", u"WQ86-4"}, {nullptr, nullptr},
};

NTSTATUS PublishMachineName(PCUNICODE_STRING RegistryPath)
{
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    LONG model = -1;
    if (IdentifyMachine(&model)) {
        UNICODE_STRING suffix;
        UNICODE_STRING name;
        RtlInitUnicodeString(&suffix, WideText(u"\\Parameters"));
        RtlInitUnicodeString(&name, WideText(MachineModelTable[model].WideName));

        // Summed wide so that a service key path near the counted-string limit is refused
        // rather than wrapped into a short buffer.
        const ULONG capacity = ULONG(RegistryPath->Length) + suffix.Length;
        if (capacity <= COUNTED_STRING_MAX_BYTES) {
            const ULONG allocation = capacity + sizeof(WCHAR);
            UNICODE_STRING path;
            path.Length = 0;
            path.MaximumLength = USHORT(capacity);
            path.Buffer = static_cast<PWCH>(
                ExAllocatePoolWithTag(PagedPool, allocation, MACHINE_NAME_POOL_TAG));
            if (path.Buffer != nullptr) {
                // The spare character past the capacity stays zero and ends the key path.
                RtlZeroMemory(path.Buffer, allocation);
                if (NT_SUCCESS(RtlAppendUnicodeStringToString(&path, RegistryPath)) &&
                    NT_SUCCESS(RtlAppendUnicodeStringToString(&path, &suffix))) {
                    status = WriteRegistryString(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL,
                                                 path.Buffer, WideText(u"MachineName"), &name);
                }
                ExFreePool(path.Buffer);
            }
        }
    }
    // Load-time initialisation of the shared navigation state, whatever happened above.
    ResetNavState();
    return status;
}

BOOLEAN IdentifyMachine(LONG* index)
{
    PHYSICAL_ADDRESS address;
    address.QuadPart = FIRMWARE_MODEL_ADDRESS;
    const UCHAR* record =
        static_cast<const UCHAR*>(MmMapIoSpace(address, FIRMWARE_MODEL_RECORD_SIZE, MmNonCached));
    if (record == nullptr) {
        return FALSE;
    }
    BOOLEAN found = FALSE;
    const LONG row = LookupMachineModel(
        MachineModelTable, reinterpret_cast<const char*>(record + FIRMWARE_MODEL_NAME_OFFSET));
    if (row != -1) {
        *index = row;
        found = TRUE;
    }
    MmUnmapIoSpace(const_cast<UCHAR*>(record), FIRMWARE_MODEL_RECORD_SIZE);
    return found;
}

// Exact match including the terminator; reads at most one byte past the length of the longest
// table name, which stays inside the mapped record.
LONG LookupMachineModel(const MACHINE_MODEL_ENTRY* table, const char* text)
{
    for (LONG row = 0; table[row].AnsiName != nullptr; ++row) {
        const char* name = table[row].AnsiName;
        ULONG i = 0;
        while (name[i] != '\0' && name[i] == text[i]) {
            ++i;
        }
        if (name[i] == text[i]) {
            return row;
        }
    }
    return -1;
}

NTSTATUS WriteRegistryString(ULONG relativeTo, PCWSTR path, PCWSTR valueName, PCUNICODE_STRING data)
{
    // The value is stored with its terminating zero character.
    return RtlWriteRegistryValue(relativeTo, path, valueName, REG_SZ, data->Buffer,
                                 ULONG(data->Length) + sizeof(WCHAR));
}
