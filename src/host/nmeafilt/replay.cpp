// nmeafilt replay: a capture played through the filter as an application reading the port sees it.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include <driver_image.h>

#include "commands.h"
#include "driver_loop.h"
#include "engine_loop.h"
#include "options.h"

namespace nmeafilt
{

namespace
{

const char kUsage[] =
    "usage: nmeafilt replay [--chunk N] [--read-size N] [--commands FILE] [--explain]\n"
    "                       [--image SYS] [FILE | -]\n"
    "  --chunk N       bytes per port read, 1 to 96 (default 96)\n"
    "  --read-size N   bytes per application read, at least 1 (default 4096)\n"
    "  --commands FILE append the rate commands written to the receiver to FILE\n"
    "  --explain       tell on standard error what became of every line\n"
    "  --image SYS     run this driver image in place of the linked driver (32-bit build)\n"
    "  FILE            the capture; - is standard input; none replays the bundled sample\n";

int BadUsage(const std::string& why)
{
    std::fprintf(stderr, "nmeafilt replay: %s\n%s", why.c_str(), kUsage);
    return kExitUsage;
}

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

int ReplayMain(int argc, char** argv)
{
    ReplayConfig config;
    std::string commandsPath;
    std::string imagePath;
    std::string inputPath;
    bool haveInput = false;
    bool explain = false;

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool inlineValue = false;
        if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
            value = arg.substr(arg.find('=') + 1);
            arg.resize(arg.find('='));
            inlineValue = true;
        }
        auto takeValue = [&](std::string* out) {
            if (inlineValue) {
                *out = value;
                return true;
            }
            if (i + 1 >= argc) {
                return false;
            }
            *out = argv[++i];
            return true;
        };
        unsigned long number = 0;
        if (arg == "--chunk" || arg == "--read-size") {
            std::string text;
            if (!takeValue(&text)) {
                return BadUsage(arg + " needs a number");
            }
            unsigned long max = arg == "--chunk" ? kMaxChunk : 0x7FFFFFFFul;
            if (!ParseNumber(text.c_str(), 1, max, &number)) {
                return BadUsage(arg + " must be a number from 1 to " + std::to_string(max));
            }
            (arg == "--chunk" ? config.chunk : config.readSize) = static_cast<unsigned>(number);
        } else if (arg == "--commands") {
            if (!takeValue(&commandsPath) || commandsPath.empty()) {
                return BadUsage("--commands needs a file name");
            }
        } else if (arg == "--image") {
            if (!takeValue(&imagePath) || imagePath.empty()) {
                return BadUsage("--image needs a file name");
            }
        } else if (arg == "--explain" && !inlineValue) {
            explain = true;
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return kExitOk;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return BadUsage("unknown option '" + arg + "'");
        } else if (haveInput) {
            return BadUsage("only one input file may be given");
        } else {
            inputPath = arg;
            haveInput = true;
        }
    }
    if (!haveInput) {
        inputPath = NMEAFILT_SAMPLE_PATH;
    }
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
    if (explain) {
        config.observer = Explain;
        config.observerContext = stderr;
    }

    ProgressBar bar;
    if (haveInput && inputPath != "-" && input.size() > kProgressThreshold &&
        isatty(STDERR_FILENO)) {
        config.progress = [&bar](size_t consumed, size_t total) { bar.Show(consumed, total); };
    }
    FILTER_COUNTERS counters =
        ReplayThroughDriver(input, config, sink, image.Loaded() ? &image : nullptr);
    bar.Clear();

    std::fflush(stdout);
    if (sink.commands != nullptr && std::fclose(sink.commands) != 0) {
        sink.failed = true;
    }
    PrintSummary(stderr, counters);
    if (sink.failed || std::ferror(stdout)) {
        std::fputs("nmeafilt replay: writing the output failed\n", stderr);
        return kExitFailure;
    }
    return kExitOk;
}

} // namespace nmeafilt
