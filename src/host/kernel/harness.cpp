// The harness: plays the kernel loading a driver, the Plug and Play manager, and applications
// issuing buffered requests through the I/O manager.
#include "simulated_port.h"

#include <driver_image.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace standin
{

const char16_t kServicePath[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\nmeafilt";

// What the harness keeps while it plays the loader, the Plug and Play manager and the
// applications.
struct Harness::State {
    std::unique_ptr<SimulatedPort::Impl> portImpl;
    std::unique_ptr<SimulatedPort> port;
    DRIVER_OBJECT driver;
    DRIVER_EXTENSION driverExtension;
    bool loaded = false;
    std::u16string servicePath;
    UNICODE_STRING registryPath;
    PDEVICE_OBJECT filter = nullptr;
    bool ownsKernel = false; // false for a second harness, which the verifier reported
    std::chrono::milliseconds completionDeadline{std::chrono::seconds(60)};
    std::mutex abandonedLock;
    // Requests given up on after a finding: whoever holds them may still complete them, so
    // their buffers and records go only with the kernel.
    std::vector<std::function<void()>> abandoned;
    Scheduling scheduling = Scheduling::Threaded;
    std::function<bool(bool)> whileWaiting; // deterministic: asked first where a thread blocks

    // Deterministic: one turn of what other processors would do; false when none was left.
    bool RunOther(bool timedWait)
    {
        return (whileWaiting && whileWaiting(timedWait)) || port->RunQueued(0);
    }
};

namespace
{

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp)
{
    (void)device;
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

// One application request on its way through the I/O manager.
struct Call {
    std::mutex lock;
    std::condition_variable done;
    bool completed = false;
    Bytes callerMemory;
    NTSTATUS status = 0;
    ULONG_PTR information = 0;
};

// The I/O manager is done with the request (and has copied it back): wake its caller.
void OnComplete(PIRP irp, void* context)
{
    Call* call = static_cast<Call*>(context);
    std::lock_guard<std::mutex> guard(call->lock);
    call->status = irp->IoStatus.Status;
    call->information = irp->IoStatus.Information;
    call->completed = true;
    call->done.notify_all();
}

struct RequestPlan {
    UCHAR major = 0;
    UCHAR minor = 0;
    Bytes input;
    ULONG outputLength = 0;
    bool withBuffer = true;
    bool copyBack = false;
    NTSTATUS initialStatus = STATUS_SUCCESS;
    UCHAR fill = 0xCC;
    std::function<void(PIO_STACK_LOCATION)> setup;
};

void Abandon(Harness::State& state, void* systemBuffer, Call* call)
{
    std::lock_guard<std::mutex> lock(state.abandonedLock);
    state.abandoned.push_back([systemBuffer, call] {
        std::free(systemBuffer);
        delete call;
    });
}

bool CarriesData(UCHAR major)
{
    return major == IRP_MJ_READ || major == IRP_MJ_WRITE || major == IRP_MJ_DEVICE_CONTROL;
}

// A request the top driver completed in its dispatch routine without sending it down.
void CheckRefusal(UCHAR major, const RequestResult& result, PIRP irp)
{
    if (!CarriesData(major) || result.Returned == STATUS_PENDING || !NT_WARNING(result.Status) ||
        result.Information != 0)
        return;
    bool passedOn;
    {
        std::lock_guard<std::mutex> guard(Kernel().lock);
        passedOn = Kernel().irps[irp].sends > 1;
    }
    if (!passedOn) {
        std::ostringstream text;
        text << "a request of major function " << static_cast<int>(major)
             << " refused in its dispatch routine with the warning 0x" << std::hex
             << static_cast<ULONG>(result.Status) << ": the I/O manager completes it as a "
             << "success, while Win32 reports a failure";
        Report(VerifierRule::RefusedWithWarning, text.str());
    }
}

constexpr LONGLONG kTicksPerMillisecond = 10000; // the kernel's time unit is 100 ns

// One application request from its issue to its collection.
struct InFlight {
    PIRP irp = nullptr;
    Call* call = nullptr;
    void* systemBuffer = nullptr;
    UCHAR major = 0;
    RequestResult result; // Returned once issued; all of it once collected or given up on
    bool over = false;    // collected, or given up on after a finding: nothing left to free
};

// Builds the request, not yet sent.
InFlight Build(Harness::State& state, const RequestPlan& plan)
{
    InFlight flight;
    flight.major = plan.major;
    PDEVICE_OBJECT top = IoGetAttachedDevice(state.port->Pdo());
    PIRP irp = flight.irp = AllocateIrpInternal(top->StackSize, true);

    // Heap-held: a request abandoned after a finding may still complete later.
    Call& call = *(flight.call = new Call);
    call.callerMemory.assign(plan.outputLength, plan.fill);

    size_t bufferSize = std::max<size_t>(plan.input.size(), plan.outputLength);
    void* systemBuffer = nullptr;
    if (plan.withBuffer && bufferSize) {
        // What a caller reads back is only what the driver put there.
        systemBuffer = std::malloc(bufferSize);
        std::memset(systemBuffer, 0xEE, bufferSize);
        if (!plan.input.empty())
            std::memcpy(systemBuffer, plan.input.data(), plan.input.size());
    }
    flight.systemBuffer = systemBuffer;
    irp->AssociatedIrp.SystemBuffer = systemBuffer;
    irp->UserBuffer = call.callerMemory.data();
    irp->RequestorMode = UserMode;
    irp->IoStatus.Status = plan.initialStatus;
    irp->IoStatus.Information = 0;

    PIO_STACK_LOCATION sl = IoGetNextIrpStackLocation(irp);
    sl->MajorFunction = plan.major;
    sl->MinorFunction = plan.minor;
    if (plan.setup)
        plan.setup(sl);
    {
        std::lock_guard<std::mutex> guard(Kernel().lock);
        IrpTrack& track = Kernel().irps[irp];
        track.originalSystemBuffer = systemBuffer;
        track.originalLength = sl->Parameters.Read.Length;
        track.originalMajor = plan.major;
        track.copyBack = plan.copyBack;
        track.callerBuffer = call.callerMemory.data();
        track.callerLength = plan.outputLength;
        track.onComplete = OnComplete;
        track.onCompleteContext = &call;
    }
    return flight;
}

// Sends the request to the top of the stack.
void Send(Harness::State& state, InFlight& flight)
{
    PDEVICE_OBJECT top = state.port->Pdo();
    while (top->AttachedDevice)
        top = top->AttachedDevice;
    PIRP irp = flight.irp;
    Call& call = *flight.call;

    // The power manager sends its requests through PoCallDriver, at DISPATCH_LEVEL to a stack
    // whose top device is not power-pageable.
    RequestResult& result = flight.result;
    if (flight.major == IRP_MJ_POWER) {
        const bool atDispatch = !(top->Flags & DO_POWER_PAGABLE);
        KIRQL irql = PASSIVE_LEVEL;
        if (atDispatch)
            irql = KfRaiseIrql(DISPATCH_LEVEL);
        result.Returned = PoCallDriver(top, irp);
        if (atDispatch)
            KfLowerIrql(irql);
    } else {
        result.Returned = IofCallDriver(top, irp);
    }

    bool completed;
    {
        std::lock_guard<std::mutex> guard(call.lock);
        completed = call.completed;
    }
    if (result.Returned != STATUS_PENDING && !completed) {
        Report(VerifierRule::ReturnedBeforeCompletion,
               "a dispatch routine returned a final status for a request not yet completed");
        result.Status = STATUS_PENDING;
        Abandon(state, flight.systemBuffer, flight.call); // its holder may yet complete it
        flight.over = true;
    }
}

// Until the request is completed, or the deadline passes: a real wait, or in deterministic
// mode turns of what else is due, the deadline passing on the virtual clock when none is left.
bool Await(Harness::State& state, const InFlight& flight)
{
    if (flight.over)
        return false;
    Call& call = *flight.call;
    if (state.scheduling == Scheduling::Deterministic) {
        for (;;) {
            {
                std::lock_guard<std::mutex> guard(call.lock);
                if (call.completed)
                    return true;
            }
            if (!state.RunOther(false))
                break;
        }
        AdvanceVirtualTime(state.completionDeadline.count() * kTicksPerMillisecond);
        return false;
    }
    std::unique_lock<std::mutex> guard(call.lock);
    return call.done.wait_for(guard, state.completionDeadline, [&call] { return call.completed; });
}

// What the caller got, once Await has said whether the request completed; the request is
// freed then, or given up on. Once per request: the result moves out.
RequestResult Collect(Harness::State& state, InFlight& flight, bool completed)
{
    RequestResult result = std::move(flight.result);
    if (flight.over)
        return result;
    flight.over = true;
    if (!completed) {
        Report(VerifierRule::RequestNeverCompleted,
               "an application request was not completed within " +
                   std::to_string(state.completionDeadline.count()) + " ms");
        result.Status = STATUS_PENDING;
        Abandon(state, flight.systemBuffer, flight.call);
        return result;
    }
    {
        std::lock_guard<std::mutex> guard(flight.call->lock);
        result.Status = flight.call->status;
        result.Information = flight.call->information;
        result.Data = std::move(flight.call->callerMemory); // the request is done with it
    }
    if (result.Returned != STATUS_PENDING && result.Returned != result.Status) {
        std::ostringstream text;
        text << "a dispatch routine returned 0x" << std::hex << static_cast<ULONG>(result.Returned)
             << " for a request completed with 0x" << static_cast<ULONG>(result.Status);
        Report(VerifierRule::ReturnedStatusDiffers, text.str());
    }
    CheckRefusal(flight.major, result, flight.irp);

    FreeIrpInternal(flight.irp);
    std::free(flight.systemBuffer);
    delete flight.call;
    return result;
}

RequestResult Execute(Harness::State& state, const RequestPlan& plan)
{
    InFlight flight = Build(state, plan);
    Send(state, flight);
    const bool completed = Await(state, flight);
    return Collect(state, flight, completed);
}

} // namespace

struct PendingRequest::State {
    Harness::State* harness = nullptr;
    std::mutex lock; // the request between its issuing thread and Cancel
    bool built = false;
    PIRP irp = nullptr;     // while built and not collected
    bool collected = false; // the request is freed (or given up on)
    InFlight flight;
    std::atomic<bool> done{false};
    RequestResult result;
    std::thread thread; // threaded mode: issues, waits and collects
    bool joined = false;
};

bool PendingRequest::Done() const
{
    if (!state)
        return false;
    if (state->harness->scheduling == Scheduling::Threaded)
        return state->done.load();
    if (state->flight.over)
        return true;
    std::lock_guard<std::mutex> callGuard(state->flight.call->lock);
    return state->flight.call->completed;
}

RequestResult PendingRequest::Wait()
{
    if (!state)
        return RequestResult{};
    if (state->harness->scheduling == Scheduling::Deterministic) {
        if (!state->done) {
            const bool completed = Await(*state->harness, state->flight);
            std::lock_guard<std::mutex> guard(state->lock);
            state->result = Collect(*state->harness, state->flight, completed);
            state->collected = true;
            state->done = true;
        }
    } else if (!state->joined) {
        state->thread.join();
        state->joined = true;
    }
    return state->result;
}

bool PendingRequest::Cancel()
{
    if (!state)
        return false;
    // Under the lock the request cannot be freed: the collecting thread takes it first.
    std::lock_guard<std::mutex> guard(state->lock);
    if (!state->built || state->collected)
        return false;
    return IoCancelIrp(state->irp) != FALSE;
}

namespace
{
PendingRequest Launch(Harness::State& harness, RequestPlan plan)
{
    PendingRequest pending;
    pending.state = std::make_shared<PendingRequest::State>();
    auto state = pending.state;
    state->harness = &harness;
    if (harness.scheduling == Scheduling::Deterministic) {
        state->flight = Build(harness, plan);
        state->irp = state->flight.irp;
        state->built = true;
        Send(harness, state->flight);
        return pending;
    }
    // Only this thread touches the flight record; Cancel goes by the request alone.
    state->thread = std::thread([state, &harness, plan] {
        InFlight flight = Build(harness, plan);
        {
            std::lock_guard<std::mutex> guard(state->lock);
            state->irp = flight.irp;
            state->built = true;
        }
        Send(harness, flight);
        const bool completed = Await(harness, flight);
        {
            std::lock_guard<std::mutex> guard(state->lock);
            state->result = Collect(harness, flight, completed);
            state->collected = true;
        }
        state->done = true;
    });
    return pending;
}

RequestPlan ReadSpec(ULONG length, UCHAR fill)
{
    RequestPlan plan;
    plan.major = IRP_MJ_READ;
    plan.outputLength = length;
    plan.copyBack = true;
    plan.fill = fill;
    plan.setup = [length](PIO_STACK_LOCATION sl) { sl->Parameters.Read.Length = length; };
    return plan;
}

RequestPlan DeviceControlSpec(ULONG code, const Bytes& input, ULONG outputLength, UCHAR fill)
{
    RequestPlan plan;
    plan.major = IRP_MJ_DEVICE_CONTROL;
    plan.input = input;
    plan.outputLength = outputLength;
    plan.copyBack = true;
    plan.fill = fill;
    ULONG inputLength = static_cast<ULONG>(input.size());
    plan.setup = [code, inputLength, outputLength](PIO_STACK_LOCATION sl) {
        sl->Parameters.DeviceIoControl.IoControlCode = code;
        sl->Parameters.DeviceIoControl.InputBufferLength = inputLength;
        sl->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    };
    return plan;
}
} // namespace

// ---- Harness ---------------------------------------------------------------------------------

Harness::Harness(Scheduling scheduling) : state_(std::make_unique<State>())
{
    state_->scheduling = scheduling;
    {
        std::lock_guard<std::mutex> guard(Kernel().lock);
        state_->ownsKernel = Kernel().harness == nullptr;
        if (state_->ownsKernel)
            Kernel().harness = this;
    }
    // A second one gets a port and a driver object of its own but leaves the kernel alone.
    if (state_->ownsKernel)
        ResetKernel();
    else
        Report(VerifierRule::Harness, "a second Harness while one is alive");
    std::memset(&state_->driver, 0, sizeof state_->driver);
    std::memset(&state_->driverExtension, 0, sizeof state_->driverExtension);
    state_->portImpl = std::make_unique<SimulatedPort::Impl>(scheduling);
    state_->port = std::make_unique<SimulatedPort>(state_->portImpl.get());
    if (state_->ownsKernel && scheduling == Scheduling::Deterministic) {
        State* s = state_.get();
        std::lock_guard<std::mutex> guard(Kernel().lock);
        Kernel().runOther = [s](bool timedWait) { return s->RunOther(timedWait); };
        Kernel().letGo = [s] { s->port->ReleaseHeld(); };
    }
}

Harness::~Harness()
{
    State& s = *state_;
    s.port->ReleaseHeld();
    s.port->WaitIdle();
    if (s.ownsKernel) {
        std::lock_guard<std::mutex> guard(Kernel().lock);
        Kernel().runOther = nullptr;
        Kernel().letGo = nullptr;
    }
    // Tear down what the test left: no verifier here, the test has had its say.
    PDEVICE_OBJECT pdo = s.port->Pdo();
    while (PDEVICE_OBJECT device = s.driver.DeviceObject) {
        if (pdo->AttachedDevice == device)
            pdo->AttachedDevice = nullptr;
        FreeDeviceObject(device);
    }
    pdo->AttachedDevice = nullptr;
    s.port.reset();
    s.portImpl.reset();
    if (s.ownsKernel) {
        {
            std::lock_guard<std::mutex> guard(Kernel().lock);
            Kernel().harness = nullptr;
        }
        ResetKernel(); // frees the requests the abandoned records belong to
    }
    for (auto& release : s.abandoned)
        release();
}

SimulatedPort& Harness::Port()
{
    return *state_->port;
}

NTSTATUS Harness::Load(PDRIVER_INITIALIZE entry, const std::u16string& servicePath)
{
    State& s = *state_;
    DRIVER_OBJECT& d = s.driver;
    d.Type = IO_TYPE_DRIVER;
    d.Size = sizeof(DRIVER_OBJECT);
    d.DriverExtension = &s.driverExtension;
    s.driverExtension.DriverObject = &d;
    d.DriverInit = entry;
    for (auto& slot : d.MajorFunction)
        slot = InvalidDeviceRequest;
    s.servicePath = servicePath;
    size_t bytes = std::min<size_t>(servicePath.size() * sizeof(WCHAR), 0xFFFE);
    s.registryPath.Buffer = reinterpret_cast<PWSTR>(&s.servicePath[0]);
    s.registryPath.Length = static_cast<USHORT>(bytes);
    s.registryPath.MaximumLength = static_cast<USHORT>(std::min<size_t>(bytes + 2, 0xFFFE));
    SetIrqlForThread(PASSIVE_LEVEL);
    ULONG_PTR result = 0;
    NTSTATUS status = CallImageRoutine("DriverEntry", reinterpret_cast<const void*>(entry),
                                       {Word(&d), Word(&s.registryPath)}, false, &result)
                          ? static_cast<NTSTATUS>(result)
                          : entry(&d, &s.registryPath);
    s.loaded = NT_SUCCESS(status);
    return status;
}

NTSTATUS Harness::Load(DriverImage& image, const std::u16string& servicePath)
{
    state_->driver.DriverStart = image.Base();
    state_->driver.DriverSize = image.Size();
    {
        std::lock_guard<std::mutex> guard(Kernel().lock);
        Kernel().images.push_back(&image);
    }
    WatchImage(image);
    const NTSTATUS status = Load(image.Entry(), servicePath);
    DiscardInitSections(image);
    return status;
}

NTSTATUS Harness::AddDevice()
{
    State& s = *state_;
    PDRIVER_ADD_DEVICE addDevice = s.driverExtension.AddDevice;
    if (!addDevice) {
        Report(VerifierRule::NoAddDevice, "the driver set no AddDevice routine");
        return STATUS_UNSUCCESSFUL;
    }
    PDEVICE_OBJECT before = s.driver.DeviceObject;
    ULONG_PTR result = 0;
    NTSTATUS status =
        CallImageRoutine("AddDevice routine", reinterpret_cast<const void*>(addDevice),
                         {Word(&s.driver), Word(s.port->Pdo())}, false, &result)
            ? static_cast<NTSTATUS>(result)
            : addDevice(&s.driver, s.port->Pdo());
    for (PDEVICE_OBJECT d = s.driver.DeviceObject; d; d = d->NextDevice) {
        if (d->Flags & DO_DEVICE_INITIALIZING)
            Report(VerifierRule::DeviceInitializing,
                   "DO_DEVICE_INITIALIZING is still set on a device after AddDevice returned");
        CheckPowerPagable(d);
    }
    if (NT_SUCCESS(status) && s.driver.DeviceObject != before)
        s.filter = s.driver.DeviceObject;
    return status;
}

DRIVER_OBJECT* Harness::Driver()
{
    return &state_->driver;
}

DEVICE_OBJECT* Harness::FilterDevice()
{
    return state_->filter;
}

DEVICE_OBJECT* Harness::Top()
{
    return IoGetAttachedDevice(state_->port->Pdo());
}

void Harness::Unload()
{
    State& s = *state_;
    PDRIVER_UNLOAD unload = s.driver.DriverUnload;
    ULONG_PTR ignored = 0;
    if (unload && !CallImageRoutine("unload routine", reinterpret_cast<const void*>(unload),
                                    {Word(&s.driver)}, false, &ignored))
        unload(&s.driver);
    s.loaded = false;
    size_t devices = 0;
    for (PDEVICE_OBJECT d = s.driver.DeviceObject; d; d = d->NextDevice)
        ++devices;
    if (devices)
        Report(VerifierRule::DevicesAtUnload,
               std::to_string(devices) + " device object(s) of the driver still exist at unload");
    std::ostringstream pool;
    size_t blocks = 0;
    size_t mappings = 0;
    {
        std::lock_guard<std::mutex> guard(Kernel().lock);
        for (const auto& b : Kernel().pool) {
            ++blocks;
            char tag[5];
            std::memcpy(tag, &b.second.tag, 4);
            tag[4] = 0;
            pool << " [" << b.second.size << " bytes, tag '" << tag << "']";
        }
        mappings = Kernel().mappings.size();
    }
    if (blocks)
        Report(VerifierRule::PoolAtUnload,
               std::to_string(blocks) + " pool block(s) still allocated at unload:" + pool.str());
    if (mappings)
        Report(VerifierRule::MappingAtUnload,
               std::to_string(mappings) + " physical-memory mapping(s) still in place at unload");
}

RequestResult Harness::Pnp(UCHAR minor, NTSTATUS initial)
{
    RequestPlan plan;
    plan.major = IRP_MJ_PNP;
    plan.minor = minor;
    plan.initialStatus = initial;
    return Execute(*state_, plan);
}

RequestResult Harness::Start()
{
    return Pnp(IRP_MN_START_DEVICE);
}

RequestResult Harness::Remove()
{
    RequestResult r = Pnp(IRP_MN_REMOVE_DEVICE);
    // A driver that follows the rules has deleted its device by now.
    PDEVICE_OBJECT filter = state_->filter;
    bool alive = false;
    for (PDEVICE_OBJECT d = state_->driver.DeviceObject; d; d = d->NextDevice)
        alive = alive || d == filter;
    if (!alive)
        state_->filter = nullptr;
    return r;
}

RequestResult Harness::Power(UCHAR minor, POWER_STATE_TYPE type, ULONG state)
{
    RequestPlan plan;
    plan.major = IRP_MJ_POWER;
    plan.minor = minor;
    plan.initialStatus = STATUS_NOT_SUPPORTED;
    plan.setup = [type, state](PIO_STACK_LOCATION sl) {
        sl->Parameters.Power.Type = type;
        if (type == SystemPowerState)
            sl->Parameters.Power.State.SystemState = static_cast<SYSTEM_POWER_STATE>(state);
        else
            sl->Parameters.Power.State.DeviceState = static_cast<DEVICE_POWER_STATE>(state);
    };
    return Execute(*state_, plan);
}

// Opens go by the port's name, so the port's own device object is the one opened; the request
// goes to the top of its stack.
RequestResult Harness::Open()
{
    PDEVICE_OBJECT named = state_->port->Pdo();
    if ((named->Flags & DO_EXCLUSIVE) && named->ReferenceCount > 0) {
        // The I/O manager refuses before any driver sees the open.
        RequestResult refused;
        refused.Returned = refused.Status = STATUS_ACCESS_DENIED;
        return refused;
    }
    RequestPlan plan;
    plan.major = IRP_MJ_CREATE;
    RequestResult r = Execute(*state_, plan);
    if (NT_SUCCESS(r.Status))
        named->ReferenceCount++;
    return r;
}

RequestResult Harness::Close()
{
    RequestPlan plan;
    plan.major = IRP_MJ_CLOSE;
    RequestResult r = Execute(*state_, plan);
    PDEVICE_OBJECT named = state_->port->Pdo();
    if (named->ReferenceCount > 0)
        named->ReferenceCount--;
    return r;
}

RequestResult Harness::Read(ULONG length, UCHAR fill)
{
    return Execute(*state_, ReadSpec(length, fill));
}

PendingRequest Harness::ReadAsync(ULONG length, UCHAR fill)
{
    return Launch(*state_, ReadSpec(length, fill));
}

RequestResult Harness::ReadWithoutBuffer()
{
    RequestPlan plan = ReadSpec(0, 0xCC);
    plan.withBuffer = false;
    return Execute(*state_, plan);
}

RequestResult Harness::Write(const Bytes& data)
{
    RequestPlan plan;
    plan.major = IRP_MJ_WRITE;
    plan.input = data;
    ULONG length = static_cast<ULONG>(data.size());
    plan.setup = [length](PIO_STACK_LOCATION sl) { sl->Parameters.Write.Length = length; };
    return Execute(*state_, plan);
}

RequestResult Harness::DeviceControl(ULONG code, const Bytes& input, ULONG outputLength, UCHAR fill)
{
    return Execute(*state_, DeviceControlSpec(code, input, outputLength, fill));
}

PendingRequest Harness::DeviceControlAsync(ULONG code, const Bytes& input, ULONG outputLength)
{
    return Launch(*state_, DeviceControlSpec(code, input, outputLength, 0xCC));
}

RequestResult Harness::Send(UCHAR major, UCHAR minor, const Bytes& input, ULONG outputLength)
{
    RequestPlan plan;
    plan.major = major;
    plan.minor = minor;
    plan.input = input;
    plan.outputLength = outputLength;
    plan.copyBack = outputLength > 0;
    ULONG inputLength = static_cast<ULONG>(input.size());
    plan.setup = [major, inputLength, outputLength](PIO_STACK_LOCATION sl) {
        if (major == IRP_MJ_READ)
            sl->Parameters.Read.Length = outputLength;
        else if (major == IRP_MJ_WRITE)
            sl->Parameters.Write.Length = inputLength;
        else if (major == IRP_MJ_DEVICE_CONTROL || major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
            sl->Parameters.DeviceIoControl.InputBufferLength = inputLength;
            sl->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
        }
    };
    return Execute(*state_, plan);
}

void Harness::SetFirmware(ULONG64 physicalAddress, const Bytes& bytes)
{
    std::lock_guard<std::mutex> guard(Kernel().lock);
    Kernel().firmware[physicalAddress] = bytes;
}

namespace
{
void Arm(FaultKnob FaultKnobs::*knob, FaultKnob armed)
{
    std::lock_guard<std::mutex> guard(Kernel().lock);
    Kernel().faults.*knob = armed;
}
} // namespace

void Harness::FailNextMaps(int count)
{
    Arm(&FaultKnobs::map, FaultKnob{count});
}

void Harness::FailAllocations(int count, int after)
{
    Arm(&FaultKnobs::pool, FaultKnob{count, after});
}

void Harness::FailRegistryWrites(NTSTATUS status, int count)
{
    Arm(&FaultKnobs::registry, FaultKnob{count, 0, status});
}

void Harness::FailCreateDevice(NTSTATUS status, int count)
{
    Arm(&FaultKnobs::createDevice, FaultKnob{count, 0, status});
}

void Harness::FailAttach(int count)
{
    Arm(&FaultKnobs::attach, FaultKnob{count});
}

void Harness::FailIrpAllocations(int count)
{
    Arm(&FaultKnobs::irp, FaultKnob{count});
}

std::vector<RegistryValue> Harness::Registry() const
{
    std::lock_guard<std::mutex> guard(Kernel().lock);
    return Kernel().registry;
}

size_t Harness::OutstandingPool() const
{
    std::lock_guard<std::mutex> guard(Kernel().lock);
    return Kernel().pool.size();
}

size_t Harness::MappedRanges() const
{
    std::lock_guard<std::mutex> guard(Kernel().lock);
    return Kernel().mappings.size();
}

std::vector<Harness::PoolCall> Harness::PoolCalls() const
{
    std::lock_guard<std::mutex> guard(Kernel().lock);
    return Kernel().poolCalls;
}

size_t Harness::PoStartNextPowerIrpCalls() const
{
    std::lock_guard<std::mutex> guard(Kernel().lock);
    return Kernel().poStartNextCalls;
}

void Harness::SetCompletionDeadline(std::chrono::milliseconds deadline)
{
    state_->completionDeadline = deadline;
}

void Harness::SetWhileWaiting(std::function<bool(bool timedWait)> other)
{
    state_->whileWaiting = std::move(other);
}

std::chrono::microseconds Harness::VirtualTime() const
{
    std::lock_guard<std::mutex> guard(Kernel().lock);
    return std::chrono::microseconds(Kernel().virtualTime / 10);
}

} // namespace standin
