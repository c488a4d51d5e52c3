// The filter brought up for replay and run: every step's result is checked, and a failed step
// is named with its status.
#include <gtest/gtest.h>

#include <functional>
#include <harness.h>

#include "driver_loop.h"

namespace nmeafilt
{
namespace
{

TEST(BringUpTest, LoadsAddsStartsAndOpens)
{
    standin::Harness kernel;
    std::string error;
    DEVICE_EXTENSION* ext = LoadAndOpenFilter(kernel, nullptr, &error);
    ASSERT_NE(ext, nullptr) << error;
    EXPECT_EQ(error, "");
    EXPECT_EQ(ext->ReadBuffer.Capacity, ULONG(READ_BUFFER_CAPACITY)); // started
    EXPECT_EQ(kernel.Port().Requests(IRP_MJ_CREATE).size(), 1u);      // opened
    kernel.Close();
    kernel.Remove();
    kernel.Unload();
}

TEST(BringUpTest, AFailedStepIsNamedWithItsStatus)
{
    const struct {
        const char* step;
        std::function<void(standin::Harness&)> fail;
    } cases[] = {
        {"cannot add a device of the filter: status 0xC000009A",
         [](standin::Harness& k) { k.FailCreateDevice(STATUS_INSUFFICIENT_RESOURCES); }},
        {"cannot start the filter: status 0xC0000001",
         [](standin::Harness& k) {
             k.Port().SetPnpResult(IRP_MN_START_DEVICE, STATUS_UNSUCCESSFUL);
         }},
        {"cannot open the filter: status 0xC0000022",
         [](standin::Harness& k) { k.Port().SetCreateResult(STATUS_ACCESS_DENIED); }},
    };
    for (const auto& c : cases) {
        standin::Harness kernel;
        c.fail(kernel);
        std::string error;
        EXPECT_EQ(LoadAndOpenFilter(kernel, nullptr, &error), nullptr) << c.step;
        EXPECT_EQ(error, c.step);
    }
}

} // namespace
} // namespace nmeafilt
