// What a program on XP makes of a request's outcome, by kernel32's reading of the status its
// call gets and the I/O manager's rule for signalling completion.
#include <gtest/gtest.h>

#include "harness.h"

using namespace standin;

namespace
{

struct ViewCase {
    const char* name;
    Win32Call call;
    HandleKind handle;
    NTSTATUS returned; // by the top dispatch routine
    NTSTATUS status;   // at completion
    ULONG_PTR information;
    bool succeeded;
    ULONG lastError;
    ULONG transferred;
    bool signalled;
};

constexpr HandleKind kSync = HandleKind::Synchronous;
constexpr HandleKind kOverlapped = HandleKind::Overlapped;

const ViewCase kViews[] = {
    {"ReadAtOnce", Win32Call::ReadFile, kSync, STATUS_SUCCESS, STATUS_SUCCESS, 5, true, 0, 5, true},
    {"ReadPending", Win32Call::ReadFile, kOverlapped, STATUS_PENDING, STATUS_SUCCESS, 5, false,
     win32::ERROR_IO_PENDING, 0, true},
    // A warning: failure for the program, success for the I/O manager.
    {"ReadWarning", Win32Call::ReadFile, kOverlapped, STATUS_DEVICE_BUSY, STATUS_DEVICE_BUSY, 0,
     false, win32::ERROR_BUSY, 0, true},
    {"ReadWarningWaited", Win32Call::ReadFile, kSync, STATUS_DEVICE_BUSY, STATUS_DEVICE_BUSY, 0,
     false, win32::ERROR_BUSY, 0, true},
    {"ReadRefused", Win32Call::ReadFile, kOverlapped, STATUS_RETRY, STATUS_RETRY, 0, false,
     win32::ERROR_RETRY, 0, false},
    {"ReadCancelledWaited", Win32Call::ReadFile, kSync, STATUS_PENDING, STATUS_CANCELLED, 0, false,
     win32::ERROR_OPERATION_ABORTED, 0, true},
    {"ReadEndOfFile", Win32Call::ReadFile, kSync, STATUS_END_OF_FILE, STATUS_END_OF_FILE, 0, true,
     0, 0, false},
    {"WriteTimedOut", Win32Call::WriteFile, kSync, STATUS_TIMEOUT, STATUS_TIMEOUT, 3, true, 0, 3,
     true},
    {"ControlOverflow", Win32Call::DeviceIoControl, kSync, STATUS_BUFFER_OVERFLOW,
     STATUS_BUFFER_OVERFLOW, 4, false, win32::ERROR_MORE_DATA, 4, true},
    {"ControlUnknownError", Win32Call::DeviceIoControl, kSync, NTSTATUS(0xC0FE0001),
     NTSTATUS(0xC0FE0001), 0, false, win32::ERROR_MR_MID_NOT_FOUND, 0, false},
};

class ViewTest : public ::testing::TestWithParam<ViewCase>
{
};

TEST_P(ViewTest, AsKernel32ReadsIt)
{
    const ViewCase& c = GetParam();
    RequestResult r;
    r.Returned = c.returned;
    r.Status = c.status;
    r.Information = c.information;
    const ApplicationView seen = WhatApplicationSees(c.call, c.handle, r);
    EXPECT_EQ(seen.Returned, c.succeeded);
    EXPECT_EQ(seen.LastError, c.lastError);
    EXPECT_EQ(seen.Transferred, c.transferred);
    EXPECT_EQ(seen.CompletionSignalled, c.signalled);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, ViewTest, ::testing::ValuesIn(kViews),
                         [](const ::testing::TestParamInfo<ViewCase>& row) {
                             return std::string(row.param.name);
                         });

} // namespace
