// Engine throughput over this receiver's stream: port reads of 96 bytes, application reads of
// 4096 and of 1 byte. Allocations inside the timed loop are counted; the engine makes none.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "sentence_stream.h"

static std::atomic<long> allocations{0};

void* operator new(std::size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

namespace
{

// The bundled capture, repeated to about a megabyte.
const std::string& Stream()
{
    static const std::string stream = [] {
        std::ifstream in(NMEAFILT_SAMPLE_PATH, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        std::string one = s.str(), all;
        while (all.size() < (1u << 20)) {
            all += one;
        }
        return all;
    }();
    return stream;
}

void ReplayStream(benchmark::State& state)
{
    const std::string& input = Stream();
    const ULONG chunk = static_cast<ULONG>(state.range(0));
    const ULONG readSize = static_cast<ULONG>(state.range(1));
    auto ext = std::make_unique<DEVICE_EXTENSION>();
    std::vector<UCHAR> destination(readSize);
    unsigned long long sentences = 0;
    unsigned long long delivered = 0;
    long allocated = 0;

    for (auto _ : state) {
        StartAndOpenDevice(ext.get());
        size_t at = 0;
        const long before = allocations.load();
        for (;;) {
            ext->SendRmcRateCommand = ext->SendErrRateCommand = FALSE;
            ULONG n = 0;
            if (!DeliverOutput(ext.get(), destination.data(), readSize, &n)) {
                size_t take = input.size() - at < chunk ? input.size() - at : chunk;
                if (take == 0) {
                    break;
                }
                __builtin_memcpy(ext->ReadBuffer.Data, input.data() + at, take);
                at += take;
                ext->ReadBuffer.Length = static_cast<ULONG>(take);
                AssembleLines(ext.get());
                DeliverOutput(ext.get(), destination.data(), readSize, &n);
            }
            benchmark::DoNotOptimize(destination.data());
            delivered += n;
        }
        allocated += allocations.load() - before;
        sentences += ext->Counters.SentencesQueued + ext->Counters.DroppedChecksum +
                     ext->Counters.DroppedType;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
    state.counters["time_per_sentence"] = benchmark::Counter(
        static_cast<double>(sentences), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["allocations"] = static_cast<double>(allocated);
    benchmark::DoNotOptimize(delivered);
}

BENCHMARK(ReplayStream)->Args({96, 4096})->Args({96, 1})->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
