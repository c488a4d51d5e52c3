// Open and close: each open starts the stream from scratch; close waits for the port so the
// caller sees the port's own verdict.
#include "filter.h"

NTSTATUS NTAPI FilterDispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DEVICE_EXTENSION* ext = FilterExtension(DeviceObject);
    // The navigation state is shared by every device: an open on one port resets the others'
    // state too.
    ResetStream(ext);
    // A command already asked for survives the open and goes out before the first read.
    return FilterDispatchPassThrough(DeviceObject, Irp);
}

NTSTATUS NTAPI FilterDispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    const NTSTATUS status = ForwardAndWait(DeviceObject, Irp);
    Irp->IoStatus.Status = status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}
