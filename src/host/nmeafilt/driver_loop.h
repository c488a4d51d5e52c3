// An application reading the port, played against the whole driver: loaded into the kernel
// stand-in, attached above a simulated port that serves the capture, and read through.
#pragma once

#include "engine_loop.h"

namespace standin
{
class DriverImage;
class Harness;
} // namespace standin

namespace nmeafilt
{

// Loads the filter into `kernel`: the mapped image when there is one, else the driver linked in.
void LoadFilter(standin::Harness& kernel, standin::DriverImage* image);

// Loads, adds, starts and opens the filter over a port serving `input` in `config.chunk`-byte
// reads; makes `config.readSize`-byte read requests until one returns nothing after the input
// is used up; then closes, removes and unloads. The commands are what the port was written.
// With `image`, the mapped driver image runs in place of the driver linked in.
FILTER_COUNTERS ReplayThroughDriver(const std::string& input, const ReplayConfig& config,
                                    ReplaySink& sink, standin::DriverImage* image = nullptr);

} // namespace nmeafilt
