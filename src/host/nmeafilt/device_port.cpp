#include "device_port.h"

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>

#include "engine_loop.h"
#include "serial_io.h"

namespace nmeafilt
{

namespace
{

// A serial driver's read interval time-out: a port read returns what has arrived by then.
constexpr int kPortReadTimeoutMs = 100;

} // namespace

DevicePort::DevicePort(int device, Ending* ending) : device_(device), ending_(ending)
{
    struct stat st;
    line_ = fstat(device_, &st) == 0 && (S_ISCHR(st.st_mode) || S_ISSOCK(st.st_mode));
}

void DevicePort::Attach(standin::SimulatedPort& port)
{
    port.SetReadSource([this](ULONG asked) { return Read(asked); });
    port.SetWriteSink([this](const standin::Bytes& data) { return Write(data); });
}

standin::Bytes DevicePort::Read(ULONG asked)
{
    UCHAR bytes[kMaxChunk];
    const std::size_t want = asked < sizeof bytes ? asked : sizeof bytes;
    if (*ending_ != Ending::Running || want == 0)
        return standin::Bytes();
    const ssize_t n = ReadAvailable(device_, bytes, want, kPortReadTimeoutMs);
    if (n < 0) {
        *ending_ = StopRequested()              ? Ending::Stopped
                   : errno == 0 || errno == EIO ? Ending::DeviceEnded
                                                : Ending::DeviceFailed;
        return standin::Bytes();
    }
    WatchLineEnds(bytes, static_cast<std::size_t>(n));
    return standin::Bytes(bytes, bytes + n);
}

NTSTATUS DevicePort::Write(const standin::Bytes& data)
{
    if (!line_)
        return STATUS_SUCCESS; // not sent; the summary says so
    return WriteAll(device_, data.data(), data.size()) ? STATUS_SUCCESS : STATUS_DEVICE_NOT_READY;
}

void DevicePort::WatchLineEnds(const UCHAR* data, std::size_t length)
{
    for (std::size_t i = 0; i < length && !warnedLf_; ++i) {
        if (data[i] == '\n' && previous_ != '\r') {
            std::fputs("nmeafilt run: the device ends lines with LF alone; the filter takes a "
                       "sentence only when it ends in CR LF, as the receiver sends it\n",
                       stderr);
            warnedLf_ = true;
        }
        previous_ = data[i];
    }
}

} // namespace nmeafilt
