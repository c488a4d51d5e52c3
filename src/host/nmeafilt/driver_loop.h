// An application reading the port, played against the whole driver: loaded into the kernel
// stand-in, attached above a simulated port that serves the capture, and read through.
#pragma once

#include "engine_loop.h"

namespace nmeafilt
{

// Loads, adds, starts and opens the filter over a port serving `input` in `config.chunk`-byte
// reads; makes `config.readSize`-byte read requests until one returns nothing after the input
// is used up; then closes, removes and unloads. The commands are what the port was written.
FILTER_COUNTERS ReplayThroughDriver(const std::string& input, const ReplayConfig& config,
                                    ReplaySink& sink);

} // namespace nmeafilt
