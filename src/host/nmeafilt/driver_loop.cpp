#include "driver_loop.h"

#include <harness.h>

#include "filter.h"

namespace nmeafilt
{

void LoadFilter(standin::Harness& kernel, standin::DriverImage* image)
{
    if (image != nullptr) {
        kernel.Load(*image);
    } else {
        kernel.Load(DriverEntry);
    }
}

FILTER_COUNTERS ReplayThroughDriver(const std::string& input, const ReplayConfig& config,
                                    ReplaySink& sink, standin::DriverImage* image)
{
    standin::Harness kernel;
    LoadFilter(kernel, image);
    kernel.AddDevice();
    DEVICE_EXTENSION* ext = FilterExtension(kernel.FilterDevice());
    ext->LineObserver = config.observer;
    ext->ObserverContext = config.observerContext;
    kernel.Start();
    kernel.Open();

    const unsigned chunk =
        config.chunk < 1 ? 1 : (config.chunk > kMaxChunk ? kMaxChunk : config.chunk);
    standin::SimulatedPort& port = kernel.Port();
    port.SetStream(standin::ToBytes(input), chunk, STATUS_TIMEOUT);

    // The port's record of writes is only fetched when the driver has tried one.
    ULONG attemptsSeen = 0;
    size_t writesSeen = 0;
    for (;;) {
        standin::RequestResult read = kernel.Read(config.readSize);
        if (config.progress) {
            config.progress(ext->Counters.BytesIn, input.size());
        }
        if (ext->Counters.CommandsWritten != attemptsSeen) {
            const std::vector<standin::Bytes> writes = port.Writes();
            for (size_t i = writesSeen; i < writes.size(); ++i) {
                sink.CommandWritten(writes[i].data(), writes[i].size());
            }
            writesSeen = writes.size();
            attemptsSeen = ext->Counters.CommandsWritten;
        }
        if (read.Information != 0) {
            sink.Delivered(read.Data.data(), read.Information < read.Data.size()
                                                 ? read.Information
                                                 : read.Data.size());
        } else if (port.StreamExhausted()) {
            break;
        }
    }
    const FILTER_COUNTERS counters = ext->Counters;
    kernel.Close();
    kernel.Remove();
    kernel.Unload();
    return counters;
}

} // namespace nmeafilt
