// Serial control: flow-control settings rewritten on the way down, the receive-queue figure
// raised on the way up, every other control code untouched.
#include "driver_fixture.h"

#include <vector>
#include "../common/param_name.h"

namespace
{

using standin::Bytes;
using standin::Completion;
using standin::RequestResult;

Bytes Record(const SERIAL_HANDFLOW& handflow)
{
    const UCHAR* p = reinterpret_cast<const UCHAR*>(&handflow);
    return Bytes(p, p + sizeof(handflow));
}

class DevCtlTest : public DriverTest
{
  protected:
    void SetUp() override
    {
        Bring();
        ASSERT_EQ(h.Open().Status, STATUS_SUCCESS);
        h.Port().ClearRequests();
    }
};

// Every DTR field value against every RTS field value, with all the bits that must survive.
struct FieldCase {
    ULONG Dtr, DtrExpected;
    ULONG Rts, RtsExpected;
};

class HandflowFieldTest : public DevCtlTest, public ::testing::WithParamInterface<FieldCase>
{
};

TEST_P(HandflowFieldTest, ModesOtherThanOffBecomeOn)
{
    const FieldCase& c = GetParam();
    const ULONG unnamedControlBits = 0x00000F00; // no name, but they must survive too
    const ULONG keptControl = SERIAL_DSR_SENSITIVITY | SERIAL_ERROR_ABORT | unnamedControlBits;
    const ULONG keptFlow = SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE | SERIAL_ERROR_CHAR |
                           SERIAL_NULL_STRIPPING | SERIAL_BREAK_CHAR | SERIAL_XOFF_CONTINUE;
    SERIAL_HANDFLOW in{};
    in.ControlHandShake = c.Dtr | SERIAL_OUT_HANDSHAKEMASK | keptControl;
    in.FlowReplace = c.Rts | keptFlow;
    in.XonLimit = 123;
    in.XoffLimit = -7;

    const RequestResult r = h.DeviceControl(IOCTL_SERIAL_SET_HANDFLOW, Record(in), 0);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    const SERIAL_HANDFLOW out = h.Port().Handflow();
    EXPECT_EQ(out.ControlHandShake, c.DtrExpected | keptControl);
    EXPECT_EQ(out.FlowReplace, c.RtsExpected | keptFlow);
    EXPECT_EQ(out.XonLimit, 123);
    EXPECT_EQ(out.XoffLimit, -7);
}

std::vector<FieldCase> AllFields()
{
    const ULONG dtr[4][2] = {
        {0, 0},
        {SERIAL_DTR_CONTROL, SERIAL_DTR_CONTROL},
        {SERIAL_DTR_HANDSHAKE, SERIAL_DTR_CONTROL},
        {SERIAL_DTR_CONTROL | SERIAL_DTR_HANDSHAKE, SERIAL_DTR_CONTROL},
    };
    const ULONG rts[4][2] = {
        {0, 0},
        {SERIAL_RTS_CONTROL, SERIAL_RTS_CONTROL},
        {SERIAL_RTS_HANDSHAKE, SERIAL_RTS_CONTROL},
        {SERIAL_TRANSMIT_TOGGLE, SERIAL_RTS_CONTROL},
    };
    std::vector<FieldCase> cases;
    for (const auto& d : dtr) {
        for (const auto& r : rts) {
            cases.push_back(FieldCase{d[0], d[1], r[0], r[1]});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(AllValues, HandflowFieldTest, ::testing::ValuesIn(AllFields()),
                         ParamRowName());

struct WordCase {
    ULONG Control, ControlExpected;
    ULONG Flow, FlowExpected;
};

class HandflowWordTest : public DevCtlTest, public ::testing::WithParamInterface<WordCase>
{
};

TEST_P(HandflowWordTest, RewritesAsSentDown)
{
    const WordCase& c = GetParam();
    SERIAL_HANDFLOW in{};
    in.ControlHandShake = c.Control;
    in.FlowReplace = c.Flow;
    h.DeviceControl(IOCTL_SERIAL_SET_HANDFLOW, Record(in), 0);
    EXPECT_EQ(h.Port().Handflow().ControlHandShake, c.ControlExpected);
    EXPECT_EQ(h.Port().Handflow().FlowReplace, c.FlowExpected);
}

const WordCase kWords[] = {
    {SERIAL_DTR_HANDSHAKE | SERIAL_CTS_HANDSHAKE, SERIAL_DTR_CONTROL,
     SERIAL_RTS_HANDSHAKE | SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE,
     SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE},
    {SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE, SERIAL_DTR_CONTROL,
     SERIAL_TRANSMIT_TOGGLE, SERIAL_RTS_CONTROL},
    {SERIAL_DTR_CONTROL | SERIAL_DSR_SENSITIVITY, SERIAL_DTR_CONTROL | SERIAL_DSR_SENSITIVITY, 0,
     0},
    {0, 0, SERIAL_RTS_HANDSHAKE, SERIAL_RTS_CONTROL},
    {SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE | SERIAL_DCD_HANDSHAKE, 0,
     SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE, SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE},
};

INSTANTIATE_TEST_SUITE_P(Words, HandflowWordTest, ::testing::ValuesIn(kWords), ParamRowName());

TEST_F(DevCtlTest, ShortFlowControlRecordIsRefused)
{
    SERIAL_HANDFLOW in{};
    in.ControlHandShake = SERIAL_DTR_HANDSHAKE;
    Bytes shortInput = Record(in);
    shortInput.resize(sizeof(SERIAL_HANDFLOW) - 1);
    const RequestResult r = h.DeviceControl(IOCTL_SERIAL_SET_HANDFLOW, shortInput, 0);
    EXPECT_EQ(r.Status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(r.Returned, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(r.Information, 0u);
    EXPECT_TRUE(h.Port().Requests(IRP_MJ_DEVICE_CONTROL).empty());
}

TEST_F(DevCtlTest, ReadBackShowsTheRewrittenSetting)
{
    SERIAL_HANDFLOW in{};
    in.ControlHandShake = SERIAL_DTR_HANDSHAKE | SERIAL_CTS_HANDSHAKE;
    in.FlowReplace = SERIAL_RTS_HANDSHAKE | SERIAL_AUTO_RECEIVE;
    in.XonLimit = 10;
    in.XoffLimit = 20;
    Bytes longer = Record(in);
    longer.push_back(0xEE); // more than a record: the record is rewritten, the rest ignored
    ASSERT_EQ(h.DeviceControl(IOCTL_SERIAL_SET_HANDFLOW, longer, 0).Status, STATUS_SUCCESS);

    const RequestResult r = h.DeviceControl(IOCTL_SERIAL_GET_HANDFLOW, Bytes{}, 16);
    ASSERT_EQ(r.Status, STATUS_SUCCESS);
    ASSERT_EQ(r.Information, 16u);
    SERIAL_HANDFLOW out{};
    std::memcpy(&out, r.Data.data(), sizeof(out));
    EXPECT_EQ(out.ControlHandShake, ULONG(SERIAL_DTR_CONTROL));
    EXPECT_EQ(out.FlowReplace, ULONG(SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE));
    EXPECT_EQ(out.XonLimit, 10);
    EXPECT_EQ(out.XoffLimit, 20);
}

struct CommStatusCase {
    ULONG PortCount;
    ULONG Queued;
    ULONG Expected;
    Completion When;
};

class CommStatusTest : public DevCtlTest, public ::testing::WithParamInterface<CommStatusCase>
{
};

// The larger of the port's count and the filter's queue, never their sum.
TEST_P(CommStatusTest, ReportsAtLeastWhatIsQueued)
{
    const CommStatusCase& c = GetParam();
    Fill(Ext()->OutputBuffer, std::string(c.Queued, 'q'));
    h.Port().SetAmountInInQueue(c.PortCount);
    h.Port().SetDeviceControlCompletion(c.When);

    const RequestResult r = h.DeviceControl(IOCTL_SERIAL_GET_COMMSTATUS, Bytes{}, 20);
    ASSERT_EQ(r.Status, STATUS_SUCCESS);
    ASSERT_EQ(r.Information, sizeof(SERIAL_STATUS));
    SERIAL_STATUS status{};
    std::memcpy(&status, r.Data.data(), sizeof(status));
    EXPECT_EQ(status.AmountInInQueue, c.Expected);
    EXPECT_EQ(Ext()->OutputBuffer.Length, c.Queued);
}

INSTANTIATE_TEST_SUITE_P(Counts, CommStatusTest,
                         ::testing::Values(CommStatusCase{10, 40, 40, Completion::Immediate},
                                           CommStatusCase{100, 40, 100, Completion::Immediate},
                                           CommStatusCase{40, 40, 40, Completion::Immediate},
                                           CommStatusCase{7, 0, 7, Completion::Immediate},
                                           CommStatusCase{10, 40, 40, Completion::Async},
                                           CommStatusCase{0, 511, 511, Completion::Async}),
                         ParamRowName());

// A failed request carries no status record: it goes up exactly as the port left it.
TEST_F(DevCtlTest, FailedCommStatusIsUntouched)
{
    Fill(Ext()->OutputBuffer, std::string(40, 'q'));
    h.Port().QueueCommStatusFailure(STATUS_CANCELLED);
    const RequestResult r = h.DeviceControl(IOCTL_SERIAL_GET_COMMSTATUS, Bytes{}, 20, 0x77);
    EXPECT_EQ(r.Status, STATUS_CANCELLED);
    EXPECT_EQ(r.Information, 0u);
    for (UCHAR byte : r.Data) {
        EXPECT_EQ(byte, 0x77);
    }
}

// An output buffer too short for the record: the port refuses it and the filter must not
// write past the buffer.
TEST_F(DevCtlTest, ShortCommStatusBufferIsUntouched)
{
    Fill(Ext()->OutputBuffer, std::string(40, 'q'));
    h.Port().SetAmountInInQueue(1);
    const RequestResult r = h.DeviceControl(IOCTL_SERIAL_GET_COMMSTATUS, Bytes{}, 8, 0x77);
    EXPECT_FALSE(NT_SUCCESS(r.Status));
    EXPECT_EQ(r.Information, 0u);
}

class OtherControlTest : public DevCtlTest, public ::testing::WithParamInterface<ULONG>
{
};

TEST_P(OtherControlTest, PassesThroughUntouched)
{
    // Bytes that the flow-control rewrite would change, were it applied to these codes.
    const Bytes input{0x0B, 0x38, 0xC3, 0xFF, 0x00, 0x00, 0x00, 0x00,
                      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    h.DeviceControl(GetParam(), input, 4);
    const std::vector<standin::PortRequest> seen = h.Port().Requests(IRP_MJ_DEVICE_CONTROL);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].IoControlCode, GetParam());
    EXPECT_EQ(seen[0].Input, input);
}

INSTANTIATE_TEST_SUITE_P(Codes, OtherControlTest,
                         ::testing::Values(ULONG(IOCTL_SERIAL_SET_BAUD_RATE),
                                           ULONG(IOCTL_SERIAL_SET_TIMEOUTS),
                                           ULONG(IOCTL_SERIAL_PURGE), ULONG(IOCTL_SERIAL_SET_CHARS),
                                           ULONG(IOCTL_SERIAL_GET_MODEMSTATUS)));

} // namespace
