// The power manager's two calls a filter makes, with XP's rules for passing power requests on.
#include "kernel_routines.h"
#include "kernel_state.h"

using namespace standin;

namespace standin
{

void CheckPowerPagable(PDEVICE_OBJECT device)
{
    PDEVICE_OBJECT lower = device ? device->DeviceObjectExtension->AttachedTo : nullptr;
    if (lower && (device->Flags & DO_POWER_PAGABLE) && !(lower->Flags & DO_POWER_PAGABLE))
        Report(VerifierRule::PowerPagableMismatch,
               "a device with DO_POWER_PAGABLE is attached above one that has it clear");
}

} // namespace standin

extern "C" {

VOID NTAPI PoStartNextPowerIrp(PIRP Irp)
{
    CheckCallerIrql(KernelRoutine::PoStartNextPowerIrp);
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER)
        Report(VerifierRule::Power, "PoStartNextPowerIrp on a request that is not a power request");
    std::lock_guard<std::mutex> guard(Kernel().lock);
    Kernel().poStartNextCalls++;
    auto it = Kernel().irps.find(Irp);
    if (it != Kernel().irps.end())
        it->second.startNextDue = false;
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CheckCallerIrql(KernelRoutine::PoCallDriver);
    if (IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER)
        Report(VerifierRule::Power, "PoCallDriver with a request that is not a power request");
    CheckPowerPagable(DeviceObject);
    return CallDriver(DeviceObject, Irp, true);
}

} // extern "C"
