// Open and close.
#include "driver_fixture.h"
#include "../common/param_name.h"

namespace
{

using standin::Completion;

class OpenCloseTest : public DriverTest
{
  protected:
    void Dirty()
    {
        Fill(Ext()->OutputBuffer, "$GPGSV,1,1,00*79\r\n");
        Fill(Ext()->LineBuffer, "$GPRMC,12");
        Fill(Ext()->ReadBuffer, "C,12");
        Ext()->SendRmcRateCommand = TRUE;
        DirtyNavState();
    }
};

class OpenTest : public OpenCloseTest, public ::testing::WithParamInterface<NTSTATUS>
{
};

// Each open starts the stream from scratch, even when the port then refuses the open; a
// command already asked for is kept.
TEST_P(OpenTest, EmptiesBuffersResetsStateKeepsFlags)
{
    Bring();
    Dirty();
    h.Port().SetCreateResult(GetParam());

    EXPECT_EQ(h.Open().Status, GetParam());
    EXPECT_TRUE(AllZero(Ext()->OutputBuffer));
    EXPECT_TRUE(AllZero(Ext()->LineBuffer));
    EXPECT_TRUE(AllZero(Ext()->ReadBuffer));
    EXPECT_EQ(Ext()->LineBuffer.Capacity, 512u);
    EXPECT_EQ(Ext()->OutputBuffer.Capacity, 512u);
    EXPECT_EQ(Ext()->ReadBuffer.Capacity, 96u);
    EXPECT_TRUE(NavStateIsReset());
    EXPECT_TRUE(Ext()->SendRmcRateCommand);
    EXPECT_FALSE(Ext()->SendErrRateCommand);
    EXPECT_EQ(h.Port().Requests(IRP_MJ_CREATE).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(PortAnswers, OpenTest,
                         ::testing::Values(STATUS_SUCCESS, STATUS_ACCESS_DENIED));

struct CloseCase {
    NTSTATUS PortStatus;
    Completion When;
};

class CloseTest : public OpenCloseTest, public ::testing::WithParamInterface<CloseCase>
{
};

// Close waits for the port and answers with its status; nothing of the stream changes.
TEST_P(CloseTest, ReportsThePortsStatusAndKeepsTheStream)
{
    const CloseCase& c = GetParam();
    Bring();
    ASSERT_EQ(h.Open().Status, STATUS_SUCCESS);
    Dirty();
    h.Port().SetCloseResult(c.PortStatus, c.When);

    const standin::RequestResult r = h.Close();
    EXPECT_EQ(r.Status, c.PortStatus);
    EXPECT_EQ(r.Returned, c.PortStatus);
    EXPECT_EQ(h.Port().Requests(IRP_MJ_CLOSE).size(), 1u);
    EXPECT_EQ(Ext()->OutputBuffer.Length, 18u);
    EXPECT_EQ(Ext()->LineBuffer.Length, 9u);
    EXPECT_FALSE(NavStateIsReset());
}

INSTANTIATE_TEST_SUITE_P(Outcomes, CloseTest,
                         ::testing::Values(CloseCase{STATUS_SUCCESS, Completion::Immediate},
                                           CloseCase{STATUS_SUCCESS, Completion::Async},
                                           CloseCase{STATUS_UNSUCCESSFUL, Completion::Immediate},
                                           CloseCase{STATUS_UNSUCCESSFUL, Completion::Async}),
                         ParamRowName());

struct ExclusiveCase {
    standin::Exclusivity How;
    size_t CreatesAtPort; // after the refused second open
    bool StreamKept;      // the first opener's queued output survives the refused open
};

class ExclusiveTest : public OpenCloseTest, public ::testing::WithParamInterface<ExclusiveCase>
{
};

// A second open of an exclusive port is refused either way. Refused by the I/O manager, the
// filter never sees it; refused by the port, it has already passed through the filter's open,
// which started the stream afresh under the first opener.
TEST_P(ExclusiveTest, SecondOpenIsRefused)
{
    const ExclusiveCase& c = GetParam();
    Bring();
    h.Port().SetExclusive(c.How);
    ASSERT_EQ(h.Open().Status, STATUS_SUCCESS);
    Dirty();

    const standin::RequestResult second = h.Open();
    EXPECT_EQ(second.Status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(h.Port().Requests(IRP_MJ_CREATE).size(), c.CreatesAtPort);
    EXPECT_EQ(Ext()->OutputBuffer.Length != 0, c.StreamKept);
    EXPECT_EQ(NavStateIsReset(), !c.StreamKept);

    ASSERT_EQ(h.Close().Status, STATUS_SUCCESS);
    EXPECT_EQ(h.Open().Status, STATUS_SUCCESS) << "closed, the port opens again";
}

INSTANTIATE_TEST_SUITE_P(Ways, ExclusiveTest,
                         ::testing::Values(ExclusiveCase{standin::Exclusivity::IoManager, 1, true},
                                           ExclusiveCase{standin::Exclusivity::PortDriver, 2,
                                                         false}),
                         ParamRowName());

TEST_F(OpenCloseTest, OpenAgainAfterClose)
{
    Bring();
    ASSERT_EQ(h.Open().Status, STATUS_SUCCESS);
    ASSERT_EQ(h.Close().Status, STATUS_SUCCESS);
    Dirty();
    ASSERT_EQ(h.Open().Status, STATUS_SUCCESS);
    EXPECT_TRUE(AllZero(Ext()->OutputBuffer));
    EXPECT_TRUE(NavStateIsReset());
    ASSERT_EQ(h.Close().Status, STATUS_SUCCESS);
}

} // namespace
