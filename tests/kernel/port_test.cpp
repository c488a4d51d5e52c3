// The simulated port meets what the filter relies on: reads of the asked length from a script or
// a stream, writes as the receiver gets them, serial control, and requests recorded on arrival.
#include "test_filter.h"

#include <cstring>

using namespace standin;

namespace
{

using FilterTest = tf::FilterTest;

class PortTest : public tf::FilterTest
{
  protected:
    void SetUp() override
    {
        tf::FilterTest::SetUp();
        Add();
    }
    void TearDown() override
    {
        tf::TearDownFilter(h);
        EXPECT_TRUE(recorder.findings.empty()) << recorder.All();
    }
};

TEST_F(PortTest, StreamServesChunksOfAtMostTheAskedLength)
{
    h.Port().SetStream(ToBytes("0123456789"), 4, STATUS_TIMEOUT);
    struct Step {
        ULONG asked;
        const char* got;
        NTSTATUS status;
    } steps[] = {{8, "0123", 0}, {2, "45", 0}, {8, "6789", 0}, {8, "", STATUS_TIMEOUT}};
    for (const Step& s : steps) {
        RequestResult r = h.Read(s.asked);
        EXPECT_EQ(r.Status, s.status);
        EXPECT_EQ(r.Information, std::strlen(s.got));
        EXPECT_EQ(std::string(r.Data.begin(), r.Data.begin() + r.Information), s.got);
    }
    EXPECT_TRUE(h.Port().StreamExhausted());
}

TEST_F(PortTest, ScriptedReadsComeFirstAndAnEmptyScriptTimesOut)
{
    h.Port().QueueRead(ReadOutcome::OverCount(200));
    h.Port().QueueRead(ReadOutcome::Data("abcdef"));
    RequestResult over = h.Send(IRP_MJ_READ, 0, {}, 300); // a caller able to take the count
    EXPECT_EQ(over.Information, 200u);
    RequestResult clipped = h.Read(3);
    EXPECT_EQ(clipped.Information, 3u);
    RequestResult none = h.Read(3);
    EXPECT_EQ(none.Status, STATUS_TIMEOUT);
    EXPECT_EQ(none.Information, 0u);
    auto reads = h.Port().Requests(IRP_MJ_READ);
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_EQ(reads[1].Length, 3u);
}

TEST_F(PortTest, HeldReadsCompleteOnReleaseWhileOthersProceed)
{
    h.Port().QueueRead(ReadOutcome::Data("first", Completion::Held));
    h.Port().QueueRead(ReadOutcome::Data("second"));
    PendingRequest first = h.ReadAsync(16);
    ASSERT_TRUE(h.Port().WaitForHeld(1));
    EXPECT_FALSE(first.Done());
    RequestResult second = h.Read(16);
    EXPECT_EQ(second.Information, 6u);
    h.Port().ReleaseHeld();
    RequestResult r = first.Wait();
    EXPECT_EQ(r.Returned, STATUS_PENDING);
    EXPECT_EQ(std::string(r.Data.begin(), r.Data.begin() + r.Information), "first");
}

// The caller cancels from its own thread, as CancelIo does; the port counts the bytes already
// arrived, and as with any error nothing is copied back.
TEST_F(PortTest, HeldReadCancelledByItsCallerCountsWhatArrived)
{
    h.Port().QueueRead(ReadOutcome::Data("par", Completion::Held));
    PendingRequest read = h.ReadAsync(16);
    ASSERT_TRUE(h.Port().WaitForHeld(1));
    EXPECT_TRUE(read.Cancel());
    RequestResult r = read.Wait();
    EXPECT_EQ(r.Status, STATUS_CANCELLED);
    EXPECT_EQ(r.Information, 3u);
    EXPECT_EQ(h.Port().HeldCount(), 0u);
}

TEST_F(PortTest, WritesReachTheReceiverUnlessScriptedToFail)
{
    h.Port().QueueWriteResult(STATUS_SUCCESS);
    h.Port().QueueWriteResult(STATUS_IO_TIMEOUT);
    h.Port().QueueWriteResult(STATUS_SUCCESS, Completion::Async);
    EXPECT_EQ(h.Write(ToBytes("ab")).Information, 2u);
    RequestResult failed = h.Write(ToBytes("XX"));
    EXPECT_EQ(failed.Status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(failed.Information, 0u);
    EXPECT_EQ(h.Write(ToBytes("cd")).Returned, STATUS_PENDING);
    EXPECT_EQ(h.Port().Received(), ToBytes("abcd"));
    EXPECT_EQ(h.Port().Writes().size(), 2u);
    EXPECT_EQ(h.Port().Requests(IRP_MJ_WRITE)[1].Input, ToBytes("XX"));
}

// Live mode, as a port backed by a real device: scripted outcomes still come first; then the
// source serves each read with what arrived, nothing meaning a time-out; writes go to the sink.
TEST_F(PortTest, LiveSourceServesReadsAndSinkTakesWrites)
{
    std::vector<ULONG> asked;
    std::vector<Bytes> arrivals = {ToBytes("$GP"), {}, ToBytes("GGA")};
    h.Port().SetReadSource([&](ULONG length) {
        asked.push_back(length);
        Bytes next = arrivals.front();
        arrivals.erase(arrivals.begin());
        return next;
    });
    std::vector<Bytes> sunk;
    h.Port().SetWriteSink([&](const Bytes& data) {
        sunk.push_back(data);
        return sunk.size() == 1 ? STATUS_SUCCESS : STATUS_DEVICE_NOT_READY;
    });
    h.Port().QueueRead(ReadOutcome::Data("S"));
    struct Step {
        const char* got;
        NTSTATUS status;
    } steps[] = {{"S", STATUS_SUCCESS},
                 {"$GP", STATUS_SUCCESS},
                 {"", STATUS_TIMEOUT},
                 {"GGA", STATUS_SUCCESS}};
    for (const Step& s : steps) {
        RequestResult r = h.Read(8);
        EXPECT_EQ(r.Status, s.status) << s.got;
        ASSERT_EQ(r.Information, std::strlen(s.got));
        EXPECT_EQ(0, std::memcmp(r.Data.data(), s.got, r.Information));
    }
    EXPECT_EQ(asked, (std::vector<ULONG>{8, 8, 8}));

    h.Port().QueueWriteResult(STATUS_IO_TIMEOUT); // a scripted result is not the device's
    EXPECT_EQ(h.Write(ToBytes("XX")).Status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(h.Write(ToBytes("ab")).Information, 2u);
    RequestResult failed = h.Write(ToBytes("cd"));
    EXPECT_EQ(failed.Status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(failed.Information, 0u);
    EXPECT_EQ(sunk, (std::vector<Bytes>{ToBytes("ab"), ToBytes("cd")}));
    EXPECT_TRUE(h.Port().Writes().empty()) << "live writes are not kept";
}

struct CommCase {
    const char* name;
    ULONG output;
    bool failure;
    NTSTATUS status;
    ULONG_PTR information;
};

class CommStatusTest : public PortTest, public ::testing::WithParamInterface<CommCase>
{
};

TEST_P(CommStatusTest, ReportsTheScriptedQueueCount)
{
    const CommCase& c = GetParam();
    h.Port().SetAmountInInQueue(37);
    if (c.failure)
        h.Port().QueueCommStatusFailure(STATUS_CANCELLED);
    RequestResult r = h.DeviceControl(IOCTL_SERIAL_GET_COMMSTATUS, {}, c.output);
    EXPECT_EQ(r.Status, c.status);
    EXPECT_EQ(r.Information, c.information);
    if (c.information) {
        SERIAL_STATUS st;
        std::memcpy(&st, r.Data.data(), sizeof st);
        EXPECT_EQ(st.AmountInInQueue, 37u);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, CommStatusTest,
                         ::testing::Values(CommCase{"Whole", 20, false, STATUS_SUCCESS, 20},
                                           CommCase{"Larger", 64, false, STATUS_SUCCESS, 20},
                                           CommCase{"Short", 19, false, STATUS_BUFFER_TOO_SMALL, 0},
                                           CommCase{"Scripted", 20, true, STATUS_CANCELLED, 0}),
                         tf::ByName());

// A buffer a filter lends the port for one read, and the routine that gives the caller's back.
UCHAR lent[16];

NTSTATUS NTAPI GiveBack(PDEVICE_OBJECT, PIRP irp, PVOID callers)
{
    irp->AssociatedIrp.SystemBuffer = callers;
    irp->IoStatus.Information = 0;
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    return irp->IoStatus.Status;
}

NTSTATUS NTAPI ReadIntoLentBuffer(PDEVICE_OBJECT device, PIRP irp)
{
    PVOID callers = irp->AssociatedIrp.SystemBuffer;
    irp->AssociatedIrp.SystemBuffer = lent;
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, GiveBack, callers, TRUE, TRUE, TRUE);
    return IoCallDriver(tf::Lower(device), irp);
}

// A pending read's buffer holds the bytes that have arrived before the read completes.
TEST_F(PortTest, PendingReadBufferFillsAsBytesArrive)
{
    std::memset(lent, 0, sizeof lent);
    tf::config.dispatch = ReadIntoLentBuffer;
    h.Port().QueueRead(ReadOutcome::Data("abc", Completion::Held));
    PendingRequest read = h.ReadAsync(8);
    ASSERT_TRUE(h.Port().WaitForHeld(1));
    EXPECT_EQ(std::string(lent, lent + 4), std::string("abc\0", 4));
    EXPECT_FALSE(read.Done());
    h.Port().ReleaseHeld();
    read.Wait();
    tf::config.dispatch = nullptr;
}

NTSTATUS NTAPI SignalOwn(PDEVICE_OBJECT, PIRP, PVOID event)
{
    KeSetEvent(static_cast<PRKEVENT>(event), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

struct HeldWriteCase {
    const char* name;
    bool cancel;
    NTSTATUS status;
    std::string received;
};

class HeldWriteTest : public PortTest, public ::testing::WithParamInterface<HeldWriteCase>
{
};

// A held write's bytes are read when the port sends them, which is after the write went down;
// a cancelled one sends nothing.
TEST_P(HeldWriteTest, BytesLeaveWhenTheWriteCompletes)
{
    const HeldWriteCase& c = GetParam();
    h.Port().SetWriteCompletion(Completion::Held);
    char outgoing[4] = {'a', 'b', 'c', 'd'};
    PIRP own = IoAllocateIrp(h.Port().Pdo()->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(own);
    next->MajorFunction = IRP_MJ_WRITE;
    next->Parameters.Write.Length = sizeof outgoing;
    own->AssociatedIrp.SystemBuffer = outgoing;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(own, SignalOwn, &done, TRUE, TRUE, TRUE);

    EXPECT_EQ(IoCallDriver(h.Port().Pdo(), own), STATUS_PENDING);
    std::memcpy(outgoing, "WXYZ", sizeof outgoing);
    if (c.cancel)
        EXPECT_TRUE(IoCancelIrp(own));
    else
        h.Port().ReleaseHeld();
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(own->IoStatus.Status, c.status);
    const Bytes received = h.Port().Received();
    EXPECT_EQ(std::string(received.begin(), received.end()), c.received);
    EXPECT_EQ(h.Port().HeldCount(), 0u);
    IoFreeIrp(own);
}

INSTANTIATE_TEST_SUITE_P(Ends, HeldWriteTest,
                         ::testing::Values(HeldWriteCase{"Released", false, STATUS_SUCCESS, "WXYZ"},
                                           HeldWriteCase{"Cancelled", true, STATUS_CANCELLED, ""}),
                         tf::ByName());

TEST_F(PortTest, PnpAndPowerAreRecordedWithTheirArrivingStatus)
{
    h.Port().SetPnpResult(IRP_MN_START_DEVICE, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(h.Start().Status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(h.Pnp(IRP_MN_QUERY_STOP_DEVICE).Status, STATUS_SUCCESS);
    // Codes a port does not handle come back with the status they carried.
    EXPECT_EQ(h.Pnp(IRP_MN_QUERY_CAPABILITIES, STATUS_NOT_SUPPORTED).Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(h.Power(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3).Status, STATUS_SUCCESS);
    auto pnp = h.Port().Requests(IRP_MJ_PNP);
    ASSERT_EQ(pnp.size(), 3u);
    EXPECT_EQ(pnp[0].ArrivedStatus, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(pnp[2].Minor, IRP_MN_QUERY_CAPABILITIES);
    auto power = h.Port().Requests(IRP_MJ_POWER);
    ASSERT_EQ(power.size(), 1u);
    EXPECT_EQ(power[0].PowerType, static_cast<ULONG>(DevicePowerState));
    EXPECT_EQ(power[0].PowerState, static_cast<ULONG>(PowerDeviceD3));
}

} // namespace
