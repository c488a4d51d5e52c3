// nmeafilt simulate: the receiver as a program, on a pseudo-terminal, a serial device or standard
// output, paced as the real one is by its epoch rate and its baud rate.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "cli.h"
#include "commands.h"
#include "receiver_model.h"
#include "serial_io.h"

namespace nmeafilt
{

namespace
{

void SleepMs(long long ms)
{
    if (ms <= 0)
        return;
    timespec ts = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
    nanosleep(&ts, nullptr); // a stop signal cuts it short, which is what we want
}

// Why the receiver stopped.
enum class Ending { Done, Stopped, HungUp, Failed };

const char* EndingText(Ending ending)
{
    switch (ending) {
        case Ending::Done:
            return "time up";
        case Ending::Stopped:
            return "stopped";
        case Ending::HungUp:
            return "reader hung up";
        case Ending::Failed:
            return "device failed";
    }
    return "?";
}

// The line: where bytes go, where commands come from, and whether anybody is listening.
class Line
{
  public:
    Line(int out, int in, const PtyLink* pty, ReceiverModel* model)
        : out_(out), in_(in), pty_(pty), model_(model)
    {
    }

    // Takes in what is written to the receiver until `deadline`. False when the run must end.
    bool ServeUntil(long long deadline)
    {
        for (;;) {
            if (StopRequested())
                return End(Ending::Stopped);
            long long left = deadline - NowMs();
            if (pty_ != nullptr && !pty_->PeerConnected()) {
                // Nobody on the line: a receiver keeps sending into the void. Once somebody
                // was there, their leaving ends the run.
                if (everConnected_)
                    return End(Ending::HungUp);
                if (left <= 0)
                    return true;
                SleepMs(left < 20 ? left : 20);
                continue;
            }
            everConnected_ = pty_ != nullptr;
            if (in_ < 0) {
                if (left <= 0)
                    return true;
                SleepMs(left);
                continue;
            }
            pollfd p = {in_, POLLIN, 0};
            int n = poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
            if (n < 0 && errno != EINTR)
                return End(Ending::Failed);
            if (n > 0 && (p.revents & POLLIN)) {
                char buffer[256];
                ssize_t got = read(in_, buffer, sizeof buffer);
                if (got > 0)
                    model_->Receive(buffer, static_cast<std::size_t>(got));
                else if (got == 0 || (errno != EAGAIN && errno != EINTR))
                    return End(pty_ != nullptr || got == 0 || errno == EIO ? Ending::HungUp
                                                                           : Ending::Failed);
            } else if (n > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
                return End(Ending::HungUp);
            }
            if (left <= 0)
                return true;
        }
    }

    bool Send(const char* data, std::size_t length)
    {
        if (pty_ != nullptr && !pty_->PeerConnected())
            return true;
        if (!WriteAll(out_, data, length))
            return End(StopRequested()                                     ? Ending::Stopped
                       : pty_ != nullptr || errno == EPIPE || errno == EIO ? Ending::HungUp
                                                                           : Ending::Failed);
        sent_ += length;
        return true;
    }

    Ending ending() const { return ending_; }
    unsigned long long sent() const { return sent_; }

  private:
    bool End(Ending ending)
    {
        ending_ = ending;
        return false;
    }

    int out_;
    int in_;
    const PtyLink* pty_;
    ReceiverModel* model_;
    bool everConnected_ = false;
    Ending ending_ = Ending::Done;
    unsigned long long sent_ = 0;
};

// Sends epoch after epoch: each starts on its tick, and its bytes leave no faster than the baud
// rate allows (ten bit times per byte). A line too slow for the epoch rate lets the epochs slip
// rather than bunch up.
Ending Transmit(Line& line, ReceiverModel& model, const SimulateOptions& options,
                unsigned long long* epochs)
{
    const unsigned rate = options.receiver.rateHz;
    const double msPerByte = 10000.0 / options.baud;
    const std::size_t chunk = options.baud / 1000 > 0 ? options.baud / 1000 : 1; // ~10 ms each
    const unsigned long long limit = options.seconds * rate;

    long long anchor = NowMs();
    unsigned long long sinceAnchor = 0;
    double lineFree = static_cast<double>(anchor);
    for (*epochs = 0; limit == 0 || *epochs < limit; ++*epochs) {
        long long tick = anchor + static_cast<long long>(sinceAnchor * 1000 / rate);
        long long now = NowMs();
        if (now > tick + 1000 / rate) {
            anchor = now;
            sinceAnchor = 0;
            tick = now;
        }
        if (!line.ServeUntil(tick))
            return line.ending();
        ++sinceAnchor;

        std::string text = model.NextEpoch();
        double at = lineFree > tick ? lineFree : static_cast<double>(tick);
        for (std::size_t offset = 0; offset < text.size(); offset += chunk) {
            std::size_t n = text.size() - offset < chunk ? text.size() - offset : chunk;
            if (!line.ServeUntil(static_cast<long long>(at)) || !line.Send(text.data() + offset, n))
                return line.ending();
            at += n * msPerByte;
        }
        lineFree = at;
    }
    // Let the last bytes leave the line before hanging up.
    line.ServeUntil(static_cast<long long>(lineFree));
    return line.ending();
}

// Says so when the line is too slow for the epochs asked for: they would slip, and the run take
// longer than its --seconds.
void WarnIfTooSlow(const SimulateOptions& options)
{
    ReceiverConfig fixed = options.receiver;
    ReceiverModel probe(fixed);
    std::size_t longest = 0;
    for (std::uint64_t e = 0; e <= probe.FixEpoch(); ++e) {
        const std::size_t bytes = probe.NextEpoch().size() + 48; // and the receiver's RMC
        longest = bytes > longest ? bytes : longest;
    }
    const unsigned long bitsPerSecond = 10ul * longest * options.receiver.rateHz;
    if (bitsPerSecond > options.baud)
        std::fprintf(stderr,
                     "nmeafilt simulate: at %u baud an epoch of up to %zu bytes takes %lu ms; "
                     "%u epochs a second need --baud %lu or more, or they slip\n",
                     options.baud, longest,
                     static_cast<unsigned long>(longest * 10000ul / options.baud),
                     options.receiver.rateHz, bitsPerSecond);
}

// --port: an existing serial device, never a regular file (the stream would overwrite it).
int OpenPort(const std::string& path, unsigned baud, Descriptor* port)
{
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "nmeafilt simulate: %s is a regular file, not a serial device\n",
                     path.c_str());
        return kExitFailure;
    }
    std::string error;
    *port = Descriptor(OpenDevice(path, baud, &error));
    if (!port->Valid()) {
        std::fprintf(stderr, "nmeafilt simulate: %s\n", error.c_str());
        return kExitFailure;
    }
    return -1;
}

} // namespace

int SimulateMain(const SimulateOptions& options)
{
    InstallStopHandlers();
    WarnIfTooSlow(options);
    ReceiverModel model(options.receiver);
    PtyLink pty;
    Descriptor port;
    int out = STDOUT_FILENO;
    int in = -1;
    std::string where = "standard output";
    std::string error;
    if (!options.port.empty()) {
        const int code = OpenPort(options.port, options.baud, &port);
        if (code >= 0)
            return code;
        out = in = port.Get();
        where = options.port;
    } else if (!options.link.empty()) {
        // Last of all: whoever waits for the link finds the receiver ready to serve.
        if (!pty.Create(options.link, &error)) {
            std::fprintf(stderr, "nmeafilt simulate: %s\n", error.c_str());
            return kExitFailure;
        }
        out = in = pty.Master();
        where = options.link + " -> " + pty.SlavePath();
    }

    std::fprintf(stderr, "nmeafilt simulate: receiver on %s, %s mode, %u Hz, %u baud, seed %llu\n",
                 where.c_str(), options.receiver.mode == TimeMode::Gps ? "gps" : "utc",
                 options.receiver.rateHz, options.baud,
                 static_cast<unsigned long long>(options.receiver.seed));

    Line line(out, in, options.link.empty() ? nullptr : &pty, &model);
    unsigned long long epochs = 0;
    Ending ending = Transmit(line, model, options, &epochs);
    // Closing the terminal throws away what its reader has not read yet.
    if (ending == Ending::Done && !options.link.empty() && !pty.WaitUntilTaken(kHandOverIdleMs))
        std::fprintf(stderr, "nmeafilt simulate: the reader had not taken everything\n");
    pty.Close();
    std::fprintf(stderr,
                 "nmeafilt simulate: %s after %llu epochs; %llu bytes sent; RMC output %s; "
                 "commands received: RMC on %u, RMC off %u, other lines %u\n",
                 EndingText(ending), epochs, line.sent(), model.RmcOutput() ? "on" : "off",
                 model.RmcOnCommands(), model.RmcOffCommands(), model.OtherLines());
    return ending == Ending::Failed ? kExitFailure : kExitOk;
}

} // namespace nmeafilt
