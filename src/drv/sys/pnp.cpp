// Plug and Play: start sizes the buffers once the port has started, removal detaches and
// deletes, the state-change queries go down marked as agreed by the filter.
#include "filter.h"

NTSTATUS NTAPI FilterDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
        case IRP_MN_START_DEVICE:
            return FilterStartDevice(DeviceObject, Irp);
        case IRP_MN_REMOVE_DEVICE:
            return FilterRemoveDevice(DeviceObject, Irp);
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
            // The filter holds nothing that would object; the port may still refuse.
            Irp->IoStatus.Status = STATUS_SUCCESS;
            return FilterDispatchPassThrough(DeviceObject, Irp);
        default:
            return FilterDispatchPassThrough(DeviceObject, Irp);
    }
}

NTSTATUS NTAPI FilterStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DEVICE_EXTENSION* ext = FilterExtension(DeviceObject);
    const NTSTATUS status = ForwardAndWait(DeviceObject, Irp);

    // Sized whatever the port said, so that a later start or open finds consistent buffers.
    SizeDeviceBuffers(ext);
    ext->SendRmcRateCommand = FALSE;
    ext->SendErrRateCommand = FALSE;

    Irp->IoStatus.Status = status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

// No remove lock, unlike the samples: the Plug and Play manager removes the device only once
// its last handle is closed, and the I/O manager sends a close only when the last request on
// that handle has completed, so no read or command write is in flight here.
NTSTATUS NTAPI FilterRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_OBJECT lower = NextLower(FilterExtension(DeviceObject));
    Irp->IoStatus.Status = STATUS_SUCCESS;
    const NTSTATUS status = FilterDispatchPassThrough(DeviceObject, Irp);

    // The port's own removal outcome does not keep the filter: the stack is going away.
    IoDetachDevice(lower);
    IoDeleteDevice(DeviceObject);
    return status;
}
