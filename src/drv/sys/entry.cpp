// Load, attachment above the port, and the routines that only forward.
#include "filter.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    // Identification is informative only: the filter loads whatever it finds. On every path it
    // ends by resetting the shared navigation state, which is that state's start at load.
    PublishMachineName(RegistryPath);

    for (ULONG major = 0; major < IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        DriverObject->MajorFunction[major] = FilterDispatchPassThrough;
    }
    DriverObject->DriverUnload = FilterUnload;
    DriverObject->DriverExtension->AddDevice = FilterAddDevice;

    DriverObject->MajorFunction[IRP_MJ_CREATE] = FilterDispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = FilterDispatchClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = FilterDispatchRead;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = FilterDispatchWrite;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = FilterDispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_POWER] = FilterDispatchPower;
    DriverObject->MajorFunction[IRP_MJ_PNP] = FilterDispatchPnp;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI FilterAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), nullptr,
                                     FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    DEVICE_EXTENSION* ext = FilterExtension(device);
    RtlZeroMemory(ext, sizeof(*ext));

    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
    ext->NextLowerDriver = lower;
    if (lower == nullptr) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    ext->Self = device;
    ext->DevicePowerState = PowerDeviceD0;

    // As in the samples, the I/O and power-paging flags come from below; buffered I/O is forced
    // as well, since the read path swaps system buffers. Power-pageable only as the port is: no
    // pageable device may sit above one that takes its power requests at DISPATCH_LEVEL, and
    // the power handler never waits. Initializing is cleared last, once requests may come.
    device->Flags |= lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    device->Flags |= DO_BUFFERED_IO;
    device->DeviceType = lower->DeviceType;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return status;
}

VOID NTAPI FilterUnload(PDRIVER_OBJECT DriverObject)
{
    // Every device went away at removal and load keeps nothing.
    UNREFERENCED_PARAMETER(DriverObject);
}

NTSTATUS NTAPI FilterDispatchPassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IofCallDriver(NextLower(FilterExtension(DeviceObject)), Irp);
}

// Application writes reach the receiver byte for byte; the filter's own commands go down from
// the read path instead.
NTSTATUS NTAPI FilterDispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return FilterDispatchPassThrough(DeviceObject, Irp);
}
