// Each verifier rule fires on a deliberately wrong routine, and a clean run fires none.
#include "test_filter.h"

#include <functional>

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

// ---- The table ----------------------------------------------------------------------------

struct Firing {
    const char* rule;
    std::function<void(Harness&)> run;
};

void Reading(Harness& h, PDRIVER_DISPATCH routine)
{
    h.AddDevice();
    config.dispatch = routine;
    h.Read(8);
    config.dispatch = nullptr;
}

const Firing kFirings[] = {
    {"double-completion", [](Harness& h) { Reading(h, CompleteTwice); }},
    {"complete-with-pending", [](Harness& h) { Reading(h, CompleteWithPending); }},
    {"pending-not-marked", [](Harness& h) { Reading(h, ReturnPendingUnmarked); }},
    // The classic: a completion routine that does not pass the pending mark on.
    {"pending-not-marked",
     [](Harness& h) {
         config.mode = tf::Mode::CopyWithRoutine;
         config.propagatePending = false;
         h.Port().QueueRead(ReadOutcome::Data("abc", Completion::Async));
         h.AddDevice();
         h.Read(8);
     }},
    {"marked-not-pending", [](Harness& h) { Reading(h, MarkAndReturnSuccess); }},
    // Forward-and-wait whose routine marks pending: the waiter returns a final status.
    {"marked-not-pending",
     [](Harness& h) {
         config.mode = tf::Mode::ForwardAndWait;
         config.markInWait = true;
         h.Port().SetCloseResult(STATUS_SUCCESS, Completion::Async);
         h.AddDevice();
         h.Close();
     }},
    {"out-of-stack-locations",
     [](Harness& h) {
         config.mode = tf::Mode::CopyNoRoutine;
         h.AddDevice();
         h.FilterDevice()->StackSize = 1; // requests for it leave no location for the port
         h.Read(8);
     }},
    {"free-in-use",
     [](Harness& h) {
         h.Port().SetWriteCompletion(Completion::Held);
         Reading(h, FreeWhileBelow);
     }},
    {"wait-at-dispatch",
     [](Harness& h) {
         h.Port().QueueRead(ReadOutcome::Data("abc", Completion::Async));
         Reading(h, ReadWaitingInCompletion);
     }},
    {"device-initializing",
     [](Harness& h) {
         config.addDevice = AddLeavingInitializing;
         h.AddDevice();
     }},
    {"delete-attached",
     [](Harness& h) {
         h.AddDevice();
         config.dispatch = DeleteWithoutDetach;
         h.Remove();
     }},
    {"pool-at-unload",
     [](Harness& h) {
         h.Load(LeakingEntry);
         h.Unload();
     }},
    {"devices-at-unload",
     [](Harness& h) {
         h.AddDevice();
         h.Unload();
     }},
    {"information-overrun", [](Harness& h) { Reading(h, ClaimTooMuch); }},
    {"caller-buffer-not-restored",
     [](Harness& h) {
         h.Port().QueueRead(ReadOutcome::Data("abc"));
         Reading(h, SubstituteWithoutRestoring);
     }},
    {"returned-status-differs", [](Harness& h) { Reading(h, ReturnOtherStatus); }},
    {"driver-request-completed-to-top", [](Harness& h) { Reading(h, OwnRequestToTop); }},
    {"bad-pool-free", [](Harness&) { ExFreePool(reinterpret_cast<PVOID>(&scratch[0])); }},
    {"bad-unmap",
     [](Harness&) {
         PHYSICAL_ADDRESS at;
         at.QuadPart = 0xFE600;
         PVOID view = MmMapIoSpace(at, 20, MmNonCached);
         MmUnmapIoSpace(view, 16);
         MmUnmapIoSpace(view, 20);
     }},
    {"assert", [](Harness&) { ASSERT(1 + 1 == 3); }},
};

class FiringTest : public tf::FilterTest, public ::testing::WithParamInterface<Firing>
{
};

TEST_P(FiringTest, RuleFiresOnTheWrongRoutine)
{
    GetParam().run(h);
    tf::TearDownFilter(h);
    EXPECT_TRUE(recorder.Has(GetParam().rule)) << "expected " << GetParam().rule << ", recorded:\n"
                                               << recorder.All();
}

std::string FiringName(const ::testing::TestParamInfo<Firing>& info)
{
    std::string name = std::to_string(info.index) + "_" + info.param.rule;
    for (char& c : name)
        if (c == '-')
            c = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Rules, FiringTest, ::testing::ValuesIn(kFirings), FiringName);

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
