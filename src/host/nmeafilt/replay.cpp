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
#include "loading.h"
#include "serial_io.h"

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

// Long captures take a while: a bar on standard error, redrawn when it changes, with the rate
// so far and the time left at that rate.
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
        const double seconds = static_cast<double>(NowMs() - startMs_) / 1000.0;
        const double rate = seconds > 0 ? consumed / 1e6 / seconds : 0;
        std::fprintf(stderr, "\r[%s] %3u%% %.1f of %.1f MB, %.1f MB/s, %.0f s left", bar,
                     permille / 10, consumed / 1e6, total / 1e6, rate,
                     rate > 0 ? (total - consumed) / 1e6 / rate : 0.0);
        std::fflush(stderr);
        drawn_ = true;
    }
    void Clear()
    {
        if (drawn_)
            std::fputs("\r\033[K", stderr);
    }

  private:
    long long startMs_ = NowMs();
    unsigned shown_ = ~0u;
    bool drawn_ = false;
};

// Lines that end in LF without CR: the filter never takes them.
std::size_t BareLineFeeds(const std::string& input)
{
    std::size_t count = 0;
    for (std::size_t i = 0; i < input.size(); ++i)
        count += input[i] == '\n' && (i == 0 || input[i - 1] != '\r');
    return count;
}

// --crlf: CR LF where a line ends in LF alone.
std::string WithCrLf(const std::string& input)
{
    std::string out;
    out.reserve(input.size() + input.size() / 32);
    for (std::size_t i = 0; i < input.size(); ++i) {
        if (input[i] == '\n' && (i == 0 || input[i - 1] != '\r'))
            out += '\r';
        out += input[i];
    }
    return out;
}

// The bundled sample, where it is installed beside the program (PREFIX/bin and
// PREFIX/share/nmeafilt), or next to the program in a build tree.
std::string BundledSample()
{
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string();
    dir.resize(dir.rfind('/') + 1); // npos + 1 leaves nothing
    const std::string installed = dir + "../share/nmeafilt/" NMEAFILT_SAMPLE_NAME;
    return access(installed.c_str(), R_OK) == 0 ? installed : dir + NMEAFILT_SAMPLE_NAME;
}

} // namespace

int ReplayMain(const ReplayOptions& options)
{
    ReplayConfig config;
    config.chunk = options.chunk;
    config.readSize = options.readSize;
    const bool haveInput = options.haveInput;
    const std::string inputPath = haveInput ? options.input : BundledSample();
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
    const std::size_t bare = BareLineFeeds(input);
    if (bare != 0)
        std::fprintf(stderr,
                     "nmeafilt replay: %zu %s in LF without CR; the receiver sends CR LF "
                     "and the filter takes a line only at CR LF%s\n",
                     bare, bare == 1 ? "line ends" : "lines end",
                     options.crlf ? " (--crlf: converted)" : " (--crlf converts them)");
    if (options.crlf)
        input = WithCrLf(input);
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
