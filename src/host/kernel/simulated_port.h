// Inside of the simulated port; the harness builds and tears it down.
#pragma once

#include "kernel_state.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <thread>

namespace standin
{

// How the port answers a request of a kind: with this status, this way.
struct ScriptedResult {
    NTSTATUS Status = STATUS_SUCCESS;
    Completion When = Completion::Immediate;
};

struct SimulatedPort::Impl {
    explicit Impl(Scheduling how);
    ~Impl();
    NTSTATUS Dispatch(PIRP irp);
    void ReleaseHeldLocked();     // every held request not being cancelled goes to the queue
    bool RunQueued(size_t index); // deterministic: one queued completion, on this thread

    DRIVER_OBJECT driver;
    DRIVER_EXTENSION driverExtension;
    PDEVICE_OBJECT pdo = nullptr;

    mutable std::mutex lock; // guards the script and the job lists
    std::condition_variable changed;

    std::deque<ReadOutcome> reads;
    bool streaming = false;
    Bytes stream;
    size_t streamPosition = 0;
    ULONG chunk = 1;
    NTSTATUS streamAtEnd = STATUS_TIMEOUT;
    Completion streamWhen = Completion::Immediate;
    std::function<Bytes(ULONG)> readSource;
    std::function<NTSTATUS(const Bytes&)> writeSink;

    std::deque<ScriptedResult> writeResults;
    Completion writeWhen = Completion::Immediate;
    Bytes received;
    std::vector<Bytes> writes;

    SERIAL_HANDFLOW handflow{};
    ULONG amountInInQueue = 0;
    std::deque<NTSTATUS> commFailures;
    Completion ioctlWhen = Completion::Immediate;

    std::map<UCHAR, ScriptedResult> pnpResults;
    ScriptedResult powerResult;
    ScriptedResult createResult;
    ScriptedResult closeResult;
    NTSTATUS otherStatus = STATUS_SUCCESS;
    ULONG_PTR otherInformation = 0;

    std::vector<PortRequest> requests;

    Exclusivity exclusivity = Exclusivity::None;
    int opens = 0;

    struct HeldRequest {
        PIRP irp;
        std::function<void()> job;
        bool cancellable;
        ULONG_PTR arrived; // bytes already in a read's buffer, reported when it is cancelled
    };
    std::deque<HeldRequest> held;
    std::deque<std::function<void()>> jobs; // completions due, for the worker or RunQueued
    bool busy = false;
    bool stopping = false;
    const Scheduling scheduling;
    std::thread worker; // threaded mode only

  private:
    template <class Fill>
    NTSTATUS Finish(PIRP irp, Completion when, Fill fill, ULONG_PTR arrived = 0);
    NTSTATUS Create(PIRP irp, PortRequest& seen);
    void ForgetOpen();
    void SendWrite(PIRP irp, const UCHAR* buffer, ULONG length, NTSTATUS status,
                   const std::function<NTSTATUS(const Bytes&)>& sink);
    static VOID NTAPI CancelHeld(PDEVICE_OBJECT device, PIRP irp);
    static void CompleteCancelled(PIRP irp, ULONG_PTR arrived);
    NTSTATUS FinishWith(PIRP irp, PortRequest seen, const ScriptedResult& scripted);
    NTSTATUS DeviceControl(PIRP irp, PIO_STACK_LOCATION sl, PortRequest& seen);
    ReadOutcome NextRead(ULONG asked);
    void Record(PortRequest seen);
    void WorkerLoop();
};

} // namespace standin
