// replay through the whole driver in the stand-in, over the bundled sample repeated to 3, 6, 12
// and 24 MB: seconds per megabyte should stay the same at every size.
#include <benchmark/benchmark.h>

#include <fstream>
#include <sstream>
#include <string>

#include "driver_loop.h"

namespace
{

// Writes nothing anywhere: only the replay is measured.
class NullSink : public nmeafilt::ReplaySink
{
  public:
    void Delivered(const UCHAR*, size_t length) override { bytes += length; }
    void CommandWritten(const UCHAR*, size_t) override {}
    size_t bytes = 0;
};

std::string Repeated(size_t megabytes)
{
    std::ifstream in(NMEAFILT_SAMPLE_PATH, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    const std::string sample = s.str();
    std::string capture;
    while (!sample.empty() && capture.size() < megabytes << 20)
        capture += sample;
    return capture;
}

void ReplaySample(benchmark::State& state)
{
    const std::string capture = Repeated(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        NullSink sink;
        const nmeafilt::DriverReplay replay =
            nmeafilt::ReplayThroughDriver(capture, nmeafilt::ReplayConfig(), sink);
        if (!replay.ran)
            state.SkipWithError(replay.error.c_str());
        benchmark::DoNotOptimize(sink.bytes);
    }
    const double megabytes = static_cast<double>(capture.size()) / (1 << 20);
    state.counters["s_per_MB"] =
        benchmark::Counter(megabytes * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.SetBytesProcessed(static_cast<int64_t>(capture.size()) * state.iterations());
}
BENCHMARK(ReplaySample)->Arg(3)->Arg(6)->Arg(12)->Arg(24)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
