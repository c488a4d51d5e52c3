// One driver fuzzer input, run: the whole driver in the stand-in over a deterministic port, the
// input choosing the requests from applications and from the Plug and Play and power managers,
// how the port answers each, when its completions run and what other processors do while a
// thread waits. The fuzz target and the replay test share it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "harness.h"

struct DriverReplay {
    // Loads the driver into the harness: the linked DriverEntry, or an image.
    std::function<NTSTATUS(standin::Harness&)> load;
    // The fuzzer's way: stop the process at the first failed check, where it fails, and leave
    // verifier findings to the handler installed. Otherwise both are recorded and the run stops
    // sending requests.
    bool abortOnFailure = false;
    // When set: every request's outcome and every request that reached the port, in order.
    std::string* trace = nullptr;
};

// The first failed check or verifier finding; empty when there was none.
std::string ReplayDriverInput(const uint8_t* data, size_t size, const DriverReplay& how);
