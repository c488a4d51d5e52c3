// Power: the device state follows every device set-power request; the first return to the
// working state after a power-down starts the stream afresh.
#include "driver_fixture.h"

#include <vector>
#include "../common/param_name.h"

namespace
{

class PowerTest : public DriverTest
{
  protected:
    void Raise()
    {
        Ext()->SendRmcRateCommand = TRUE;
        Ext()->SendErrRateCommand = TRUE;
        DirtyNavState();
    }
};

TEST_F(PowerTest, PowerDownThenWorkingThenD0)
{
    Bring();
    Fill(Ext()->OutputBuffer, "$GPVTG,,T,,M,0.0,N,0.0,K*4E\r\n");

    EXPECT_EQ(h.Power(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3).Status, STATUS_SUCCESS);
    EXPECT_EQ(Ext()->DevicePowerState, ULONG(PowerDeviceD3));

    Raise();
    EXPECT_EQ(h.Power(IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking).Status,
              STATUS_SUCCESS);
    EXPECT_FALSE(Ext()->SendRmcRateCommand);
    EXPECT_FALSE(Ext()->SendErrRateCommand);
    EXPECT_TRUE(NavStateIsReset());
    EXPECT_EQ(Ext()->OutputBuffer.Length, 29u); // the buffers survive a resume

    EXPECT_EQ(h.Power(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0).Status, STATUS_SUCCESS);
    EXPECT_EQ(Ext()->DevicePowerState, ULONG(PowerDeviceD0));

    // Back in D0, a further working-state request resets nothing.
    Raise();
    h.Power(IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking);
    EXPECT_TRUE(Ext()->SendRmcRateCommand);
    EXPECT_TRUE(Ext()->SendErrRateCommand);
    EXPECT_FALSE(NavStateIsReset());

    const std::vector<standin::PortRequest> seen = h.Port().Requests(IRP_MJ_POWER);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].PowerType, ULONG(DevicePowerState));
    EXPECT_EQ(seen[0].PowerState, ULONG(PowerDeviceD3));
    EXPECT_EQ(h.PoStartNextPowerIrpCalls(), 4u);
}

// Above a port that is not power-pageable the filter is not either, and its power requests
// come at DISPATCH_LEVEL: the same handling, with nothing there that needs a lower level.
TEST_F(PowerTest, AboveANonPageablePortRequestsComeAtDispatchLevel)
{
    h.Port().SetFlags(DO_BUFFERED_IO);
    Bring();
    EXPECT_EQ(h.FilterDevice()->Flags & DO_POWER_PAGABLE, 0u);

    EXPECT_EQ(h.Power(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3).Status, STATUS_SUCCESS);
    Raise();
    EXPECT_EQ(h.Power(IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking).Status,
              STATUS_SUCCESS);
    EXPECT_FALSE(Ext()->SendRmcRateCommand);
    EXPECT_TRUE(NavStateIsReset());
    EXPECT_EQ(h.PoStartNextPowerIrpCalls(), 2u);
}

struct SystemCase {
    ULONG DeviceState;
    SYSTEM_POWER_STATE SystemState;
    bool Resets;
};

class SystemRequestTest : public PowerTest, public ::testing::WithParamInterface<SystemCase>
{
};

TEST_P(SystemRequestTest, ResetsOnlyOnWorkingAfterPowerDown)
{
    const SystemCase& c = GetParam();
    Bring();
    Ext()->DevicePowerState = c.DeviceState;
    Raise();
    h.Power(IRP_MN_SET_POWER, SystemPowerState, c.SystemState);
    EXPECT_EQ(NavStateIsReset(), c.Resets);
    EXPECT_EQ(bool(Ext()->SendErrRateCommand), !c.Resets);
    EXPECT_EQ(bool(Ext()->SendRmcRateCommand), !c.Resets);
    EXPECT_EQ(Ext()->DevicePowerState, c.DeviceState); // system requests do not record
}

INSTANTIATE_TEST_SUITE_P(States, SystemRequestTest,
                         ::testing::Values(SystemCase{PowerDeviceD0, PowerSystemWorking, false},
                                           SystemCase{PowerDeviceD1, PowerSystemWorking, true},
                                           SystemCase{PowerDeviceD3, PowerSystemWorking, true},
                                           SystemCase{PowerDeviceD3, PowerSystemSleeping3, false},
                                           SystemCase{PowerDeviceD3, PowerSystemHibernate, false}),
                         ParamRowName());

class OtherPowerMinorTest : public PowerTest, public ::testing::WithParamInterface<UCHAR>
{
};

// Only set-power requests are looked at; all go down after the next power request is allowed.
TEST_P(OtherPowerMinorTest, PassesOnWithoutLooking)
{
    Bring();
    Raise();
    Ext()->DevicePowerState = PowerDeviceD3;
    h.Port().SetPowerResult(STATUS_UNSUCCESSFUL);
    h.Port().ClearRequests();
    const size_t before = h.PoStartNextPowerIrpCalls();

    EXPECT_EQ(h.Power(GetParam(), SystemPowerState, PowerSystemWorking).Status,
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(h.Power(GetParam(), DevicePowerState, PowerDeviceD0).Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Ext()->DevicePowerState, ULONG(PowerDeviceD3));
    EXPECT_TRUE(Ext()->SendErrRateCommand);
    EXPECT_FALSE(NavStateIsReset());
    EXPECT_EQ(h.Port().Requests(IRP_MJ_POWER).size(), 2u);
    EXPECT_EQ(h.PoStartNextPowerIrpCalls(), before + 2);
}

INSTANTIATE_TEST_SUITE_P(Minors, OtherPowerMinorTest,
                         ::testing::Values(UCHAR(IRP_MN_WAIT_WAKE), UCHAR(IRP_MN_POWER_SEQUENCE),
                                           UCHAR(IRP_MN_QUERY_POWER)));

} // namespace
