// The I/O manager: device objects and their stacks, requests and their stack locations, the
// call-down and the completion walk, with the verifier's request rules.
#include "kernel_routines.h"
#include "kernel_state.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace standin
{

namespace
{

using Findings = std::vector<std::pair<VerifierRule, std::string>>;

std::string Hex(ULONG value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string Describe(PIRP irp)
{
    char text[64];
    std::snprintf(text, sizeof text, "request %p", static_cast<void*>(irp));
    return text;
}

std::mutex& CancelLock()
{
    static std::mutex lock;
    return lock;
}

void ReportAll(const Findings& findings)
{
    for (const auto& f : findings)
        Report(f.first, f.second);
}

// A dispatch routine that ran at `location` returned `returned`; `marked` is whether that
// location carried SL_PENDING_RETURNED when the request left it.
void CheckPendingReturn(PIRP irp, int location, NTSTATUS returned, bool marked, Findings& out)
{
    if (returned == STATUS_PENDING && !marked)
        out.emplace_back(VerifierRule::PendingNotMarked,
                         Describe(irp) +
                             ": a dispatch routine returned STATUS_PENDING without "
                             "marking the request pending (stack location " +
                             std::to_string(location) + ")");
    else if (returned != STATUS_PENDING && marked)
        out.emplace_back(VerifierRule::MarkedNotPending,
                         Describe(irp) + ": the request was marked pending at stack location " +
                             std::to_string(location) + " but its dispatch routine returned " +
                             Hex(static_cast<ULONG>(returned)));
}

// The mark of `location` is final: check every dispatch result recorded for it.
void SettleLocation(PIRP irp, IrpTrack& track, int location, bool marked, Findings& out)
{
    IrpTrack::Location& book = track.locations[location];
    book.mark = marked ? 1 : 0;
    for (NTSTATUS returned : book.returns)
        CheckPendingReturn(irp, location, returned, marked, out);
    book.returns.clear();
}

void ReleaseIrpMemory(PIRP irp)
{
    std::free(irp);
}

// A completion routine of a loaded image goes through the image gate, on a painted stack.
NTSTATUS CallCompletionRoutine(PIO_COMPLETION_ROUTINE routine, PDEVICE_OBJECT device, PIRP irp,
                               PVOID context)
{
    ULONG_PTR status = 0;
    if (CallImageRoutine("completion routine", reinterpret_cast<const void*>(routine),
                         {Word(device), Word(irp), Word(context)}, true, &status))
        return static_cast<NTSTATUS>(status);
    return routine(device, irp, context);
}

NTSTATUS CallDispatchRoutine(PDRIVER_DISPATCH routine, PDEVICE_OBJECT device, PIRP irp)
{
    ULONG_PTR status = 0;
    if (CallImageRoutine("dispatch routine", reinterpret_cast<const void*>(routine),
                         {Word(device), Word(irp)}, false, &status))
        return static_cast<NTSTATUS>(status);
    return routine(device, irp);
}

// ---- Completion, step by step -------------------------------------------------------------

// The checks on entry. True when the request may complete: it is then Completing.
bool BeginCompletion(PIRP irp)
{
    Findings findings;
    {
        std::unique_lock<std::mutex> guard(Kernel().lock);
        auto it = Kernel().irps.find(irp);
        // Signal-and-reclaim: a completion routine may wake a waiter on another thread before
        // it returns STATUS_MORE_PROCESSING_REQUIRED, and the waiter may complete the request
        // at once. The kernel is done with the request once that routine returns, so the
        // second completion is judged then, not while the first one is still unwinding.
        while (it != Kernel().irps.end() && it->second.state == IrpTrack::Completing &&
               it->second.routineRunning &&
               it->second.routineThread != std::this_thread::get_id()) {
            guard.unlock();
            std::this_thread::yield();
            guard.lock();
            it = Kernel().irps.find(irp);
        }
        if (it == Kernel().irps.end()) {
            findings.emplace_back(VerifierRule::CompleteUnknownRequest,
                                  Describe(irp) + " completed, but it is not an allocated request");
        } else if (it->second.state == IrpTrack::Completed) {
            findings.emplace_back(VerifierRule::DoubleCompletion,
                                  Describe(irp) + " completed twice");
        } else if (it->second.state == IrpTrack::Completing) {
            findings.emplace_back(VerifierRule::DoubleCompletion,
                                  Describe(irp) + " completed again while its completion runs");
        } else if (irp->IoStatus.Status == STATUS_PENDING) {
            findings.emplace_back(VerifierRule::CompleteWithPending,
                                  Describe(irp) + " completed with STATUS_PENDING");
        }
        if (findings.empty())
            it->second.state = IrpTrack::Completing;
    }
    ReportAll(findings);
    return findings.empty();
}

// Pending propagation, under the kernel lock: with no routine at the location just left, the
// mark goes on to the next location up, as a routine that follows the rules would carry it.
void PropagatePending(PIRP irp)
{
    if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount)
        IoMarkIrpPending(irp);
}

// What leaving one location found there.
struct LeftLocation {
    bool pastTop = false;                     // no location was left: the walk is over
    PIO_COMPLETION_ROUTINE routine = nullptr; // to call now; null when none is due
    PVOID context = nullptr;
    PDEVICE_OBJECT device = nullptr; // the routine's own device (null above the top location)
};

// The stack walk: settles the pending mark of the current location, checks what an
// application read carries back, clears the location and moves up one.
LeftLocation LeaveLocation(PIRP irp, Findings& findings)
{
    LeftLocation left;
    std::lock_guard<std::mutex> guard(Kernel().lock);
    IrpTrack& track = Kernel().irps[irp];
    if (irp->CurrentLocation > irp->StackCount) {
        left.pastTop = true;
        return left;
    }
    int location = irp->CurrentLocation;
    PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
    irp->PendingReturned = (sl->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
    SettleLocation(irp, track, location, irp->PendingReturned != 0, findings);
    if (track.fromHarness && location == irp->StackCount && track.originalMajor == IRP_MJ_READ &&
        (irp->AssociatedIrp.SystemBuffer != track.originalSystemBuffer ||
         sl->Parameters.Read.Length != track.originalLength))
        findings.emplace_back(VerifierRule::CallerBufferNotRestored,
                              Describe(irp) + " reached the caller with another system "
                                              "buffer or length than the caller's");
    PIO_COMPLETION_ROUTINE routine = sl->CompletionRoutine;
    PVOID context = sl->Context;
    UCHAR control = sl->Control;
    // The location is done with; as the kit does, leave only major code and device.
    sl->MinorFunction = 0;
    sl->Flags = 0;
    sl->Control = 0;
    std::memset(&sl->Parameters, 0, sizeof sl->Parameters);
    sl->FileObject = nullptr;
    sl->CompletionRoutine = nullptr;
    sl->Context = nullptr;
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
    bool success = NT_SUCCESS(irp->IoStatus.Status);
    bool invoke = routine && ((success && (control & SL_INVOKE_ON_SUCCESS)) ||
                              (!success && (control & SL_INVOKE_ON_ERROR)) ||
                              (irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
    if (!invoke) {
        PropagatePending(irp);
        return left;
    }
    left.routine = routine;
    left.context = context;
    left.device = irp->CurrentLocation > irp->StackCount
                      ? nullptr
                      : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
    track.routineRunning = true;
    track.routineThread = std::this_thread::get_id();
    return left;
}

// After a completion routine returned `status`: false when the completion ends here, because
// the routine stopped it or freed the request (whose memory goes now).
bool GoOnAfterRoutine(PIRP irp, NTSTATUS status)
{
    Findings findings;
    {
        std::lock_guard<std::mutex> guard(Kernel().lock);
        IrpTrack& track = Kernel().irps[irp];
        track.routineRunning = false;
        if (!track.freeDeferred) {
            if (status != STATUS_MORE_PROCESSING_REQUIRED)
                return true;
            track.state = IrpTrack::Stopped;
            return false;
        }
        if (status != STATUS_MORE_PROCESSING_REQUIRED)
            findings.emplace_back(VerifierRule::FreeInUse,
                                  Describe(irp) + " freed in a completion routine that then let "
                                                  "its completion go on");
        Kernel().irps.erase(irp);
    }
    ReleaseIrpMemory(irp);
    ReportAll(findings);
    return false;
}

// Copy-back, past the top location: buffered I/O hands the system buffer back to an
// application's memory, as many bytes as the information count says, unless the request
// ended in an error.
void CopyBack(PIRP irp)
{
    PVOID caller = nullptr;
    ULONG callerLength = 0;
    {
        std::lock_guard<std::mutex> guard(Kernel().lock);
        const IrpTrack& track = Kernel().irps[irp];
        if (!track.copyBack)
            return;
        caller = track.callerBuffer;
        callerLength = track.callerLength;
    }
    NTSTATUS status = irp->IoStatus.Status;
    ULONG_PTR information = irp->IoStatus.Information;
    if (NT_ERROR(status) || !information)
        return;
    size_t n = information;
    if (n > callerLength) {
        Report(VerifierRule::InformationOverrun,
               Describe(irp) + " completed with " + std::to_string(information) +
                   " bytes of information for a caller buffer of " + std::to_string(callerLength));
        n = callerLength;
    }
    if (irp->AssociatedIrp.SystemBuffer && n)
        std::memcpy(caller, irp->AssociatedIrp.SystemBuffer, n);
}

// Release: the kernel is done with the request. An application's goes back to the harness,
// which frees it; a driver's own request should never get here.
void Release(PIRP irp)
{
    Findings findings;
    void (*onComplete)(PIRP, void*) = nullptr;
    void* onCompleteContext = nullptr;
    {
        std::lock_guard<std::mutex> guard(Kernel().lock);
        IrpTrack& track = Kernel().irps[irp];
        track.state = IrpTrack::Completed;
        if (track.fromHarness) {
            onComplete = track.onComplete;
            onCompleteContext = track.onCompleteContext;
        } else {
            findings.emplace_back(VerifierRule::DriverRequestCompletedToTop,
                                  Describe(irp) + " allocated by a driver completed past its top "
                                                  "location: no completion routine reclaimed it");
        }
    }
    ReportAll(findings);
    if (onComplete)
        onComplete(irp, onCompleteContext);
}

} // namespace

// ---- Requests ---------------------------------------------------------------------------

PIRP AllocateIrpInternal(CCHAR stackSize, bool fromHarness)
{
    if (stackSize <= 0)
        return nullptr;
    size_t size = sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
    PIRP irp = static_cast<PIRP>(std::calloc(1, size));
    irp->Type = IO_TYPE_IRP;
    irp->Size = static_cast<USHORT>(size);
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
    irp->RequestorMode = KernelMode;
    IrpTrack track;
    track.fromHarness = fromHarness;
    track.locations.resize(static_cast<size_t>(stackSize) + 2);
    std::lock_guard<std::mutex> guard(Kernel().lock);
    Kernel().irps[irp] = std::move(track);
    return irp;
}

void FreeIrpInternal(PIRP irp)
{
    {
        std::lock_guard<std::mutex> guard(Kernel().lock);
        Kernel().irps.erase(irp);
    }
    ReleaseIrpMemory(irp);
}

namespace
{

// A power request on its way to the driver at `sl`: it goes down through PoCallDriver, and a
// driver that passes one on has first let the power manager start the next.
void CheckPowerPassing(PIRP irp, IrpTrack& track, PIO_STACK_LOCATION sl, bool fromPoCallDriver,
                       Findings& out)
{
    if (sl->MajorFunction != IRP_MJ_POWER)
        return;
    if (!fromPoCallDriver)
        out.emplace_back(VerifierRule::PowerNotPoCallDriver,
                         Describe(irp) + ": a power request sent down with IofCallDriver");
    if (sl->MinorFunction != IRP_MN_SET_POWER && sl->MinorFunction != IRP_MN_QUERY_POWER)
        return;
    if (track.startNextDue)
        out.emplace_back(VerifierRule::PowerNotStartedNext,
                         Describe(irp) + ": a power request passed on without "
                                         "PoStartNextPowerIrp from the driver passing it");
    track.startNextDue = true; // owed by the driver it goes to
}

} // namespace

// The call-down of IofCallDriver and PoCallDriver; `fromPoCallDriver` tells which one.
NTSTATUS CallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp, bool fromPoCallDriver)
{
    Findings findings;
    int location = 0;
    PDRIVER_DISPATCH dispatch = nullptr;
    {
        std::lock_guard<std::mutex> guard(Kernel().lock);
        auto it = Kernel().irps.find(Irp);
        if (it == Kernel().irps.end()) {
            findings.emplace_back(VerifierRule::CallUnknownRequest,
                                  Describe(Irp) + " sent down, but it is not an allocated request");
        } else if (Irp->CurrentLocation <= 1) {
            findings.emplace_back(VerifierRule::OutOfStackLocations,
                                  Describe(Irp) +
                                      " sent to a device with no stack location left (" +
                                      std::to_string(Irp->StackCount) + " in the request)");
        } else if (!DeviceObject || !DeviceObject->DriverObject) {
            findings.emplace_back(VerifierRule::CallNoDevice, Describe(Irp) + " sent to no device");
        } else {
            Irp->CurrentLocation--;
            Irp->Tail.Overlay.CurrentStackLocation--;
            location = Irp->CurrentLocation;
            IrpTrack& track = it->second;
            PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(Irp);
            CheckPowerPassing(Irp, track, sl, fromPoCallDriver, findings);
            track.state = IrpTrack::Sent;
            track.locations[location].mark = -1;
            track.sends++;
            sl->DeviceObject = DeviceObject;
            dispatch = DeviceObject->DriverObject->MajorFunction[sl->MajorFunction];
            if (!dispatch)
                findings.emplace_back(
                    VerifierRule::NoDispatchRoutine,
                    "the target driver has no dispatch routine for major function " +
                        std::to_string(sl->MajorFunction));
        }
    }
    if (!dispatch) {
        ReportAll(findings);
        return STATUS_INVALID_DEVICE_REQUEST;
    }

    NTSTATUS status = CallDispatchRoutine(dispatch, DeviceObject, Irp);

    {
        std::lock_guard<std::mutex> guard(Kernel().lock);
        auto it = Kernel().irps.find(Irp);
        if (it != Kernel().irps.end()) {
            IrpTrack& track = it->second;
            IrpTrack::Location& book = track.locations[location];
            if (book.mark >= 0)
                CheckPendingReturn(Irp, location, status, book.mark == 1, findings);
            else
                book.returns.push_back(status);
        } else if (status != STATUS_PENDING) {
            // Completed and freed before its dispatch routine returned: every location was
            // settled then, so nothing is left to check.
        }
    }
    ReportAll(findings);
    return status;
}

} // namespace standin

using namespace standin;

extern "C" {

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    (void)ChargeQuota;
    CheckCallerIrql(KernelRoutine::IoAllocateIrp);
    {
        std::lock_guard<std::mutex> guard(Kernel().lock);
        if (Kernel().faults.irp.Fire())
            return nullptr;
    }
    return AllocateIrpInternal(StackSize, false);
}

VOID NTAPI IoFreeIrp(PIRP Irp)
{
    CheckCallerIrql(KernelRoutine::IoFreeIrp);
    Findings findings;
    bool release = false;
    {
        std::lock_guard<std::mutex> guard(Kernel().lock);
        auto it = Kernel().irps.find(Irp);
        if (it == Kernel().irps.end()) {
            findings.emplace_back(VerifierRule::FreeUnknownRequest,
                                  Describe(Irp) + " freed, but it is not an allocated request");
        } else {
            IrpTrack& track = it->second;
            if (track.state == IrpTrack::Sent) {
                findings.emplace_back(VerifierRule::FreeInUse,
                                      Describe(Irp) + " freed while a driver below still holds it");
            } else if (track.state == IrpTrack::Completing && track.routineRunning) {
                track.freeDeferred = true; // settled when the routine returns
            } else {
                for (int loc = 1; loc <= Irp->StackCount; ++loc) {
                    PIO_STACK_LOCATION sl = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + loc - 1;
                    if (!track.locations[loc].returns.empty())
                        SettleLocation(Irp, track, loc, (sl->Control & SL_PENDING_RETURNED) != 0,
                                       findings);
                }
                Kernel().irps.erase(it);
                release = true;
            }
        }
    }
    if (release)
        ReleaseIrpMemory(Irp);
    ReportAll(findings);
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CheckCallerIrql(KernelRoutine::IofCallDriver);
    return CallDriver(DeviceObject, Irp, false);
}

// The cancel spin lock, held from IoCancelIrp into the cancel routine, which releases it.
VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql)
{
    CheckCallerIrql(KernelRoutine::IoAcquireCancelSpinLock);
    CancelLock().lock();
    *Irql = KfRaiseIrql(DISPATCH_LEVEL);
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql)
{
    CheckCallerIrql(KernelRoutine::IoReleaseCancelSpinLock);
    KfLowerIrql(Irql);
    CancelLock().unlock();
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp)
{
    CheckCallerIrql(KernelRoutine::IoCancelIrp);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
    ULONG_PTR ignored = 0;
    if (!CallImageRoutine("cancel routine", reinterpret_cast<const void*>(routine),
                          {Word(device), Word(Irp)}, false, &ignored))
        routine(device, Irp);
    return TRUE;
}

// Up the stack one location at a time, calling the routines that are due, until one stops the
// completion or the walk passes the top; then the I/O manager's own part.
VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    (void)PriorityBoost;
    CheckCallerIrql(KernelRoutine::IofCompleteRequest);
    if (!BeginCompletion(Irp))
        return;
    for (;;) {
        Findings findings;
        LeftLocation left = LeaveLocation(Irp, findings);
        ReportAll(findings);
        if (left.pastTop)
            break;
        if (!left.routine)
            continue;
        NTSTATUS status = CallCompletionRoutine(left.routine, left.device, Irp, left.context);
        if (!GoOnAfterRoutine(Irp, status))
            return;
    }
    CopyBack(Irp);
    Release(Irp);
}

// ---- Device objects ----------------------------------------------------------------------

struct DeviceBlock {
    DEVICE_OBJECT device;
    DEVOBJ_EXTENSION objectExtension;
};

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject)
{
    (void)DeviceName;
    CheckCallerIrql(KernelRoutine::IoCreateDevice);
    {
        std::lock_guard<std::mutex> guard(Kernel().lock);
        if (Kernel().faults.createDevice.Fire()) {
            *DeviceObject = nullptr;
            return Kernel().faults.createDevice.status;
        }
    }
    // The extension lives in the same allocation, after the object, zero-filled.
    size_t extensionOffset = (sizeof(DeviceBlock) + 15) & ~static_cast<size_t>(15);
    char* memory = static_cast<char*>(std::calloc(1, extensionOffset + DeviceExtensionSize + 1));
    DeviceBlock* block = reinterpret_cast<DeviceBlock*>(memory);
    PDEVICE_OBJECT device = &block->device;
    device->Type = IO_TYPE_DEVICE;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->ReferenceCount = 0;
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    device->Characteristics = DeviceCharacteristics;
    device->DeviceExtension = DeviceExtensionSize ? memory + extensionOffset : nullptr;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    device->DeviceObjectExtension = &block->objectExtension;
    block->objectExtension.DeviceObject = device;
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    {
        std::lock_guard<std::mutex> guard(Kernel().lock);
        Kernel().devices.push_back(device);
    }
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                 PDEVICE_OBJECT TargetDevice)
{
    CheckCallerIrql(KernelRoutine::IoAttachDeviceToDeviceStack);
    {
        std::lock_guard<std::mutex> guard(Kernel().lock);
        if (Kernel().faults.attach.Fire())
            return nullptr;
    }
    if (!TargetDevice)
        return nullptr;
    PDEVICE_OBJECT top = IoGetAttachedDevice(TargetDevice);
    top->AttachedDevice = SourceDevice;
    SourceDevice->DeviceObjectExtension->AttachedTo = top;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    return top;
}

PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject)
{
    CheckCallerIrql(KernelRoutine::IoGetAttachedDevice);
    PDEVICE_OBJECT top = DeviceObject;
    while (top->AttachedDevice)
        top = top->AttachedDevice;
    return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    CheckCallerIrql(KernelRoutine::IoDetachDevice);
    PDEVICE_OBJECT above = TargetDevice ? TargetDevice->AttachedDevice : nullptr;
    if (!above) {
        Report(VerifierRule::DetachNothing,
               "IoDetachDevice on a device with nothing attached above it");
        return;
    }
    above->DeviceObjectExtension->AttachedTo = nullptr;
    TargetDevice->AttachedDevice = nullptr;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    CheckCallerIrql(KernelRoutine::IoDeleteDevice);
    if (DeviceObject->DeviceObjectExtension->AttachedTo) {
        Report(VerifierRule::DeleteAttached,
               "IoDeleteDevice on a device still attached to the device below");
        return;
    }
    if (DeviceObject->AttachedDevice) {
        Report(VerifierRule::DeleteAttached,
               "IoDeleteDevice on a device with another still attached above");
        return;
    }
    FreeDeviceObject(DeviceObject);
}

} // extern "C"

namespace standin
{

void FreeDeviceObject(PDEVICE_OBJECT device)
{
    PDRIVER_OBJECT driver = device->DriverObject;
    for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link; link = &(*link)->NextDevice) {
        if (*link == device) {
            *link = device->NextDevice;
            break;
        }
    }
    {
        std::lock_guard<std::mutex> guard(Kernel().lock);
        auto& devices = Kernel().devices;
        for (auto it = devices.begin(); it != devices.end(); ++it) {
            if (*it == device) {
                devices.erase(it);
                break;
            }
        }
    }
    std::free(reinterpret_cast<DeviceBlock*>(device));
}

} // namespace standin
