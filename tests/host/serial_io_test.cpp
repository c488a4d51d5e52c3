// Serial plumbing over real pseudo-terminals: raw mode, links, peers coming and going, reads with
// a time-out, and the stop flag.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "serial_io.h"

namespace nmeafilt
{
namespace
{

class TempDir
{
  public:
    TempDir()
    {
        char pattern[] = "/tmp/nmeafilt-serial-XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

bool Exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string Target(const std::string& link)
{
    char buffer[256];
    ssize_t n = readlink(link.c_str(), buffer, sizeof buffer);
    return n < 0 ? std::string() : std::string(buffer, static_cast<std::size_t>(n));
}

std::string ReadFor(int fd, int ms)
{
    std::string got;
    long long end = NowMs() + ms;
    char buffer[256];
    while (NowMs() < end) {
        ssize_t n = ReadAvailable(fd, buffer, sizeof buffer, 50);
        if (n < 0)
            break;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

TEST(SerialIoTest, SupportedBaudRates)
{
    for (unsigned baud : {1200u, 2400u, 4800u, 9600u, 19200u, 38400u, 57600u, 115200u}) {
        EXPECT_TRUE(IsSupportedBaud(baud)) << baud;
    }
    for (unsigned baud : {0u, 300u, 4801u, 230400u}) {
        EXPECT_FALSE(IsSupportedBaud(baud)) << baud;
    }
}

TEST(PtyLinkTest, LinkLeadsToARawSlaveAndIsRemovedOnClose)
{
    TempDir dir;
    std::string link = dir / "gps";
    PtyLink pty;
    std::string error;
    ASSERT_TRUE(pty.Create(link, &error)) << error;
    EXPECT_EQ(Target(link), pty.SlavePath());
    EXPECT_EQ(pty.SlavePath().compare(0, 9, "/dev/pts/"), 0);

    int slave = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(slave, 0);
    termios tio;
    ASSERT_EQ(tcgetattr(slave, &tio), 0);
    EXPECT_FALSE(tio.c_lflag & (ECHO | ICANON | ISIG));
    EXPECT_FALSE(tio.c_oflag & OPOST);
    EXPECT_FALSE(tio.c_iflag & (ICRNL | INLCR | IGNCR | IXON));

    // CR and LF pass untouched both ways, and nothing is echoed.
    const std::string down = "$GPGGA,,*56\r\n\r\r\n\n";
    ASSERT_TRUE(WriteAll(pty.Master(), down.data(), down.size()));
    EXPECT_EQ(ReadFor(slave, 200), down);
    const std::string up = "cmd\r\n";
    ASSERT_TRUE(WriteAll(slave, up.data(), up.size()));
    EXPECT_EQ(ReadFor(pty.Master(), 200), up);
    EXPECT_EQ(ReadFor(slave, 100), "");
    close(slave);

    pty.Close();
    EXPECT_FALSE(Exists(link));
}

TEST(PtyLinkTest, PeerArrivalAndDeparture)
{
    TempDir dir;
    PtyLink pty;
    std::string error;
    ASSERT_TRUE(pty.Create(dir / "gps", &error)) << error;
    EXPECT_FALSE(pty.PeerConnected());
    int slave = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    EXPECT_TRUE(pty.PeerConnected());
    close(slave);
    EXPECT_FALSE(pty.PeerConnected());
    slave = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    EXPECT_TRUE(pty.PeerConnected());
    close(slave);
}

// Only a link to a pseudo-terminal (left behind by an earlier run) may be replaced.
TEST(PtyLinkTest, ReplacesOnlyStalePtyLinks)
{
    TempDir dir;
    struct Case {
        const char* name;
        std::string setup; // shell command creating the path
        bool replaced;
    } cases[] = {
        {"file", "echo keep > '" + (dir / "file") + "'", false},
        {"dir", "mkdir '" + (dir / "dir") + "'", false},
        {"other", "ln -s /etc/hostname '" + (dir / "other") + "'", false},
        {"dangling", "ln -s '" + (dir / "nowhere") + "' '" + (dir / "dangling") + "'", false},
        {"stale", "ln -s /dev/pts/987654 '" + (dir / "stale") + "'", true},
        {"fresh", "true", true},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(std::system(c.setup.c_str()), 0) << c.name;
        std::string path = dir / c.name;
        std::string before = Target(path);
        PtyLink pty;
        std::string error;
        EXPECT_EQ(pty.Create(path, &error), c.replaced) << c.name;
        if (c.replaced) {
            EXPECT_EQ(Target(path), pty.SlavePath()) << c.name;
        } else {
            EXPECT_NE(error.find(path), std::string::npos) << error;
            EXPECT_TRUE(Exists(path)) << c.name;
            EXPECT_EQ(Target(path), before) << c.name;
        }
    }
}

TEST(PtyLinkTest, CloseLeavesALinkThatNoLongerPointsAtUs)
{
    TempDir dir;
    std::string link = dir / "gps";
    PtyLink pty;
    std::string error;
    ASSERT_TRUE(pty.Create(link, &error)) << error;
    ASSERT_EQ(unlink(link.c_str()), 0);
    ASSERT_EQ(symlink("/dev/pts/987654", link.c_str()), 0);
    pty.Close();
    EXPECT_EQ(Target(link), "/dev/pts/987654");
}

TEST(SerialIoTest, ReadsWhatArrivedUpToCapacityAndSeesTheHangUp)
{
    TempDir dir;
    PtyLink pty;
    std::string error;
    ASSERT_TRUE(pty.Create(dir / "gps", &error)) << error;
    int slave = OpenDevice(pty.Link(), 9600, &error);
    ASSERT_GE(slave, 0) << error;
    termios tio;
    ASSERT_EQ(tcgetattr(slave, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));

    char buffer[96];
    EXPECT_EQ(ReadAvailable(slave, buffer, sizeof buffer, 30), 0) << "time-out with nothing";
    std::string data(200, 'x');
    ASSERT_TRUE(WriteAll(pty.Master(), data.data(), data.size()));
    ssize_t total = 0;
    while (total < 200) {
        ssize_t n = ReadAvailable(slave, buffer, sizeof buffer, 1000);
        ASSERT_GT(n, 0);
        ASSERT_LE(n, 96);
        total += n;
    }
    EXPECT_EQ(total, 200);

    pty.Close();
    errno = 0;
    EXPECT_EQ(ReadAvailable(slave, buffer, sizeof buffer, 1000), -1);
    close(slave);
}

TEST(SerialIoTest, OpenDeviceFailuresAreExplained)
{
    std::string error;
    EXPECT_EQ(OpenDevice("/nonexistent/ttyUSB9", 4800, &error), -1);
    EXPECT_NE(error.find("/nonexistent/ttyUSB9"), std::string::npos) << error;

    TempDir dir;
    PtyLink pty;
    ASSERT_TRUE(pty.Create(dir / "gps", &error)) << error;
    error.clear();
    EXPECT_EQ(OpenDevice(pty.Link(), 4801, &error), -1);
    EXPECT_NE(error.find("4801"), std::string::npos) << error;
}

TEST(SerialIoTest, PlainFileIsReadToItsEnd)
{
    TempDir dir;
    std::string path = dir / "capture";
    ASSERT_EQ(std::system(("printf 'abc' > '" + path + "'").c_str()), 0);
    std::string error;
    int fd = OpenDevice(path, 4800, &error);
    ASSERT_GE(fd, 0) << error;
    char buffer[96];
    EXPECT_EQ(ReadAvailable(fd, buffer, sizeof buffer, 100), 3);
    errno = EINVAL;
    EXPECT_EQ(ReadAvailable(fd, buffer, sizeof buffer, 100), -1);
    EXPECT_EQ(errno, 0) << "end of input, not a failure";
    close(fd);
}

TEST(SerialIoTest, StopSignalInterruptsAWait)
{
    InstallStopHandlers();
    ResetStop();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_EQ(WaitReadable(fds[0], 0), WaitResult::TimedOut);
    raise(SIGTERM);
    EXPECT_TRUE(StopRequested());
    EXPECT_EQ(StopSignal(), SIGTERM);
    EXPECT_EQ(WaitReadable(fds[0], 5000), WaitResult::Stopped);
    char c;
    EXPECT_EQ(ReadAvailable(fds[0], &c, 1, 5000), -1);
    ResetStop();
    close(fds[1]);
    EXPECT_EQ(WaitReadable(fds[0], 1000), WaitResult::HungUp);
    close(fds[0]);
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
}

} // namespace
} // namespace nmeafilt
