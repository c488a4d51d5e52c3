// The shipped image against the driver linked in, as nmeafilt replay runs them: the same bytes
// to the application and the receiver and the same counts, over every capture; and how deep
// the image's read completion goes on the way.
#include <driver_image.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <vector>

#include "../common/image_symbols.h"
#include "../common/slurp.h"
#include "driver_loop.h"

namespace
{

// The bundled sample and every log in the corpus, whatever logs it holds.
std::vector<std::string> Captures()
{
    std::vector<std::string> paths{NMEAFILT_SAMPLE_PATH};
    for (const auto& entry : std::filesystem::directory_iterator(NMEAFILT_TEST_DATA "/corpus")) {
        if (entry.path().extension() == ".log") {
            paths.push_back(entry.path().string());
        }
    }
    std::sort(paths.begin() + 1, paths.end());
    return paths;
}

class ImageReplay : public ::testing::TestWithParam<std::string>
{
  protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(image_.Load(NMEAFILT_IMAGE_PATH, &error)) << error;
    }
    standin::DriverImage image_;
};

TEST_P(ImageReplay, GivesWhatTheLinkedDriverGives)
{
    const std::string input = Slurp(GetParam());
    ASSERT_FALSE(input.empty()) << GetParam();
    for (unsigned chunk : {1u, 7u, 96u}) {
        for (unsigned readSize : {1u, 13u, 4096u}) {
            nmeafilt::ReplayConfig config;
            config.chunk = chunk;
            config.readSize = readSize;
            nmeafilt::StringSink linked;
            nmeafilt::StringSink shipped;
            const nmeafilt::DriverReplay l = nmeafilt::ReplayThroughDriver(input, config, linked);
            const nmeafilt::DriverReplay s =
                nmeafilt::ReplayThroughDriver(input, config, shipped, &image_);
            const std::string where =
                " chunk " + std::to_string(chunk) + " read " + std::to_string(readSize);
            ASSERT_TRUE(l.ran) << l.error << where;
            ASSERT_TRUE(s.ran) << s.error << where;
            ASSERT_EQ(shipped.output, linked.output) << where;
            ASSERT_EQ(shipped.commands, linked.commands) << where;
            ASSERT_EQ(std::memcmp(&s.counters, &l.counters, sizeof s.counters), 0)
                << "counters differ at" << where;
            ASSERT_EQ(s.counters.BytesIn, input.size()) << where;
        }
    }
}

// "bn-9015.log" runs as bn_9015.
std::string CaptureName(const ::testing::TestParamInfo<std::string>& row)
{
    std::string name = std::filesystem::path(row.param).stem().string();
    std::replace_if(
        name.begin(), name.end(),
        [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    return name;
}

INSTANTIATE_TEST_SUITE_P(Captures, ImageReplay, ::testing::ValuesIn(Captures()), CaptureName);

// What the image check estimates from the compiler's frame sizes, measured instead: the stack
// below the call is painted before each read completion, and the deepest reach is kept.
TEST(ImageStack, ReadCompletionStaysWithinItsBudget)
{
    constexpr ULONG kBudget = 1536;
    const unsigned long rva = ImageSymbols(NMEAFILT_IMAGE_MAP).Rva("FilterReadComplete");
    ASSERT_NE(rva, 0u) << "the link map names no FilterReadComplete";
    standin::DriverImage image;
    std::string error;
    ASSERT_TRUE(image.Load(NMEAFILT_IMAGE_PATH, &error)) << error;
    for (const std::string& path : Captures()) {
        for (unsigned chunk : {1u, 7u, 96u}) {
            nmeafilt::ReplayConfig config;
            config.chunk = chunk;
            nmeafilt::StringSink sink;
            ASSERT_TRUE(nmeafilt::ReplayThroughDriver(Slurp(path), config, sink, &image).ran);
        }
    }
    const ULONG deepest = image.DeepestCompletionStack(ULONG(rva));
    std::cout << "deepest read completion stack over the corpus: " << deepest << " bytes of "
              << kBudget << "\n";
    RecordProperty("ReadCompletionStackBytes", int(deepest));
    // A frame, its arguments and a return address at the least: a figure below that means the
    // routine was never measured.
    EXPECT_GT(deepest, 64u);
    EXPECT_LT(deepest, kBudget);
}

} // namespace
