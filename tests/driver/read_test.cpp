// The read path: commands before the read, the output queue, the substituted port read and
// every way it can come back, and the one-read-at-a-time guard.
#include "driver_fixture.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>
#include "../common/param_name.h"

namespace
{

using standin::Bytes;
using standin::Completion;
using standin::ReadOutcome;
using standin::RequestResult;

// A finished sentence with its checksum worked out here, independently of the engine.
std::string Sentence(const std::string& body)
{
    UCHAR sum = 0;
    for (char c : body) {
        sum ^= UCHAR(c);
    }
    char tail[8];
    std::snprintf(tail, sizeof(tail), "*%02X\r\n", sum);
    return "$" + body + tail;
}

// Sentences the engine queues byte for byte.
const std::string kGsa = Sentence("GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1");
const std::string kGsv =
    Sentence("GPGSV,2,1,08,01,40,083,46,02,17,308,41,12,07,344,39,14,22,228,45");
const std::string kGsv2 = Sentence("GPGSV,2,2,08,15,10,100,30,16,20,200,31");

std::string Text(const Bytes& bytes, size_t count)
{
    return std::string(bytes.begin(), bytes.begin() + count);
}

std::string Command(const UCHAR* command)
{
    return std::string(command, command + RATE_COMMAND_LENGTH);
}

class ReadTest : public DriverTest
{
  protected:
    void SetUp() override
    {
        Bring();
        ASSERT_EQ(h.Open().Status, STATUS_SUCCESS);
        h.Port().ClearRequests();
    }

    size_t PortReads() { return h.Port().Requests(IRP_MJ_READ).size(); }
};

TEST_F(ReadTest, CommandsAreTheReceiversRateSentences)
{
    EXPECT_EQ(Command(drv.RmcRateCommand), "$PQXN,GPint,GGA01,GSA01,GSV01,VTG01,RMC01,W*46\r\n");
    EXPECT_EQ(Command(drv.ErrRateCommand), "$PQXN,GPint,GGA01,GSA01,GSV01,VTG01,err01,W*7F\r\n");
    EXPECT_EQ(Command(drv.RmcRateCommand), Sentence("PQXN,GPint,GGA01,GSA01,GSV01,VTG01,RMC01,W"));
    EXPECT_EQ(Command(drv.ErrRateCommand), Sentence("PQXN,GPint,GGA01,GSA01,GSV01,VTG01,err01,W"));
}

struct CommandCase {
    bool Rmc;
    bool Err;
    const UCHAR* TestedDriver::*Expected;
    Completion WriteCompletes;
};

class CommandTest : public ReadTest, public ::testing::WithParamInterface<CommandCase>
{
};

// At most one command per read, written and finished before the read goes down.
TEST_P(CommandTest, WrittenBeforeTheRead)
{
    const CommandCase& c = GetParam();
    Ext()->SendRmcRateCommand = c.Rmc;
    Ext()->SendErrRateCommand = c.Err;
    h.Port().SetWriteCompletion(c.WriteCompletes);
    h.Port().QueueRead(ReadOutcome::Data(kGsa));

    const RequestResult r = h.Read(200);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(Text(r.Data, r.Information), kGsa);

    const std::vector<Bytes> writes = h.Port().Writes();
    ASSERT_EQ(writes.size(), 1u);
    const UCHAR* expected = drv.*c.Expected;
    EXPECT_EQ(writes[0], Bytes(expected, expected + RATE_COMMAND_LENGTH));
    const std::vector<standin::PortRequest> seen = h.Port().Requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].Major, IRP_MJ_WRITE);
    EXPECT_EQ(seen[0].Length, RATE_COMMAND_LENGTH);
    EXPECT_EQ(seen[1].Major, IRP_MJ_READ);
    EXPECT_FALSE(Ext()->SendRmcRateCommand);
    EXPECT_FALSE(Ext()->SendErrRateCommand);
    EXPECT_EQ(Ext()->Counters.CommandsWritten, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, CommandTest,
    ::testing::Values(
        CommandCase{true, false, &TestedDriver::RmcRateCommand, Completion::Immediate},
        CommandCase{false, true, &TestedDriver::ErrRateCommand, Completion::Immediate},
        CommandCase{true, true, &TestedDriver::ErrRateCommand, Completion::Immediate},
        CommandCase{true, false, &TestedDriver::RmcRateCommand, Completion::Async},
        CommandCase{true, true, &TestedDriver::ErrRateCommand, Completion::Async}),
    ParamRowName());

TEST_F(ReadTest, NoCommandWithoutAFlag)
{
    h.Port().QueueRead(ReadOutcome::Data(kGsa));
    EXPECT_EQ(h.Read(200).Information, kGsa.size());
    EXPECT_TRUE(h.Port().Writes().empty());
    EXPECT_TRUE(h.Port().Requests(IRP_MJ_WRITE).empty());
}

class FailedCommandTest : public ReadTest, public ::testing::WithParamInterface<Completion>
{
};

// A failed write is forgotten: flags cleared, the read goes on as if nothing was pending.
TEST_P(FailedCommandTest, WriteFailureIsIgnored)
{
    Ext()->SendErrRateCommand = TRUE;
    h.Port().QueueWriteResult(STATUS_UNSUCCESSFUL, GetParam());
    h.Port().QueueRead(ReadOutcome::Data(kGsa));

    const RequestResult r = h.Read(200);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(Text(r.Data, r.Information), kGsa);
    EXPECT_EQ(h.Port().Requests(IRP_MJ_WRITE).size(), 1u);
    EXPECT_TRUE(h.Port().Received().empty());
    EXPECT_FALSE(Ext()->SendErrRateCommand);
}

INSTANTIATE_TEST_SUITE_P(WriteCompletes, FailedCommandTest,
                         ::testing::Values(Completion::Immediate, Completion::Async),
                         ParamRowName());

struct HeldWriteCase {
    const char* What;
    int ReleaseAfterMs; // below zero: the port never lets the write go
    bool Sent;
};

class HeldCommandTest : public ReadTest, public ::testing::WithParamInterface<HeldWriteCase>
{
};

// A port may hold a write for ever (transmission stopped by XOFF, a break, no write
// time-outs). The read that carries the command goes on all the same, as after a failed write;
// a port that lets the write go after a while sees no difference.
TEST_P(HeldCommandTest, ReadGoesOnWhateverThePortDoesWithTheWrite)
{
    const HeldWriteCase& c = GetParam();
    Ext()->SendRmcRateCommand = TRUE;
    h.Port().QueueWriteResult(STATUS_SUCCESS, Completion::Held);
    h.Port().QueueRead(ReadOutcome::Data(kGsa));

    standin::PendingRequest read = h.ReadAsync(200);
    ASSERT_TRUE(h.Port().WaitForHeld(1));
    if (c.ReleaseAfterMs >= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(c.ReleaseAfterMs));
        h.Port().ReleaseHeld();
    }
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!read.Done() && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!read.Done()) {
        ADD_FAILURE() << c.What << ": the read still waits for the command write";
        h.Port().ReleaseHeld();
    }
    const RequestResult r = read.Wait();
    EXPECT_EQ(Text(r.Data, r.Information), kGsa) << c.What;
    EXPECT_EQ(h.Port().Requests(IRP_MJ_WRITE).size(), 1u);
    EXPECT_EQ(h.Port().Received().empty(), !c.Sent) << c.What;
    EXPECT_EQ(h.Port().HeldCount(), 0u);
    EXPECT_FALSE(Ext()->SendRmcRateCommand);
}

INSTANTIATE_TEST_SUITE_P(Ports, HeldCommandTest,
                         ::testing::Values(HeldWriteCase{"let go at once", 0, true},
                                           HeldWriteCase{"let go after a second", 1000, true},
                                           HeldWriteCase{"held for ever", -1, false}),
                         ParamRowName());

TEST_F(ReadTest, UnallocatableCommandIsDropped)
{
    Ext()->SendRmcRateCommand = TRUE;
    h.FailIrpAllocations(1);
    h.Port().QueueRead(ReadOutcome::Data(kGsa));

    const RequestResult r = h.Read(200);
    EXPECT_EQ(Text(r.Data, r.Information), kGsa);
    EXPECT_TRUE(h.Port().Requests(IRP_MJ_WRITE).empty());
    EXPECT_FALSE(Ext()->SendRmcRateCommand);
    EXPECT_EQ(Ext()->Counters.CommandsWritten, 0u);
}

// Queued output satisfies reads at once, in pieces of the length asked, without the port.
TEST_F(ReadTest, QueueServesReadsWithoutThePort)
{
    const std::string both = kGsa + kGsv2; // one port read's worth
    ASSERT_LE(both.size(), 96u);
    h.Port().QueueRead(ReadOutcome::Data(both));
    RequestResult r = h.Read(10);
    EXPECT_EQ(Text(r.Data, r.Information), both.substr(0, 10));
    EXPECT_EQ(PortReads(), 1u);

    r = h.Read(20);
    EXPECT_EQ(Text(r.Data, r.Information), both.substr(10, 20));
    r = h.Read(4096);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(Text(r.Data, r.Information), both.substr(30));
    EXPECT_EQ(PortReads(), 1u);

    // Empty again: the next read goes down.
    h.Port().QueueRead(ReadOutcome::Data(kGsv));
    r = h.Read(4096);
    EXPECT_EQ(Text(r.Data, r.Information), kGsv);
    EXPECT_EQ(PortReads(), 2u);
}

TEST_F(ReadTest, PendingCommandGoesOutEvenWhenServedFromTheQueue)
{
    Fill(Ext()->OutputBuffer, kGsa);
    Ext()->SendRmcRateCommand = TRUE;
    const RequestResult r = h.Read(4096);
    EXPECT_EQ(Text(r.Data, r.Information), kGsa);
    EXPECT_EQ(PortReads(), 0u);
    ASSERT_EQ(h.Port().Writes().size(), 1u);
    EXPECT_EQ(h.Port().Writes()[0],
              Bytes(drv.RmcRateCommand, drv.RmcRateCommand + RATE_COMMAND_LENGTH));
}

// The port is always asked for 96 bytes into the device's buffer; the caller gets its own
// buffer back with only the delivered bytes written.
TEST_F(ReadTest, PortSeesTheDevicesBufferAndLength)
{
    h.Port().QueueRead(ReadOutcome::Data(kGsa));
    const RequestResult r = h.Read(5, 0x5A);
    ASSERT_EQ(r.Data.size(), 5u);
    EXPECT_EQ(Text(r.Data, 5), kGsa.substr(0, 5));
    const std::vector<standin::PortRequest> reads = h.Port().Requests(IRP_MJ_READ);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].Length, 96u);
    EXPECT_EQ(Ext()->ReadBuffer.Length, kGsa.size());

    const RequestResult big = h.Read(300, 0x5A);
    ASSERT_EQ(big.Data.size(), 300u);
    EXPECT_EQ(Text(big.Data, big.Information), kGsa.substr(5));
    for (size_t i = big.Information; i < big.Data.size(); ++i) {
        ASSERT_EQ(big.Data[i], 0x5A) << i;
    }
}

// A sentence cut anywhere by the port is completed by a later read.
TEST_F(ReadTest, SentenceSplitAcrossPortReads)
{
    const std::string stream = kGsa + kGsv;
    const size_t cut = kGsa.size() + 17;
    h.Port().QueueRead(ReadOutcome::Data(stream.substr(0, cut)));
    h.Port().QueueRead(ReadOutcome::Data(stream.substr(cut)));

    RequestResult r = h.Read(4096);
    EXPECT_EQ(Text(r.Data, r.Information), kGsa);
    EXPECT_EQ(Ext()->LineBuffer.Length, 17u);
    r = h.Read(4096);
    EXPECT_EQ(Text(r.Data, r.Information), kGsv);
}

// Bytes that complete nothing: the port's status with nothing delivered.
TEST_F(ReadTest, NothingCompletedGivesNothing)
{
    h.Port().QueueRead(ReadOutcome::Data(kGsa.substr(0, 30)));
    const RequestResult r = h.Read(64);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 0u);
    EXPECT_EQ(Ext()->LineBuffer.Length, 30u);
}

struct NoDataCase {
    const char* What;
    ReadOutcome Outcome;
    NTSTATUS Expected;
};

class NoDataTest : public ReadTest, public ::testing::WithParamInterface<NoDataCase>
{
};

// Reads that bring nothing usable: the caller gets the port's status and 0 bytes, and what
// is queued or half-assembled is left alone.
TEST_P(NoDataTest, CallerGetsThePortsStatusAndNoBytes)
{
    const NoDataCase& c = GetParam();
    Fill(Ext()->LineBuffer, "$GPGSA,A");
    h.Port().QueueRead(c.Outcome);

    const RequestResult r = h.Read(64);
    EXPECT_EQ(r.Status, c.Expected) << c.What;
    EXPECT_EQ(r.Information, 0u);
    EXPECT_EQ(Ext()->LineBuffer.Length, 8u);
    EXPECT_EQ(Ext()->OutputBuffer.Length, 0u);
    EXPECT_LE(Ext()->ReadBuffer.Length, Ext()->ReadBuffer.Capacity);

    // The guard was released: the next read goes down normally.
    h.Port().QueueRead(ReadOutcome::Data(kGsv.substr(8)));
    h.Port().ClearRequests();
    Fill(Ext()->LineBuffer, kGsv.substr(0, 8));
    const RequestResult next = h.Read(4096);
    EXPECT_EQ(Text(next.Data, next.Information), kGsv);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, NoDataTest,
    ::testing::Values(
        NoDataCase{"time-out", ReadOutcome::Timeout(), STATUS_TIMEOUT},
        NoDataCase{"time-out later", ReadOutcome::Timeout(Completion::Async), STATUS_TIMEOUT},
        NoDataCase{"failure", ReadOutcome::Failure(STATUS_IO_TIMEOUT), STATUS_IO_TIMEOUT},
        NoDataCase{"count just above", ReadOutcome::OverCount(97), STATUS_SUCCESS},
        NoDataCase{"count far above", ReadOutcome::OverCount(5000, Completion::Async),
                   STATUS_SUCCESS},
        // Low 32 bits of 10 where the count is wider; the widest count where it is not.
        NoDataCase{"count above 32 bits",
                   ReadOutcome::OverCount(sizeof(ULONG_PTR) > 4 ? ULONG_PTR(ULONG64(1) << 40 | 10)
                                                                : ULONG_PTR(0xFFFFFFFFu)),
                   STATUS_SUCCESS}),
    ParamRowName());

// An error status still reports the bytes received before it; they are assembled, but what
// they complete waits for the next read, since nothing is copied back on an error.
TEST_F(ReadTest, CancelledReadKeepsItsSentencesForTheNextRead)
{
    h.Port().QueueRead(ReadOutcome::Cancelled(kGsa));
    RequestResult r = h.Read(4096);
    EXPECT_EQ(r.Status, STATUS_CANCELLED);
    EXPECT_EQ(r.Information, 0u);
    EXPECT_EQ(Ext()->OutputBuffer.Length, kGsa.size());

    r = h.Read(4096);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(Text(r.Data, r.Information), kGsa);
    EXPECT_EQ(PortReads(), 1u);
}

class ZeroLengthTest : public ReadTest, public ::testing::WithParamInterface<bool>
{
};

TEST_P(ZeroLengthTest, QueuedOutputStaysQueued)
{
    const bool withoutBuffer = GetParam();
    Fill(Ext()->OutputBuffer, kGsa);
    const RequestResult r = withoutBuffer ? h.ReadWithoutBuffer() : h.Read(0);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 0u);
    EXPECT_EQ(PortReads(), 0u);
    EXPECT_EQ(Ext()->OutputBuffer.Length, kGsa.size());
}

// With nothing queued the port is still read; what that completes waits for later reads.
TEST_P(ZeroLengthTest, EmptyQueueStillReadsThePort)
{
    const bool withoutBuffer = GetParam();
    h.Port().QueueRead(ReadOutcome::Data(kGsa));
    RequestResult r = withoutBuffer ? h.ReadWithoutBuffer() : h.Read(0);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 0u);
    ASSERT_EQ(PortReads(), 1u);
    EXPECT_EQ(h.Port().Requests(IRP_MJ_READ)[0].Length, 96u);

    r = h.Read(4096);
    EXPECT_EQ(Text(r.Data, r.Information), kGsa);
    EXPECT_EQ(PortReads(), 1u);
}

INSTANTIATE_TEST_SUITE_P(SystemBuffer, ZeroLengthTest, ::testing::Values(false, true));

// One read per device at a time: a second is refused without disturbing the first.
TEST_F(ReadTest, SecondReadWhileOneIsAtThePortIsRefused)
{
    h.Port().QueueRead(ReadOutcome::Data(kGsa, Completion::Held));
    standin::PendingRequest first = h.ReadAsync(4096);
    ASSERT_TRUE(h.Port().WaitForHeld(1));

    Ext()->SendRmcRateCommand = TRUE; // raised meanwhile; the refused read must not take it
    for (int attempt = 0; attempt < 2; ++attempt) {
        const RequestResult second = h.Read(7, 0x11);
        EXPECT_EQ(second.Status, STATUS_RETRY);
        EXPECT_EQ(second.Information, 0u);
        // ReadFile fails on either kind of handle, and no completion follows that could reach
        // an OVERLAPPED the program freed on that failure.
        for (standin::HandleKind kind :
             {standin::HandleKind::Synchronous, standin::HandleKind::Overlapped}) {
            const standin::ApplicationView seen =
                standin::WhatApplicationSees(standin::Win32Call::ReadFile, kind, second);
            EXPECT_FALSE(seen.Returned);
            EXPECT_EQ(seen.LastError, ULONG(standin::win32::ERROR_RETRY));
            EXPECT_FALSE(seen.CompletionSignalled);
        }
    }
    EXPECT_EQ(PortReads(), 1u);
    EXPECT_TRUE(h.Port().Requests(IRP_MJ_WRITE).empty());
    EXPECT_TRUE(Ext()->SendRmcRateCommand);
    EXPECT_FALSE(first.Done());

    h.Port().ReleaseHeld();
    const RequestResult done = first.Wait();
    EXPECT_EQ(done.Status, STATUS_SUCCESS);
    ASSERT_EQ(done.Data.size(), 4096u);
    EXPECT_EQ(Text(done.Data, done.Information), kGsa);

    // Released: the next read takes the command and goes down.
    h.Port().QueueRead(ReadOutcome::Data(kGsv));
    const RequestResult third = h.Read(4096);
    EXPECT_EQ(Text(third.Data, third.Information), kGsv);
    EXPECT_EQ(h.Port().Writes().size(), 1u);
}

// The port completes from its own thread at dispatch level, as a real one does from its DPC.
TEST_F(ReadTest, CompletionOnAnotherThread)
{
    const std::string stream = kGsa + kGsv + kGsv2;
    for (size_t at = 0; at < stream.size(); at += 40) {
        h.Port().QueueRead(ReadOutcome::Data(stream.substr(at, 40), Completion::Async));
    }
    std::string got;
    for (int i = 0; i < 20 && got.size() < stream.size(); ++i) {
        const RequestResult r = h.Read(13);
        ASSERT_TRUE(NT_SUCCESS(r.Status));
        got += Text(r.Data, r.Information);
    }
    EXPECT_EQ(got, stream);
}

// Concurrent readers on one device: each read either gets data or is refused as busy, and
// nothing is lost or duplicated.
TEST_F(ReadTest, ConcurrentReadersLoseNothing)
{
    std::string stream;
    for (int i = 0; i < 12; ++i) {
        stream += (i % 2) ? kGsv : kGsa;
    }
    h.Port().SetStream(standin::ToBytes(stream), 40);

    std::string got;
    int busy = 0;
    for (int round = 0; round < 200 && got.size() < stream.size(); ++round) {
        standin::PendingRequest a = h.ReadAsync(50);
        standin::PendingRequest b = h.ReadAsync(50);
        for (standin::PendingRequest* p : {&a, &b}) {
            const RequestResult r = p->Wait();
            if (r.Status == STATUS_RETRY) {
                ++busy;
                EXPECT_EQ(r.Information, 0u);
            } else {
                got += Text(r.Data, r.Information);
            }
        }
    }
    // Two readers' pieces interleave in completion order, so compare as multisets of bytes.
    std::string sortedGot = got;
    std::string sortedStream = stream;
    std::sort(sortedGot.begin(), sortedGot.end());
    std::sort(sortedStream.begin(), sortedStream.end());
    EXPECT_EQ(sortedGot, sortedStream);
    h.Port().WaitIdle();
}

} // namespace
