// Sending a request down and waiting for it: start and close, and the read path's command write.
#include "filter.h"

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
