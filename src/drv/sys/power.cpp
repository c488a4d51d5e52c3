// Power: every request goes down. The first return to the working state after the device was
// powered down starts the stream afresh.
#include "filter.h"

NTSTATUS NTAPI FilterDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DEVICE_EXTENSION* ext = FilterExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    if (stack->MinorFunction == IRP_MN_SET_POWER) {
        const POWER_STATE_TYPE type = stack->Parameters.Power.Type;
        if (ext->DevicePowerState != PowerDeviceD0 && type == SystemPowerState &&
            stack->Parameters.Power.State.SystemState == PowerSystemWorking) {
            ext->SendRmcRateCommand = FALSE;
            ext->SendErrRateCommand = FALSE;
            ResetNavState();
        }
        // Recorded on the way down; the port's outcome is not waited for.
        if (type == DevicePowerState) {
            ext->DevicePowerState = ULONG(stack->Parameters.Power.State.DeviceState);
        }
    }

    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(NextLower(ext), Irp);
}
