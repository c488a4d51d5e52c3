// nmeafilt run: the driver, loaded in the kernel stand-in, between a real serial device and the
// applications. The port below the filter is the device; what the filter delivers goes to a
// pseudo-terminal, a file or standard output.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <driver_image.h>
#include <harness.h>

#include "cli.h"
#include "commands.h"
#include "driver_loop.h"
#include "engine_loop.h"
#include "filter.h"
#include "options.h"
#include "serial_io.h"

namespace nmeafilt
{

namespace
{

// A serial driver's read interval time-out: a port read returns what has arrived by then.
constexpr int kPortReadTimeoutMs = 100;
// Application reads as a navigation program makes them.
constexpr ULONG kApplicationReadSize = 4096;
constexpr long long kStatusIntervalMs = 250;
// After the device's end, how long the reader of the pseudo-terminal is given to take what was
// already written to it before the terminal goes away.
constexpr int kHandOverMs = 2000;

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
    void Take()
    {
        if (line_.compare(0, 7, "$GPRMC,") != 0)
            return;
        std::size_t comma2 = line_.find(',', 7);
        if (comma2 == std::string::npos || comma2 + 1 >= line_.size())
            return;
        time_ = line_.substr(7, comma2 - 7);
        status_ = line_.substr(comma2 + 1, 1);
    }
    std::string line_;
    std::string time_;
    std::string status_;
};

enum class Ending { Stopped, DeviceEnded, Failed };

class Session
{
  public:
    explicit Session(int device) : device_(device) {}

    // The port below the filter is the device: a port read returns what has arrived within the
    // read time-out, a port write goes out on the line.
    void AttachPort(standin::SimulatedPort& port)
    {
        port.SetReadSource([this](ULONG asked) {
            UCHAR bytes[kMaxChunk];
            std::size_t want = asked < sizeof bytes ? asked : sizeof bytes;
            if (ending_ != Running || want == 0)
                return standin::Bytes();
            ssize_t n = ReadAvailable(device_, bytes, want, kPortReadTimeoutMs);
            if (n < 0) {
                ending_ = StopRequested()              ? Stopped
                          : errno == 0 || errno == EIO ? DeviceEnded
                                                       : DeviceFailed;
                return standin::Bytes();
            }
            return standin::Bytes(bytes, bytes + n);
        });
        // A capture file or a pipe has no receiver to talk to: writing there would overwrite
        // the capture, or come straight back as input.
        struct stat st;
        bool line = fstat(device_, &st) == 0 && (S_ISCHR(st.st_mode) || S_ISSOCK(st.st_mode));
        port.SetWriteSink([this, line](const standin::Bytes& data) {
            if (!line)
                return STATUS_SUCCESS;
            return WriteAll(device_, data.data(), data.size()) ? STATUS_SUCCESS
                                                               : STATUS_DEVICE_NOT_READY;
        });
    }

    // Reads as an application does until a stop signal or the device's end.
    Ending Serve(standin::Harness& kernel, DEVICE_EXTENSION* ext, int out, PtyLink* pty)
    {
        statusLine_ = isatty(STDERR_FILENO) != 0;
        for (;;) {
            if (StopRequested() || ending_ == Stopped)
                return Ending::Stopped;
            if (ending_ == DeviceEnded)
                return Ending::DeviceEnded;
            if (ending_ == DeviceFailed)
                return Ending::Failed;
            standin::RequestResult read = kernel.Read(kApplicationReadSize);
            if (read.Information != 0 && !Deliver(read, out, pty))
                return Ending::Failed;
            if (pty != nullptr)
                PassApplicationWrites(kernel, pty);
            kernel.Port().ClearRequests(); // a long run keeps no record of every request
            ShowStatus(ext, false);
        }
    }

    // After the device's end: what the filter still holds queued.
    void Drain(standin::Harness& kernel, DEVICE_EXTENSION* ext, int out, PtyLink* pty)
    {
        while (ext->OutputBuffer.Length != 0) {
            standin::RequestResult read = kernel.Read(kApplicationReadSize);
            if (read.Information == 0 || !Deliver(read, out, pty))
                break;
        }
    }

    void ShowStatus(DEVICE_EXTENSION* ext, bool final)
    {
        if (!statusLine_)
            return;
        long long now = NowMs();
        if (!final && now - lastStatus_ < kStatusIntervalMs)
            return;
        lastStatus_ = now;
        const FILTER_COUNTERS& c = ext->Counters;
        std::fprintf(stderr, "\r\033[K%u B in, %llu B out, %u sentences, fix %s, last RMC %s%s",
                     static_cast<unsigned>(c.BytesIn), delivered_,
                     static_cast<unsigned>(c.SentencesQueued),
                     rmc_.Status().empty() ? "-" : rmc_.Status().c_str(),
                     rmc_.Time().empty() ? "-" : rmc_.Time().c_str(), final ? "\n" : "");
        std::fflush(stderr);
    }

    unsigned long long Lost() const { return lost_; }

  private:
    enum State { Running, Stopped, DeviceEnded, DeviceFailed };

    bool Deliver(const standin::RequestResult& read, int out, PtyLink* pty)
    {
        std::size_t n = read.Information < read.Data.size() ? read.Information : read.Data.size();
        rmc_.Feed(read.Data.data(), n);
        delivered_ += n;
        if (pty == nullptr)
            return WriteAll(out, read.Data.data(), n) || StopRequested();
        // Nobody on the terminal: the stream goes nowhere, as on a port nobody reads.
        if (!pty->PeerConnected())
            return true;
        // A reader that falls far behind loses what does not fit, as on a serial line; the
        // device is never held up for it.
        ssize_t written = write(pty->Master(), read.Data.data(), n);
        if (written < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (written < static_cast<ssize_t>(n))
            lost_ += n - (written < 0 ? 0 : static_cast<std::size_t>(written));
        return true;
    }

    // What applications write to the terminal goes down through the filter to the device.
    void PassApplicationWrites(standin::Harness& kernel, PtyLink* pty)
    {
        if (!pty->PeerConnected())
            return;
        char buffer[512];
        ssize_t n = read(pty->Master(), buffer, sizeof buffer);
        if (n > 0)
            kernel.Write(standin::Bytes(buffer, buffer + n));
    }

    int device_;
    State ending_ = Running;
    RmcWatcher rmc_;
    unsigned long long delivered_ = 0;
    unsigned long long lost_ = 0;
    bool statusLine_ = false;
    long long lastStatus_ = 0;
};

} // namespace

int RunMain(const RunOptions& options)
{
    standin::DriverImage image;
    if (!options.image.empty()) {
        const int code = MapDriverImage("run", options.image, &image);
        if (code >= 0)
            return code;
    }

    InstallStopHandlers();
    std::string error;
    int device = OpenDevice(options.port, options.baud, &error);
    if (device < 0) {
        std::fprintf(stderr, "nmeafilt run: %s\n", error.c_str());
        return kExitFailure;
    }
    PtyLink pty;
    int out = STDOUT_FILENO;
    if (!options.link.empty()) {
        if (!pty.Create(options.link, &error)) {
            std::fprintf(stderr, "nmeafilt run: %s\n", error.c_str());
            close(device);
            return kExitFailure;
        }
    } else if (!options.output.empty() && options.output != "-") {
        out = open(options.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out < 0) {
            std::fprintf(stderr, "nmeafilt run: cannot open %s: %s\n", options.output.c_str(),
                         std::strerror(errno));
            close(device);
            return kExitFailure;
        }
    }
    if (!options.link.empty())
        std::fprintf(stderr, "nmeafilt run: %s at %u baud, serving %s -> %s\n",
                     options.port.c_str(), options.baud, options.link.c_str(),
                     pty.SlavePath().c_str());

    Session session(device);
    standin::Harness kernel;
    session.AttachPort(kernel.Port());
    DEVICE_EXTENSION* ext = LoadAndOpenFilter(kernel, image.Loaded() ? &image : nullptr, &error);
    if (ext == nullptr) {
        std::fprintf(stderr, "nmeafilt run: %s\n", error.c_str());
        pty.Close();
        close(device);
        if (out != STDOUT_FILENO)
            close(out);
        return kExitFailure;
    }

    Ending ending = session.Serve(kernel, ext, out, options.link.empty() ? nullptr : &pty);
    if (ending == Ending::DeviceEnded)
        session.Drain(kernel, ext, out, options.link.empty() ? nullptr : &pty);
    bool handedOver = true;
    if (ending == Ending::DeviceEnded && !options.link.empty())
        handedOver = pty.WaitUntilTaken(kHandOverMs);
    session.ShowStatus(ext, true);
    const FILTER_COUNTERS counters = ext->Counters;

    kernel.Close();
    kernel.Remove();
    kernel.Unload();
    pty.Close();
    close(device);
    if (out != STDOUT_FILENO)
        close(out);

    PrintSummary(stderr, counters);
    if (!handedOver)
        std::fprintf(stderr, "nmeafilt run: the reader on %s had not taken everything after %d s\n",
                     options.link.c_str(), kHandOverMs / 1000);
    if (session.Lost() != 0)
        std::fprintf(stderr, "nmeafilt run: %llu bytes lost to a reader that fell behind\n",
                     session.Lost());
    std::fprintf(stderr, "nmeafilt run: %s\n",
                 ending == Ending::Stopped       ? "stopped"
                 : ending == Ending::DeviceEnded ? "the device hung up or ended"
                                                 : "the device failed");
    return ending == Ending::Failed ? kExitFailure : kExitOk;
}

} // namespace nmeafilt
