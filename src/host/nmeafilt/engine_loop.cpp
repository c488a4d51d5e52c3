#include "engine_loop.h"

#include <cctype>
#include <memory>

#include "rate_commands.h"

namespace nmeafilt
{

namespace
{

// What the read path does first: a pending rate command goes to the receiver.
void WritePendingCommand(DEVICE_EXTENSION& ext, ReplaySink& sink)
{
    if (!ext.SendRmcRateCommand && !ext.SendErrRateCommand) {
        return;
    }
    sink.CommandWritten(ext.SendErrRateCommand ? ErrRateCommand : RmcRateCommand,
                        RATE_COMMAND_LENGTH);
    ext.Counters.CommandsWritten++;
    ext.SendRmcRateCommand = FALSE;
    ext.SendErrRateCommand = FALSE;
}

} // namespace

unsigned PortChunk(const ReplayConfig& config)
{
    return config.chunk < 1 ? 1 : (config.chunk > kMaxChunk ? kMaxChunk : config.chunk);
}

FILTER_COUNTERS ReplayThroughEngine(const std::string& input, const ReplayConfig& config,
                                    ReplaySink& sink)
{
    // The extension is large and zero-filled at creation, as the I/O manager gives it.
    auto ext = std::make_unique<DEVICE_EXTENSION>();
    StartAndOpenDevice(ext.get());
    ext->LineObserver = config.observer;
    ext->ObserverContext = config.observerContext;

    const unsigned chunk = PortChunk(config);
    std::string readBuffer(config.readSize, '\0');
    UCHAR* destination = reinterpret_cast<UCHAR*>(readBuffer.data());
    size_t consumed = 0;
    for (;;) {
        WritePendingCommand(*ext, sink);
        ULONG delivered = 0;
        if (!DeliverOutput(ext.get(), destination, config.readSize, &delivered)) {
            // Queue empty: this read goes to the port for the next chunk.
            size_t take = input.size() - consumed;
            if (take > chunk) {
                take = chunk;
            }
            input.copy(reinterpret_cast<char*>(ext->ReadBuffer.Data), take, consumed);
            consumed += take;
            ext->ReadBuffer.Length = static_cast<ULONG>(take);
            if (take != 0) {
                AssembleLines(ext.get());
            }
            if (!DeliverOutput(ext.get(), destination, config.readSize, &delivered)) {
                delivered = 0;
            }
        }
        if (delivered != 0) {
            sink.Delivered(destination, delivered);
        } else if (consumed == input.size()) {
            break;
        }
    }
    return ext->Counters;
}

namespace
{

struct FateText {
    const char* label;
    const char* reason; // why a line went nowhere; null for a queued one
};

FateText Describe(LINE_FATE fate)
{
    switch (fate) {
        case LINE_QUEUED:
            return {"queued", nullptr};
        case LINE_REWRITTEN:
            return {"rewritten", nullptr};
        case LINE_SYNTHESIZED:
            return {"synthesized", nullptr};
        case LINE_DROPPED_CHECKSUM:
            return {"dropped", "bad or missing checksum"};
        case LINE_DROPPED_TYPE:
            return {"dropped", "sentence type not handled"};
        case LINE_DROPPED_TOO_LONG:
            return {"dropped", "too long once rewritten"};
        case LINE_DISCARDED_OVERLONG:
            return {"discarded", "512 bytes without CR LF"};
    }
    return {"?", nullptr};
}

} // namespace

static void PrintEscaped(FILE* out, const UCHAR* text, ULONG length)
{
    // Lines end in CR LF; anything else unprintable is shown, so damage is visible.
    while (length >= 2 && text[length - 2] == '\r' && text[length - 1] == '\n') {
        length -= 2;
    }
    for (ULONG i = 0; i < length; ++i) {
        if (std::isprint(text[i])) {
            std::fputc(text[i], out);
        } else {
            std::fprintf(out, "\\x%02X", text[i]);
        }
    }
}

void ExplainLine(FILE* out, LINE_FATE fate, const UCHAR* line, ULONG lineLength,
                 const UCHAR* queued, ULONG queuedLength)
{
    const FateText text = Describe(fate);
    std::fprintf(out, "%-12s ", text.label);
    PrintEscaped(out, line, lineLength);
    if (fate == LINE_REWRITTEN || fate == LINE_SYNTHESIZED) {
        std::fputs("\n             -> ", out);
        PrintEscaped(out, queued, queuedLength);
    } else if (text.reason != nullptr) {
        std::fprintf(out, "\n             (%s)", text.reason);
    }
    std::fputc('\n', out);
}

void PrintSummary(FILE* out, const FILTER_COUNTERS& c, bool commandsSent)
{
    std::fprintf(out,
                 "nmeafilt: %u bytes in, %u bytes out\n"
                 "nmeafilt: %u sentences queued (%u RMC synthesized)\n"
                 "nmeafilt: dropped: %u for checksum, %u for type, %u too long; %u overlong lines, "
                 "%u queue overflows\n",
                 c.BytesIn, c.BytesOut, c.SentencesQueued, c.RmcSynthesized, c.DroppedChecksum,
                 c.DroppedType, c.DroppedTooLong, c.DiscardedOverlong, c.QueueOverflows);
    std::fprintf(out,
                 commandsSent ? "nmeafilt: %u commands written\n"
                              : "nmeafilt: %u commands not sent: the device is no serial line\n",
                 c.CommandsWritten);
}

} // namespace nmeafilt
