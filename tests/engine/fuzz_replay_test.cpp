// The engine fuzzer's inputs, replayed with its checks: the committed corpus, the receiver
// logs it starts from, and each input that once found a fault.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../common/engine_replay.h"
#include "../common/slurp.h"

namespace
{

const char* Replay(const std::string& input)
{
    return ReplayEngineInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
}

TEST(EngineFuzzInputs, EveryCommittedInputPassesTheFuzzerChecks)
{
    for (const char* directory :
         {NMEAFILT_FUZZ_CORPUS "/engine_fuzz", NMEAFILT_TEST_DATA "/corpus"}) {
        const std::vector<std::string> files = InputsIn(directory);
        EXPECT_FALSE(files.empty()) << directory;
        for (const std::string& path : files) {
            const std::string input = Slurp(path);
            const char* failure = Replay(input);
            EXPECT_EQ(failure, nullptr) << path << ": " << failure;
        }
    }
}

} // namespace
