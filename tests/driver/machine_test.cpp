// Machine identification at load: the firmware model record, the table, the registry value.
#include "driver_fixture.h"

#include <vector>
#include "../common/param_name.h"

namespace
{

using standin::Bytes;

const std::u16string kParameters = u"\\Parameters";

Bytes Utf16WithTerminator(const std::string& ascii)
{
    Bytes bytes;
    for (char c : ascii) {
        bytes.push_back(UCHAR(c));
        bytes.push_back(0);
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

UNICODE_STRING Counted(std::u16string& text)
{
    UNICODE_STRING s;
    s.Buffer = text.data();
    s.Length = USHORT(text.size() * sizeof(char16_t));
    s.MaximumLength = s.Length;
    return s;
}

class MachineTest : public DriverTest
{
};

struct ModelCase {
    const char* Name;
    UCHAR Lead; // bytes 0-3 of the record, which play no part
};

class KnownModelTest : public DriverTest, public ::testing::WithParamInterface<ModelCase>
{
};

TEST_P(KnownModelTest, PublishesTheModelUnderParameters)
{
    const ModelCase& c = GetParam();
    h.SetFirmware(FIRMWARE_MODEL_ADDRESS, FirmwareRecord(c.Name, c.Lead));
    DirtyNavState();
    ASSERT_EQ(Load(), STATUS_SUCCESS);

    const std::vector<standin::RegistryValue> values = h.Registry();
    ASSERT_EQ(values.size(), 1u);
    EXPECT_TRUE(values[0].Key == std::u16string(standin::kServicePath) + kParameters);
    EXPECT_TRUE(values[0].Name == u"MachineName");
    EXPECT_EQ(values[0].Type, ULONG(REG_SZ));
    EXPECT_EQ(values[0].Data, Utf16WithTerminator(c.Name));
    EXPECT_EQ(values[0].Data.size(), 14u);
    EXPECT_TRUE(NavStateIsReset());
    EXPECT_EQ(h.MappedRanges(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, KnownModelTest,
                         ::testing::Values(ModelCase{"WQ53-1", 0x00}, ModelCase{"WQ53-2", 0xFF},
                                           ModelCase{"WQ53-3", 0x30}, ModelCase{"WQ53-4", 0x57},
                                           ModelCase{"WQ86-1", 0x00}, ModelCase{"WQ86-2", 0x80},
                                           ModelCase{"WQ86-3", 0x01}, ModelCase{"WQ86-4", 0xFE}),
                         ParamRowName());

TEST_F(MachineTest, IdentifiesEachRowByItsIndex)
{
    for (LONG row = 0; drv.MachineModelTable[row].AnsiName != nullptr; ++row) {
        h.SetFirmware(FIRMWARE_MODEL_ADDRESS, FirmwareRecord(drv.MachineModelTable[row].AnsiName));
        LONG index = -1;
        EXPECT_TRUE(drv.IdentifyMachine(&index)) << row;
        EXPECT_EQ(index, row);
    }
    EXPECT_EQ(h.MappedRanges(), 0u);
}

// The firmware's name must equal a table name through its terminator.
class NearMissTest : public DriverTest, public ::testing::WithParamInterface<std::string>
{
};

TEST_P(NearMissTest, PublishesNothing)
{
    h.SetFirmware(FIRMWARE_MODEL_ADDRESS, FirmwareRecord(GetParam()));
    DirtyNavState();
    LONG index = 42;
    EXPECT_FALSE(drv.IdentifyMachine(&index));
    EXPECT_EQ(index, 42);

    std::u16string path = standin::kServicePath;
    UNICODE_STRING registryPath = Counted(path);
    EXPECT_EQ(drv.PublishMachineName(&registryPath), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(h.Registry().empty());
    EXPECT_TRUE(NavStateIsReset());
    EXPECT_EQ(h.OutstandingPool(), 0u);
    EXPECT_EQ(h.MappedRanges(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Names, NearMissTest,
                         ::testing::Values(std::string("WQ53-1X"), std::string("wq53-1"),
                                           std::string("WQ53-"), std::string("WQ86-5"),
                                           std::string(""), std::string("WQ53-1 "),
                                           std::string("WQ53-10")));

struct FailureCase {
    const char* What;
    void (*Arrange)(standin::Harness&);
    NTSTATUS Expected;
};

class FailureTest : public DriverTest, public ::testing::WithParamInterface<FailureCase>
{
};

TEST_P(FailureTest, WritesNothingResetsStateAndFreesThePath)
{
    const FailureCase& c = GetParam();
    h.SetFirmware(FIRMWARE_MODEL_ADDRESS, FirmwareRecord("WQ86-2"));
    c.Arrange(h);
    DirtyNavState();

    std::u16string path = standin::kServicePath;
    UNICODE_STRING registryPath = Counted(path);
    EXPECT_EQ(drv.PublishMachineName(&registryPath), c.Expected) << c.What;
    EXPECT_TRUE(h.Registry().empty());
    EXPECT_TRUE(NavStateIsReset());
    EXPECT_EQ(h.OutstandingPool(), 0u);
    EXPECT_EQ(h.MappedRanges(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, FailureTest,
    ::testing::Values(FailureCase{"map", [](standin::Harness& k) { k.FailNextMaps(1); },
                                  STATUS_INSUFFICIENT_RESOURCES},
                      FailureCase{"allocation", [](standin::Harness& k) { k.FailAllocations(1); },
                                  STATUS_INSUFFICIENT_RESOURCES},
                      FailureCase{
                          "registry",
                          [](standin::Harness& k) { k.FailRegistryWrites(STATUS_ACCESS_DENIED); },
                          STATUS_ACCESS_DENIED}),
    ParamRowName());

TEST_F(MachineTest, PathBufferIsPagedTaggedAndSizedForTheTerminator)
{
    h.SetFirmware(FIRMWARE_MODEL_ADDRESS, FirmwareRecord("WQ53-1"));
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    const std::vector<standin::Harness::PoolCall> calls = h.PoolCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Type, PagedPool);
    EXPECT_EQ(calls[0].Tag, ULONG(MACHINE_NAME_POOL_TAG));
    EXPECT_EQ(std::memcmp(&calls[0].Tag, "Wkvd", 4), 0);
    const size_t pathBytes = std::u16string(standin::kServicePath).size() * 2;
    EXPECT_EQ(calls[0].Size, pathBytes + kParameters.size() * 2 + 2);
}

// Service key paths of any length: the longest that still fits a counted string together
// with the suffix is written in full; one character more would wrap a 16-bit sum into a tiny
// buffer and must write nothing at all.
TEST_F(MachineTest, LongestPathThatFitsIsWrittenInFull)
{
    h.SetFirmware(FIRMWARE_MODEL_ADDRESS, FirmwareRecord("WQ53-4"));
    std::u16string path = u"\\Registry\\Machine\\S";
    path.resize((COUNTED_STRING_MAX_BYTES - kParameters.size() * 2) / 2, u'k');
    ASSERT_EQ(Load(path), STATUS_SUCCESS);
    const std::vector<standin::RegistryValue> values = h.Registry();
    ASSERT_EQ(values.size(), 1u);
    EXPECT_TRUE(values[0].Key == path + kParameters);
}

TEST_F(MachineTest, PathThatWouldOverflowACountedStringWritesNothing)
{
    h.SetFirmware(FIRMWARE_MODEL_ADDRESS, FirmwareRecord("WQ53-4"));
    std::u16string path = u"\\Registry\\Machine\\S";
    path.resize((COUNTED_STRING_MAX_BYTES - kParameters.size() * 2) / 2 + 1, u'k');
    DirtyNavState();
    UNICODE_STRING registryPath = Counted(path);
    EXPECT_EQ(drv.PublishMachineName(&registryPath), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(h.Registry().empty());
    EXPECT_TRUE(h.PoolCalls().empty());
    EXPECT_TRUE(NavStateIsReset());
}

TEST_F(MachineTest, LookupMatchesWholeNamesOnly)
{
    static const MACHINE_MODEL_ENTRY table[] = {
        {"AB", u"AB"}, {"ABC", u"ABC"}, {"ABC", u"second"}, {nullptr, nullptr}};
    static const MACHINE_MODEL_ENTRY empty[] = {{nullptr, nullptr}};
    EXPECT_EQ(drv.LookupMachineModel(table, "AB"), 0);
    EXPECT_EQ(drv.LookupMachineModel(table, "ABC"), 1); // the first of equal rows
    EXPECT_EQ(drv.LookupMachineModel(table, "A"), -1);
    EXPECT_EQ(drv.LookupMachineModel(table, "ABCD"), -1);
    EXPECT_EQ(drv.LookupMachineModel(table, "ab"), -1);
    EXPECT_EQ(drv.LookupMachineModel(empty, "AB"), -1);

    // Unterminated text: no more than one byte past the table name is read.
    const std::vector<char> unterminated{'A', 'B', 'C', 'D'};
    EXPECT_EQ(drv.LookupMachineModel(table, unterminated.data()), -1);
}

} // namespace
