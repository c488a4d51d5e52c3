// Plug and Play: start, the state-change codes, stop and restart, removal.
#include "driver_fixture.h"

#include <vector>
#include "../common/param_name.h"

namespace
{

using standin::Completion;

class PnpTest : public DriverTest
{
  protected:
    void LoadAndAdd()
    {
        ASSERT_EQ(Load(), STATUS_SUCCESS);
        ASSERT_EQ(Add(), STATUS_SUCCESS);
    }

    // What a running device holds: queued output, half a sentence, a raw read, raised flags.
    void Dirty()
    {
        Fill(Ext()->OutputBuffer, "$GPGSA,A,3,,,,,,,,,,,,,1.0,1.0,1.0*33\r\n");
        Fill(Ext()->LineBuffer, "$GPGGA,1234");
        Fill(Ext()->ReadBuffer, "1234");
        Ext()->SendRmcRateCommand = TRUE;
        Ext()->SendErrRateCommand = TRUE;
    }

    void ExpectStartedEmpty()
    {
        EXPECT_EQ(Ext()->LineBuffer.Capacity, 512u);
        EXPECT_EQ(Ext()->OutputBuffer.Capacity, 512u);
        EXPECT_EQ(Ext()->ReadBuffer.Capacity, 96u);
        EXPECT_TRUE(AllZero(Ext()->LineBuffer));
        EXPECT_TRUE(AllZero(Ext()->OutputBuffer));
        EXPECT_TRUE(AllZero(Ext()->ReadBuffer));
        EXPECT_FALSE(Ext()->SendRmcRateCommand);
        EXPECT_FALSE(Ext()->SendErrRateCommand);
    }
};

struct StartCase {
    NTSTATUS PortStatus;
    Completion When;
};

class StartTest : public PnpTest, public ::testing::WithParamInterface<StartCase>
{
};

// The port starts first; the buffers are sized whatever it answered, and its answer is the
// answer of the start.
TEST_P(StartTest, SizesBuffersAndReportsThePortsStatus)
{
    const StartCase& c = GetParam();
    LoadAndAdd();
    Dirty();
    DirtyNavState();
    Ext()->DevicePowerState = PowerDeviceD2;
    h.Port().SetPnpResult(IRP_MN_START_DEVICE, c.PortStatus, c.When);

    const standin::RequestResult r = h.Start();
    EXPECT_EQ(r.Status, c.PortStatus);
    EXPECT_EQ(r.Returned, c.PortStatus);
    ASSERT_EQ(h.Port().Requests(IRP_MJ_PNP).size(), 1u);
    ExpectStartedEmpty();
    EXPECT_EQ(Ext()->DevicePowerState, ULONG(PowerDeviceD2));
    EXPECT_FALSE(NavStateIsReset());
}

INSTANTIATE_TEST_SUITE_P(Outcomes, StartTest,
                         ::testing::Values(StartCase{STATUS_SUCCESS, Completion::Immediate},
                                           StartCase{STATUS_SUCCESS, Completion::Async},
                                           StartCase{STATUS_UNSUCCESSFUL, Completion::Immediate},
                                           StartCase{STATUS_UNSUCCESSFUL, Completion::Async}),
                         ParamRowName());

TEST_F(PnpTest, RestartAfterStopEmptiesAgain)
{
    Bring();
    Dirty();
    const standin::RequestResult stop = h.Pnp(IRP_MN_STOP_DEVICE);
    EXPECT_EQ(stop.Status, STATUS_SUCCESS);
    // A stop only passes through.
    EXPECT_EQ(Ext()->OutputBuffer.Length, 39u);
    EXPECT_TRUE(Ext()->SendErrRateCommand);

    EXPECT_EQ(h.Start().Status, STATUS_SUCCESS);
    ExpectStartedEmpty();
}

struct MinorCase {
    UCHAR Minor;
    bool CarriesSuccess;
};

class MinorTest : public PnpTest, public ::testing::WithParamInterface<MinorCase>
{
};

// The six state-change codes go down marked as agreed; everything else with the status it had.
// The port's answer reaches the caller either way.
TEST_P(MinorTest, ArrivesWithTheExpectedStatus)
{
    const MinorCase& c = GetParam();
    Bring();
    h.Port().SetPnpResult(c.Minor, STATUS_DEVICE_NOT_READY);
    h.Port().ClearRequests();

    const standin::RequestResult r = h.Pnp(c.Minor, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(r.Status, STATUS_DEVICE_NOT_READY);
    const std::vector<standin::PortRequest> seen = h.Port().Requests(IRP_MJ_PNP);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].Minor, c.Minor);
    EXPECT_EQ(seen[0].ArrivedStatus, c.CarriesSuccess ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED);
}

INSTANTIATE_TEST_SUITE_P(Codes, MinorTest,
                         ::testing::Values(MinorCase{IRP_MN_QUERY_REMOVE_DEVICE, true},
                                           MinorCase{IRP_MN_CANCEL_REMOVE_DEVICE, true},
                                           MinorCase{IRP_MN_STOP_DEVICE, true},
                                           MinorCase{IRP_MN_QUERY_STOP_DEVICE, true},
                                           MinorCase{IRP_MN_CANCEL_STOP_DEVICE, true},
                                           MinorCase{IRP_MN_SURPRISE_REMOVAL, true},
                                           MinorCase{IRP_MN_QUERY_DEVICE_RELATIONS, false},
                                           MinorCase{IRP_MN_QUERY_INTERFACE, false},
                                           MinorCase{IRP_MN_QUERY_CAPABILITIES, false},
                                           MinorCase{IRP_MN_QUERY_ID, false},
                                           MinorCase{IRP_MN_DEVICE_USAGE_NOTIFICATION, false},
                                           MinorCase{0x18, false}, MinorCase{0xFF, false}),
                         ParamRowName());

class RemoveTest : public PnpTest, public ::testing::WithParamInterface<NTSTATUS>
{
};

// The filter leaves the stack whatever the port answers to its own removal.
TEST_P(RemoveTest, DetachesAndDeletes)
{
    Bring();
    ASSERT_EQ(h.Open().Status, STATUS_SUCCESS);
    ASSERT_EQ(h.Close().Status, STATUS_SUCCESS);
    h.Port().SetPnpResult(IRP_MN_REMOVE_DEVICE, GetParam());
    h.Port().ClearRequests();

    const standin::RequestResult r = Remove();
    EXPECT_EQ(r.Status, GetParam());
    const std::vector<standin::PortRequest> seen = h.Port().Requests(IRP_MJ_PNP);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].ArrivedStatus, STATUS_SUCCESS);
    EXPECT_EQ(h.Port().Pdo()->AttachedDevice, nullptr);
}

INSTANTIATE_TEST_SUITE_P(PortAnswers, RemoveTest,
                         ::testing::Values(STATUS_SUCCESS, STATUS_UNSUCCESSFUL));

} // namespace
