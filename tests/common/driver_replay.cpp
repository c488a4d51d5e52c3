// The checks: every request is completed once, with the caller's own buffer, never with more
// than it asked for; a read is refused exactly while another one is at the port, and the read
// guard is taken exactly while one is; nothing is left at the port once every caller has its
// answer, nor in pool at unload; and every verifier rule holds.
#include "driver_replay.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "filter.h"

namespace
{

using standin::Bytes;
using standin::Completion;
using standin::ReadOutcome;
using standin::RequestResult;

// Bytes the port delivers come from the front of the input, choices from the back.
class Choices
{
  public:
    Choices(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool Empty() const { return size_ == 0; }

    // 0 to n - 1: one byte, two above 256 choices; 0 once the input is used up.
    uint32_t Below(uint32_t n)
    {
        uint32_t raw = Byte();
        if (n > 256) {
            raw = raw << 8 | Byte();
        }
        return raw % n;
    }

    bool Flip() { return Below(2) == 1; }

    uint32_t Word()
    {
        uint32_t raw = 0;
        for (int i = 0; i < 4; ++i) {
            raw = raw << 8 | Byte();
        }
        return raw;
    }

    Bytes Take(size_t most)
    {
        const size_t n = most < size_ ? most : size_;
        Bytes bytes(data_, data_ + n);
        data_ += n;
        size_ -= n;
        return bytes;
    }

  private:
    uint8_t Byte() { return size_ == 0 ? 0 : data_[--size_]; }

    const uint8_t* data_;
    size_t size_;
};

const NTSTATUS kStatuses[] = {
    STATUS_SUCCESS,          STATUS_UNSUCCESSFUL,
    STATUS_CANCELLED,        STATUS_TIMEOUT,
    STATUS_DEVICE_BUSY,      STATUS_INSUFFICIENT_RESOURCES,
    STATUS_NOT_SUPPORTED,    STATUS_NO_SUCH_DEVICE,
    STATUS_BUFFER_TOO_SMALL, STATUS_INVALID_DEVICE_REQUEST,
};

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

template <class T, size_t N> T Pick(Choices& in, const T (&table)[N])
{
    return table[in.Below(N)];
}

enum : ULONG {
    kLongestRead = 700,   // past the device's buffers and queue
    kLongestWrite = 64,   // application writes
    kLongestControl = 40, // device-control buffers
    kLongestArrival = 96, // bytes one port read brings
    kMostSteps = 64,
    kMostPending = 4,   // application requests left outstanding at once
    kMostOthers = 16,   // requests sent by other threads while one waits
    kDeepestOthers = 2, // such a request may itself wait, and another come meanwhile
};

// An application request left outstanding, and what its answer must be.
struct Outstanding {
    standin::PendingRequest request;
    bool read = false;
    ULONG length = 0; // read length, or device-control output length
    bool refused = false;
    ULONG code = 0; // device control
    size_t inputLength = 0;
};

class Session
{
  public:
    Session(standin::Harness& h, Choices& in, const DriverReplay& how) : h_(h), in_(in), how_(how)
    {
    }

    std::string failure;

    void Fail(const std::string& what)
    {
        if (!failure.empty()) {
            return;
        }
        if (how_.abortOnFailure) {
            std::fprintf(stderr, "driver_fuzz: %s\n", what.c_str());
            std::abort();
        }
        failure = what;
    }

    void Check(bool ok, const char* what)
    {
        if (!ok) {
            Fail(what);
        }
    }

    void Run(const std::function<NTSTATUS(standin::Harness&)>& load)
    {
        h_.SetWhileWaiting([this](bool timedWait) { return WhileWaiting(timedWait); });
        Check(load(h_) == STATUS_SUCCESS, "DriverEntry failed");
        Check(h_.AddDevice() == STATUS_SUCCESS, "AddDevice failed");
        if (!failure.empty()) {
            return;
        }
        // Applications only reach a started device; the PnP manager may still do anything after.
        if (in_.Below(8) != 0) {
            Note("start", h_.Start());
            Note("open", h_.Open());
        }
        for (ULONG steps = 0; steps < kMostSteps && !in_.Empty() && failure.empty(); ++steps) {
            Step();
            CheckGuard();
        }
        SettleAll();
        Check(h_.Port().QueuedCount() == 0 && h_.Port().HeldCount() == 0,
              "requests are still at the port when every caller has its answer");
        Note("close", h_.Close());
        h_.Port().SetPnpResult(IRP_MN_REMOVE_DEVICE, STATUS_SUCCESS);
        Note("remove", h_.Remove());
        Check(h_.FilterDevice() == nullptr, "the filter device survived its removal");
        h_.Unload(); // reports pool or devices left behind
        if (how_.trace) {
            TracePort();
        }
    }

  private:
    DEVICE_EXTENSION* Ext() { return FilterExtension(h_.FilterDevice()); }

    bool ReadAtThePort() { return Ext()->ReadInProgress != 0; }

    void Note(const char* what, const RequestResult& r)
    {
        if (how_.trace) {
            std::ostringstream line;
            line << what << ' ' << std::hex << static_cast<ULONG>(r.Status) << ' ' << std::dec
                 << r.Information << '\n';
            *how_.trace += line.str();
        }
    }

    void TracePort()
    {
        for (const standin::PortRequest& r : h_.Port().Requests()) {
            std::ostringstream line;
            line << "port " << int(r.Major) << '/' << int(r.Minor) << ' ' << r.Length << '\n';
            *how_.trace += line.str();
        }
        *how_.trace += "virtual " + std::to_string(h_.VirtualTime().count()) + " us\n";
    }

    Completion PickCompletion()
    {
        const Completion ways[] = {Completion::Immediate, Completion::Async, Completion::Held};
        return Pick(in_, ways);
    }

    // A scripted port read for a read that will reach the port.
    ReadOutcome PickReadOutcome()
    {
        const Completion when = PickCompletion();
        switch (in_.Below(6)) {
            case 0:
                return ReadOutcome::Timeout(when);
            case 1:
                return ReadOutcome::Failure(Pick(in_, kStatuses), when);
            case 2:
                return ReadOutcome::OverCount(in_.Flip() ? 97 + in_.Below(504) : in_.Word(), when);
            case 3: {
                const Bytes partial = in_.Take(in_.Below(kLongestArrival + 1));
                return ReadOutcome::Cancelled(std::string(partial.begin(), partial.end()), when);
            }
            default: {
                // Mostly the receiver's bytes, taken from the front of the input.
                ReadOutcome outcome =
                    ReadOutcome::Raw(in_.Take(1 + in_.Below(kLongestArrival)), when);
                if (in_.Below(16) == 0) {
                    outcome.Status = Pick(in_, kStatuses);
                }
                return outcome;
            }
        }
    }

    void CheckRead(const RequestResult& r, ULONG length, bool refused)
    {
        Note("read", r);
        Check(r.Status != STATUS_PENDING, "a read was never completed");
        Check(r.Information <= length, "a read delivered more than it asked for");
        Check(r.Data.size() == length, "a read's caller memory changed size");
        // The port never answers with STATUS_RETRY: that is the filter's refusal.
        Check(!refused || (r.Status == STATUS_RETRY && r.Information == 0),
              "a second read while one is at the port was not refused");
        Check(refused || r.Status != STATUS_RETRY, "a read was refused with none at the port");
    }

    void CheckDeviceControl(const RequestResult& r, ULONG code, size_t inputLength, ULONG output)
    {
        Note("control", r);
        Check(r.Status != STATUS_PENDING, "a device control was never completed");
        Check(r.Information <= output, "a device control returned more than its buffer");
        if (code == IOCTL_SERIAL_SET_HANDFLOW && inputLength < sizeof(SERIAL_HANDFLOW)) {
            Check(r.Status == STATUS_BUFFER_TOO_SMALL, "a short handflow record was accepted");
        }
    }

    // The guard is taken exactly while a read the filter let through is outstanding.
    void CheckGuard()
    {
        bool outstanding = false;
        for (Outstanding& o : pending_) {
            outstanding = outstanding || (o.read && !o.refused && !o.request.Done());
        }
        Check(ReadAtThePort() == outstanding,
              "the read guard does not match the reads at the port");
    }

    void Read(bool leaveOutstanding)
    {
        const ULONG length = in_.Below(kLongestRead + 1);
        const bool refused = ReadAtThePort();
        if (!refused && Ext()->OutputBuffer.Length == 0 && in_.Below(8) != 0) {
            h_.Port().QueueRead(PickReadOutcome());
        }
        if (leaveOutstanding && pending_.size() < kMostPending) {
            Outstanding o;
            o.request = h_.ReadAsync(length);
            o.read = true;
            o.length = length;
            o.refused = refused;
            pending_.push_back(o);
            return;
        }
        if (length == 0 && in_.Flip()) {
            const RequestResult r = h_.ReadWithoutBuffer();
            Note("read", r);
            Check(r.Status != STATUS_PENDING, "a read without buffer was never completed");
            Check(r.Information == 0, "a read without buffer got bytes");
            Check(refused == (r.Status == STATUS_RETRY),
                  "a read without buffer was refused, or let through, wrongly");
            return;
        }
        CheckRead(h_.Read(length), length, refused);
    }

    void Write()
    {
        const Bytes bytes = in_.Take(in_.Below(kLongestWrite + 1));
        const RequestResult r = h_.Write(bytes);
        Note("write", r);
        Check(r.Status != STATUS_PENDING, "a write was never completed");
        Check(r.Information <= bytes.size(), "a write reported more bytes than it had");
    }

    void DeviceControl(bool leaveOutstanding)
    {
        const ULONG code = Pick(in_, kIoctls);
        const Bytes input = in_.Take(in_.Below(kLongestControl + 1));
        const ULONG output = in_.Below(kLongestControl + 1);
        if (leaveOutstanding && pending_.size() < kMostPending) {
            Outstanding o;
            o.request = h_.DeviceControlAsync(code, input, output);
            o.code = code;
            o.inputLength = input.size();
            o.length = output;
            pending_.push_back(o);
            return;
        }
        CheckDeviceControl(h_.DeviceControl(code, input, output), code, input.size(), output);
    }

    void Power()
    {
        const UCHAR minor = in_.Flip() ? IRP_MN_SET_POWER : IRP_MN_QUERY_POWER;
        const bool device = in_.Flip();
        const ULONG state = device ? in_.Below(5) : in_.Below(8);
        const RequestResult r =
            h_.Power(minor, device ? DevicePowerState : SystemPowerState, state);
        Note("power", r);
        Check(r.Status != STATUS_PENDING, "a power request was never completed");
    }

    void Pnp()
    {
        const RequestResult r = h_.Pnp(Pick(in_, kPnpMinors));
        Note("pnp", r);
        Check(r.Status != STATUS_PENDING, "a PnP request was never completed");
    }

    // The answer to one outstanding request, cancelled first if the input says so.
    void Settle(size_t index)
    {
        Outstanding o = pending_[index];
        pending_.erase(pending_.begin() + static_cast<long>(index));
        if (in_.Below(4) == 0) {
            o.request.Cancel();
        }
        const RequestResult r = o.request.Wait();
        if (o.read) {
            CheckRead(r, o.length, o.refused);
        } else {
            CheckDeviceControl(r, o.code, o.inputLength, o.length);
        }
    }

    // A handle is closed only once its requests are answered.
    void SettleAll()
    {
        while (!pending_.empty()) {
            Settle(in_.Below(static_cast<uint32_t>(pending_.size())));
        }
    }

    void PortScript()
    {
        standin::SimulatedPort& port = h_.Port();
        switch (in_.Below(10)) {
            case 0:
                port.QueueWriteResult(Pick(in_, kStatuses), PickCompletion());
                break;
            case 1:
                port.SetWriteCompletion(PickCompletion());
                break;
            case 2:
                port.SetAmountInInQueue(in_.Word());
                break;
            case 3:
                port.QueueCommStatusFailure(Pick(in_, kStatuses));
                break;
            case 4:
                port.SetDeviceControlCompletion(PickCompletion());
                break;
            case 5:
                port.SetPnpResult(Pick(in_, kPnpMinors), Pick(in_, kStatuses), PickCompletion());
                break;
            case 6:
                port.SetPowerResult(Pick(in_, kStatuses), PickCompletion());
                break;
            case 7:
                port.SetCreateResult(Pick(in_, kStatuses), PickCompletion());
                break;
            case 8:
                port.SetCloseResult(Pick(in_, kStatuses), PickCompletion());
                break;
            default:
                h_.FailIrpAllocations(1);
                break;
        }
    }

    // What another processor does between two requests: a completion due, a held request let
    // go, a caller's cancel.
    void Elsewhere()
    {
        switch (in_.Below(3)) {
            case 0:
                h_.Port().RunQueued(in_.Below(256));
                break;
            case 1:
                h_.Port().ReleaseHeld();
                break;
            default:
                if (!pending_.empty()) {
                    pending_[in_.Below(static_cast<uint32_t>(pending_.size()))].request.Cancel();
                }
                break;
        }
    }

    void Step()
    {
        switch (in_.Below(15)) {
            case 0:
                Note("start", h_.Start());
                break;
            case 1:
                Note("open", h_.Open());
                break;
            case 2:
                SettleAll();
                Note("close", h_.Close());
                break;
            case 3:
            case 4:
                Read(false);
                break;
            case 5:
                Read(true);
                break;
            case 6:
                Write();
                break;
            case 7:
                DeviceControl(false);
                break;
            case 8:
                DeviceControl(true);
                break;
            case 9:
                Power();
                break;
            case 10:
                Pnp();
                break;
            case 11:
                if (!pending_.empty()) {
                    Settle(in_.Below(static_cast<uint32_t>(pending_.size())));
                }
                break;
            case 12:
                Elsewhere();
                break;
            default:
                PortScript();
                break;
        }
    }

    // Something that lets the waiter go on: the oldest completion due, else what the port holds.
    bool Progress()
    {
        standin::SimulatedPort& port = h_.Port();
        if (port.RunQueued(0)) {
            return true;
        }
        const bool held = port.HeldCount() != 0;
        port.ReleaseHeld();
        return held;
    }

    // While a thread waits, other processors run a completion of the input's choosing, or
    // another thread sends a request; a timed wait may see its time-out come first.
    bool WhileWaiting(bool timedWait)
    {
        if (depth_ >= kDeepestOthers) {
            return Progress();
        }
        switch (in_.Below(timedWait ? 4 : 3)) {
            case 1: {
                const size_t queued = h_.Port().QueuedCount();
                return queued != 0 ? h_.Port().RunQueued(in_.Below(256)) : Progress();
            }
            case 2:
                if (others_ < kMostOthers) {
                    ++others_;
                    ++depth_;
                    Another();
                    --depth_;
                    return true;
                }
                return Progress();
            case 3:
                return false;
            default:
                return Progress();
        }
    }

    // A request from another thread, into a driver that is busy elsewhere.
    void Another()
    {
        switch (in_.Below(4)) {
            case 0:
                Read(false);
                break;
            case 1:
                DeviceControl(false);
                break;
            case 2:
                Write();
                break;
            default:
                if (!pending_.empty()) {
                    pending_[in_.Below(static_cast<uint32_t>(pending_.size()))].request.Cancel();
                }
                break;
        }
    }

    standin::Harness& h_;
    Choices& in_;
    const DriverReplay& how_;
    std::vector<Outstanding> pending_;
    ULONG others_ = 0;
    ULONG depth_ = 0;
};

} // namespace

std::string ReplayDriverInput(const uint8_t* data, size_t size, const DriverReplay& how)
{
    Choices in(data, size);
    std::string failure;
    standin::FindingHandler previous;
    Session* current = nullptr;
    if (!how.abortOnFailure) {
        previous = standin::SetFindingHandler([&current, &failure](const standin::Finding& f) {
            const std::string what = "verifier " + f.Rule + ": " + f.Message;
            if (current) {
                current->Fail(what);
            } else if (failure.empty()) {
                failure = what;
            }
        });
    }
    {
        // One per input: the kernel it plays is process-wide.
        standin::Harness h(standin::Scheduling::Deterministic);
        Session session(h, in, how);
        current = &session;
        session.Run(how.load);
        current = nullptr;
        failure = session.failure;
    }
    if (!how.abortOnFailure) {
        standin::SetFindingHandler(previous);
    }
    return failure;
}
