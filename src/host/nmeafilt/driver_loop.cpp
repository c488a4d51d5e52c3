#include "driver_loop.h"

#include <cstdio>
#include <harness.h>

#include "filter.h"

namespace nmeafilt
{

namespace
{

std::string Failed(const char* step, NTSTATUS status)
{
    char text[96];
    std::snprintf(text, sizeof text, "cannot %s the filter: status 0x%08X", step,
                  static_cast<unsigned>(status));
    return text;
}

} // namespace

DEVICE_EXTENSION* LoadAndOpenFilter(standin::Harness& kernel, standin::DriverImage* image,
                                    std::string* error)
{
    NTSTATUS status = image != nullptr ? kernel.Load(*image) : kernel.Load(DriverEntry);
    if (!NT_SUCCESS(status)) {
        *error = Failed("load", status);
        return nullptr;
    }
    status = kernel.AddDevice();
    if (!NT_SUCCESS(status) || kernel.FilterDevice() == nullptr) {
        *error = Failed("add a device of", status);
        return nullptr;
    }
    status = kernel.Start().Status;
    if (!NT_SUCCESS(status)) {
        *error = Failed("start", status);
        return nullptr;
    }
    status = kernel.Open().Status;
    if (!NT_SUCCESS(status)) {
        *error = Failed("open", status);
        return nullptr;
    }
    return FilterExtension(kernel.FilterDevice());
}

DriverReplay ReplayThroughDriver(const std::string& input, const ReplayConfig& config,
                                 ReplaySink& sink, standin::DriverImage* image)
{
    DriverReplay result;
    standin::Harness kernel;
    DEVICE_EXTENSION* ext = LoadAndOpenFilter(kernel, image, &result.error);
    if (ext == nullptr) {
        return result;
    }
    // Nothing has reached the engine yet: the observer sees every line.
    ext->LineObserver = config.observer;
    ext->ObserverContext = config.observerContext;

    standin::SimulatedPort& port = kernel.Port();
    port.SetStream(standin::ToBytes(input), PortChunk(config), STATUS_TIMEOUT);
    // Each command goes to the sink as the port takes it: nothing kept, nothing copied again.
    port.SetWriteSink([&sink](const standin::Bytes& command) {
        sink.CommandWritten(command.data(), command.size());
        return STATUS_SUCCESS;
    });

    for (;;) {
        standin::RequestResult read = kernel.Read(config.readSize);
        port.ClearRequests(); // nor is the record of every request kept
        if (config.progress) {
            config.progress(ext->Counters.BytesIn, input.size());
        }
        if (read.Information != 0) {
            sink.Delivered(read.Data.data(), read.Information < read.Data.size()
                                                 ? read.Information
                                                 : read.Data.size());
        } else if (port.StreamExhausted()) {
            break;
        }
    }
    result.counters = ext->Counters;
    result.ran = true;
    kernel.Close();
    kernel.Remove();
    kernel.Unload();
    return result;
}

} // namespace nmeafilt
