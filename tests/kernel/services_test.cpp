// Kernel services other than requests: counted strings, events, pool, the firmware map and the
// registry, as the driver relies on them.
#include "test_filter.h"

#include <thread>

using namespace standin;

namespace
{

using FilterTest = tf::FilterTest;

// ---- Counted strings ----------------------------------------------------------------------------

TEST(Strings, InitCountsBytesWithoutTheTerminator)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, reinterpret_cast<PCWSTR>(u"\\Parameters"));
    EXPECT_EQ(s.Length, 22);
    EXPECT_EQ(s.MaximumLength, 24);
    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.Buffer, nullptr);
}

struct AppendCase {
    const char* name;
    USHORT maximum; // destination capacity in bytes
    std::u16string start, add;
    NTSTATUS status;
    std::u16string result; // destination contents afterwards
    bool terminated;
};

const AppendCase kAppendCases[] = {
    {"Fits", 20, u"ab", u"cd", STATUS_SUCCESS, u"abcd", true},
    {"FitsExactlyNoTerminator", 8, u"ab", u"cd", STATUS_SUCCESS, u"abcd", false},
    {"OneByteShort", 6, u"ab", u"cd", STATUS_BUFFER_TOO_SMALL, u"ab", true},
    {"EmptySource", 4, u"ab", u"", STATUS_SUCCESS, u"ab", false},
};

class AppendTest : public ::testing::TestWithParam<AppendCase>
{
};

TEST_P(AppendTest, AppendsOnlyWhenItFits)
{
    const AppendCase& c = GetParam();
    std::u16string storage(32, u'#');
    storage.replace(0, c.start.size(), c.start);
    if (c.start.size() * 2 < c.maximum)
        storage[c.start.size()] = 0;
    UNICODE_STRING dst{static_cast<USHORT>(c.start.size() * 2), c.maximum,
                       reinterpret_cast<PWSTR>(&storage[0])};
    std::u16string addStorage = c.add;
    UNICODE_STRING src{static_cast<USHORT>(c.add.size() * 2), static_cast<USHORT>(c.add.size() * 2),
                       reinterpret_cast<PWSTR>(&addStorage[0])};
    EXPECT_EQ(RtlAppendUnicodeStringToString(&dst, &src), c.status);
    EXPECT_EQ(dst.Length, c.result.size() * 2);
    EXPECT_EQ(storage.substr(0, c.result.size()), c.result);
    EXPECT_EQ(storage[c.result.size()] == 0, c.terminated);
}

INSTANTIATE_TEST_SUITE_P(Cases, AppendTest, ::testing::ValuesIn(kAppendCases), tf::ByName());

// ---- Events -------------------------------------------------------------------------------------

TEST(Events, SetFromAnotherThreadReleasesTheWaiter)
{
    for (EVENT_TYPE type : {NotificationEvent, SynchronizationEvent}) {
        KEVENT event;
        KeInitializeEvent(&event, type, FALSE);
        std::thread setter([&event] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr),
                  STATUS_SUCCESS);
        setter.join();
        // A synchronization event is reset by the wait it satisfied; a notification one stays.
        EXPECT_EQ(KeReadStateEvent(&event), type == NotificationEvent ? 1 : 0);
    }
}

TEST(Events, ZeroTimeOutPollsWithoutWaiting)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
}

// ---- Pool, firmware, registry
// --------------------------------------------------------------------

TEST(Pool, CountsOutstandingBlocksAndFailsOnRequest)
{
    Harness h;
    h.FailAllocations(1, 1); // the second allocation fails, the others succeed
    PVOID a = ExAllocatePoolWithTag(PagedPool, 10, 'dvkW');
    PVOID b = ExAllocatePoolWithTag(PagedPool, 10, 'dvkW');
    PVOID c = ExAllocatePoolWithTag(NonPagedPool, 30, 'dvkW');
    EXPECT_NE(a, nullptr);
    EXPECT_EQ(b, nullptr);
    EXPECT_NE(c, nullptr);
    EXPECT_EQ(h.OutstandingPool(), 2u);
    ExFreePool(a);
    ExFreePool(c);
    EXPECT_EQ(h.OutstandingPool(), 0u);
    auto calls = h.PoolCalls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].Type, PagedPool);
    EXPECT_EQ(calls[2].Size, 30u);
    EXPECT_EQ(calls[0].Tag, static_cast<ULONG>('dvkW'));
}

TEST(Firmware, MapSeesTheRecordAndCanFail)
{
    Harness h;
    Bytes record = {1, 2, 3, 4, 'W', 'Q', 0};
    h.SetFirmware(0xFE600, record);
    PHYSICAL_ADDRESS at;
    at.QuadPart = 0xFE602;
    PUCHAR view = static_cast<PUCHAR>(MmMapIoSpace(at, 8, MmNonCached));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(Bytes(view, view + 8), (Bytes{3, 4, 'W', 'Q', 0, 0, 0, 0}));
    EXPECT_EQ(h.MappedRanges(), 1u);
    MmUnmapIoSpace(view, 8);
    EXPECT_EQ(h.MappedRanges(), 0u);
    h.FailNextMaps(1);
    EXPECT_EQ(MmMapIoSpace(at, 8, MmNonCached), nullptr);
    PVOID again = MmMapIoSpace(at, 8, MmNonCached);
    EXPECT_NE(again, nullptr);
    MmUnmapIoSpace(again, 8);
}

TEST(Registry, RecordsEveryWriteAndFailsOnRequest)
{
    Harness h;
    const char16_t data[] = u"WQ53-1";
    PCWSTR key = reinterpret_cast<PCWSTR>(u"\\Registry\\X\\Parameters");
    PCWSTR name = reinterpret_cast<PCWSTR>(u"MachineName");
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, key, name,
                                    REG_SZ, const_cast<char16_t*>(data), sizeof data),
              STATUS_SUCCESS);
    h.FailRegistryWrites(STATUS_ACCESS_DENIED);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, key, name, REG_SZ,
                                    const_cast<char16_t*>(data), sizeof data),
              STATUS_ACCESS_DENIED);
    auto values = h.Registry();
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].Key, u"\\Registry\\X\\Parameters");
    EXPECT_EQ(values[0].Name, u"MachineName");
    EXPECT_EQ(values[0].Type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(values[0].Data.size(), 14u);
    EXPECT_EQ(values[0].Data[12], 0);
}

TEST(Interlocked, CompareExchangeReturnsTheInitialValue)
{
    volatile LONG flag = 0;
    EXPECT_EQ(InterlockedCompareExchange(&flag, 1, 0), 0);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(InterlockedCompareExchange(&flag, 2, 0), 1); // no exchange
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(InterlockedExchange(&flag, 0), 1);
    EXPECT_EQ(flag, 0);
}

} // namespace
