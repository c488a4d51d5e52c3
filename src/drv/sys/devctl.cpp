// Serial control: the port is never left waiting on a modem line, and the receive-queue figure
// an application sees covers what the filter still holds for it.
#include "filter.h"

static_assert(sizeof(SERIAL_HANDFLOW) == 16, "flow-control record as the serial interface has it");
static_assert(sizeof(SERIAL_STATUS) == 20, "comm status record as the serial interface has it");

static void RewriteHandflow(SERIAL_HANDFLOW* handflow)
{
    handflow->ControlHandShake &= ~ULONG(SERIAL_OUT_HANDSHAKEMASK);
    // Any DTR or RTS mode other than off becomes plainly on.
    if (handflow->ControlHandShake & SERIAL_DTR_MASK) {
        handflow->ControlHandShake &= ~ULONG(SERIAL_DTR_HANDSHAKE);
        handflow->ControlHandShake |= SERIAL_DTR_CONTROL;
    }
    if (handflow->FlowReplace & SERIAL_RTS_MASK) {
        handflow->FlowReplace &= ~ULONG(SERIAL_RTS_HANDSHAKE);
        handflow->FlowReplace |= SERIAL_RTS_CONTROL;
    }
}

NTSTATUS NTAPI FilterDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_SERIAL_SET_HANDFLOW:
            if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(SERIAL_HANDFLOW)) {
                Irp->IoStatus.Status = STATUS_BUFFER_TOO_SMALL;
                Irp->IoStatus.Information = 0;
                IofCompleteRequest(Irp, IO_NO_INCREMENT);
                return STATUS_BUFFER_TOO_SMALL;
            }
            RewriteHandflow(static_cast<SERIAL_HANDFLOW*>(Irp->AssociatedIrp.SystemBuffer));
            return FilterDispatchPassThrough(DeviceObject, Irp);

        case IOCTL_SERIAL_GET_COMMSTATUS:
            IoCopyCurrentIrpStackLocationToNext(Irp);
            IoSetCompletionRoutine(Irp, FilterCommStatusComplete, nullptr, TRUE, TRUE, TRUE);
            return IofCallDriver(NextLower(FilterExtension(DeviceObject)), Irp);

        default:
            return FilterDispatchPassThrough(DeviceObject, Irp);
    }
}

// May run at DISPATCH_LEVEL. Only a request that came back with a whole status record is
// adjusted; a failed or short one carries none.
NTSTATUS NTAPI FilterCommStatusComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(Context);
    const DEVICE_EXTENSION* ext = FilterExtension(DeviceObject);
    if (NT_SUCCESS(Irp->IoStatus.Status) && Irp->IoStatus.Information >= sizeof(SERIAL_STATUS)) {
        SERIAL_STATUS* serialStatus = static_cast<SERIAL_STATUS*>(Irp->AssociatedIrp.SystemBuffer);
        // Never less than what the filter still holds for the caller.
        if (ext->OutputBuffer.Length > serialStatus->AmountInInQueue) {
            serialStatus->AmountInInQueue = ext->OutputBuffer.Length;
        }
    }
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    return Irp->IoStatus.Status;
}
