// Process-wide state of the stand-in kernel, shared by its parts. Not for drivers.
#pragma once

#include <ntddk.h>

#include "harness.h"
#include "verifier_rules.h"

#include <map>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace standin
{

// Reports a finding of `rule` to the installed handler.
void Report(VerifierRule rule, const std::string& message);

// What the I/O manager keeps about one request.
struct IrpTrack {
    enum State { Idle, Sent, Completing, Stopped, Completed } state = Idle;
    bool fromHarness = false; // built by the harness on behalf of an application
    bool freeDeferred = false;
    bool routineRunning = false;
    bool startNextDue = false; // a power request whose driver has not called PoStartNextPowerIrp
    // Drivers it has been sent to. Not its stack location: a driver that skips its location
    // hands the driver below the one it had itself.
    int sends = 0;
    std::thread::id routineThread; // where the running completion routine runs
    // Pending-return bookkeeping per stack location (index 1..StackCount), in one block.
    struct Location {
        int mark = -1;                 // -1 unknown, else final SL_PENDING_RETURNED
        std::vector<NTSTATUS> returns; // dispatch results not yet checked
    };
    std::vector<Location> locations;
    // Set by the harness: what the application handed over.
    PVOID originalSystemBuffer = nullptr;
    ULONG originalLength = 0;
    UCHAR originalMajor = 0;
    bool copyBack = false;        // buffered: the system buffer goes back to the caller
    PVOID callerBuffer = nullptr; // the application's memory
    ULONG callerLength = 0;
    void (*onComplete)(PIRP irp, void* context) = nullptr;
    void* onCompleteContext = nullptr;
};

struct PoolBlock {
    POOL_TYPE type;
    size_t size;
    ULONG tag;
};

struct Mapping {
    size_t size;
};

// A failure a test asks for: after `after` calls that go through, the next `count` fail, with
// `status` where the routine returns one.
struct FaultKnob {
    int count = 0;
    int after = 0;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    bool Fire(); // whether this call fails; under the kernel lock
};

// One knob per routine a test can make fail.
struct FaultKnobs {
    FaultKnob pool, map, registry, createDevice, attach, irp;
};

struct KernelState {
    std::mutex lock; // guards everything below
    std::map<PIRP, IrpTrack> irps;
    Harness* harness = nullptr; // the one harness playing around this kernel
    std::map<void*, PoolBlock> pool;
    std::vector<Harness::PoolCall> poolCalls;
    std::map<void*, Mapping> mappings;
    std::map<ULONG64, Bytes> firmware;
    std::vector<RegistryValue> registry;
    FaultKnobs faults;
    size_t poStartNextCalls = 0;
    std::vector<PDEVICE_OBJECT> devices;
    std::vector<DriverImage*> images; // loaded driver images: calls into them go through a gate
    // Deterministic scheduling, set by the harness; empty when threaded. Where a thread would
    // block it calls `runOther`, which runs what other processors would meanwhile and returns
    // false when nothing was left; after an endless wait is reported, `letGo` makes the port
    // give up what it holds, so that the run can go on.
    std::function<bool(bool timedWait)> runOther;
    std::function<void()> letGo;
    LONGLONG virtualTime = 0; // 100 ns units, moved only by waits that time out
};

KernelState& Kernel();
void ResetKernel(); // clears every record (devices are freed by their owners first)

// Deterministic scheduling: whether it is on, and one turn of what runs while a thread would
// block (false: nothing left to run, or threaded).
bool Deterministic();
bool RunOther(bool timedWait);
void LetGo();
void AdvanceVirtualTime(LONGLONG ticks);
void FreeDeviceObject(PDEVICE_OBJECT device); // without verifier checks

// Harness-built requests.
PIRP AllocateIrpInternal(CCHAR stackSize, bool fromHarness);
void FreeIrpInternal(PIRP irp);
void SetIrqlForThread(KIRQL irql);
// IofCallDriver without its own IRQL check; PoCallDriver passes true.
NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, bool fromPoCallDriver);
// Reports a device with DO_POWER_PAGABLE above one without it (power-pagable-mismatch).
void CheckPowerPagable(PDEVICE_OBJECT device);

// Driver Verifier's forced IRQL checking of images (image_paging.cpp). The kernel watches an
// image from its load, discards its INIT sections when DriverEntry has returned, and trims its
// pageable sections whenever it runs image code at DISPATCH_LEVEL or raises IRQL to it.
void WatchImage(const DriverImage& image);
void ForgetImage(const DriverImage* image); // null: every image
void DiscardInitSections(const DriverImage& image);
void TrimPageableSections();

// While the kernel is inside an image routine: names it in findings, trims at DISPATCH_LEVEL,
// and reports what the routine touched when it returns.
class ImageCallScope
{
  public:
    ImageCallScope(const char* what, ULONG rva);
    ~ImageCallScope();
    ImageCallScope(const ImageCallScope&) = delete;
    ImageCallScope& operator=(const ImageCallScope&) = delete;
};

// A pointer as an argument word of a call into an image.
inline ULONG_PTR Word(const void* pointer)
{
    return reinterpret_cast<ULONG_PTR>(pointer);
}

// When `routine` lies in a loaded driver image: calls it with `args` as the kernel calls a
// driver's stdcall routine, reports one that does not remove exactly its own arguments, stores
// what it returned in `result` and returns true; with `measureStack`, the image records how deep
// the routine went. False, with nothing called, for a routine of no image.
bool CallImageRoutine(const char* what, const void* routine, std::initializer_list<ULONG_PTR> args,
                      bool measureStack, ULONG_PTR* result);

} // namespace standin
