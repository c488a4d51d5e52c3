// The device below the filter: a serial-port driver with a scripted behaviour. It meets what
// the filter relies on and nothing more; completions can come at DISPATCH_LEVEL, as a port's
// deferred procedure call would bring them: from a worker thread, or, in deterministic mode,
// from a queue that the calling thread runs where it would wait or where it is told to.
#include "simulated_port.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace standin
{

namespace
{
SimulatedPort::Impl* PortOf(PDEVICE_OBJECT device)
{
    return *static_cast<SimulatedPort::Impl**>(device->DeviceExtension);
}

NTSTATUS NTAPI PortDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    return PortOf(device)->Dispatch(irp);
}

bool IsHandledPnp(UCHAR minor)
{
    return minor <= IRP_MN_CANCEL_STOP_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL;
}

// What a serial port queues and lets a caller cancel.
bool IsCancellable(PIRP irp)
{
    const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    return major == IRP_MJ_READ || major == IRP_MJ_WRITE || major == IRP_MJ_DEVICE_CONTROL;
}
} // namespace

SimulatedPort::Impl::Impl(Scheduling how) : scheduling(how)
{
    std::memset(&driver, 0, sizeof driver);
    std::memset(&driverExtension, 0, sizeof driverExtension);
    driver.DriverExtension = &driverExtension;
    driverExtension.DriverObject = &driver;
    for (auto& entry : driver.MajorFunction)
        entry = PortDispatch;
    // The extension holds just the pointer back to this object.
    // NOLINTNEXTLINE(bugprone-sizeof-expression)
    IoCreateDevice(&driver, sizeof(Impl*), nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &pdo);
    *static_cast<Impl**>(pdo->DeviceExtension) = this;
    pdo->Flags = DO_BUFFERED_IO | DO_POWER_PAGABLE;
    if (scheduling == Scheduling::Threaded)
        worker = std::thread([this] { WorkerLoop(); });
}

SimulatedPort::Impl::~Impl()
{
    {
        // Whatever is still held completes now, as scripted.
        std::lock_guard<std::mutex> guard(lock);
        ReleaseHeldLocked();
        stopping = true;
        changed.notify_all();
    }
    if (scheduling == Scheduling::Threaded)
        worker.join();
    while (RunQueued(0)) {
    }
    if (pdo->AttachedDevice) {
        pdo->AttachedDevice->DeviceObjectExtension->AttachedTo = nullptr;
        pdo->AttachedDevice = nullptr;
    }
    FreeDeviceObject(pdo);
}

void SimulatedPort::Impl::WorkerLoop()
{
    SetIrqlForThread(DISPATCH_LEVEL);
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        changed.wait(guard, [this] { return stopping || !jobs.empty(); });
        if (jobs.empty())
            return;
        std::function<void()> job = std::move(jobs.front());
        jobs.pop_front();
        busy = true;
        guard.unlock();
        job();
        guard.lock();
        busy = false;
        changed.notify_all();
    }
}

bool SimulatedPort::Impl::RunQueued(size_t index)
{
    std::function<void()> job;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (jobs.empty())
            return false;
        auto it = jobs.begin() + static_cast<long>(index % jobs.size());
        job = std::move(*it);
        jobs.erase(it);
    }
    // The deferred procedure call, wherever this thread was.
    const KIRQL was = KeGetCurrentIrql();
    SetIrqlForThread(DISPATCH_LEVEL);
    job();
    SetIrqlForThread(was);
    return true;
}

// `fill` sets the outcome in the request, as the port's completion finds it.
template <class Fill>
NTSTATUS SimulatedPort::Impl::Finish(PIRP irp, Completion when, Fill fill, ULONG_PTR arrived)
{
    if (when == Completion::Immediate) {
        fill();
        NTSTATUS status = irp->IoStatus.Status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    IoMarkIrpPending(irp);
    auto job = [irp, fill = std::move(fill)] {
        fill();
        IofCompleteRequest(irp, IO_SERIAL_INCREMENT);
    };
    bool cancelNow = false;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (when == Completion::Held) {
            const bool cancellable = IsCancellable(irp);
            held.push_back(HeldRequest{irp, std::move(job), cancellable, arrived});
            if (cancellable) {
                IoSetCancelRoutine(irp, CancelHeld);
                // Cancelled before the routine was in place: the port finishes it itself.
                cancelNow = irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr;
                if (cancelNow)
                    held.pop_back();
            }
        } else {
            jobs.push_back(std::move(job));
        }
        changed.notify_all();
    }
    if (cancelNow)
        CompleteCancelled(irp, arrived);
    return STATUS_PENDING;
}

void SimulatedPort::Impl::ReleaseHeldLocked()
{
    for (auto it = held.begin(); it != held.end();) {
        // A null routine: IoCancelIrp has it, and its routine is on the way for this request.
        if (it->cancellable && IoSetCancelRoutine(it->irp, nullptr) == nullptr) {
            ++it;
        } else {
            jobs.push_back(std::move(it->job));
            it = held.erase(it);
        }
    }
    changed.notify_all();
}

VOID NTAPI SimulatedPort::Impl::CancelHeld(PDEVICE_OBJECT device, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Impl* port = PortOf(device);
    bool found = false;
    ULONG_PTR arrived = 0;
    {
        std::lock_guard<std::mutex> guard(port->lock);
        for (auto it = port->held.begin(); it != port->held.end(); ++it) {
            if (it->irp == irp) {
                arrived = it->arrived;
                port->held.erase(it);
                found = true;
                break;
            }
        }
        port->changed.notify_all();
    }
    if (found)
        CompleteCancelled(irp, arrived);
}

void SimulatedPort::Impl::CompleteCancelled(PIRP irp, ULONG_PTR arrived)
{
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = arrived;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS SimulatedPort::Impl::Dispatch(PIRP irp)
{
    PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
    PortRequest seen;
    seen.Major = sl->MajorFunction;
    seen.Minor = sl->MinorFunction;
    seen.ArrivedStatus = irp->IoStatus.Status;
    seen.HadSystemBuffer = irp->AssociatedIrp.SystemBuffer != nullptr;
    UCHAR* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);

    switch (sl->MajorFunction) {
        case IRP_MJ_READ: {
            ULONG asked = sl->Parameters.Read.Length;
            seen.Length = asked;
            if (asked && !buffer)
                Report(VerifierRule::PortReadWithoutBuffer,
                       "a read of " + std::to_string(asked) +
                           " bytes reached the port with no buffer");
            ReadOutcome outcome = NextRead(asked);
            Record(std::move(seen));
            if (outcome.Status == STATUS_CANCELLED)
                irp->Cancel = TRUE;
            // The bytes land in the buffer as they arrive, before the read completes.
            const size_t n = std::min<size_t>(outcome.Payload.size(), asked);
            if (buffer && n)
                std::memcpy(buffer, outcome.Payload.data(), n);
            return Finish(
                irp, outcome.When,
                [irp, status = outcome.Status, count = outcome.OverrideCount ? outcome.Count : n] {
                    irp->IoStatus.Status = status;
                    irp->IoStatus.Information = count;
                },
                buffer ? n : 0);
        }
        case IRP_MJ_WRITE: {
            ULONG length = sl->Parameters.Write.Length;
            seen.Length = length;
            if (buffer)
                seen.Input.assign(buffer, buffer + length);
            NTSTATUS status = STATUS_SUCCESS;
            Completion when;
            std::function<NTSTATUS(const Bytes&)> sink;
            {
                std::lock_guard<std::mutex> guard(lock);
                when = writeWhen;
                if (!writeResults.empty()) {
                    status = writeResults.front().Status;
                    when = writeResults.front().When;
                    writeResults.pop_front();
                } else {
                    sink = writeSink;
                }
            }
            Record(std::move(seen));
            return Finish(irp, when, [this, irp, buffer, length, status, sink] {
                SendWrite(irp, buffer, length, status, sink);
            });
        }
        case IRP_MJ_DEVICE_CONTROL:
            return DeviceControl(irp, sl, seen);
        case IRP_MJ_PNP: {
            ScriptedResult result{irp->IoStatus.Status, Completion::Immediate};
            {
                std::lock_guard<std::mutex> guard(lock);
                auto it = pnpResults.find(sl->MinorFunction);
                if (it != pnpResults.end())
                    result = it->second;
                else if (IsHandledPnp(sl->MinorFunction))
                    result.Status = STATUS_SUCCESS;
            }
            Record(std::move(seen));
            return Finish(irp, result.When,
                          [irp, result] { irp->IoStatus.Status = result.Status; });
        }
        case IRP_MJ_POWER:
            seen.PowerType = static_cast<ULONG>(sl->Parameters.Power.Type);
            seen.PowerState = static_cast<ULONG>(sl->Parameters.Power.State.SystemState);
            return FinishWith(irp, std::move(seen), powerResult);
        case IRP_MJ_CREATE:
            return Create(irp, seen);
        case IRP_MJ_CLOSE:
            ForgetOpen();
            return FinishWith(irp, std::move(seen), closeResult);
        default: {
            NTSTATUS status;
            ULONG_PTR information;
            {
                std::lock_guard<std::mutex> guard(lock);
                status = otherStatus;
                information = otherInformation;
            }
            Record(std::move(seen));
            return Finish(irp, Completion::Immediate, [irp, status, information] {
                irp->IoStatus.Status = status;
                irp->IoStatus.Information = information;
            });
        }
    }
}

// The bytes leave now, read from the caller's buffer as they go.
void SimulatedPort::Impl::SendWrite(PIRP irp, const UCHAR* buffer, ULONG length, NTSTATUS status,
                                    const std::function<NTSTATUS(const Bytes&)>& sink)
{
    if (NT_SUCCESS(status)) {
        const Bytes sent = buffer ? Bytes(buffer, buffer + length) : Bytes();
        if (sink) {
            status = sink(sent); // outside the lock: the device may take its time
        } else {
            std::lock_guard<std::mutex> guard(lock);
            received.insert(received.end(), sent.begin(), sent.end());
            writes.push_back(sent);
        }
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = NT_SUCCESS(status) ? length : 0;
}

void SimulatedPort::Impl::ForgetOpen()
{
    std::lock_guard<std::mutex> guard(lock);
    if (opens > 0)
        opens--;
}

// A port that keeps others out refuses an open while one is open.
NTSTATUS SimulatedPort::Impl::Create(PIRP irp, PortRequest& seen)
{
    bool refused;
    {
        std::lock_guard<std::mutex> guard(lock);
        refused = exclusivity == Exclusivity::PortDriver && opens > 0;
        if (!refused && NT_SUCCESS(createResult.Status))
            opens++;
    }
    if (!refused)
        return FinishWith(irp, std::move(seen), createResult);
    Record(std::move(seen));
    return Finish(irp, Completion::Immediate, [irp] {
        irp->IoStatus.Status = STATUS_ACCESS_DENIED;
        irp->IoStatus.Information = 0;
    });
}

NTSTATUS SimulatedPort::Impl::FinishWith(PIRP irp, PortRequest seen, const ScriptedResult& scripted)
{
    ScriptedResult result;
    {
        std::lock_guard<std::mutex> guard(lock);
        result = scripted;
    }
    Record(std::move(seen));
    return Finish(irp, result.When, [irp, result] {
        irp->IoStatus.Status = result.Status;
        irp->IoStatus.Information = 0;
    });
}

NTSTATUS SimulatedPort::Impl::DeviceControl(PIRP irp, PIO_STACK_LOCATION sl, PortRequest& seen)
{
    UCHAR* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    ULONG code = sl->Parameters.DeviceIoControl.IoControlCode;
    ULONG in = sl->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = sl->Parameters.DeviceIoControl.OutputBufferLength;
    seen.IoControlCode = code;
    seen.InputLength = in;
    seen.Length = out;
    if (buffer && in)
        seen.Input.assign(buffer, buffer + in);

    NTSTATUS status = STATUS_SUCCESS;
    Bytes reply;
    Completion when;
    {
        std::lock_guard<std::mutex> guard(lock);
        when = ioctlWhen;
        if (code == IOCTL_SERIAL_SET_HANDFLOW) {
            if (in < sizeof(SERIAL_HANDFLOW) || !buffer)
                status = STATUS_BUFFER_TOO_SMALL;
            else
                std::memcpy(&handflow, buffer, sizeof handflow);
        } else if (code == IOCTL_SERIAL_GET_HANDFLOW) {
            if (out < sizeof(SERIAL_HANDFLOW) || !buffer) {
                status = STATUS_BUFFER_TOO_SMALL;
            } else {
                const UCHAR* p = reinterpret_cast<const UCHAR*>(&handflow);
                reply.assign(p, p + sizeof handflow);
            }
        } else if (code == IOCTL_SERIAL_GET_COMMSTATUS) {
            if (!commFailures.empty()) {
                status = commFailures.front();
                commFailures.pop_front();
            } else if (out < sizeof(SERIAL_STATUS) || !buffer) {
                status = STATUS_BUFFER_TOO_SMALL;
            } else {
                SERIAL_STATUS st;
                std::memset(&st, 0, sizeof st);
                st.AmountInInQueue = amountInInQueue;
                const UCHAR* p = reinterpret_cast<const UCHAR*>(&st);
                reply.assign(p, p + sizeof st);
            }
        }
    }
    Record(std::move(seen));
    return Finish(irp, when, [irp, buffer, status, reply] {
        if (!reply.empty())
            std::memcpy(buffer, reply.data(), reply.size());
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = reply.size();
    });
}

ReadOutcome SimulatedPort::Impl::NextRead(ULONG asked)
{
    std::unique_lock<std::mutex> guard(lock);
    if (!reads.empty()) {
        ReadOutcome outcome = std::move(reads.front());
        reads.pop_front();
        return outcome;
    }
    if (readSource) {
        std::function<Bytes(ULONG)> source = readSource;
        guard.unlock(); // the source waits for the device
        Bytes arrived = source(asked);
        if (arrived.empty())
            return ReadOutcome::Timeout();
        return ReadOutcome::Raw(arrived);
    }
    ReadOutcome outcome;
    outcome.When = streamWhen;
    if (!streaming)
        return ReadOutcome::Timeout();
    size_t left = stream.size() - streamPosition;
    if (left == 0) {
        outcome.Status = streamAtEnd;
        return outcome;
    }
    size_t n = std::min<size_t>({left, static_cast<size_t>(chunk), static_cast<size_t>(asked)});
    outcome.Payload.assign(stream.begin() + static_cast<long>(streamPosition),
                           stream.begin() + static_cast<long>(streamPosition + n));
    streamPosition += n;
    return outcome;
}

void SimulatedPort::Impl::Record(PortRequest seen)
{
    std::lock_guard<std::mutex> guard(lock);
    requests.push_back(std::move(seen));
}

// ---- Scripting interface -------------------------------------------------------------------

DEVICE_OBJECT* SimulatedPort::Pdo() const
{
    return impl_->pdo;
}
void SimulatedPort::SetDeviceType(DEVICE_TYPE type)
{
    impl_->pdo->DeviceType = type;
}
void SimulatedPort::SetFlags(ULONG flags)
{
    impl_->pdo->Flags = flags;
}
void SimulatedPort::SetStackSize(CCHAR size)
{
    impl_->pdo->StackSize = size;
}
void SimulatedPort::SetExclusive(Exclusivity how)
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->exclusivity = how;
    if (how == Exclusivity::IoManager)
        impl_->pdo->Flags |= DO_EXCLUSIVE;
    else
        impl_->pdo->Flags &= ~static_cast<ULONG>(DO_EXCLUSIVE);
}

void SimulatedPort::QueueRead(const ReadOutcome& outcome)
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->reads.push_back(outcome);
}

void SimulatedPort::SetStream(const Bytes& source, ULONG chunk, NTSTATUS atEnd)
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->streaming = true;
    impl_->stream = source;
    impl_->streamPosition = 0;
    impl_->chunk = chunk ? chunk : 1;
    impl_->streamAtEnd = atEnd;
}

bool SimulatedPort::StreamExhausted() const
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    return impl_->streamPosition >= impl_->stream.size();
}

void SimulatedPort::SetReadSource(std::function<Bytes(ULONG asked)> source)
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->readSource = std::move(source);
}

void SimulatedPort::SetWriteSink(std::function<NTSTATUS(const Bytes&)> sink)
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->writeSink = std::move(sink);
}

void SimulatedPort::QueueWriteResult(NTSTATUS status, Completion when)
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->writeResults.push_back(ScriptedResult{status, when});
}

void SimulatedPort::SetWriteCompletion(Completion when)
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->writeWhen = when;
}

Bytes SimulatedPort::Received() const
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    return impl_->received;
}

std::vector<Bytes> SimulatedPort::Writes() const
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    return impl_->writes;
}

SERIAL_HANDFLOW SimulatedPort::Handflow() const
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    return impl_->handflow;
}

void SimulatedPort::SetAmountInInQueue(ULONG amount)
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->amountInInQueue = amount;
}

void SimulatedPort::QueueCommStatusFailure(NTSTATUS status)
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->commFailures.push_back(status);
}

void SimulatedPort::SetDeviceControlCompletion(Completion when)
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->ioctlWhen = when;
}

void SimulatedPort::SetPnpResult(UCHAR minor, NTSTATUS status, Completion when)
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->pnpResults[minor] = {status, when};
}

void SimulatedPort::SetPowerResult(NTSTATUS status, Completion when)
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->powerResult = {status, when};
}

void SimulatedPort::SetCreateResult(NTSTATUS status, Completion when)
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->createResult = {status, when};
}

void SimulatedPort::SetCloseResult(NTSTATUS status, Completion when)
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->closeResult = {status, when};
}

void SimulatedPort::SetOtherResult(NTSTATUS status, ULONG_PTR information)
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->otherStatus = status;
    impl_->otherInformation = information;
}

size_t SimulatedPort::HeldCount() const
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    return impl_->held.size();
}

bool SimulatedPort::WaitForHeld(size_t count)
{
    std::unique_lock<std::mutex> guard(impl_->lock);
    const auto enough = [this, count] { return impl_->held.size() >= count; };
    if (impl_->scheduling == Scheduling::Deterministic)
        return enough(); // no other thread will bring one
    return impl_->changed.wait_for(guard, std::chrono::seconds(30), enough);
}

void SimulatedPort::ReleaseHeld()
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->ReleaseHeldLocked();
}

void SimulatedPort::WaitIdle()
{
    if (impl_->scheduling == Scheduling::Deterministic) {
        while (impl_->RunQueued(0)) {
        }
        return;
    }
    std::unique_lock<std::mutex> guard(impl_->lock);
    impl_->changed.wait(guard, [this] { return impl_->jobs.empty() && !impl_->busy; });
}

size_t SimulatedPort::QueuedCount() const
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    return impl_->jobs.size();
}

bool SimulatedPort::RunQueued(size_t index)
{
    return impl_->RunQueued(index);
}

std::vector<PortRequest> SimulatedPort::Requests() const
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    return impl_->requests;
}

std::vector<PortRequest> SimulatedPort::Requests(UCHAR major) const
{
    std::vector<PortRequest> out;
    for (const auto& r : Requests())
        if (r.Major == major)
            out.push_back(r);
    return out;
}

void SimulatedPort::ClearRequests()
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->requests.clear();
}

// ---- Scripted read outcomes ----------------------------------------------------------------

ReadOutcome ReadOutcome::Raw(const Bytes& b, Completion w)
{
    ReadOutcome o;
    o.Payload = b;
    o.When = w;
    return o;
}

ReadOutcome ReadOutcome::Data(const std::string& text, Completion w)
{
    return Raw(ToBytes(text), w);
}

ReadOutcome ReadOutcome::Timeout(Completion w)
{
    ReadOutcome o;
    o.Status = STATUS_TIMEOUT;
    o.When = w;
    return o;
}

ReadOutcome ReadOutcome::Failure(NTSTATUS s, Completion w)
{
    ReadOutcome o;
    o.Status = s;
    o.When = w;
    return o;
}

ReadOutcome ReadOutcome::OverCount(ULONG_PTR count, Completion w)
{
    ReadOutcome o;
    o.OverrideCount = true;
    o.Count = count;
    o.When = w;
    return o;
}

ReadOutcome ReadOutcome::Cancelled(const std::string& partial, Completion w)
{
    ReadOutcome o = Data(partial, w);
    o.Status = STATUS_CANCELLED;
    return o;
}

Bytes ToBytes(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

} // namespace standin
