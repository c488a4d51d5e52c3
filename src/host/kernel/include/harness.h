// The harness plays the kernel, the Plug and Play manager and the applications around one
// driver under test, over a simulated serial port. Host-only C++; the driver never sees it.
//
// Typical use:
//   standin::Harness h;                       // fresh kernel, verifier on
//   h.Load(DriverEntry);                      // service key path defaults to kServicePath
//                                             // (or h.Load(image): a mapped DriverImage)
//   h.AddDevice();                            // FilterAddDevice over the port's PDO
//   h.Start(); h.Open();
//   h.Port().QueueRead(standin::ReadOutcome::Data("$GPGGA,...\r\n"));
//   standin::RequestResult r = h.Read(64);    // r.Status, r.Information, r.Data
//   h.Close(); h.Remove(); h.Unload();        // Unload checks that no pool is left
#pragma once

#include <ntddk.h>
#include <ntddser.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace standin
{

using Bytes = std::vector<UCHAR>;
Bytes ToBytes(const std::string& text);

// ---- Outcome of one request, as the application saw it --------------------------------
struct RequestResult {
    NTSTATUS Returned = 0;     // what the top dispatch routine returned (may be STATUS_PENDING)
    NTSTATUS Status = 0;       // final IoStatus.Status
    ULONG_PTR Information = 0; // final IoStatus.Information
    Bytes Data;                // what reached the caller's memory (buffered copy-back), sized to
                               // the caller's output length; untouched bytes keep their fill
};

// ---- The same outcome as a program on XP sees it --------------------------------------------
enum class Win32Call { ReadFile, WriteFile, DeviceIoControl };
enum class HandleKind { Synchronous, Overlapped }; // opened without or with FILE_FLAG_OVERLAPPED

struct ApplicationView {
    bool Returned = false;            // the call's return value
    ULONG LastError = 0;              // GetLastError() after a FALSE return, else 0
    ULONG Transferred = 0;            // the byte count the call itself reports
    bool CompletionSignalled = false; // OVERLAPPED event set, port packet or APC queued
};

// How kernel32 reads a request's outcome, and whether the I/O manager signalled its completion.
ApplicationView WhatApplicationSees(Win32Call call, HandleKind handle, const RequestResult& r);

// XP's RtlNtStatusToDosError for the statuses the stand-in and its drivers use; any other
// gives ERROR_MR_MID_NOT_FOUND, as XP gives for a status it does not know.
ULONG Win32ErrorOf(NTSTATUS status);

namespace win32
{
enum : ULONG {
    ERROR_SUCCESS = 0,
    ERROR_INVALID_FUNCTION = 1,
    ERROR_FILE_NOT_FOUND = 2,
    ERROR_ACCESS_DENIED = 5,
    ERROR_NOT_READY = 21,
    ERROR_BAD_COMMAND = 22,
    ERROR_GEN_FAILURE = 31,
    ERROR_HANDLE_EOF = 38,
    ERROR_NOT_SUPPORTED = 50,
    ERROR_INVALID_PARAMETER = 87,
    ERROR_SEM_TIMEOUT = 121,
    ERROR_INSUFFICIENT_BUFFER = 122,
    ERROR_BUSY = 170,
    ERROR_MORE_DATA = 234,
    ERROR_MR_MID_NOT_FOUND = 317,
    ERROR_OPERATION_ABORTED = 995,
    ERROR_IO_PENDING = 997,
    ERROR_RETRY = 1237,
    ERROR_NO_SYSTEM_RESOURCES = 1450,
    ERROR_TIMEOUT = 1460,
};
} // namespace win32

// A request issued without waiting; Wait() blocks until it has completed (in deterministic
// mode it runs what is queued until then), and must be called before the harness goes.
class PendingRequest
{
  public:
    PendingRequest() = default;
    bool Done() const;
    RequestResult Wait();
    // IoCancelIrp on the request, as CancelIo does; false when it has not reached the driver
    // yet, is already done, or no cancel routine was set.
    bool Cancel();
    struct State;
    std::shared_ptr<State> state;
};

// ---- How completions arrive ----------------------------------------------------------------
enum class Scheduling {
    // The port completes from a worker thread of its own: real concurrency, for the tests
    // that need it.
    Threaded,
    // Nothing runs on a thread of its own. The port's completions are queued and run on the
    // calling thread, at DISPATCH_LEVEL, where it is told to (SimulatedPort::RunQueued) or
    // where a thread would block: a kernel wait on an event not signalled, or the harness
    // waiting for a request. A timed wait that nothing left to run can end times out at once on
    // a virtual clock; one with no time-out is reported (endless-wait). Every run of the same
    // steps takes the same path.
    Deterministic,
};

// ---- How the simulated port finishes a request -------------------------------------------
enum class Completion {
    Immediate, // completed inside the port's dispatch routine, in the caller's thread
    Async,     // STATUS_PENDING returned, completed at DISPATCH_LEVEL: at once from a worker
               // thread, or from the queue in deterministic mode
    Held,      // STATUS_PENDING returned, kept until SimulatedPort::ReleaseHeld(), then as Async
};

// One scripted port read.
struct ReadOutcome {
    NTSTATUS Status = STATUS_SUCCESS;
    Bytes Payload;              // copied to the start of the buffer (at most the length asked)
    bool OverrideCount = false; // report Count instead of the number of bytes copied
    ULONG_PTR Count = 0;
    Completion When = Completion::Immediate;

    static ReadOutcome Raw(const Bytes& b, Completion w = Completion::Immediate);
    static ReadOutcome Data(const std::string& text, Completion w = Completion::Immediate);
    static ReadOutcome Timeout(Completion w = Completion::Immediate); // STATUS_TIMEOUT, 0
    static ReadOutcome Failure(NTSTATUS s, Completion w = Completion::Immediate); // s, 0 bytes
    static ReadOutcome OverCount(ULONG_PTR count, Completion w = Completion::Immediate);
    static ReadOutcome Cancelled(const std::string& partial, Completion w = Completion::Immediate);
};

// A request as the port driver received it.
struct PortRequest {
    UCHAR Major = 0;
    UCHAR Minor = 0;
    NTSTATUS ArrivedStatus = 0; // IoStatus.Status as it arrived
    ULONG Length = 0;           // read/write length, or device-control output length
    ULONG InputLength = 0;      // device control
    ULONG IoControlCode = 0;    // device control
    ULONG PowerType = 0;        // power: Parameters.Power.Type
    ULONG PowerState = 0;       // power: Parameters.Power.State
    Bytes Input;                // write bytes, or device-control input bytes as received
    bool HadSystemBuffer = false;
};

// How a port keeps a second open out, in XP's two ways.
enum class Exclusivity {
    None,
    IoManager,  // the device is exclusive: the I/O manager refuses before any driver sees it
    PortDriver, // the port's create routine refuses an open while one is open
};

// The device below: a serial-port driver of its own, with a scripted behaviour. A pending
// read's buffer takes the bytes as they arrive; a write's buffer is read when the bytes are
// sent, at its completion. Held reads, writes and device controls can be cancelled.
class SimulatedPort
{
  public:
    DEVICE_OBJECT* Pdo() const; // the port's device object (the one the filter attaches to)
    void SetDeviceType(DEVICE_TYPE type); // default FILE_DEVICE_SERIAL_PORT
    void SetFlags(ULONG flags);           // default DO_BUFFERED_IO | DO_POWER_PAGABLE
    void SetStackSize(CCHAR size);        // default 1
    void SetExclusive(Exclusivity how);   // default Exclusivity::None

    // Reads: scripted outcomes served in order; with none left, a read ends in a time-out.
    void QueueRead(const ReadOutcome& outcome);
    // Stream mode: every read returns the next min(chunk, asked) bytes of `source`; at the end
    // a read returns 0 bytes with `atEnd` (STATUS_TIMEOUT or STATUS_SUCCESS). Scripted
    // outcomes, if any, are served first.
    void SetStream(const Bytes& source, ULONG chunk, NTSTATUS atEnd = STATUS_TIMEOUT);
    bool StreamExhausted() const;
    // Live mode, for a port backed by a real device: with no scripted outcome left, every read
    // is served by `source`, called in the reading thread with the length asked; it may wait a
    // short time and returns what arrived (nothing: the read ends in a time-out). Every write
    // with no scripted result goes to `sink`, whose status completes it; live writes are not
    // kept for Received() and Writes(), so that a long run does not grow.
    void SetReadSource(std::function<Bytes(ULONG asked)> source);
    void SetWriteSink(std::function<NTSTATUS(const Bytes&)> sink);

    // Writes: the bytes of successful writes form what the receiver got. A scripted failure
    // completes the next write with that status and 0 bytes.
    void QueueWriteResult(NTSTATUS status, Completion when = Completion::Immediate);
    void SetWriteCompletion(Completion when); // how unscripted writes finish
    Bytes Received() const;
    std::vector<Bytes> Writes() const; // each successful write separately

    // Serial control.
    SERIAL_HANDFLOW Handflow() const; // as last set by IOCTL_SERIAL_SET_HANDFLOW
    void SetAmountInInQueue(ULONG amount);
    void QueueCommStatusFailure(NTSTATUS status); // next GET_COMMSTATUS fails with it
    void SetDeviceControlCompletion(Completion when);

    // Plug and Play, power, create and close complete with these. Default: STATUS_SUCCESS,
    // except Plug and Play codes other than start, the stop and remove family and surprise
    // removal, which complete with the status they arrived with, as a bus driver does.
    void SetPnpResult(UCHAR minor, NTSTATUS status, Completion when = Completion::Immediate);
    void SetPowerResult(NTSTATUS status, Completion when = Completion::Immediate);
    void SetCreateResult(NTSTATUS status, Completion when = Completion::Immediate);
    void SetCloseResult(NTSTATUS status, Completion when = Completion::Immediate);
    // Any other major function completes with this (default STATUS_SUCCESS, 0 bytes).
    void SetOtherResult(NTSTATUS status, ULONG_PTR information = 0);

    // Requests held with Completion::Held.
    size_t HeldCount() const;
    bool WaitForHeld(size_t count); // until `count` requests are held (false after a long wait)
    void ReleaseHeld();             // every held request goes to be completed as Async, in order
    void WaitIdle();                // until no completion is in flight (deterministic: runs them)

    // Deterministic mode: completions due and not yet run, and running one of them (the
    // index is taken modulo their number) on this thread at DISPATCH_LEVEL; false when none.
    size_t QueuedCount() const;
    bool RunQueued(size_t index = 0);

    std::vector<PortRequest> Requests() const; // everything that reached the port, in order
    std::vector<PortRequest> Requests(UCHAR major) const;
    void ClearRequests();

    struct Impl;
    explicit SimulatedPort(Impl* impl) : impl_(impl) {}

  private:
    Impl* impl_;
};

// ---- Verifier findings --------------------------------------------------------------------
struct Finding {
    std::string Rule;    // short rule name, e.g. "double-completion"
    std::string Message; // what happened
};
// Called for every finding. Default: print the message and abort(). Tests install one that
// records the finding and raises a test failure. Returns the previous handler.
using FindingHandler = std::function<void(const Finding&)>;
FindingHandler SetFindingHandler(FindingHandler handler);

// ---- The harness --------------------------------------------------------------------------
extern const char16_t
    kServicePath[]; // "\Registry\Machine\System\CurrentControlSet\Services\nmeafilt"

struct RegistryValue {
    std::u16string Key;
    std::u16string Name;
    ULONG Type = 0;
    Bytes Data;
};

class DriverImage;

// One Harness at a time: the kernel it plays is process-wide, as the real one is.
class Harness
{
  public:
    // Resets the kernel: pool, registry, firmware, devices, verifier counters. A second
    // harness while one is alive is a finding, and leaves the kernel to the first.
    explicit Harness(Scheduling scheduling = Scheduling::Threaded);
    ~Harness(); // waits for in-flight completions; removes what is left

    SimulatedPort& Port();

    // Driver.
    NTSTATUS Load(PDRIVER_INITIALIZE entry, const std::u16string& servicePath = kServicePath);
    // The image's entry point, called as the kernel calls a loaded driver's; the image must
    // stay mapped until the harness is gone. Its completion routines run on a painted stack
    // and their depth is recorded in the image.
    NTSTATUS Load(DriverImage& image, const std::u16string& servicePath = kServicePath);
    NTSTATUS AddDevice(); // DriverExtension->AddDevice(driver, port PDO); checks the new device
    DRIVER_OBJECT* Driver();
    DEVICE_OBJECT* FilterDevice(); // the device AddDevice created (top of the port's stack)
    DEVICE_OBJECT* Top();          // top of the stack: where application requests go
    void Unload();                 // DriverUnload, then the pool check

    // Plug and Play manager. PnP requests start with STATUS_NOT_SUPPORTED unless told.
    RequestResult Start();
    RequestResult Pnp(UCHAR minor, NTSTATUS initial = STATUS_NOT_SUPPORTED);
    RequestResult Remove(); // IRP_MN_REMOVE_DEVICE; the filter device is gone afterwards
    RequestResult Power(UCHAR minor, POWER_STATE_TYPE type, ULONG state);

    // Applications.
    RequestResult Open();
    RequestResult Close();
    RequestResult Read(ULONG length, UCHAR fill = 0xCC);
    PendingRequest ReadAsync(ULONG length, UCHAR fill = 0xCC);
    RequestResult ReadWithoutBuffer(); // zero-length read with no system buffer
    RequestResult Write(const Bytes& data);
    RequestResult DeviceControl(ULONG code, const Bytes& input, ULONG outputLength,
                                UCHAR fill = 0xCC);
    PendingRequest DeviceControlAsync(ULONG code, const Bytes& input, ULONG outputLength);
    // Any major function, buffered with the given lengths (read: output, write: input).
    RequestResult Send(UCHAR major, UCHAR minor, const Bytes& input, ULONG outputLength);

    // Kernel state a test sets or inspects.
    void SetFirmware(ULONG64 physicalAddress, const Bytes& bytes); // what MmMapIoSpace maps
    void FailNextMaps(int count); // the next `count` MmMapIoSpace calls return null
    void FailAllocations(int count, int after = 0); // fail `count` pool allocations after `after`
    void FailRegistryWrites(NTSTATUS status, int count = 1);
    void FailCreateDevice(NTSTATUS status, int count = 1); // IoCreateDevice returns `status`
    void FailAttach(int count = 1);                        // IoAttachDeviceToDeviceStack: null
    void FailIrpAllocations(int count = 1);                // IoAllocateIrp returns null
    std::vector<RegistryValue> Registry() const;           // every value written, in order
    size_t OutstandingPool() const;                        // driver pool allocations not yet freed
    size_t MappedRanges() const;                           // MmMapIoSpace mappings not yet undone
    struct PoolCall {
        POOL_TYPE Type;
        size_t Size;
        ULONG Tag;
    };
    std::vector<PoolCall> PoolCalls() const; // every ExAllocatePoolWithTag call, failed or not
    size_t PoStartNextPowerIrpCalls() const;

    // How long an application request may stay uncompleted before the verifier reports it
    // and the request is given up on (default 60 s).
    void SetCompletionDeadline(std::chrono::milliseconds deadline);

    // Deterministic mode: what other processors do while a thread would block, asked before
    // the oldest queued completion is run: run a queued completion, let go of held requests,
    // issue another request. `timedWait`: the thread is in a kernel wait with a time-out, which
    // comes once nothing is left to run. Returns false when it did nothing.
    void SetWhileWaiting(std::function<bool(bool timedWait)> other);
    // The virtual clock: how far timed-out waits and given-up requests have moved it.
    std::chrono::microseconds VirtualTime() const;

    struct State;

  private:
    std::unique_ptr<State> state_;
};

} // namespace standin
