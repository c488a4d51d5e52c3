// The I/O manager's semantics that drivers depend on: the completion walk and its invoke-on
// flags, pending propagation, buffered copy-back, stack locations and device stacks.
#include "test_filter.h"

#include <chrono>
#include <cstring>
#include <thread>

using namespace standin;
using tf::config;

namespace
{

using FilterTest = tf::FilterTest;

// ---- Completion walk: which outcomes call the routine ----------------------------------------

struct InvokeCase {
    const char* name;
    ReadOutcome outcome;
    BOOLEAN onSuccess, onError, onCancel;
    bool invoked;
};

const InvokeCase kInvokeCases[] = {
    {"SuccessOnSuccess", ReadOutcome::Data("ab"), TRUE, FALSE, FALSE, true},
    {"SuccessOnErrorOnly", ReadOutcome::Data("ab"), FALSE, TRUE, TRUE, false},
    // A time-out is a success code: an error-only routine does not see it.
    {"TimeoutOnErrorOnly", ReadOutcome::Timeout(), FALSE, TRUE, FALSE, false},
    {"TimeoutOnSuccess", ReadOutcome::Timeout(), TRUE, FALSE, FALSE, true},
    {"FailureOnError", ReadOutcome::Failure(STATUS_IO_TIMEOUT), FALSE, TRUE, FALSE, true},
    {"FailureOnSuccessOnly", ReadOutcome::Failure(STATUS_IO_TIMEOUT), TRUE, FALSE, TRUE, false},
    {"CancelOnCancelOnly", ReadOutcome::Cancelled("a"), FALSE, FALSE, TRUE, true},
    {"CancelOnSuccessOnly", ReadOutcome::Cancelled("a"), TRUE, FALSE, FALSE, false},
};

class InvokeTest : public tf::FilterTest, public ::testing::WithParamInterface<InvokeCase>
{
};

TEST_P(InvokeTest, RoutineRunsOnlyForItsOutcomes)
{
    const InvokeCase& c = GetParam();
    config.mode = tf::Mode::CopyWithRoutine;
    config.onSuccess = c.onSuccess;
    config.onError = c.onError;
    config.onCancel = c.onCancel;
    Add();
    h.Port().QueueRead(c.outcome);
    RequestResult r = h.Read(8);
    EXPECT_EQ(tf::routineCalls, c.invoked ? 1 : 0);
    EXPECT_EQ(r.Status, c.outcome.Status);
    if (c.invoked) {
        EXPECT_EQ(tf::seenDevice, h.FilterDevice()); // the routine's own device, not the port's
    }
    tf::TearDownFilter(h);
    EXPECT_TRUE(recorder.findings.empty()) << recorder.All();
}

INSTANTIATE_TEST_SUITE_P(Outcomes, InvokeTest, ::testing::ValuesIn(kInvokeCases), tf::ByName());

// ---- Pending propagation and the context of a completion -------------------------------------

struct PendingCase {
    const char* name;
    tf::Mode mode;
    Completion when;
    NTSTATUS returned;       // what the application's call returned
    BOOLEAN pendingReturned; // seen by the filter's routine
    KIRQL irql;              // the routine's IRQL
};

const PendingCase kPendingCases[] = {
    {"SkipImmediate", tf::Mode::Skip, Completion::Immediate, STATUS_SUCCESS, FALSE, PASSIVE_LEVEL},
    {"SkipAsync", tf::Mode::Skip, Completion::Async, STATUS_PENDING, FALSE, PASSIVE_LEVEL},
    {"CopyNoRoutineAsync", tf::Mode::CopyNoRoutine, Completion::Async, STATUS_PENDING, FALSE,
     PASSIVE_LEVEL},
    {"RoutineImmediate", tf::Mode::CopyWithRoutine, Completion::Immediate, STATUS_SUCCESS, FALSE,
     PASSIVE_LEVEL},
    {"RoutineAsync", tf::Mode::CopyWithRoutine, Completion::Async, STATUS_PENDING, TRUE,
     DISPATCH_LEVEL},
    {"WaitAsync", tf::Mode::ForwardAndWait, Completion::Async, STATUS_SUCCESS, FALSE,
     PASSIVE_LEVEL},
};

class PendingTest : public tf::FilterTest, public ::testing::WithParamInterface<PendingCase>
{
};

TEST_P(PendingTest, MarkTravelsUpAndNoRuleFires)
{
    const PendingCase& c = GetParam();
    config.mode = c.mode;
    Add();
    h.Port().QueueRead(ReadOutcome::Data("abc", c.when));
    RequestResult r = h.Read(8);
    EXPECT_EQ(r.Returned, c.returned);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 3u);
    if (c.mode == tf::Mode::CopyWithRoutine) {
        EXPECT_EQ(tf::seenPendingReturned, c.pendingReturned);
        EXPECT_EQ(tf::seenIrql, c.irql);
    }
    tf::TearDownFilter(h);
    EXPECT_TRUE(recorder.findings.empty()) << recorder.All();
}

INSTANTIATE_TEST_SUITE_P(Paths, PendingTest, ::testing::ValuesIn(kPendingCases), tf::ByName());

// A routine returning STATUS_MORE_PROCESSING_REQUIRED stops the walk: the request reaches the
// application only when the waiting routine completes it again, with the status it set.
NTSTATUS NTAPI WaitThenOverride(PDEVICE_OBJECT device, PIRP irp)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, tf::WaitRoutine, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(tf::Lower(device), irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    irp->IoStatus.Status = STATUS_DEVICE_BUSY;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_DEVICE_BUSY;
}

TEST_F(FilterTest, MoreProcessingStopsTheWalkUntilCompletedAgain)
{
    Add();
    config.dispatch = WaitThenOverride;
    for (Completion when : {Completion::Immediate, Completion::Async}) {
        h.Port().QueueRead(ReadOutcome::Data("abc", when));
        RequestResult r = h.Read(8);
        EXPECT_EQ(r.Status, STATUS_DEVICE_BUSY);
        EXPECT_EQ(r.Information, 0u);
        EXPECT_EQ(r.Data, Bytes(8, 0xCC)); // a warning status: copied back, but 0 bytes
    }
    config.dispatch = nullptr;
    tf::TearDownFilter(h);
    EXPECT_TRUE(recorder.findings.empty()) << recorder.All();
}

// ---- Buffered copy-back ------------------------------------------------------------------------

struct CopyCase {
    const char* name;
    ReadOutcome outcome;
    ULONG asked;
    std::string delivered; // what the caller's memory starts with; the rest keeps its fill
};

const CopyCase kCopyCases[] = {
    {"Success", ReadOutcome::Data("hello"), 8, "hello"},
    {"ExactLength", ReadOutcome::Data("hello"), 5, "hello"},
    {"TimeoutWithBytes",
     [] {
         auto o = ReadOutcome::Data("hi");
         o.Status = STATUS_TIMEOUT;
         return o;
     }(),
     8, "hi"},
    {"WarningWithBytes",
     [] {
         auto o = ReadOutcome::Data("hi");
         o.Status = STATUS_BUFFER_OVERFLOW;
         return o;
     }(),
     8, "hi"},
    {"ErrorWithBytesCopiesNothing", ReadOutcome::Cancelled("partial"), 8, ""},
    {"FailureCopiesNothing",
     [] {
         auto o = ReadOutcome::Data("xy");
         o.Status = STATUS_IO_TIMEOUT;
         return o;
     }(),
     8, ""},
};

class CopyBackTest : public tf::FilterTest, public ::testing::WithParamInterface<CopyCase>
{
};

TEST_P(CopyBackTest, CallerGetsInformationBytesUnlessError)
{
    const CopyCase& c = GetParam();
    Add();
    h.Port().QueueRead(c.outcome);
    RequestResult r = h.Read(c.asked, 0x5A);
    Bytes expected(c.asked, 0x5A);
    std::memcpy(expected.data(), c.delivered.data(), c.delivered.size());
    EXPECT_EQ(r.Data, expected);
    tf::TearDownFilter(h);
}

INSTANTIATE_TEST_SUITE_P(Statuses, CopyBackTest, ::testing::ValuesIn(kCopyCases), tf::ByName());

TEST_F(FilterTest, DeviceControlBufferIsSharedForInputAndOutput)
{
    Add();
    SERIAL_HANDFLOW flow{0x01, 0x40, 10, 20};
    Bytes in(reinterpret_cast<UCHAR*>(&flow), reinterpret_cast<UCHAR*>(&flow) + sizeof flow);
    RequestResult set = h.DeviceControl(IOCTL_SERIAL_SET_HANDFLOW, in, 0);
    EXPECT_EQ(set.Status, STATUS_SUCCESS);
    RequestResult get = h.DeviceControl(IOCTL_SERIAL_GET_HANDFLOW, {}, 24, 0x77);
    EXPECT_EQ(get.Information, sizeof flow);
    EXPECT_TRUE(std::equal(in.begin(), in.end(), get.Data.begin()));
    EXPECT_EQ(get.Data[20], 0x77); // beyond the information count: untouched
    tf::TearDownFilter(h);
}

// ---- Stack locations ---------------------------------------------------------------------------

TEST(StackLocations, CopySkipAndRoutineFlagsFollowTheKit)
{
    PIRP irp = IoAllocateIrp(3, FALSE);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->CurrentLocation, 4);
    // Pretend the top driver is at location 3, as after a call.
    irp->CurrentLocation = 3;
    irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION cur = IoGetCurrentIrpStackLocation(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    EXPECT_EQ(next, cur - 1);
    cur->MajorFunction = IRP_MJ_READ;
    cur->MinorFunction = 7;
    cur->Parameters.Read.Length = 96;
    cur->Control = SL_PENDING_RETURNED | SL_INVOKE_ON_SUCCESS;
    cur->CompletionRoutine = tf::Routine;
    cur->Context = irp;
    next->CompletionRoutine = tf::WaitRoutine;
    IoCopyCurrentIrpStackLocationToNext(irp);
    EXPECT_EQ(next->MajorFunction, IRP_MJ_READ);
    EXPECT_EQ(next->MinorFunction, 7);
    EXPECT_EQ(next->Parameters.Read.Length, 96u);
    EXPECT_EQ(next->Control, 0);
    EXPECT_EQ(next->CompletionRoutine, tf::WaitRoutine); // not copied: the field is the next's

    IoSetCompletionRoutine(irp, tf::Routine, irp, TRUE, FALSE, TRUE);
    EXPECT_EQ(next->Control, SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_CANCEL);
    EXPECT_EQ(next->Context, irp);
    IoSetCompletionRoutine(irp, tf::Routine, nullptr, FALSE, TRUE, FALSE);
    EXPECT_EQ(next->Control, SL_INVOKE_ON_ERROR);

    IoSkipCurrentIrpStackLocation(irp);
    EXPECT_EQ(irp->CurrentLocation, 4);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp), cur); // the next driver gets this location
    IoFreeIrp(irp);
}

// ---- Device stacks -----------------------------------------------------------------------------

TEST_F(FilterTest, AttachStacksOnTheTopAndDetachUndoesIt)
{
    Add();
    PDEVICE_OBJECT pdo = h.Port().Pdo();
    PDEVICE_OBJECT filter = h.FilterDevice();
    EXPECT_EQ(tf::Lower(filter), pdo);
    EXPECT_EQ(filter->StackSize, pdo->StackSize + 1);
    EXPECT_EQ(filter->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_UNKNOWN));
    EXPECT_EQ(filter->DriverObject, h.Driver());

    // A second device attached to the PDO lands on the filter, the top.
    PDEVICE_OBJECT second = nullptr;
    ASSERT_EQ(IoCreateDevice(h.Driver(), 64, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
              STATUS_SUCCESS);
    EXPECT_TRUE(second->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(Bytes(static_cast<UCHAR*>(second->DeviceExtension),
                    static_cast<UCHAR*>(second->DeviceExtension) + 64),
              Bytes(64, 0));
    EXPECT_EQ(IoAttachDeviceToDeviceStack(second, pdo), filter);
    EXPECT_EQ(second->StackSize, filter->StackSize + 1);
    EXPECT_EQ(h.Top(), second);
    IoDetachDevice(filter);
    EXPECT_EQ(h.Top(), filter);
    IoDeleteDevice(second);
    tf::TearDownFilter(h);
    EXPECT_EQ(h.Top(), pdo);
    h.Unload();
    EXPECT_TRUE(recorder.findings.empty()) << recorder.All();
}

TEST_F(FilterTest, CreateAndAttachFailuresAreScripted)
{
    h.FailCreateDevice(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(h.AddDevice(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(h.Driver()->DeviceObject, nullptr);
    h.FailAttach();
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(h.Driver(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(device, h.Port().Pdo()), nullptr);
    IoDeleteDevice(device);
    EXPECT_TRUE(recorder.findings.empty()) << recorder.All();
}

} // namespace

// The waiter may complete the request again before the signalling routine has returned
// STATUS_MORE_PROCESSING_REQUIRED on the port's thread: the documented forward-and-wait pattern,
// not a double completion. The routine lingers after signalling to open that window every time.
NTSTATUS NTAPI SignalThenLinger(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    (void)device;
    (void)irp;
    KeSetEvent(static_cast<PRKEVENT>(context), IO_NO_INCREMENT, FALSE);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI WaitThenCompleteAtOnce(PDEVICE_OBJECT device, PIRP irp)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalThenLinger, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(tf::Lower(device), irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

TEST_F(FilterTest, WaiterMayCompleteBeforeTheSignallingRoutineReturns)
{
    Add();
    config.dispatch = WaitThenCompleteAtOnce;
    for (Completion when : {Completion::Immediate, Completion::Async}) {
        h.Port().QueueRead(ReadOutcome::Data("abc", when));
        RequestResult r = h.Read(8);
        EXPECT_EQ(r.Status, STATUS_SUCCESS);
        EXPECT_EQ(r.Information, 3u);
    }
    config.dispatch = nullptr;
    tf::TearDownFilter(h);
    EXPECT_TRUE(recorder.findings.empty()) << recorder.All();
}
