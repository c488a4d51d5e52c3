// Serial-line plumbing for the commands that talk to real devices: a device opened raw at a baud
// rate, a pseudo-terminal offered under a symbolic link, hang-up detection, and a stop flag set
// by SIGINT and SIGTERM.
#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace nmeafilt
{

constexpr unsigned kDefaultBaud = 4800;
// At the end of a stream, how long the reader of a pseudo-terminal may go without taking
// anything before what it left is given up.
constexpr int kHandOverIdleMs = 2000;

// 1200 .. 115200 in the usual steps.
bool IsSupportedBaud(unsigned baud);
std::vector<unsigned> SupportedBauds(); // ascending

// Puts a terminal into raw mode: no echo, no line editing, no CR or LF translation, no signals,
// 8 data bits, no flow control; reads return as soon as a byte is there. A non-zero `baud` also
// sets the line speed. Returns false with `error` set if `fd` is no terminal or refuses.
bool MakeRaw(int fd, unsigned baud, std::string* error);

// Opens `path` for reading and writing, non-blocking, without becoming its controlling terminal.
// A terminal is put into raw mode at `baud`; anything else (a pipe, a file) is taken as it is.
// Returns the descriptor, or -1 with `error` set.
int OpenDevice(const std::string& path, unsigned baud, std::string* error);

// Owns one descriptor: closes it when it goes. -1 holds nothing.
class Descriptor
{
  public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept
    {
        std::swap(fd_, other.fd_);
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor();

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }

  private:
    int fd_;
};

// Who may open a pseudo-terminal's slave: its group and permission bits.
struct LinkAccess {
    std::string group;
    mode_t mode;
};

// A pseudo-terminal whose slave side is offered under a symbolic link.
class PtyLink
{
  public:
    PtyLink() = default;
    PtyLink(const PtyLink&) = delete;
    PtyLink& operator=(const PtyLink&) = delete;
    ~PtyLink() { Close(); }

    // Creates the pair in raw mode and points `link` at the slave, given to `access` first when
    // there is one. An existing `link` is replaced only if it is a symbolic link to a
    // pseudo-terminal (one left behind by an earlier run); anything else is refused. Returns
    // false with `error` set.
    bool Create(const std::string& link, std::string* error, const LinkAccess* access = nullptr);

    // Removes the link if it still points at our slave, and closes the master.
    void Close();

    int Master() const { return master_; }
    const std::string& SlavePath() const { return slavePath_; }
    const std::string& Link() const { return link_; }

    // True while some program has the slave open. Before the first one does, and after the last
    // one closed it, false.
    bool PeerConnected() const;

    // Waits until the program on the slave has read everything written to the master: closing
    // the master first throws away what it has not read yet, including bytes still on their way
    // to its input queue. Waits as long as the reader keeps taking bytes; gives up after
    // `idleMs` without progress, or on a stop signal. True when nothing is left for it (or
    // nobody is there to take it); otherwise false with what is left in `unread`.
    bool WaitUntilTaken(int idleMs, unsigned* unread = nullptr) const;

  private:
    int master_ = -1;
    std::string slavePath_;
    std::string link_;
};

// What a wait for input found.
enum class WaitResult { Readable, TimedOut, HungUp, Stopped, Failed };

// Waits up to `timeoutMs` for `fd` to become readable. HungUp when the other side has gone (a
// terminal hung up, a pipe closed); Stopped when a stop signal arrived.
WaitResult WaitReadable(int fd, int timeoutMs);

// Reads what has arrived, up to `capacity` bytes, waiting at most `timeoutMs` for the first byte,
// as a serial port's read with an interval time-out does. Returns the count (0 on time-out), or
// -1 when the device hung up, reached its end or failed (errno tells which), or a stop signal came.
ssize_t ReadAvailable(int fd, void* buffer, std::size_t capacity, int timeoutMs);

// Writes all of `data`, waiting for room as needed. Returns false if the device hung up or failed,
// or a stop signal came before everything was written.
bool WriteAll(int fd, const void* data, std::size_t length);

// SIGINT and SIGTERM set the stop flag (and interrupt waits); SIGPIPE is ignored so that a reader
// going away shows up as a failed write.
void InstallStopHandlers();
bool StopRequested();
int StopSignal(); // the signal that set the flag, or 0
void ResetStop();

// Monotonic clock in milliseconds.
long long NowMs();

} // namespace nmeafilt
