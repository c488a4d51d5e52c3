// The verifier's rules: every finding the stand-in reports names one of these. A rule's name is
// what Finding::Rule carries; tests and the default handler's message use it.
#pragma once

#include <cstddef>

namespace standin
{

enum class VerifierRule {
    // Requests, in the I/O manager.
    CallUnknownRequest,
    OutOfStackLocations,
    CallNoDevice,
    NoDispatchRoutine,
    PendingNotMarked,
    MarkedNotPending,
    CompleteUnknownRequest,
    DoubleCompletion,
    CompleteWithPending,
    CallerBufferNotRestored,
    InformationOverrun,
    DriverRequestCompletedToTop,
    FreeUnknownRequest,
    FreeInUse,
    // Device objects.
    DetachNothing,
    DeleteAttached,
    // IRQL, waits and power.
    Irql,
    WaitAtDispatch,
    EndlessWait,
    RoutineIrql,
    PageableAtDispatch,
    Power,
    PowerNotStartedNext,
    PowerNotPoCallDriver,
    PowerPagableMismatch,
    // Pool and physical memory.
    BadPoolFree,
    BadUnmap,
    // The driver image.
    CallingConvention,
    // What the harness sees as loader, Plug and Play manager and application.
    Harness,
    NoAddDevice,
    DeviceInitializing,
    ReturnedBeforeCompletion,
    RequestNeverCompleted,
    ReturnedStatusDiffers,
    RefusedWithWarning,
    DevicesAtUnload,
    PoolAtUnload,
    MappingAtUnload,
    // The port below.
    PortReadWithoutBuffer,
    // The driver's own checks.
    Assert,
};

struct VerifierRuleEntry {
    VerifierRule rule;
    const char* name;            // as findings carry it
    const char* catches;         // the driver fault
    const char* where;           // the stand-in routine that checks it
    const char* basis = nullptr; // the kit's word, or the Driver Verifier option it mirrors
};

inline constexpr VerifierRuleEntry kVerifierRules[] = {
    {VerifierRule::CallUnknownRequest, "call-unknown-request",
     "a request sent down that no IoAllocateIrp made (or one already freed)", "IofCallDriver"},
    {VerifierRule::OutOfStackLocations, "out-of-stack-locations",
     "a request sent down with no stack location left for the device below", "IofCallDriver"},
    {VerifierRule::CallNoDevice, "call-no-device",
     "a request sent to a null device, or one that belongs to no driver", "IofCallDriver"},
    {VerifierRule::NoDispatchRoutine, "no-dispatch-routine",
     "a request sent to a driver with no dispatch routine for its major function", "IofCallDriver"},
    {VerifierRule::PendingNotMarked, "pending-not-marked",
     "STATUS_PENDING returned from a location without SL_PENDING_RETURNED, including a "
     "completion routine that does not pass the mark on",
     "IofCallDriver, IofCompleteRequest, IoFreeIrp"},
    {VerifierRule::MarkedNotPending, "marked-not-pending",
     "a location marked pending whose dispatch routine returned a final status",
     "IofCallDriver, IofCompleteRequest, IoFreeIrp"},
    {VerifierRule::CompleteUnknownRequest, "complete-unknown-request",
     "IoCompleteRequest on a request that no IoAllocateIrp made (or one already freed)",
     "IofCompleteRequest"},
    {VerifierRule::DoubleCompletion, "double-completion",
     "a request completed twice, or again while its completion routines run", "IofCompleteRequest"},
    {VerifierRule::CompleteWithPending, "complete-with-pending",
     "a request completed with STATUS_PENDING as its status", "IofCompleteRequest"},
    {VerifierRule::CallerBufferNotRestored, "caller-buffer-not-restored",
     "an application read that reaches its caller with another system buffer or length",
     "IofCompleteRequest"},
    {VerifierRule::InformationOverrun, "information-overrun",
     "a buffered request completed with more bytes of information than the caller's buffer",
     "IofCompleteRequest (copy-back)"},
    {VerifierRule::DriverRequestCompletedToTop, "driver-request-completed-to-top",
     "a driver's own request completed past its top location: no routine took it back",
     "IofCompleteRequest"},
    {VerifierRule::FreeUnknownRequest, "free-unknown-request",
     "IoFreeIrp of a request that no IoAllocateIrp made, or a second IoFreeIrp", "IoFreeIrp"},
    {VerifierRule::FreeInUse, "free-in-use",
     "IoFreeIrp of a request a driver below still holds, or in a completion routine that then "
     "lets the completion go on",
     "IoFreeIrp, IofCompleteRequest"},
    {VerifierRule::DetachNothing, "detach-nothing",
     "IoDetachDevice of a device with nothing attached above it", "IoDetachDevice"},
    {VerifierRule::DeleteAttached, "delete-attached",
     "IoDeleteDevice of a device still attached below or above", "IoDeleteDevice"},
    {VerifierRule::Irql, "irql", "KeRaiseIrql to a lower level, or KeLowerIrql to a higher one",
     "KfRaiseIrql, KfLowerIrql"},
    {VerifierRule::WaitAtDispatch, "wait-at-dispatch",
     "a wait with a non-zero time-out at DISPATCH_LEVEL or above", "KeWaitForSingleObject"},
    {VerifierRule::EndlessWait, "endless-wait",
     "a wait with no time-out on an event that nothing left to run can signal, such as a "
     "request the port holds: the threaded port would hang there",
     "KeWaitForSingleObject, in deterministic mode"},
    {VerifierRule::RoutineIrql, "routine-irql",
     "a kernel routine called above the highest IRQL its reference page allows (for pool, the "
     "highest for the pool type)",
     "every exported routine, on entry (kKernelRoutines)",
     "the IRQL line of each routine's reference page in the kit; Driver Verifier's IRQL "
     "checking"},
    {VerifierRule::PageableAtDispatch, "pageable-at-dispatch",
     "an image's PAGE* or .eda* section touched at DISPATCH_LEVEL or above, or a discardable "
     "(INIT) section touched after DriverEntry returned",
     "the image's page-fault handler (image_paging.cpp)",
     "Driver Verifier's Force IRQL Checking: pageable code and data are trimmed whenever IRQL "
     "rises to DISPATCH_LEVEL; XP's loader makes PAGE* and .eda* sections pageable and frees "
     "discardable ones once DriverEntry has returned"},
    {VerifierRule::Power, "power",
     "PoStartNextPowerIrp or PoCallDriver with a request that is not a power request",
     "PoStartNextPowerIrp, PoCallDriver"},
    {VerifierRule::PowerNotStartedNext, "power-not-started-next",
     "a power request passed on by a driver that did not call PoStartNextPowerIrp for it",
     "IofCallDriver",
     "PoStartNextPowerIrp: on XP every driver calls it for each power request, while the stack "
     "location is its own, before passing the request on or completing it"},
    {VerifierRule::PowerNotPoCallDriver, "power-not-po-call-driver",
     "a power request sent down with IofCallDriver instead of PoCallDriver", "IofCallDriver",
     "PoCallDriver: on XP power requests go down only through it, so that the power manager "
     "can keep one at a time per device"},
    {VerifierRule::PowerPagableMismatch, "power-pagable-mismatch",
     "DO_POWER_PAGABLE on a device attached above one that has it clear",
     "Harness::AddDevice, PoCallDriver",
     "Setting Device Object Flags for Power Management: a driver must not set "
     "DO_POWER_PAGABLE above a device that clears it, since that stack gets its power "
     "requests at DISPATCH_LEVEL"},
    {VerifierRule::BadPoolFree, "bad-pool-free",
     "ExFreePool of memory that is not an outstanding pool block", "ExFreePool"},
    {VerifierRule::BadUnmap, "bad-unmap",
     "MmUnmapIoSpace of an address or a size that MmMapIoSpace did not return", "MmUnmapIoSpace"},
    {VerifierRule::CallingConvention, "calling-convention",
     "an image routine that does not remove its own arguments: not stdcall (NTAPI)",
     "CallImageRoutine (the image gate)"},
    {VerifierRule::Harness, "harness", "a second Harness while one is alive", "Harness::Harness"},
    {VerifierRule::NoAddDevice, "no-add-device", "a DriverEntry that set no AddDevice routine",
     "Harness::AddDevice"},
    {VerifierRule::DeviceInitializing, "device-initializing",
     "DO_DEVICE_INITIALIZING still set on a device after AddDevice returned", "Harness::AddDevice"},
    {VerifierRule::ReturnedBeforeCompletion, "returned-before-completion",
     "a dispatch routine returned a final status for a request it had not completed",
     "the harness's application requests"},
    {VerifierRule::RequestNeverCompleted, "request-never-completed",
     "an application request that was still not completed at the harness's deadline",
     "the harness's application requests"},
    {VerifierRule::ReturnedStatusDiffers, "returned-status-differs",
     "a dispatch routine returned another final status than the request completed with",
     "the harness's application requests"},
    {VerifierRule::RefusedWithWarning, "refused-with-warning",
     "a read, write or device-control request that the top driver completes in its dispatch "
     "routine without passing it on, with no data and a warning status (neither success nor "
     "error)",
     "the harness's application requests",
     "NT_SUCCESS and NT_ERROR: for any status that is not an error the I/O manager writes the "
     "status block, sets the event and queues the completion, while ReadFile, WriteFile and "
     "DeviceIoControl report a warning as failure"},
    {VerifierRule::DevicesAtUnload, "devices-at-unload",
     "device objects of the driver still there when its unload routine returned",
     "Harness::Unload"},
    {VerifierRule::PoolAtUnload, "pool-at-unload", "pool blocks still allocated at unload",
     "Harness::Unload"},
    {VerifierRule::MappingAtUnload, "mapping-at-unload",
     "physical-memory mappings still in place at unload", "Harness::Unload"},
    {VerifierRule::PortReadWithoutBuffer, "port-read-without-buffer",
     "a read of one byte or more that reaches the port with no system buffer",
     "the simulated port's read"},
    {VerifierRule::Assert, "assert", "a failed ASSERT in the driver", "StandinAssertFailed"},
};

inline constexpr size_t kVerifierRuleCount = sizeof kVerifierRules / sizeof kVerifierRules[0];

constexpr bool RulesInOrder()
{
    for (size_t i = 0; i < kVerifierRuleCount; ++i)
        if (static_cast<size_t>(kVerifierRules[i].rule) != i)
            return false;
    return static_cast<size_t>(VerifierRule::Assert) + 1 == kVerifierRuleCount;
}
static_assert(RulesInOrder(), "one entry per rule, in the order of VerifierRule");

constexpr const VerifierRuleEntry& RuleEntry(VerifierRule rule)
{
    return kVerifierRules[static_cast<size_t>(rule)];
}

} // namespace standin
