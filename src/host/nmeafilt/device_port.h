// The port below the filter when `run` serves a real device: the stand-in's simulated port, its
// reads served from the device and its writes sent to it.
#pragma once

#include <harness.h>

namespace nmeafilt
{

// Why `run` ends; Running until it does.
enum class Ending { Running, Stopped, DeviceEnded, DeviceFailed, OutputClosed };

class DevicePort
{
  public:
    // `device` stays open for as long as the port is attached; `ending` is set when the device
    // ends, fails or a stop signal comes.
    DevicePort(int device, Ending* ending);

    // From now on the port reads from and writes to the device.
    void Attach(standin::SimulatedPort& port);

    // A serial line (a terminal or a socket) takes the filter's commands; a file or a pipe does
    // not: writing there would overwrite the capture, or come straight back as input.
    bool TakesCommands() const { return line_; }

  private:
    standin::Bytes Read(ULONG asked);
    NTSTATUS Write(const standin::Bytes& data);
    // The receiver ends its lines with CR LF; says once if the device does not.
    void WatchLineEnds(const UCHAR* data, std::size_t length);

    int device_;
    Ending* ending_;
    bool line_;
    UCHAR previous_ = 0;
    bool warnedLf_ = false;
};

} // namespace nmeafilt
