// The read path: a pending rate command goes to the receiver first; then the caller is served
// from the output queue, or the read goes down with the device's own 96-byte buffer in place
// of the caller's and the received bytes are run through the sentence engine on the way up.
#include "filter.h"

static void ReleaseReadGuard(DEVICE_EXTENSION* ext)
{
    InterlockedExchange(&ext->ReadInProgress, 0);
}

static NTSTATUS CompleteRead(PIRP Irp, NTSTATUS status, ULONG information)
{
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = information;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI FilterDispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DEVICE_EXTENSION* ext = FilterExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    // The extension holds the saved buffer of one read only: a second one is refused before
    // it can touch the first one's state. With an error status the I/O manager signals
    // nothing, and the caller's ReadFile fails with ERROR_RETRY.
    if (InterlockedCompareExchange(&ext->ReadInProgress, 1, 0) != 0) {
        return CompleteRead(Irp, STATUS_RETRY, 0);
    }

    if (ext->SendRmcRateCommand || ext->SendErrRateCommand) {
        UCHAR command[COMMAND_BUFFER_SIZE];
        RtlZeroMemory(command, sizeof(command));
        ULONG length = 0;
        if (ext->SendRmcRateCommand) {
            RtlCopyMemory(command, RmcRateCommand, RATE_COMMAND_LENGTH);
            length = RATE_COMMAND_LENGTH;
        }
        if (ext->SendErrRateCommand) {
            RtlCopyMemory(command, ErrRateCommand, RATE_COMMAND_LENGTH);
            length = RATE_COMMAND_LENGTH;
        }
        // A failed write is not retried: the engine asks again if the receiver keeps
        // sending the output that called for it.
        if (SendCommandToReceiver(NextLower(ext), command, length) !=
            STATUS_INSUFFICIENT_RESOURCES) {
            ext->Counters.CommandsWritten++;
        }
        ext->SendRmcRateCommand = FALSE;
        ext->SendErrRateCommand = FALSE;
    }

    // Queued output first. A zero-length read may come without a system buffer, so it is
    // answered without touching one.
    const ULONG requested = stack->Parameters.Read.Length;
    ULONG delivered = 0;
    const BOOLEAN served =
        requested == 0 ? BOOLEAN(ext->OutputBuffer.Length != 0)
                       : DeliverOutput(ext, Irp->AssociatedIrp.SystemBuffer, requested, &delivered);
    if (served) {
        ReleaseReadGuard(ext);
        return CompleteRead(Irp, STATUS_SUCCESS, delivered);
    }

    ext->SavedUserBuffer = Irp->AssociatedIrp.SystemBuffer;
    ext->SavedUserLength = requested;
    Irp->AssociatedIrp.SystemBuffer = ext->ReadBuffer.Data;
    stack->Parameters.Read.Length = ext->ReadBuffer.Capacity;
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, FilterReadComplete, nullptr, TRUE, TRUE, TRUE);
    return IofCallDriver(NextLower(ext), Irp);
}

// May run at DISPATCH_LEVEL in the port's completion context: no waiting, no allocation.
NTSTATUS NTAPI FilterReadComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(Context);
    DEVICE_EXTENSION* ext = FilterExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    // The caller's buffer goes back first, whatever happened: the I/O manager copies the
    // result to the caller's memory from it.
    Irp->AssociatedIrp.SystemBuffer = ext->SavedUserBuffer;
    stack->Parameters.Read.Length = ext->SavedUserLength;

    const NTSTATUS status = Irp->IoStatus.Status;
    const ULONG_PTR received = Irp->IoStatus.Information;
    ULONG delivered = 0;
    if (received == 0 || received > ext->ReadBuffer.Capacity) {
        // No bytes, or a count the buffer cannot hold: nothing is taken from it.
        ext->ReadBuffer.Length = 0;
    } else {
        ext->ReadBuffer.Length = ULONG(received);
        AssembleLines(ext);
        // Nothing is copied back to the caller on an error status, so queued sentences wait
        // for the next read rather than being lost.
        if (!NT_ERROR(status) && ext->SavedUserLength != 0) {
            DeliverOutput(ext, ext->SavedUserBuffer, ext->SavedUserLength, &delivered);
        }
    }
    Irp->IoStatus.Information = delivered;

    ReleaseReadGuard(ext);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    return status;
}

NTSTATUS SendCommandToReceiver(PDEVICE_OBJECT LowerDevice, PVOID Command, ULONG CommandLength)
{
    // Exactly the port's stack size: the filter keeps no location in its own request.
    PIRP irp = IoAllocateIrp(LowerDevice->StackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_WRITE;
    next->Parameters.Write.Length = CommandLength;
    irp->AssociatedIrp.SystemBuffer = Command;

    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalEventComplete, &event, TRUE, TRUE, TRUE);

    NTSTATUS status = IofCallDriver(LowerDevice, irp);
    if (status == STATUS_PENDING) {
        LARGE_INTEGER bound;
        bound.QuadPart = -LONGLONG(COMMAND_WRITE_BOUND_MS) * 10000; // relative, 100 ns units
        if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &bound) == STATUS_TIMEOUT) {
            // A port holding the write would hold the read for ever. Cancelled, the write
            // still comes back before the command on this stack goes away.
            IoCancelIrp(irp);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        }
        status = irp->IoStatus.Status;
    }
    IoFreeIrp(irp);
    return status;
}
