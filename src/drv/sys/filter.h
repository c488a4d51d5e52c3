// The filter device stack: the extension record, the routines of each request family and the
// way a routine finds its record. Nothing is pageable, unlike the samples' PAGE sections: the
// read completion runs at DISPATCH_LEVEL through most of the code, and the rest is small.
#pragma once

#include <ntddk.h>
#include <ntddser.h>

#include "nmea/sentence_stream.h"
#include "rate_commands.h"

// Wide literals are written as UTF-16 (u"...") so that they mean the same on every build; the
// kernel's WCHAR is a 16-bit unit of the same encoding.
static_assert(sizeof(WCHAR) == sizeof(char16_t), "WCHAR is a UTF-16 code unit");

inline PCWSTR WideText(const char16_t* text)
{
    return reinterpret_cast<PCWSTR>(text);
}

inline DEVICE_EXTENSION* FilterExtension(PDEVICE_OBJECT DeviceObject)
{
    return static_cast<DEVICE_EXTENSION*>(DeviceObject->DeviceExtension);
}

inline PDEVICE_OBJECT NextLower(const DEVICE_EXTENSION* ext)
{
    return static_cast<PDEVICE_OBJECT>(ext->NextLowerDriver);
}

// entry.cpp
extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_ADD_DEVICE FilterAddDevice;
DRIVER_UNLOAD FilterUnload;
DRIVER_DISPATCH FilterDispatchPassThrough;
DRIVER_DISPATCH FilterDispatchWrite;

// machine.cpp
struct MACHINE_MODEL_ENTRY {
    const char* AnsiName;     // as the firmware stores it
    const char16_t* WideName; // as the registry receives it
};

enum : ULONG {
    FIRMWARE_MODEL_ADDRESS = 0x000FE600,
    FIRMWARE_MODEL_RECORD_SIZE = 20,
    FIRMWARE_MODEL_NAME_OFFSET = 4,
    MACHINE_NAME_POOL_TAG = 0x64766B57, // "Wkvd" as it reads in memory
    COUNTED_STRING_MAX_BYTES = 0xFFFF,  // what a UNICODE_STRING's 16-bit lengths can hold
};

extern const MACHINE_MODEL_ENTRY MachineModelTable[];

NTSTATUS PublishMachineName(PCUNICODE_STRING RegistryPath);
BOOLEAN IdentifyMachine(LONG* index);
LONG LookupMachineModel(const MACHINE_MODEL_ENTRY* table, const char* text);
NTSTATUS WriteRegistryString(ULONG relativeTo, PCWSTR path, PCWSTR valueName,
                             PCUNICODE_STRING data);

// pnp.cpp
DRIVER_DISPATCH FilterDispatchPnp;
DRIVER_DISPATCH FilterStartDevice;
DRIVER_DISPATCH FilterRemoveDevice;

// forward.cpp: a request sent down and waited for
DRIVER_DISPATCH ForwardAndWait;
IO_COMPLETION_ROUTINE SignalEventComplete;

// power.cpp
DRIVER_DISPATCH FilterDispatchPower;

// openclose.cpp
DRIVER_DISPATCH FilterDispatchCreate;
DRIVER_DISPATCH FilterDispatchClose;

// read.cpp; the rate commands themselves are in rate_commands.h
enum : ULONG {
    COMMAND_BUFFER_SIZE = 128,
    // Five times a command's 0.4 s at 1,200 baud: a port that takes longer holds the write.
    COMMAND_WRITE_BOUND_MS = 2000,
};
static_assert(COMMAND_BUFFER_SIZE >= ULONG(RATE_COMMAND_LENGTH), "room for a rate command");

DRIVER_DISPATCH FilterDispatchRead;
IO_COMPLETION_ROUTINE FilterReadComplete;
NTSTATUS SendCommandToReceiver(PDEVICE_OBJECT LowerDevice, PVOID Command, ULONG CommandLength);

// devctl.cpp
DRIVER_DISPATCH FilterDispatchDeviceControl;
IO_COMPLETION_ROUTINE FilterCommStatusComplete;
