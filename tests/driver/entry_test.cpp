// Loading, attachment above the port, and the requests the filter only forwards.
#include "driver_fixture.h"

#include <vector>
#include "../common/param_name.h"

namespace
{

using standin::Bytes;

class EntryTest : public DriverTest
{
};

TEST_F(EntryTest, LoadsWhateverIdentificationFinds)
{
    // Firmware with no known model, and a mapping that fails.
    h.SetFirmware(FIRMWARE_MODEL_ADDRESS, FirmwareRecord("ZZ99-9"));
    EXPECT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_TRUE(h.Registry().empty());
    EXPECT_EQ(h.Driver()->DriverUnload, drv.FilterUnload);
    EXPECT_EQ(h.Driver()->DriverExtension->AddDevice, drv.FilterAddDevice);
    EXPECT_EQ(Add(), STATUS_SUCCESS);
}

TEST_F(EntryTest, LoadsWhenTheFirmwareCannotBeMapped)
{
    h.FailNextMaps(1);
    EXPECT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_TRUE(h.Registry().empty());
    EXPECT_EQ(Add(), STATUS_SUCCESS);
}

TEST_F(EntryTest, AttachFailureDeletesTheNewDevice)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    h.FailAttach();
    EXPECT_EQ(Add(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(h.Port().Pdo()->AttachedDevice, nullptr);
    EXPECT_EQ(h.Driver()->DeviceObject, nullptr);
}

TEST_F(EntryTest, CreateFailureIsReturnedAsIs)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    h.FailCreateDevice(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Add(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(h.Port().Pdo()->AttachedDevice, nullptr);
    EXPECT_EQ(h.Driver()->DeviceObject, nullptr);
}

struct AttachCase {
    ULONG LowerFlags;
    DEVICE_TYPE LowerType;
    ULONG ExpectedFlags;
};

class AttachTest : public DriverTest, public ::testing::WithParamInterface<AttachCase>
{
};

TEST_P(AttachTest, FilterDeviceTakesTypeAndIoFlagsFromBelow)
{
    const AttachCase& c = GetParam();
    h.Port().SetFlags(c.LowerFlags);
    h.Port().SetDeviceType(c.LowerType);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_EQ(Add(), STATUS_SUCCESS);

    DEVICE_OBJECT* filter = h.FilterDevice();
    EXPECT_EQ(filter->Flags, c.ExpectedFlags);
    EXPECT_EQ(filter->DeviceType, c.LowerType);
    EXPECT_EQ(filter->Characteristics, ULONG(FILE_DEVICE_SECURE_OPEN));
    EXPECT_EQ(h.Port().Pdo()->AttachedDevice, filter);
}

INSTANTIATE_TEST_SUITE_P(
    LowerDevices, AttachTest,
    ::testing::Values(
        AttachCase{DO_BUFFERED_IO | DO_POWER_PAGABLE, FILE_DEVICE_SERIAL_PORT,
                   DO_BUFFERED_IO | DO_POWER_PAGABLE},
        // Direct I/O below is announced as well, yet the filter keeps buffered I/O.
        AttachCase{DO_DIRECT_IO, FILE_DEVICE_SERIAL_PORT, DO_DIRECT_IO | DO_BUFFERED_IO},
        // Neither buffered nor power-pageable below: buffered all the same, but
        // not power-pageable above a port that is not.
        AttachCase{0, FILE_DEVICE_MODEM, DO_BUFFERED_IO},
        // Unrelated bits of the lower device are not taken over.
        AttachCase{DO_BUFFERED_IO | DO_EXCLUSIVE | DO_POWER_INRUSH | DO_BUS_ENUMERATED_DEVICE,
                   FILE_DEVICE_UNKNOWN, DO_BUFFERED_IO}),
    ParamRowName());

TEST_F(EntryTest, NewDeviceRecordIsZeroBesidesItsLinks)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    DEVICE_EXTENSION* ext = Ext();
    EXPECT_EQ(ext->Self, h.FilterDevice());
    EXPECT_EQ(ext->NextLowerDriver, h.Port().Pdo());
    EXPECT_EQ(ext->DevicePowerState, ULONG(PowerDeviceD0));

    DEVICE_EXTENSION expected;
    std::memset(&expected, 0, sizeof(expected));
    expected.Self = ext->Self;
    expected.NextLowerDriver = ext->NextLowerDriver;
    expected.DevicePowerState = PowerDeviceD0;
    EXPECT_EQ(std::memcmp(&expected, ext, sizeof(expected)), 0);
}

// Every request type the filter does not handle reaches the port as sent, and the port's
// answer reaches the caller as given.
class OtherRequestTest : public DriverTest, public ::testing::WithParamInterface<UCHAR>
{
};

TEST_P(OtherRequestTest, PassesThroughUnchanged)
{
    Bring();
    const UCHAR major = GetParam();
    h.Port().SetOtherResult(STATUS_INVALID_DEVICE_REQUEST, 7);
    h.Port().ClearRequests();

    const standin::RequestResult r = h.Send(major, 0x05, Bytes{1, 2, 3}, 16);
    EXPECT_EQ(r.Status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(r.Information, 7u);
    const std::vector<standin::PortRequest> seen = h.Port().Requests(major);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].Minor, 0x05);
}

INSTANTIATE_TEST_SUITE_P(
    Majors, OtherRequestTest,
    ::testing::Values(IRP_MJ_CREATE_NAMED_PIPE, IRP_MJ_QUERY_INFORMATION, IRP_MJ_SET_INFORMATION,
                      IRP_MJ_QUERY_EA, IRP_MJ_SET_EA, IRP_MJ_FLUSH_BUFFERS,
                      IRP_MJ_QUERY_VOLUME_INFORMATION, IRP_MJ_SET_VOLUME_INFORMATION,
                      IRP_MJ_DIRECTORY_CONTROL, IRP_MJ_FILE_SYSTEM_CONTROL,
                      IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_SHUTDOWN, IRP_MJ_LOCK_CONTROL,
                      IRP_MJ_CLEANUP, IRP_MJ_CREATE_MAILSLOT, IRP_MJ_QUERY_SECURITY,
                      IRP_MJ_SET_SECURITY, IRP_MJ_SYSTEM_CONTROL, IRP_MJ_DEVICE_CHANGE,
                      IRP_MJ_QUERY_QUOTA, IRP_MJ_SET_QUOTA));

class WriteTest : public DriverTest, public ::testing::WithParamInterface<size_t>
{
};

TEST_P(WriteTest, ReachesTheReceiverByteForByteWithoutAPendingCommand)
{
    Bring();
    ASSERT_EQ(h.Open().Status, STATUS_SUCCESS);
    // A command asked for by the stream waits for the next read, not for a write.
    Ext()->SendRmcRateCommand = TRUE;
    Ext()->SendErrRateCommand = TRUE;

    Bytes data(GetParam());
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = UCHAR(i * 7 + 1);
    }
    const standin::RequestResult r = h.Write(data);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, data.size());
    EXPECT_EQ(h.Port().Received(), data);
    EXPECT_TRUE(Ext()->SendRmcRateCommand);
    EXPECT_TRUE(Ext()->SendErrRateCommand);
}

INSTANTIATE_TEST_SUITE_P(Lengths, WriteTest, ::testing::Values(0u, 1u, 48u, 600u));

} // namespace
