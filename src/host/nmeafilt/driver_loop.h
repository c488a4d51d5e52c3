// An application reading the port, played against the whole driver: loaded into the kernel
// stand-in, attached above a simulated port that serves the capture, and read through.
#pragma once

#include <string>

#include "engine_loop.h"

namespace standin
{
class DriverImage;
class Harness;
} // namespace standin

namespace nmeafilt
{

// Loads the filter into `kernel` (the mapped image when there is one, else the driver linked
// in), adds its device over the port, starts it and opens it, as the kernel, the Plug and Play
// manager and an application do. Returns the filter's extension; null when a step fails, with
// the step and its status in `error` (the harness clears up what is left when it goes).
DEVICE_EXTENSION* LoadAndOpenFilter(standin::Harness& kernel, standin::DriverImage* image,
                                    std::string* error);

// What a replay through the driver came to.
struct DriverReplay {
    bool ran = false;  // false: the filter could not be loaded, started or opened
    std::string error; // then: which step failed, with its status
    FILTER_COUNTERS counters = {};
};

// Loads, adds, starts and opens the filter over a port serving `input` in `config.chunk`-byte
// reads; makes `config.readSize`-byte read requests until one returns nothing after the input
// is used up; then closes, removes and unloads. The commands are what the port was written.
// With `image`, the mapped driver image runs in place of the driver linked in.
DriverReplay ReplayThroughDriver(const std::string& input, const ReplayConfig& config,
                                 ReplaySink& sink, standin::DriverImage* image = nullptr);

} // namespace nmeafilt
