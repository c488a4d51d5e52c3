// Common ground for the driver tests: a fresh stand-in kernel per test with the verifier
// turning every finding into a test failure, and a pool check when the driver unloads.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "filter.h"
#include "harness.h"
#include "tested_driver.h"

// Installed before the harness exists and removed after it is gone, so that findings raised
// while the harness tears down still fail the test.
class FindingsFailTest
{
  public:
    FindingsFailTest()
    {
        previous_ = standin::SetFindingHandler([](const standin::Finding& finding) {
            ADD_FAILURE() << "verifier (" << finding.Rule << "): " << finding.Message;
        });
    }
    ~FindingsFailTest() { standin::SetFindingHandler(previous_); }

  private:
    standin::FindingHandler previous_;
};

class DriverTest : public ::testing::Test
{
  protected:
    void TearDown() override
    {
        if (added_ && !removed_) {
            Remove();
        }
        if (loaded_) {
            h.Unload();
            EXPECT_EQ(h.OutstandingPool(), 0u);
            EXPECT_EQ(h.MappedRanges(), 0u);
        }
    }

    NTSTATUS Load(const std::u16string& servicePath = standin::kServicePath)
    {
        loaded_ = true;
        return drv.Load(h, servicePath);
    }

    NTSTATUS Add()
    {
        const NTSTATUS status = h.AddDevice();
        added_ = NT_SUCCESS(status);
        return status;
    }

    // Loaded, attached and started: where most request tests begin.
    void Bring()
    {
        ASSERT_EQ(Load(), STATUS_SUCCESS);
        ASSERT_EQ(Add(), STATUS_SUCCESS);
        ASSERT_EQ(h.Start().Status, STATUS_SUCCESS);
    }

    standin::RequestResult Remove()
    {
        removed_ = true;
        return h.Remove();
    }

    DEVICE_EXTENSION* Ext() { return FilterExtension(h.FilterDevice()); }

    // Puts bytes in a buffer directly, as the engine would have left them.
    static void Fill(BYTE_BUFFER& buffer, const std::string& text)
    {
        std::memcpy(buffer.Data, text.data(), text.size());
        buffer.Length = ULONG(text.size());
    }

    static bool AllZero(const BYTE_BUFFER& buffer)
    {
        for (UCHAR byte : buffer.Data) {
            if (byte != 0) {
                return false;
            }
        }
        return buffer.Length == 0;
    }

    // The navigation state after a reset: fix status "00", every other byte zero, both flags
    // false.
    void DirtyNavState()
    {
        std::memset(drv.NavState, 'X', sizeof(NAV_STATE));
        drv.NavState->GgaHasTime = TRUE;
        drv.NavState->TimeValid = TRUE;
    }

    bool NavStateIsReset() const
    {
        NAV_STATE expected;
        std::memset(&expected, 0, sizeof(expected));
        expected.FixStatus[0] = '0';
        expected.FixStatus[1] = '0';
        return std::memcmp(&expected, drv.NavState, sizeof(expected)) == 0;
    }

    FindingsFailTest findings_;
    TestedDriver drv; // outlives the harness: the kernel may still hold its routines
    standin::Harness h;

  private:
    bool loaded_ = false;
    bool added_ = false;
    bool removed_ = false;
};

// A 20-byte firmware model record: four leading bytes, then `name` as stored (terminator
// included by the caller when wanted), zero-padded.
inline standin::Bytes FirmwareRecord(const std::string& name, UCHAR lead = 0xA5)
{
    standin::Bytes record(FIRMWARE_MODEL_RECORD_SIZE, 0);
    for (ULONG i = 0; i < FIRMWARE_MODEL_NAME_OFFSET; ++i) {
        record[i] = UCHAR(lead + i);
    }
    for (size_t i = 0; i < name.size() && FIRMWARE_MODEL_NAME_OFFSET + i < record.size(); ++i) {
        record[FIRMWARE_MODEL_NAME_OFFSET + i] = UCHAR(name[i]);
    }
    return record;
}
