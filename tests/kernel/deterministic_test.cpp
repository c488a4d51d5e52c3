// Deterministic scheduling: the port's completions wait in a queue until they are run, on the
// calling thread at DISPATCH_LEVEL; a thread that would block runs them instead, and a wait
// that nothing left can end times out on the virtual clock or is reported.
#include "test_filter.h"

#include <verifier_rules.h>

#include <chrono>
#include <functional>
#include <string>

using namespace standin;
using tf::config;

namespace
{

constexpr std::chrono::seconds kBound{2}; // how long TimedForward waits for the port

// Forwards and waits at most kBound; a request still at the port then is cancelled, and
// comes back before the routine goes on.
NTSTATUS NTAPI TimedForward(PDEVICE_OBJECT device, PIRP irp)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, tf::WaitRoutine, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(tf::Lower(device), irp) == STATUS_PENDING) {
        LARGE_INTEGER bound;
        bound.QuadPart =
            -std::chrono::duration_cast<std::chrono::microseconds>(kBound).count() * 10;
        if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &bound) == STATUS_TIMEOUT) {
            IoCancelIrp(irp);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        }
    }
    const NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

std::string Text(const RequestResult& r)
{
    return std::string(r.Data.begin(), r.Data.begin() + static_cast<long>(r.Information));
}

class DeterministicTest : public tf::FilterTest
{
  protected:
    DeterministicTest() : tf::FilterTest(Scheduling::Deterministic) {}
    void SetUp() override
    {
        tf::FilterTest::SetUp();
        Add();
    }
    void TearDown() override { tf::TearDownFilter(h); }
};

TEST_F(DeterministicTest, CompletionWaitsItsTurnThenRunsAtDispatchOnThisThread)
{
    config.mode = tf::Mode::CopyWithRoutine;
    h.Port().QueueRead(ReadOutcome::Data("abc", Completion::Async));
    PendingRequest read = h.ReadAsync(8);
    EXPECT_FALSE(read.Done());
    EXPECT_EQ(h.Port().QueuedCount(), 1u);
    EXPECT_EQ(tf::routineCalls, 0);

    EXPECT_TRUE(h.Port().RunQueued());
    EXPECT_EQ(tf::routineCalls, 1);
    EXPECT_EQ(tf::seenIrql, DISPATCH_LEVEL);
    EXPECT_EQ(tf::seenThread, std::this_thread::get_id());
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(read.Done());
    EXPECT_EQ(Text(read.Wait()), "abc");
    EXPECT_FALSE(h.Port().RunQueued());
    EXPECT_TRUE(recorder.findings.empty()) << recorder.All();
}

TEST_F(DeterministicTest, QueuedCompletionsRunInTheOrderChosen)
{
    h.Port().QueueRead(ReadOutcome::Data("first", Completion::Async));
    h.Port().QueueRead(ReadOutcome::Data("second", Completion::Async));
    PendingRequest first = h.ReadAsync(8);
    PendingRequest second = h.ReadAsync(8);
    ASSERT_EQ(h.Port().QueuedCount(), 2u);
    EXPECT_TRUE(h.Port().RunQueued(1));
    EXPECT_FALSE(first.Done());
    EXPECT_TRUE(second.Done());
    EXPECT_EQ(Text(second.Wait()), "second");
    EXPECT_EQ(Text(first.Wait()), "first"); // waiting runs what is left
    EXPECT_TRUE(recorder.findings.empty()) << recorder.All();
}

// What a blocked thread comes to, with the port's way of finishing the read it waits on.
struct BlockedCase {
    const char* name;
    PDRIVER_DISPATCH dispatch; // null: the request is skipped down
    tf::Mode mode;
    Completion when;
    bool portLetsGo; // the hook that runs while a thread waits releases held requests
    NTSTATUS status;
    const char* rule; // the finding expected, if any
    std::chrono::microseconds moved;
};

const BlockedCase kBlocked[] = {
    {"RequestFromTheQueue",
     nullptr,
     tf::Mode::Skip,
     Completion::Async,
     false,
     STATUS_SUCCESS,
     nullptr,
     {}},
    {"RequestThePortHolds", nullptr, tf::Mode::Skip, Completion::Held, false, STATUS_PENDING,
     "request-never-completed", std::chrono::seconds(5)},
    {"RequestThePortLetsGo",
     nullptr,
     tf::Mode::Skip,
     Completion::Held,
     true,
     STATUS_SUCCESS,
     nullptr,
     {}},
    {"UntimedWaitOnAHeldRequest",
     nullptr,
     tf::Mode::ForwardAndWait,
     Completion::Held,
     false,
     STATUS_SUCCESS,
     "endless-wait",
     {}},
    {"TimedWaitOnAQueuedCompletion",
     TimedForward,
     tf::Mode::Skip,
     Completion::Async,
     false,
     STATUS_SUCCESS,
     nullptr,
     {}},
    {"TimedWaitOnAHeldRequest", TimedForward, tf::Mode::Skip, Completion::Held, false,
     STATUS_CANCELLED, nullptr, kBound},
    {"TimedWaitThePortEnds",
     TimedForward,
     tf::Mode::Skip,
     Completion::Held,
     true,
     STATUS_SUCCESS,
     nullptr,
     {}},
};

class BlockedTest : public DeterministicTest, public ::testing::WithParamInterface<BlockedCase>
{
};

TEST_P(BlockedTest, RunsWhatIsDueThenTimesOutOrReports)
{
    const BlockedCase& c = GetParam();
    config.dispatch = c.dispatch;
    config.mode = c.mode;
    h.SetCompletionDeadline(std::chrono::seconds(5));
    if (c.portLetsGo) {
        h.SetWhileWaiting([this](bool) {
            const bool any = h.Port().HeldCount() != 0;
            h.Port().ReleaseHeld();
            return any;
        });
    }
    h.Port().QueueRead(ReadOutcome::Data("abc", c.when));

    const RequestResult r = h.Read(8);
    EXPECT_EQ(r.Status, c.status);
    EXPECT_EQ(h.VirtualTime(), c.moved);
    if (c.rule) {
        EXPECT_TRUE(recorder.Has(c.rule)) << recorder.All();
        EXPECT_EQ(recorder.findings.size(), 1u) << recorder.All();
    } else {
        EXPECT_TRUE(recorder.findings.empty()) << recorder.All();
    }
    config.dispatch = nullptr;
}

INSTANTIATE_TEST_SUITE_P(Waits, BlockedTest, ::testing::ValuesIn(kBlocked), tf::ByName{});

// The caller's cancel reaches a request the port still holds, and nothing else.
struct CancelCase {
    const char* name;
    Completion when;
    bool cancelled;
    NTSTATUS status;
};

class CancelTest : public DeterministicTest, public ::testing::WithParamInterface<CancelCase>
{
};

TEST_P(CancelTest, ReachesOnlyARequestStillHeld)
{
    const CancelCase& c = GetParam();
    h.Port().QueueRead(ReadOutcome::Data("abc", c.when));
    PendingRequest read = h.ReadAsync(8);
    EXPECT_EQ(read.Cancel(), c.cancelled);
    const RequestResult r = read.Wait();
    EXPECT_EQ(r.Status, c.status);
    EXPECT_EQ(read.Cancel(), false); // done with
    EXPECT_TRUE(recorder.findings.empty()) << recorder.All();
}

INSTANTIATE_TEST_SUITE_P(
    Ports, CancelTest,
    ::testing::Values(CancelCase{"Held", Completion::Held, true, STATUS_CANCELLED},
                      CancelCase{"Queued", Completion::Async, false, STATUS_SUCCESS},
                      CancelCase{"Immediate", Completion::Immediate, false, STATUS_SUCCESS}),
    tf::ByName{});

} // namespace
