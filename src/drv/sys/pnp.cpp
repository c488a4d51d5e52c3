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

// Sends the request down and returns once the port has completed it; the request then belongs
// to the caller again, which completes it.
NTSTATUS NTAPI ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalEventComplete, &event, TRUE, TRUE, TRUE);

    NTSTATUS status = IofCallDriver(NextLower(FilterExtension(DeviceObject)), Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = Irp->IoStatus.Status;
    }
    return status;
}

// No pending mark: the waiting routine completes the request itself with its final status,
// and a request built by the filter has no stack location of the filter's to mark.
NTSTATUS NTAPI SignalEventComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
