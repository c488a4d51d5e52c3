// nmeafilt replay: a capture played through the filter as an application reading the port sees it.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include <driver_image.h>

#include "cli.h"
#include "commands.h"
#include "driver_loop.h"
#include "engine_loop.h"
#include "options.h"

namespace nmeafilt
{

namespace
{

class FileSink : public ReplaySink
{
  public:
    FILE* output = stdout;
    FILE* commands = nullptr;
    bool failed = false;
    void Delivered(const UCHAR* data, size_t length) override
    {
        failed |= std::fwrite(data, 1, length, output) != length;
    }
    void CommandWritten(const UCHAR* data, size_t length) override
    {
        if (commands != nullptr) {
            failed |= std::fwrite(data, 1, length, commands) != length;
        }
    }
};

void Explain(void* context, LINE_FATE fate, const UCHAR* line, ULONG lineLength, const UCHAR* out,
             ULONG outLength)
{
    ExplainLine(static_cast<FILE*>(context), fate, line, lineLength, out, outLength);
}

// Long captures take a while: a bar on standard error, redrawn when it changes.
constexpr size_t kProgressThreshold = 4u << 20;

class ProgressBar
{
  public:
    void Show(size_t consumed, size_t total)
    {
        unsigned permille = total ? static_cast<unsigned>(consumed * 1000 / total) : 1000;
        if (permille == shown_)
            return;
        shown_ = permille;
        char bar[41];
        for (unsigned i = 0; i < 40; ++i)
            bar[i] = i < permille * 40 / 1000 ? '#' : '.';
        bar[40] = '\0';
        std::fprintf(stderr, "\r[%s] %3u%% %.1f of %.1f MB", bar, permille / 10, consumed / 1e6,
                     total / 1e6);
        std::fflush(stderr);
        drawn_ = true;
    }
    void Clear()
    {
        if (drawn_)
            std::fputs("\r\033[K", stderr);
    }

  private:
    unsigned shown_ = ~0u;
    bool drawn_ = false;
};

} // namespace

int ReplayMain(const ReplayOptions& options)
{
    ReplayConfig config;
    config.chunk = options.chunk;
    config.readSize = options.readSize;
    const bool haveInput = options.haveInput;
    const std::string inputPath = haveInput ? options.input : NMEAFILT_SAMPLE_PATH;
    const std::string& commandsPath = options.commands;
    const std::string& imagePath = options.image;

    standin::DriverImage image;
    if (!imagePath.empty()) {
        const int code = MapDriverImage("replay", imagePath, &image);
        if (code >= 0) {
            return code;
        }
    }

    std::string input;
    std::string error;
    if (!ReadInput(inputPath, &input, &error)) {
        std::fprintf(stderr, "nmeafilt replay: cannot read '%s': %s\n", inputPath.c_str(),
                     error.c_str());
        return kExitFailure;
    }
    FileSink sink;
    if (!commandsPath.empty()) {
        sink.commands = std::fopen(commandsPath.c_str(), "ab");
        if (sink.commands == nullptr) {
            std::fprintf(stderr, "nmeafilt replay: cannot open '%s' for the commands: %s\n",
                         commandsPath.c_str(), std::strerror(errno));
            return kExitFailure;
        }
    }
    if (options.explain) {
        config.observer = Explain;
        config.observerContext = stderr;
    }

    ProgressBar bar;
    if (haveInput && inputPath != "-" && input.size() > kProgressThreshold &&
        isatty(STDERR_FILENO)) {
        config.progress = [&bar](size_t consumed, size_t total) { bar.Show(consumed, total); };
    }
    const DriverReplay replay =
        ReplayThroughDriver(input, config, sink, image.Loaded() ? &image : nullptr);
    bar.Clear();

    std::fflush(stdout);
    if (sink.commands != nullptr && std::fclose(sink.commands) != 0) {
        sink.failed = true;
    }
    if (!replay.ran) {
        std::fprintf(stderr, "nmeafilt replay: %s\n", replay.error.c_str());
        return kExitFailure;
    }
    PrintSummary(stderr, replay.counters);
    if (sink.failed || std::ferror(stdout)) {
        std::fputs("nmeafilt replay: writing the output failed\n", stderr);
        return kExitFailure;
    }
    return kExitOk;
}

} // namespace nmeafilt
