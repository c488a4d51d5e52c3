// The power manager's two calls a filter makes.
#include "kernel_state.h"

using namespace standin;

extern "C" {

VOID NTAPI PoStartNextPowerIrp(PIRP Irp)
{
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER)
        Report(VerifierRule::Power, "PoStartNextPowerIrp on a request that is not a power request");
    std::lock_guard<std::mutex> guard(Kernel().lock);
    Kernel().poStartNextCalls++;
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER)
        Report(VerifierRule::Power, "PoCallDriver with a request that is not a power request");
    return IofCallDriver(DeviceObject, Irp);
}

} // extern "C"
