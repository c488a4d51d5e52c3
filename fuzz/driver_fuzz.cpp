// The whole driver in the kernel stand-in over the simulated port, with the verifier on. The
// input chooses a sequence of requests from applications and from the Plug and Play and power
// managers, and how the port answers each of them. A verifier finding aborts (the default
// handler), which libFuzzer reports as a crash; so do the checks made here: every request is
// completed once, with the caller's own buffer, never with more than it asked for, a second
// read while one is at the port is refused, and nothing is left in pool at unload.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "filter.h"
#include "harness.h"

namespace
{

void Check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "driver_fuzz: %s\n", what);
        std::abort();
    }
}

const NTSTATUS kStatuses[] = {
    STATUS_SUCCESS,          STATUS_UNSUCCESSFUL,
    STATUS_CANCELLED,        STATUS_TIMEOUT,
    STATUS_DEVICE_BUSY,      STATUS_INSUFFICIENT_RESOURCES,
    STATUS_NOT_SUPPORTED,    STATUS_NO_SUCH_DEVICE,
    STATUS_BUFFER_TOO_SMALL, STATUS_INVALID_DEVICE_REQUEST,
};

NTSTATUS PickStatus(FuzzedDataProvider& in)
{
    return in.PickValueInArray(kStatuses);
}

standin::Completion PickCompletion(FuzzedDataProvider& in)
{
    return in.ConsumeBool() ? standin::Completion::Async : standin::Completion::Immediate;
}

const UCHAR kPnpMinors[] = {
    IRP_MN_QUERY_REMOVE_DEVICE,
    IRP_MN_CANCEL_REMOVE_DEVICE,
    IRP_MN_STOP_DEVICE,
    IRP_MN_QUERY_STOP_DEVICE,
    IRP_MN_CANCEL_STOP_DEVICE,
    IRP_MN_QUERY_DEVICE_RELATIONS,
    IRP_MN_QUERY_INTERFACE,
    IRP_MN_QUERY_CAPABILITIES,
    IRP_MN_QUERY_PNP_DEVICE_STATE,
    IRP_MN_SURPRISE_REMOVAL,
    IRP_MN_QUERY_ID,
    IRP_MN_DEVICE_USAGE_NOTIFICATION,
};

const ULONG kIoctls[] = {
    IOCTL_SERIAL_SET_HANDFLOW,  IOCTL_SERIAL_GET_COMMSTATUS, IOCTL_SERIAL_GET_HANDFLOW,
    IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_PURGE,
};

// A scripted port read for a read request that will reach the port.
standin::ReadOutcome PickReadOutcome(FuzzedDataProvider& in, standin::Completion when)
{
    switch (in.ConsumeIntegralInRange<int>(0, 5)) {
        case 0:
            return standin::ReadOutcome::Timeout(when);
        case 1:
            return standin::ReadOutcome::Failure(PickStatus(in), when);
        case 2:
            return standin::ReadOutcome::OverCount(
                in.ConsumeBool() ? in.ConsumeIntegralInRange<ULONG_PTR>(97, 600)
                                 : in.ConsumeIntegral<ULONG_PTR>(),
                when);
        case 3: {
            const std::vector<UCHAR> partial =
                in.ConsumeBytes<UCHAR>(in.ConsumeIntegralInRange(0, 96));
            return standin::ReadOutcome::Cancelled(std::string(partial.begin(), partial.end()),
                                                   when);
        }
        default: {
            // Mostly the receiver's bytes, taken from the front of the input.
            standin::ReadOutcome outcome = standin::ReadOutcome::Raw(
                in.ConsumeBytes<UCHAR>(in.ConsumeIntegralInRange(1, 96)), when);
            if (in.ConsumeIntegralInRange(0, 15) == 0) {
                outcome.Status = PickStatus(in);
            }
            return outcome;
        }
    }
}

// The port settles every request it was given before the next one is looked at.
struct Session {
    standin::Harness& h;
    FuzzedDataProvider& in;
    bool started = false;

    DEVICE_EXTENSION* Ext() { return FilterExtension(h.FilterDevice()); }

    bool ReadGoesDown() { return Ext()->OutputBuffer.Length == 0; }

    void CheckRead(const standin::RequestResult& r, ULONG length)
    {
        Check(r.Status != STATUS_PENDING, "a read was never completed");
        Check(r.Information <= length, "a read delivered more than it asked for");
        Check(r.Data.size() == length, "a read's caller memory changed size");
        Check(Ext()->ReadInProgress == 0, "the read guard is still taken after the read");
    }

    void Read()
    {
        const ULONG length = in.ConsumeIntegralInRange<ULONG>(0, 700);
        if (ReadGoesDown() && in.ConsumeIntegralInRange(0, 7) != 0) {
            h.Port().QueueRead(PickReadOutcome(in, PickCompletion(in)));
        }
        if (length == 0 && in.ConsumeBool()) {
            const standin::RequestResult r = h.ReadWithoutBuffer();
            Check(r.Status != STATUS_PENDING, "a read without buffer was never completed");
            Check(r.Information == 0, "a read without buffer got bytes");
            return;
        }
        CheckRead(h.Read(length), length);
    }

    // A read held at the port while other requests arrive; a second read must be refused.
    void HeldRead()
    {
        if (!ReadGoesDown()) {
            return Read();
        }
        const ULONG length = in.ConsumeIntegralInRange<ULONG>(0, 700);
        h.Port().QueueRead(PickReadOutcome(in, standin::Completion::Held));
        standin::PendingRequest first = h.ReadAsync(length);
        while (!first.Done() && h.Port().HeldCount() == 0) {
            std::this_thread::yield();
        }
        if (h.Port().HeldCount() != 0) {
            const int others = in.ConsumeIntegralInRange(0, 3);
            for (int i = 0; i < others; ++i) {
                switch (in.ConsumeIntegralInRange(0, 3)) {
                    case 0: {
                        const ULONG second = in.ConsumeIntegralInRange<ULONG>(0, 700);
                        const standin::RequestResult r = h.Read(second);
                        Check(r.Status == STATUS_RETRY && r.Information == 0,
                              "a second read while one is at the port was not refused");
                        break;
                    }
                    case 1:
                        DeviceControl();
                        break;
                    case 2:
                        Write();
                        break;
                    default:
                        Power();
                        break;
                }
            }
            h.Port().ReleaseHeld();
        }
        CheckRead(first.Wait(), length);
    }

    void Write()
    {
        const std::vector<UCHAR> bytes = in.ConsumeBytes<UCHAR>(in.ConsumeIntegralInRange(0, 64));
        const standin::RequestResult r = h.Write(standin::Bytes(bytes.begin(), bytes.end()));
        Check(r.Status != STATUS_PENDING, "a write was never completed");
    }

    void DeviceControl()
    {
        const ULONG code = in.PickValueInArray(kIoctls);
        const std::vector<UCHAR> input = in.ConsumeBytes<UCHAR>(in.ConsumeIntegralInRange(0, 40));
        const ULONG output = in.ConsumeIntegralInRange<ULONG>(0, 40);
        const standin::RequestResult r =
            h.DeviceControl(code, standin::Bytes(input.begin(), input.end()), output);
        Check(r.Status != STATUS_PENDING, "a device control was never completed");
        Check(r.Information <= output, "a device control returned more than its buffer");
        if (code == IOCTL_SERIAL_SET_HANDFLOW && input.size() < sizeof(SERIAL_HANDFLOW)) {
            Check(r.Status == STATUS_BUFFER_TOO_SMALL, "a short handflow record was accepted");
        }
    }

    void Power()
    {
        const UCHAR minor = in.ConsumeBool() ? IRP_MN_SET_POWER : IRP_MN_QUERY_POWER;
        const bool device = in.ConsumeBool();
        const ULONG state = device ? in.ConsumeIntegralInRange<ULONG>(0, 4)
                                   : in.ConsumeIntegralInRange<ULONG>(0, 7);
        const standin::RequestResult r =
            h.Power(minor, device ? DevicePowerState : SystemPowerState, state);
        Check(r.Status != STATUS_PENDING, "a power request was never completed");
    }

    void PortScript()
    {
        standin::SimulatedPort& port = h.Port();
        switch (in.ConsumeIntegralInRange(0, 9)) {
            case 0:
                port.QueueWriteResult(PickStatus(in), PickCompletion(in));
                break;
            case 1:
                port.SetWriteCompletion(PickCompletion(in));
                break;
            case 2:
                port.SetAmountInInQueue(in.ConsumeIntegral<ULONG>());
                break;
            case 3:
                port.QueueCommStatusFailure(PickStatus(in));
                break;
            case 4:
                port.SetDeviceControlCompletion(PickCompletion(in));
                break;
            case 5:
                port.SetPnpResult(in.PickValueInArray(kPnpMinors), PickStatus(in),
                                  PickCompletion(in));
                break;
            case 6:
                port.SetPowerResult(PickStatus(in), PickCompletion(in));
                break;
            case 7:
                port.SetCreateResult(PickStatus(in), PickCompletion(in));
                break;
            case 8:
                port.SetCloseResult(PickStatus(in), PickCompletion(in));
                break;
            default:
                h.FailIrpAllocations(1);
                break;
        }
    }

    void Step()
    {
        switch (in.ConsumeIntegralInRange(0, 11)) {
            case 0:
                started = h.Start().Status == STATUS_SUCCESS || started;
                break;
            case 1:
                Check(h.Open().Status != STATUS_PENDING, "an open was never completed");
                break;
            case 2:
                Check(h.Close().Status != STATUS_PENDING, "a close was never completed");
                break;
            case 3:
            case 4:
                Read();
                break;
            case 5:
                HeldRead();
                break;
            case 6:
                Write();
                break;
            case 7:
                DeviceControl();
                break;
            case 8:
                Power();
                break;
            case 9: {
                const UCHAR minor = in.PickValueInArray(kPnpMinors);
                Check(h.Pnp(minor).Status != STATUS_PENDING, "a PnP request was never completed");
                break;
            }
            default:
                PortScript();
                break;
        }
        h.Port().WaitIdle();
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    standin::Harness h; // one per input: the kernel it plays is process-wide
    Check(h.Load(DriverEntry) == STATUS_SUCCESS, "DriverEntry failed");
    Check(h.AddDevice() == STATUS_SUCCESS, "AddDevice failed");
    Session session{h, in};
    // Applications only reach a started device; the PnP manager may still do anything after.
    if (in.ConsumeIntegralInRange(0, 7) != 0) {
        session.started = h.Start().Status == STATUS_SUCCESS;
        h.Open();
    }
    for (int steps = 0; steps < 64 && in.remaining_bytes() != 0; ++steps) {
        session.Step();
    }
    h.Close();
    h.Port().SetPnpResult(IRP_MN_REMOVE_DEVICE, STATUS_SUCCESS);
    h.Remove();
    Check(h.FilterDevice() == nullptr, "the filter device survived its removal");
    h.Unload(); // reports pool or devices left behind
    return 0;
}
