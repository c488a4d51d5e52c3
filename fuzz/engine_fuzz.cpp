// The stream engine against any byte stream from the receiver; what an input does and what is
// checked is in the replay the unit tests share.
#include <cstdio>
#include <cstdlib>

#include "../tests/common/engine_replay.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (const char* failure = ReplayEngineInput(data, size)) {
        std::fprintf(stderr, "engine_fuzz: %s\n", failure);
        std::abort();
    }
    return 0;
}
