#include "serial_io.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace nmeafilt
{

namespace
{

volatile sig_atomic_t g_stopSignal = 0;

void OnStopSignal(int signal)
{
    g_stopSignal = signal;
}

const struct {
    unsigned baud;
    speed_t speed;
} kRates[] = {{1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
              {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};

bool BaudConstant(unsigned baud, speed_t* speed)
{
    for (const auto& rate : kRates) {
        if (rate.baud == baud) {
            *speed = rate.speed;
            return true;
        }
    }
    return false;
}

std::string Describe(const std::string& what, int error)
{
    return what + ": " + std::strerror(error);
}

bool ReadLink(const std::string& path, std::string* target)
{
    char buffer[4096];
    ssize_t n = readlink(path.c_str(), buffer, sizeof buffer);
    if (n < 0 || static_cast<size_t>(n) >= sizeof buffer)
        return false;
    target->assign(buffer, static_cast<size_t>(n));
    return true;
}

bool IsPtySlavePath(const std::string& path)
{
    static const char kPrefix[] = "/dev/pts/";
    return path.compare(0, sizeof kPrefix - 1, kPrefix) == 0;
}

} // namespace

std::vector<unsigned> SupportedBauds()
{
    std::vector<unsigned> bauds;
    for (const auto& rate : kRates) {
        bauds.push_back(rate.baud);
    }
    return bauds;
}

bool IsSupportedBaud(unsigned baud)
{
    speed_t unused;
    return BaudConstant(baud, &unused);
}

bool MakeRaw(int fd, unsigned baud, std::string* error)
{
    termios tio;
    if (tcgetattr(fd, &tio) != 0) {
        *error = Describe("not a terminal", errno);
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSTOPB | PARENB);
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (baud != 0) {
        speed_t speed;
        if (!BaudConstant(baud, &speed)) {
            *error = "unsupported baud rate " + std::to_string(baud);
            return false;
        }
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
    }
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        *error = Describe("cannot set the terminal's mode", errno);
        return false;
    }
    return true;
}

int OpenDevice(const std::string& path, unsigned baud, std::string* error)
{
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = Describe("cannot open " + path, errno);
        return -1;
    }
    if (isatty(fd)) {
        std::string why;
        if (!MakeRaw(fd, baud, &why)) {
            *error = path + ": " + why;
            close(fd);
            return -1;
        }
        // Bytes that waited in the line before we came are stale.
        tcflush(fd, TCIFLUSH);
    }
    return fd;
}

Descriptor::~Descriptor()
{
    if (fd_ >= 0)
        close(fd_);
}

namespace
{

// Gives the slave to `access`'s group with its mode, before anybody can find it.
bool GiveAccess(const char* slave, const LinkAccess& access, std::string* error)
{
    const group* g = getgrnam(access.group.c_str());
    if (g == nullptr) {
        *error = "no group '" + access.group + "'";
        return false;
    }
    if (chown(slave, static_cast<uid_t>(-1), g->gr_gid) != 0 || chmod(slave, access.mode) != 0) {
        *error = Describe("cannot give " + std::string(slave) + " to group " + access.group, errno);
        return false;
    }
    return true;
}

} // namespace

bool PtyLink::Create(const std::string& link, std::string* error, const LinkAccess* access)
{
    struct stat st;
    if (lstat(link.c_str(), &st) == 0) {
        std::string target;
        if (!S_ISLNK(st.st_mode) || !ReadLink(link, &target) || !IsPtySlavePath(target)) {
            *error = link + " exists and is not a link to a pseudo-terminal; not replacing it";
            return false;
        }
    } else if (errno != ENOENT) {
        *error = Describe("cannot use " + link, errno);
        return false;
    }

    int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char slave[256];
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, slave, sizeof slave) != 0) {
        *error = Describe("cannot create a pseudo-terminal", errno);
        if (master >= 0)
            close(master);
        return false;
    }
    // Mode settings on the master apply to the slave, and survive its openings and closings.
    std::string why;
    if (!MakeRaw(master, 0, &why)) {
        *error = "pseudo-terminal: " + why;
        close(master);
        return false;
    }
    // Open and close the slave once: from then on the master reports a hang-up whenever nobody
    // has the slave open, which is how a peer's arrival and departure are told apart.
    int probe = open(slave, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (probe >= 0)
        close(probe);
    if (access != nullptr && !GiveAccess(slave, *access, error)) {
        close(master);
        return false;
    }

    std::string temporary = link + ".new" + std::to_string(getpid());
    unlink(temporary.c_str());
    if (symlink(slave, temporary.c_str()) != 0 || rename(temporary.c_str(), link.c_str()) != 0) {
        *error = Describe("cannot create link " + link, errno);
        unlink(temporary.c_str());
        close(master);
        return false;
    }
    master_ = master;
    slavePath_ = slave;
    link_ = link;
    return true;
}

void PtyLink::Close()
{
    if (!link_.empty()) {
        std::string target;
        if (ReadLink(link_, &target) && target == slavePath_)
            unlink(link_.c_str());
        link_.clear();
    }
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
}

bool PtyLink::PeerConnected() const
{
    if (master_ < 0)
        return false;
    pollfd p = {master_, 0, 0};
    return poll(&p, 1, 0) == 0 || (p.revents & POLLHUP) == 0;
}

bool PtyLink::WaitUntilTaken(int idleMs, unsigned* unread) const
{
    if (unread != nullptr)
        *unread = 0;
    if (!PeerConnected())
        return true;
    // The master cannot tell (its TIOCOUTQ is always 0); the slave's input queue can. Looking at
    // it takes a descriptor of our own on the slave, which reads nothing.
    Descriptor slave(open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!slave.Valid())
        return false;
    constexpr int kPollMs = 10;
    constexpr int kEmptyLooks = 3; // in case the poll cannot move them along
    long long idleSince = NowMs();
    int last = -1;
    for (int empty = 0; !StopRequested();) {
        // Bytes written to the master pass through the slave's buffer before its input queue
        // counts them: polling the slave first moves them along, so an empty queue after the
        // poll means the reader has them.
        pollfd p = {slave.Get(), POLLIN, 0};
        const int ready = poll(&p, 1, 0);
        int queued = 0;
        if (ready < 0 || ioctl(slave.Get(), FIONREAD, &queued) != 0)
            break;
        empty = (p.revents & POLLIN) == 0 && queued == 0 ? empty + 1 : 0;
        if (empty == kEmptyLooks)
            return true;
        if (queued != last) {
            last = queued;
            idleSince = NowMs();
        } else if (NowMs() - idleSince >= idleMs) {
            break;
        }
        timespec pause = {0, kPollMs * 1000000L};
        nanosleep(&pause, nullptr);
    }
    if (unread != nullptr)
        *unread = last < 0 ? 0 : static_cast<unsigned>(last);
    return false;
}

WaitResult WaitReadable(int fd, int timeoutMs)
{
    long long deadline = NowMs() + (timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        if (StopRequested())
            return WaitResult::Stopped;
        long long left = deadline - NowMs();
        pollfd p = {fd, POLLIN, 0};
        int n = poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return WaitResult::Failed;
        }
        if (n == 0)
            return WaitResult::TimedOut;
        if (p.revents & POLLIN)
            return WaitResult::Readable;
        if (p.revents & (POLLHUP | POLLERR))
            return WaitResult::HungUp;
        return WaitResult::Failed;
    }
}

ssize_t ReadAvailable(int fd, void* buffer, std::size_t capacity, int timeoutMs)
{
    switch (WaitReadable(fd, timeoutMs)) {
        case WaitResult::Readable:
            break;
        case WaitResult::TimedOut:
            return 0;
        case WaitResult::HungUp:
            errno = EIO;
            return -1;
        case WaitResult::Stopped:
            errno = EINTR;
            return -1;
        case WaitResult::Failed:
            return -1;
    }
    for (;;) {
        ssize_t n = read(fd, buffer, capacity);
        if (n > 0)
            return n;
        if (n == 0) {
            // End of a file, or a terminal whose other side is gone.
            errno = 0;
            return -1;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        if (errno == EINTR) {
            if (StopRequested())
                return -1;
            continue;
        }
        return -1;
    }
}

bool WriteAll(int fd, const void* data, std::size_t length)
{
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        if (StopRequested())
            return false;
        ssize_t n = write(fd, p, length);
        if (n > 0) {
            p += n;
            length -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        // No room: wait a little for the reader, but keep an eye on stop requests.
        pollfd w = {fd, POLLOUT, 0};
        if (poll(&w, 1, 100) > 0 && (w.revents & (POLLHUP | POLLERR | POLLNVAL)) &&
            !(w.revents & POLLOUT))
            return false;
    }
    return true;
}

void InstallStopHandlers()
{
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a stop must interrupt a wait
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

bool StopRequested()
{
    return g_stopSignal != 0;
}

int StopSignal()
{
    return g_stopSignal;
}

void ResetStop()
{
    g_stopSignal = 0;
}

long long NowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

} // namespace nmeafilt
