// The whole driver in the kernel stand-in over a deterministic port, with the verifier on: the
// input chooses the requests, the port's answers, when completions run and what other threads
// do meanwhile (driver_replay.cpp). A failed check or a verifier finding aborts (the default
// handler), which libFuzzer reports as a crash; the same input always takes the same path.
#include "../tests/common/driver_replay.h"
#include "filter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    DriverReplay how;
    how.load = [](standin::Harness& h) { return h.Load(DriverEntry); };
    how.abortOnFailure = true;
    ReplayDriverInput(data, size, how);
    return 0;
}
