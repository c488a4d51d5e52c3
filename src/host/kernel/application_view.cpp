// What kernel32 on XP makes of a request's outcome: ReadFile, WriteFile and DeviceIoControl on a
// synchronous handle wait and judge the final status; on an overlapped one they judge what the
// driver's dispatch routine returned. The I/O manager signals the completion of every request
// except one that failed with an error before its dispatch routine returned.
#include <harness.h>

namespace standin
{

namespace
{

struct StatusError {
    NTSTATUS status;
    ULONG error;
};

const StatusError kStatusErrors[] = {
    {STATUS_SUCCESS, win32::ERROR_SUCCESS},
    {STATUS_TIMEOUT, win32::ERROR_TIMEOUT},
    {STATUS_PENDING, win32::ERROR_IO_PENDING},
    {STATUS_BUFFER_OVERFLOW, win32::ERROR_MORE_DATA},
    {STATUS_DEVICE_BUSY, win32::ERROR_BUSY},
    {STATUS_UNSUCCESSFUL, win32::ERROR_GEN_FAILURE},
    {STATUS_NOT_IMPLEMENTED, win32::ERROR_INVALID_FUNCTION},
    {STATUS_INVALID_PARAMETER, win32::ERROR_INVALID_PARAMETER},
    {STATUS_NO_SUCH_DEVICE, win32::ERROR_FILE_NOT_FOUND},
    {STATUS_INVALID_DEVICE_REQUEST, win32::ERROR_INVALID_FUNCTION},
    {STATUS_END_OF_FILE, win32::ERROR_HANDLE_EOF},
    {STATUS_ACCESS_DENIED, win32::ERROR_ACCESS_DENIED},
    {STATUS_BUFFER_TOO_SMALL, win32::ERROR_INSUFFICIENT_BUFFER},
    {STATUS_INSUFFICIENT_RESOURCES, win32::ERROR_NO_SYSTEM_RESOURCES},
    {STATUS_DEVICE_NOT_READY, win32::ERROR_NOT_READY},
    {STATUS_IO_TIMEOUT, win32::ERROR_SEM_TIMEOUT},
    {STATUS_NOT_SUPPORTED, win32::ERROR_NOT_SUPPORTED},
    {STATUS_CANCELLED, win32::ERROR_OPERATION_ABORTED},
    {STATUS_INVALID_DEVICE_STATE, win32::ERROR_BAD_COMMAND},
    {STATUS_RETRY, win32::ERROR_RETRY},
};

} // namespace

ULONG Win32ErrorOf(NTSTATUS status)
{
    for (const StatusError& entry : kStatusErrors)
        if (entry.status == status)
            return entry.error;
    return win32::ERROR_MR_MID_NOT_FOUND;
}

ApplicationView WhatApplicationSees(Win32Call call, HandleKind handle, const RequestResult& r)
{
    ApplicationView view;
    view.CompletionSignalled = r.Returned == STATUS_PENDING || !NT_ERROR(r.Status);
    const bool synchronous = handle == HandleKind::Synchronous;
    const NTSTATUS status = synchronous ? r.Status : r.Returned;
    const bool endOfFile = call == Win32Call::ReadFile && status == STATUS_END_OF_FILE;
    if (NT_SUCCESS(status) && status != STATUS_PENDING) {
        view.Returned = true;
        view.Transferred = static_cast<ULONG>(r.Information);
    } else if (endOfFile && synchronous) {
        view.Returned = true; // zero bytes: the end of the file
    } else {
        view.LastError = Win32ErrorOf(status);
        // A synchronous call still reports the bytes of a warning.
        if (synchronous && NT_WARNING(status))
            view.Transferred = static_cast<ULONG>(r.Information);
    }
    return view;
}

} // namespace standin
