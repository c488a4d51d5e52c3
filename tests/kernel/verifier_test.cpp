// Each verifier rule of the table fires on a deliberately wrong routine, and the same paths
// done right fire none.
#include "test_filter.h"

#include <driver_image.h>
#include <kernel_routines.h>
#include <verifier_rules.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <set>

#if defined(NMEAFILT_IMAGE_PATH)
#include "../common/image_symbols.h"
#include "../common/make_cdecl.h"
#include "../common/rename_section.h"
#endif

using namespace standin;
using tf::config;

namespace
{

using FilterTest = tf::FilterTest;

// ---- Deliberately wrong routines ------------------------------------------------------------

NTSTATUS NTAPI CompleteTwice(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI CompleteWithPending(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_PENDING;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    irp->IoStatus.Status = STATUS_SUCCESS; // let the harness finish the request
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ReturnPendingUnmarked(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_PENDING;
}

NTSTATUS NTAPI MarkAndReturnSuccess(PDEVICE_OBJECT, PIRP irp)
{
    IoMarkIrpPending(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI FreeWhileBelow(PDEVICE_OBJECT device, PIRP irp)
{
    PIRP own = IoAllocateIrp(tf::Lower(device)->StackSize, FALSE);
    static UCHAR bytes[4] = {1, 2, 3, 4};
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(own);
    next->MajorFunction = IRP_MJ_WRITE;
    next->Parameters.Write.Length = sizeof bytes;
    own->AssociatedIrp.SystemBuffer = bytes;
    IoCallDriver(tf::Lower(device), own); // the port holds it
    IoFreeIrp(own);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI WaitInCompletion(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    return irp->IoStatus.Status;
}

NTSTATUS NTAPI ReadWaitingInCompletion(PDEVICE_OBJECT device, PIRP irp)
{
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, WaitInCompletion, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(tf::Lower(device), irp);
}

NTSTATUS NTAPI AddLeavingInitializing(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT device = nullptr;
    IoCreateDevice(driver, sizeof(tf::Ext), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    static_cast<tf::Ext*>(device->DeviceExtension)->lower =
        IoAttachDeviceToDeviceStack(device, pdo);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DeleteWithoutDetach(PDEVICE_OBJECT device, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(tf::Lower(device), irp);
    IoDeleteDevice(device);
    return status;
}

NTSTATUS NTAPI LeakingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    tf::Entry(driver, path);
    ExAllocatePoolWithTag(NonPagedPool, 24, 'kaeL');
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ClaimTooMuch(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length + 1;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

UCHAR scratch[96];
NTSTATUS NTAPI SubstituteWithoutRestoring(PDEVICE_OBJECT device, PIRP irp)
{
    irp->AssociatedIrp.SystemBuffer = scratch;
    IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length = sizeof scratch;
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, tf::Routine, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(tf::Lower(device), irp);
}

NTSTATUS NTAPI ReturnOtherStatus(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI OwnRequestToTop(PDEVICE_OBJECT device, PIRP irp)
{
    PIRP own = IoAllocateIrp(tf::Lower(device)->StackSize, FALSE);
    IoGetNextIrpStackLocation(own)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
    IoCallDriver(tf::Lower(device), own); // no routine takes it back
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RaiseBelowCurrent(PDEVICE_OBJECT, PIRP irp)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KIRQL ignored;
    KeRaiseIrql(old, &ignored); // meant KeLowerIrql(old)
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI LowerAboveCurrent(PDEVICE_OBJECT, PIRP irp)
{
    KeLowerIrql(DISPATCH_LEVEL); // an old IRQL that no KeRaiseIrql gave
    KeLowerIrql(PASSIVE_LEVEL);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI StartNextPowerOnRead(PDEVICE_OBJECT device, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(tf::Lower(device), irp);
}

NTSTATUS NTAPI ReadDownWithPoCallDriver(PDEVICE_OBJECT device, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(tf::Lower(device), irp);
}

NTSTATUS NTAPI ReturnWithoutCompleting(PDEVICE_OBJECT, PIRP)
{
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DropPendingRequest(PDEVICE_OBJECT, PIRP irp)
{
    IoMarkIrpPending(irp);
    return STATUS_PENDING;
}

NTSTATUS NTAPI EntryWithoutAddDevice(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    tf::Entry(driver, path);
    driver->DriverExtension->AddDevice = nullptr;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI EntryWithoutRead(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    tf::Entry(driver, path);
    driver->MajorFunction[IRP_MJ_READ] = nullptr;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI EntryKeepingMapping(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    tf::Entry(driver, path);
    PHYSICAL_ADDRESS at;
    at.QuadPart = 0xF0000;
    MmMapIoSpace(at, 16, MmNonCached);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RestoreBuffer(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    irp->AssociatedIrp.SystemBuffer = context;
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    return irp->IoStatus.Status;
}

NTSTATUS NTAPI ReadDownWithoutBuffer(PDEVICE_OBJECT device, PIRP irp)
{
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    irp->AssociatedIrp.SystemBuffer = nullptr;
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, RestoreBuffer, buffer, TRUE, TRUE, TRUE);
    return IoCallDriver(tf::Lower(device), irp);
}

NTSTATUS CompleteSuccess(PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI FreeTwice(PDEVICE_OBJECT device, PIRP irp)
{
    PIRP own = IoAllocateIrp(tf::Lower(device)->StackSize, FALSE);
    IoFreeIrp(own);
    IoFreeIrp(own);
    return CompleteSuccess(irp);
}

NTSTATUS NTAPI FreeInRoutineAndGoOn(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    IoFreeIrp(irp);
    return STATUS_SUCCESS; // should have been STATUS_MORE_PROCESSING_REQUIRED
}

NTSTATUS NTAPI FreeReclaimed(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends a request of its own down and lets `routine` take it back.
NTSTATUS SendOwnFlush(PDEVICE_OBJECT device, PIRP irp, PIO_COMPLETION_ROUTINE routine)
{
    PIRP own = IoAllocateIrp(tf::Lower(device)->StackSize, FALSE);
    IoGetNextIrpStackLocation(own)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
    IoSetCompletionRoutine(own, routine, nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(tf::Lower(device), own);
    return CompleteSuccess(irp);
}

NTSTATUS NTAPI OwnRequestFreedAndGoneOn(PDEVICE_OBJECT device, PIRP irp)
{
    return SendOwnFlush(device, irp, FreeInRoutineAndGoOn);
}

NTSTATUS NTAPI OwnRequestReclaimed(PDEVICE_OBJECT device, PIRP irp)
{
    return SendOwnFlush(device, irp, FreeReclaimed);
}

alignas(IRP) UCHAR handMade[sizeof(IRP) + 2 * sizeof(IO_STACK_LOCATION)];
NTSTATUS NTAPI SendHandMadeRequest(PDEVICE_OBJECT device, PIRP irp)
{
    IoCallDriver(tf::Lower(device), reinterpret_cast<PIRP>(handMade));
    return CompleteSuccess(irp);
}

NTSTATUS NTAPI SendToNoDevice(PDEVICE_OBJECT device, PIRP irp)
{
    PIRP own = IoAllocateIrp(tf::Lower(device)->StackSize, FALSE);
    IoGetNextIrpStackLocation(own)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
    IoCallDriver(nullptr, own); // a lower device never saved
    IoFreeIrp(own);
    return CompleteSuccess(irp);
}

NTSTATUS NTAPI CompleteFreedRequest(PDEVICE_OBJECT device, PIRP irp)
{
    PIRP own = IoAllocateIrp(tf::Lower(device)->StackSize, FALSE);
    IoFreeIrp(own);
    IoCompleteRequest(own, IO_NO_INCREMENT);
    return CompleteSuccess(irp);
}

// A remove handler: passes the request down, then detaches `detaches` times and deletes.
NTSTATUS RemoveDetaching(PDEVICE_OBJECT device, PIRP irp, int detaches)
{
    PDEVICE_OBJECT lower = tf::Lower(device);
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    for (int i = 0; i < detaches; ++i)
        IoDetachDevice(lower);
    IoDeleteDevice(device);
    return status;
}

NTSTATUS NTAPI RemoveDetachingTwice(PDEVICE_OBJECT device, PIRP irp)
{
    return RemoveDetaching(device, irp, 2);
}

NTSTATUS NTAPI RemoveDetachingOnce(PDEVICE_OBJECT device, PIRP irp)
{
    return RemoveDetaching(device, irp, 1);
}

NTSTATUS NTAPI RaiseThenLower(PDEVICE_OBJECT, PIRP irp)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeLowerIrql(old);
    return CompleteSuccess(irp);
}

NTSTATUS NTAPI PowerPassedDown(PDEVICE_OBJECT device, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(tf::Lower(device), irp);
}

NTSTATUS NTAPI EntryTidyingUp(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    tf::Entry(driver, path);
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 24, 'ydiT');
    PHYSICAL_ADDRESS at;
    at.QuadPart = 0xF0000;
    PVOID view = MmMapIoSpace(at, 16, MmNonCached);
    MmUnmapIoSpace(view, 16);
    ExFreePoolWithTag(block, 'ydiT');
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI AllocateInRoutine(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    // At DISPATCH_LEVEL when the port completes from its worker.
    ExFreePool(ExAllocatePoolWithTag(*static_cast<POOL_TYPE*>(context), 16, 'looP'));
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    return irp->IoStatus.Status;
}

POOL_TYPE pagedPool = PagedPool;
POOL_TYPE nonPagedPool = NonPagedPool;

NTSTATUS ReadAllocating(PDEVICE_OBJECT device, PIRP irp, POOL_TYPE* type)
{
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, AllocateInRoutine, type, TRUE, TRUE, TRUE);
    return IoCallDriver(tf::Lower(device), irp);
}

NTSTATUS NTAPI ReadAllocatingPaged(PDEVICE_OBJECT device, PIRP irp)
{
    return ReadAllocating(device, irp, &pagedPool);
}

NTSTATUS NTAPI ReadAllocatingNonPaged(PDEVICE_OBJECT device, PIRP irp)
{
    return ReadAllocating(device, irp, &nonPagedPool);
}

NTSTATUS NTAPI PowerWithoutStartNext(PDEVICE_OBJECT device, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(tf::Lower(device), irp);
}

NTSTATUS NTAPI PowerThroughIoCallDriver(PDEVICE_OBJECT device, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(tf::Lower(device), irp);
}

NTSTATUS NTAPI AddPageable(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    config.addDevice = nullptr;
    const NTSTATUS status = tf::AddDevice(driver, pdo);
    driver->DeviceObject->Flags |= DO_POWER_PAGABLE;
    return status;
}

NTSTATUS Refuse(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI RefuseWithWarning(PDEVICE_OBJECT, PIRP irp)
{
    return Refuse(irp, STATUS_DEVICE_BUSY);
}

NTSTATUS NTAPI RefuseWithError(PDEVICE_OBJECT, PIRP irp)
{
    return Refuse(irp, STATUS_RETRY);
}

// ---- The table ----------------------------------------------------------------------------

struct Firing {
    VerifierRule rule;
    std::function<void(Harness&)> run;
    bool needsImage = false; // only where the process can run the driver image
    Scheduling scheduling = Scheduling::Threaded;
};

void Reading(Harness& h, PDRIVER_DISPATCH routine)
{
    h.AddDevice();
    config.dispatch = routine;
    h.Read(8);
    config.dispatch = nullptr;
}

void Removing(Harness& h, PDRIVER_DISPATCH routine)
{
    h.AddDevice();
    config.dispatch = routine;
    h.Remove();
    config.dispatch = nullptr;
}

void Powering(Harness& h, PDRIVER_DISPATCH routine)
{
    h.AddDevice();
    config.dispatch = routine;
    h.Power(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3);
    config.dispatch = nullptr;
}

#if defined(NMEAFILT_IMAGE_PATH)
// The shipped image with its code section under another name, through a read that the port
// completes from its worker at DISPATCH_LEVEL.
void RunningRenamedImage(Harness& h, const char* name)
{
    static DriverImage image; // outlives the harness, as Load asks
    std::string error;
    ASSERT_TRUE(image.Load(ImageWithSectionRenamed(NMEAFILT_IMAGE_PATH, ".text", name), &error))
        << error;
    h.Load(image);
    h.AddDevice();
    h.Start();
    h.Open();
    h.Port().QueueRead(ReadOutcome::Data("$GPGSA,A,1,,,,,,,,,,,,,,,*1E\r\n", Completion::Async));
    h.Read(64);
    h.Close();
    h.Remove();
    h.Unload();
}
#endif

// The shipped image with its read completion routine built without NTAPI.
void RunningCdeclImage(Harness& h)
{
#if defined(NMEAFILT_IMAGE_PATH)
    static DriverImage image; // outlives the harness, as Load asks
    std::string error;
    ASSERT_TRUE(image.Load(NMEAFILT_IMAGE_PATH, &error)) << error;
    ASSERT_TRUE(MakeCdecl(image, NMEAFILT_IMAGE_MAP, "FilterReadComplete"));
    h.Load(image);
    h.AddDevice();
    h.Start();
    h.Open();
    h.Port().QueueRead(ReadOutcome::Data("$GPGSA,A,1,,,,,,,,,,,,,,,*1E\r\n"));
    h.Read(64);
    h.Close();
    h.Remove();
    h.Unload();
#else
    (void)h;
#endif
}

const Firing kFirings[] = {
    {VerifierRule::DoubleCompletion, [](Harness& h) { Reading(h, CompleteTwice); }},
    {VerifierRule::CompleteWithPending, [](Harness& h) { Reading(h, CompleteWithPending); }},
    {VerifierRule::PendingNotMarked, [](Harness& h) { Reading(h, ReturnPendingUnmarked); }},
    // The classic: a completion routine that does not pass the pending mark on.
    {VerifierRule::PendingNotMarked,
     [](Harness& h) {
         config.mode = tf::Mode::CopyWithRoutine;
         config.propagatePending = false;
         h.Port().QueueRead(ReadOutcome::Data("abc", Completion::Async));
         h.AddDevice();
         h.Read(8);
     }},
    {VerifierRule::MarkedNotPending, [](Harness& h) { Reading(h, MarkAndReturnSuccess); }},
    // Forward-and-wait whose routine marks pending: the waiter returns a final status.
    {VerifierRule::MarkedNotPending,
     [](Harness& h) {
         config.mode = tf::Mode::ForwardAndWait;
         config.markInWait = true;
         h.Port().SetCloseResult(STATUS_SUCCESS, Completion::Async);
         h.AddDevice();
         h.Close();
     }},
    {VerifierRule::OutOfStackLocations,
     [](Harness& h) {
         config.mode = tf::Mode::CopyNoRoutine;
         h.AddDevice();
         h.FilterDevice()->StackSize = 1; // requests for it leave no location for the port
         h.Read(8);
     }},
    {VerifierRule::FreeInUse,
     [](Harness& h) {
         h.Port().SetWriteCompletion(Completion::Held);
         Reading(h, FreeWhileBelow);
     }},
    {VerifierRule::WaitAtDispatch,
     [](Harness& h) {
         h.Port().QueueRead(ReadOutcome::Data("abc", Completion::Async));
         Reading(h, ReadWaitingInCompletion);
     }},
    {VerifierRule::DeviceInitializing,
     [](Harness& h) {
         config.addDevice = AddLeavingInitializing;
         h.AddDevice();
     }},
    {VerifierRule::DeleteAttached,
     [](Harness& h) {
         h.AddDevice();
         config.dispatch = DeleteWithoutDetach;
         h.Remove();
     }},
    {VerifierRule::PoolAtUnload,
     [](Harness& h) {
         h.Load(LeakingEntry);
         h.Unload();
     }},
    {VerifierRule::DevicesAtUnload,
     [](Harness& h) {
         h.AddDevice();
         h.Unload();
     }},
    {VerifierRule::InformationOverrun, [](Harness& h) { Reading(h, ClaimTooMuch); }},
    {VerifierRule::CallerBufferNotRestored,
     [](Harness& h) {
         h.Port().QueueRead(ReadOutcome::Data("abc"));
         Reading(h, SubstituteWithoutRestoring);
     }},
    {VerifierRule::ReturnedStatusDiffers, [](Harness& h) { Reading(h, ReturnOtherStatus); }},
    {VerifierRule::DriverRequestCompletedToTop, [](Harness& h) { Reading(h, OwnRequestToTop); }},
    {VerifierRule::BadPoolFree, [](Harness&) { ExFreePool(reinterpret_cast<PVOID>(&scratch[0])); }},
    {VerifierRule::BadUnmap,
     [](Harness&) {
         PHYSICAL_ADDRESS at;
         at.QuadPart = 0xFE600;
         PVOID view = MmMapIoSpace(at, 20, MmNonCached);
         MmUnmapIoSpace(view, 16);
         MmUnmapIoSpace(view, 20);
     }},
    {VerifierRule::Assert, [](Harness&) { ASSERT(1 + 1 == 3); }},
    {VerifierRule::Irql, [](Harness& h) { Reading(h, RaiseBelowCurrent); }},
    {VerifierRule::Irql, [](Harness& h) { Reading(h, LowerAboveCurrent); }},
    {VerifierRule::Power, [](Harness& h) { Reading(h, StartNextPowerOnRead); }},
    {VerifierRule::Power, [](Harness& h) { Reading(h, ReadDownWithPoCallDriver); }},
    {VerifierRule::ReturnedBeforeCompletion,
     [](Harness& h) { Reading(h, ReturnWithoutCompleting); }},
    {VerifierRule::RequestNeverCompleted,
     [](Harness& h) {
         h.SetCompletionDeadline(std::chrono::milliseconds(10));
         Reading(h, DropPendingRequest);
     }},
    {VerifierRule::Harness, [](Harness&) { Harness second; }},
    {VerifierRule::NoAddDevice,
     [](Harness& h) {
         h.Load(EntryWithoutAddDevice);
         h.AddDevice();
     }},
    {VerifierRule::NoDispatchRoutine,
     [](Harness& h) {
         h.Load(EntryWithoutRead);
         h.AddDevice();
         h.Read(8);
     }},
    {VerifierRule::MappingAtUnload,
     [](Harness& h) {
         h.Load(EntryKeepingMapping);
         h.Unload();
     }},
    {VerifierRule::PortReadWithoutBuffer,
     [](Harness& h) {
         h.Port().QueueRead(ReadOutcome::Data("abc"));
         Reading(h, ReadDownWithoutBuffer);
     }},
    {VerifierRule::FreeUnknownRequest, [](Harness& h) { Reading(h, FreeTwice); }},
    {VerifierRule::FreeInUse, [](Harness& h) { Reading(h, OwnRequestFreedAndGoneOn); }},
    {VerifierRule::CallUnknownRequest, [](Harness& h) { Reading(h, SendHandMadeRequest); }},
    {VerifierRule::CallNoDevice, [](Harness& h) { Reading(h, SendToNoDevice); }},
    {VerifierRule::CompleteUnknownRequest, [](Harness& h) { Reading(h, CompleteFreedRequest); }},
    {VerifierRule::DetachNothing, [](Harness& h) { Removing(h, RemoveDetachingTwice); }},
    {VerifierRule::CallingConvention, RunningCdeclImage, true},
    {VerifierRule::RoutineIrql,
     [](Harness& h) {
         h.Port().QueueRead(ReadOutcome::Data("abc", Completion::Async));
         Reading(h, ReadAllocatingPaged);
     }},
    {VerifierRule::PowerNotStartedNext, [](Harness& h) { Powering(h, PowerWithoutStartNext); }},
    {VerifierRule::PowerNotPoCallDriver, [](Harness& h) { Powering(h, PowerThroughIoCallDriver); }},
    {VerifierRule::PowerPagableMismatch,
     [](Harness& h) {
         h.Port().SetFlags(DO_BUFFERED_IO);
         config.addDevice = AddPageable;
         h.AddDevice();
     }},
    {VerifierRule::RefusedWithWarning, [](Harness& h) { Reading(h, RefuseWithWarning); }},
    {VerifierRule::EndlessWait,
     [](Harness& h) {
         h.AddDevice();
         config.mode = tf::Mode::ForwardAndWait;
         h.Port().SetCloseResult(STATUS_SUCCESS, Completion::Held);
         h.Close();
     },
     false, Scheduling::Deterministic},
    {VerifierRule::PageableAtDispatch,
     [](Harness& h) {
#if defined(NMEAFILT_IMAGE_PATH)
         RunningRenamedImage(h, "PAGE");
#else
         (void)h;
#endif
     },
     true, Scheduling::Deterministic},
};

class FiringTest : public tf::FilterTest, public ::testing::WithParamInterface<Firing>
{
  protected:
    FiringTest() : tf::FilterTest(GetParam().scheduling) {}
};

TEST_P(FiringTest, RuleFiresOnTheWrongRoutine)
{
    if (GetParam().needsImage && !kRunsDriverImages)
        GTEST_SKIP() << "no driver image runs in this build";
    const char* rule = RuleEntry(GetParam().rule).name;
    GetParam().run(h);
    tf::TearDownFilter(h);
    EXPECT_TRUE(recorder.Has(rule)) << "expected " << rule << ", recorded:\n" << recorder.All();
}

std::string FiringName(const ::testing::TestParamInfo<Firing>& info)
{
    std::string name = std::to_string(info.index) + "_" + RuleEntry(info.param.rule).name;
    for (char& c : name)
        if (c == '-')
            c = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Rules, FiringTest, ::testing::ValuesIn(kFirings), FiringName);

// Every rule in the table has a wrong routine above that makes it fire.
TEST(RuleTable, EveryRuleHasAFiringCase)
{
    std::set<VerifierRule> fired;
    for (const Firing& firing : kFirings)
        fired.insert(firing.rule);
    for (const VerifierRuleEntry& entry : kVerifierRules)
        EXPECT_EQ(fired.count(entry.rule), 1u) << entry.name << " has no firing case";
}

// Images bind their imports by the routine table's names: each routine is exported under its
// own, from its own module.
TEST(RoutineTable, EveryRoutineIsExportedUnderItsName)
{
    for (const KernelRoutineEntry& entry : kKernelRoutines)
        EXPECT_NE(FindKernelExport(entry.module, entry.name), nullptr) << entry.name;
}

// A finding names its rule and nothing else, so no two rules may share a name.
TEST(RuleTable, NamesAreDistinct)
{
    std::set<std::string> names;
    for (const VerifierRuleEntry& entry : kVerifierRules)
        EXPECT_TRUE(names.insert(entry.name).second) << entry.name << " appears twice";
}

// The right way to do what the wrong routines above get wrong.
struct Correct {
    const char* name;
    std::function<void(Harness&)> run;
};

const Correct kCorrect[] = {
    {"RaiseThenLower", [](Harness& h) { Reading(h, RaiseThenLower); }},
    {"OwnRequestReclaimedByItsRoutine", [](Harness& h) { Reading(h, OwnRequestReclaimed); }},
    {"PowerPassedDown",
     [](Harness& h) {
         h.AddDevice();
         config.dispatch = PowerPassedDown;
         h.Power(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0);
         config.dispatch = nullptr;
     }},
    {"PoolAndMappingGivenBack",
     [](Harness& h) {
         h.Load(EntryTidyingUp);
         h.Unload();
     }},
    {"RemoveDetachesOnce", [](Harness& h) { Removing(h, RemoveDetachingOnce); }},
    {"NonPagedPoolAtDispatch",
     [](Harness& h) {
         h.Port().QueueRead(ReadOutcome::Data("abc", Completion::Async));
         Reading(h, ReadAllocatingNonPaged);
     }},
    {"RefusedWithAnError", [](Harness& h) { Reading(h, RefuseWithError); }},
    // The port's own warning, handed up by a filter that skipped its location, is not the
    // filter's refusal.
    {"PortWarnsBelowASkippingFilter",
     [](Harness& h) {
         config.mode = tf::Mode::Skip;
         h.AddDevice();
         h.Port().QueueRead(ReadOutcome::Failure(STATUS_DEVICE_BUSY));
         h.Read(8);
     }},
};

class CorrectTest : public tf::FilterTest, public ::testing::WithParamInterface<Correct>
{
};

TEST_P(CorrectTest, FiresNothing)
{
    GetParam().run(h);
    tf::TearDownFilter(h);
    EXPECT_TRUE(recorder.findings.empty()) << recorder.All();
}

INSTANTIATE_TEST_SUITE_P(Routines, CorrectTest, ::testing::ValuesIn(kCorrect), tf::ByName{});

// The same paths done right fire nothing: the rules do not fire on their own.
TEST_F(FilterTest, CorrectRoutinesFireNothing)
{
    for (tf::Mode mode : {tf::Mode::Skip, tf::Mode::CopyWithRoutine, tf::Mode::CopyNoRoutine,
                          tf::Mode::ForwardAndWait}) {
        config.mode = mode;
        for (Completion when : {Completion::Immediate, Completion::Async}) {
            Harness& hh = h;
            if (!hh.FilterDevice())
                Add();
            hh.Port().QueueRead(ReadOutcome::Data("abcdef", when));
            hh.Port().SetCloseResult(STATUS_SUCCESS, when);
            hh.Read(4);
            hh.Close();
        }
    }
    tf::TearDownFilter(h);
    h.Unload();
    EXPECT_TRUE(recorder.findings.empty()) << recorder.All();
}

struct PagingCase {
    const char* section; // what the code section is renamed to
    const char* routine; // the kind of routine the kernel was in
    const char* symbol;  // and which
};

// On one thread: under qemu-user a fault taken on two threads at once can crash the run.
class PagingTest : public tf::FilterTest, public ::testing::WithParamInterface<PagingCase>
{
  protected:
    PagingTest() : tf::FilterTest(Scheduling::Deterministic) {}
};

// A touch of pageable code at DISPATCH_LEVEL, or of discarded code, is a finding that names
// the section and the routine; the run goes on.
TEST_P(PagingTest, FindingNamesTheSectionAndTheRoutine)
{
#if defined(NMEAFILT_IMAGE_PATH)
    if (!kRunsDriverImages)
        GTEST_SKIP() << "no driver image runs in this build";
    const PagingCase& c = GetParam();
    RunningRenamedImage(h, c.section);
    const unsigned long rva = ImageSymbols(NMEAFILT_IMAGE_MAP).Rva(c.symbol);
    char routine[96];
    std::snprintf(routine, sizeof routine, "the %s at image offset 0x%lX", c.routine, rva);
    std::string found;
    for (const Finding& f : recorder.findings)
        if (f.Rule == RuleEntry(VerifierRule::PageableAtDispatch).name)
            found += f.Message + "\n";
    EXPECT_NE(found.find(std::string("section ") + c.section), std::string::npos) << found;
    EXPECT_NE(found.find(routine), std::string::npos) << routine << " in:\n" << found;
#else
    GTEST_SKIP() << "no driver image in this build";
#endif
}

INSTANTIATE_TEST_SUITE_P(
    Sections, PagingTest,
    ::testing::Values(PagingCase{"PAGE", "completion routine", "FilterReadComplete"},
                      PagingCase{"INIT", "AddDevice routine", "FilterAddDevice"}),
    [](const ::testing::TestParamInfo<PagingCase>& row) { return std::string(row.param.section); });

// Without a handler of its own a test stops at the first finding, with the rule named.
TEST(DefaultHandler, StopsTheProcessWithAClearMessage)
{
    if (sizeof(void*) == 4) {
        GTEST_SKIP() << "the 32-bit build runs under qemu-user, where the re-executed child of a "
                        "thread-safe death test never starts";
    }
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            Harness h;
            config = tf::Config{};
            config.dispatch = CompleteTwice;
            h.Load(tf::Entry);
            h.AddDevice();
            h.Read(1);
        },
        "kernel verifier: double-completion: request .* completed twice");
}

} // namespace
