// The port as an application sees it: the stream it reads and the handshake it is given.
#include <cstdio>

#include "probes.h"

namespace check
{

HANDLE OpenPort(const std::string& port, DWORD* error)
{
    std::string path = "\\\\.\\" + port; // COM10 and above need the device namespace
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    *error = h == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    if (h == INVALID_HANDLE_VALUE) {
        return h;
    }
    // A read returns what has come once the line pauses, or after half a second of nothing.
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadIntervalTimeout = 100;
    timeouts.ReadTotalTimeoutConstant = 500;
    timeouts.WriteTotalTimeoutConstant = 1000;
    if (!SetCommTimeouts(h, &timeouts)) {
        *error = GetLastError();
        CloseHandle(h);
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

StreamSummary ReadStream(HANDLE port, unsigned seconds)
{
    StreamCheck stream;
    DWORD start = GetTickCount();
    while (GetTickCount() - start < seconds * 1000UL) {
        char data[512];
        DWORD got = 0;
        if (!ReadFile(port, data, sizeof data, &got, nullptr)) {
            break;
        }
        stream.Feed(data, got);
    }
    return stream.Summary();
}

CheckResult ProbeHandshake(HANDLE port)
{
    DCB found = {};
    found.DCBlength = sizeof found;
    if (!GetCommState(port, &found)) {
        return {"handshake", Outcome::Fail, "GetCommState failed: " + ErrorText(GetLastError())};
    }
    DCB asked = found;
    asked.fOutxCtsFlow = TRUE;
    asked.fOutxDsrFlow = TRUE;
    asked.fDtrControl = DTR_CONTROL_HANDSHAKE;
    asked.fRtsControl = RTS_CONTROL_HANDSHAKE;
    DCB got = {};
    got.DCBlength = sizeof got;
    CheckResult result{"handshake", Outcome::Fail, ""};
    if (!SetCommState(port, &asked)) {
        result.detail = "SetCommState refused hardware handshake: " + ErrorText(GetLastError());
    } else if (!GetCommState(port, &got)) {
        result.detail = "GetCommState failed: " + ErrorText(GetLastError());
    } else {
        result = HandshakeVerdict(
            {got.fOutxCtsFlow != 0, got.fOutxDsrFlow != 0, got.fDtrControl, got.fRtsControl});
    }
    if (!SetCommState(port, &found)) {
        result.outcome = Outcome::Fail;
        result.detail +=
            "; the port's settings could not be restored: " + ErrorText(GetLastError());
    }
    return result;
}

} // namespace check
