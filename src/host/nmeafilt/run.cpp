// nmeafilt run: the driver, loaded in the kernel stand-in, between a real serial device and the
// applications. The port below the filter is the device; what the filter delivers goes to a
// pseudo-terminal, a file or standard output.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <driver_image.h>
#include <harness.h>

#include "cli.h"
#include "commands.h"
#include "device_port.h"
#include "driver_loop.h"
#include "engine_loop.h"
#include "filter.h"
#include "loading.h"
#include "serial_io.h"

namespace nmeafilt
{

namespace
{

// Application reads as a navigation program makes them.
constexpr ULONG kApplicationReadSize = 4096;
constexpr long long kStatusIntervalMs = 250;
constexpr int kDeviceWaitStepMs = 100;

// Watches the delivered stream for RMC sentences, for the status line.
class RmcWatcher
{
  public:
    void Feed(const UCHAR* data, std::size_t length)
    {
        for (std::size_t i = 0; i < length; ++i) {
            char c = static_cast<char>(data[i]);
            if (c == '$')
                line_.clear();
            if (line_.size() < 128)
                line_ += c;
            if (c == '\n') {
                Take();
                line_.clear();
            }
        }
    }
    const std::string& Time() const { return time_; }
    const std::string& Status() const { return status_; }

  private:
    // $GPRMC,hhmmss.sss,A,...: field 1 the time, field 2 the status.
    void Take()
    {
        static const char kRmc[] = "$GPRMC,";
        constexpr std::size_t kTimeAt = sizeof kRmc - 1;
        if (line_.compare(0, kTimeAt, kRmc) != 0)
            return;
        const std::size_t statusComma = line_.find(',', kTimeAt);
        if (statusComma == std::string::npos || statusComma + 1 >= line_.size())
            return;
        time_ = line_.substr(kTimeAt, statusComma - kTimeAt);
        status_ = line_.substr(statusComma + 1, 1);
    }
    std::string line_;
    std::string time_;
    std::string status_;
};

// Where the stream goes: a pseudo-terminal, or a file or standard output.
class Output
{
  public:
    Output(int fd, PtyLink* pty) : fd_(fd), pty_(pty) {}

    // Running, or why the run must end.
    Ending Deliver(const UCHAR* data, std::size_t length)
    {
        rmc_.Feed(data, length);
        if (pty_ == nullptr) {
            if (WriteAll(fd_, data, length)) {
                delivered_ += length;
                return Ending::Running;
            }
            return StopRequested() ? Ending::Stopped : Ending::OutputClosed;
        }
        // Nobody on the terminal: the stream goes nowhere, as on a port nobody reads.
        if (!pty_->PeerConnected())
            return Ending::Running;
        // A reader that falls far behind loses what does not fit, as on a serial line; the
        // device is never held up for it.
        const ssize_t written = write(pty_->Master(), data, length);
        if (written < 0 && errno != EAGAIN && errno != EINTR)
            return Ending::OutputClosed;
        const std::size_t taken = written < 0 ? 0 : static_cast<std::size_t>(written);
        delivered_ += taken;
        lost_ += length - taken;
        return Ending::Running;
    }

    const RmcWatcher& Rmc() const { return rmc_; }
    unsigned long long Delivered() const { return delivered_; }
    unsigned long long Lost() const { return lost_; }

  private:
    int fd_;
    PtyLink* pty_;
    RmcWatcher rmc_;
    unsigned long long delivered_ = 0;
    unsigned long long lost_ = 0;
};

class Session
{
  public:
    Session(standin::Harness& kernel, DEVICE_EXTENSION* ext, Output& output, PtyLink* pty)
        : kernel_(kernel), ext_(ext), output_(output), pty_(pty)
    {
    }

    // Reads as an application does until a stop signal, the device's end or the output's.
    Ending Serve(const Ending& device)
    {
        statusLine_ = isatty(STDERR_FILENO) != 0;
        for (;;) {
            if (StopRequested())
                return Ending::Stopped;
            if (device != Ending::Running)
                return device;
            const standin::RequestResult read = kernel_.Read(kApplicationReadSize);
            const Ending out = Deliver(read);
            if (out != Ending::Running)
                return out;
            if (pty_ != nullptr)
                PassApplicationWrites();
            kernel_.Port().ClearRequests(); // a long run keeps no record of every request
            ShowStatus(false);
        }
    }

    // After the device's end: what the filter still holds queued.
    void Drain()
    {
        while (ext_->OutputBuffer.Length != 0) {
            const standin::RequestResult read = kernel_.Read(kApplicationReadSize);
            if (read.Information == 0 || Deliver(read) != Ending::Running)
                break;
        }
    }

    void ShowStatus(bool final)
    {
        if (!statusLine_)
            return;
        const long long now = NowMs();
        if (!final && now - lastStatus_ < kStatusIntervalMs)
            return;
        lastStatus_ = now;
        const FILTER_COUNTERS& c = ext_->Counters;
        const RmcWatcher& rmc = output_.Rmc();
        std::fprintf(stderr, "\r\033[K%u B in, %llu B out, %u sentences, fix %s, last RMC %s%s",
                     static_cast<unsigned>(c.BytesIn), output_.Delivered(),
                     static_cast<unsigned>(c.SentencesQueued),
                     rmc.Status().empty() ? "-" : rmc.Status().c_str(),
                     rmc.Time().empty() ? "-" : rmc.Time().c_str(), final ? "\n" : "");
        std::fflush(stderr);
    }

  private:
    Ending Deliver(const standin::RequestResult& read)
    {
        const std::size_t n =
            read.Information < read.Data.size() ? read.Information : read.Data.size();
        return n == 0 ? Ending::Running : output_.Deliver(read.Data.data(), n);
    }

    // What applications write to the terminal goes down through the filter to the device.
    void PassApplicationWrites()
    {
        if (!pty_->PeerConnected())
            return;
        char buffer[512];
        const ssize_t n = read(pty_->Master(), buffer, sizeof buffer);
        if (n > 0)
            kernel_.Write(standin::Bytes(buffer, buffer + n));
    }

    standin::Harness& kernel_;
    DEVICE_EXTENSION* ext_;
    Output& output_;
    PtyLink* pty_;
    bool statusLine_ = false;
    long long lastStatus_ = 0;
};

// --wait: a device that is not there yet (an adapter being plugged in, a simulated receiver
// still starting) is waited for.
bool WaitForDevice(const RunOptions& options)
{
    struct stat st;
    if (stat(options.port.c_str(), &st) == 0 || options.waitSeconds == 0)
        return true;
    std::fprintf(stderr, "nmeafilt run: waiting up to %u s for %s\n", options.waitSeconds,
                 options.port.c_str());
    const long long deadline = NowMs() + options.waitSeconds * 1000LL;
    while (NowMs() < deadline && !StopRequested()) {
        timespec step = {0, kDeviceWaitStepMs * 1000000L};
        nanosleep(&step, nullptr);
        if (stat(options.port.c_str(), &st) == 0)
            return true;
    }
    return false;
}

const char* EndingText(Ending ending)
{
    switch (ending) {
        case Ending::Running:
        case Ending::Stopped:
            return "stopped";
        case Ending::DeviceEnded:
            return "the device hung up or ended";
        case Ending::DeviceFailed:
            return "the device failed";
        case Ending::OutputClosed:
            return "the output was closed";
    }
    return "?";
}

int ExitCode(Ending ending)
{
    return ending == Ending::DeviceFailed   ? kExitFailure
           : ending == Ending::OutputClosed ? kExitOutputClosed
                                            : kExitOk;
}

// Everything a run holds, let go in reverse order when it goes out of scope.
struct Resources {
    standin::DriverImage image;
    Descriptor device;
    PtyLink pty;
    Descriptor file;
};

// Opens what the options name; -1 when all is there, else the exit code (after saying why).
int Open(const RunOptions& options, Resources* r)
{
    if (!options.image.empty()) {
        const int code = MapDriverImage("run", options.image, &r->image);
        if (code >= 0)
            return code;
    }
    std::string error;
    if (!WaitForDevice(options)) {
        std::fprintf(stderr, "nmeafilt run: %s did not appear within %u s\n", options.port.c_str(),
                     options.waitSeconds);
        return kExitFailure;
    }
    r->device = Descriptor(OpenDevice(options.port, options.baud, &error));
    if (!r->device.Valid()) {
        std::fprintf(stderr, "nmeafilt run: %s\n", error.c_str());
        return kExitFailure;
    }
    if (!options.link.empty()) {
        const LinkAccess access = {options.ptyGroup, options.ptyMode};
        if (!r->pty.Create(options.link, &error, &access)) {
            std::fprintf(stderr, "nmeafilt run: %s\n", error.c_str());
            return kExitFailure;
        }
        std::fprintf(stderr, "nmeafilt run: %s at %u baud, serving %s -> %s\n",
                     options.port.c_str(), options.baud, options.link.c_str(),
                     r->pty.SlavePath().c_str());
    } else if (!options.output.empty() && options.output != "-") {
        r->file = Descriptor(
            open(options.output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
        if (!r->file.Valid()) {
            std::fprintf(stderr, "nmeafilt run: cannot open %s: %s\n", options.output.c_str(),
                         std::strerror(errno));
            return kExitFailure;
        }
    }
    return -1;
}

} // namespace

int RunMain(const RunOptions& options)
{
    InstallStopHandlers();
    Resources r;
    const int code = Open(options, &r);
    if (code >= 0)
        return code;
    PtyLink* pty = options.link.empty() ? nullptr : &r.pty;

    Ending device = Ending::Running;
    DevicePort port(r.device.Get(), &device);
    standin::Harness kernel;
    port.Attach(kernel.Port());
    std::string error;
    DEVICE_EXTENSION* ext =
        LoadAndOpenFilter(kernel, r.image.Loaded() ? &r.image : nullptr, &error);
    if (ext == nullptr) {
        std::fprintf(stderr, "nmeafilt run: %s\n", error.c_str());
        return kExitFailure;
    }

    Output output(r.file.Valid() ? r.file.Get() : STDOUT_FILENO, pty);
    Session session(kernel, ext, output, pty);
    const Ending ending = session.Serve(device);
    if (ending == Ending::DeviceEnded)
        session.Drain();
    unsigned unread = 0;
    const bool handedOver = ending != Ending::DeviceEnded || pty == nullptr ||
                            pty->WaitUntilTaken(kHandOverIdleMs, &unread);
    session.ShowStatus(true);
    const FILTER_COUNTERS counters = ext->Counters;

    kernel.Close();
    kernel.Remove();
    kernel.Unload();
    r.pty.Close();

    PrintSummary(stderr, counters, port.TakesCommands());
    if (pty != nullptr)
        std::fprintf(stderr, "nmeafilt run: %llu bytes delivered to %s\n", output.Delivered(),
                     options.link.c_str());
    if (!handedOver)
        std::fprintf(stderr,
                     "nmeafilt run: the reader on %s had not taken everything: it took nothing "
                     "for %d s with %u bytes or more still to read\n",
                     options.link.c_str(), kHandOverIdleMs / 1000, unread);
    if (output.Lost() != 0)
        std::fprintf(stderr, "nmeafilt run: %llu bytes lost to a reader that fell behind\n",
                     output.Lost());
    std::fprintf(stderr, "nmeafilt run: %s\n", EndingText(ending));
    return ExitCode(ending);
}

} // namespace nmeafilt
