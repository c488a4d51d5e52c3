// Helpers for the tests that run the nmeafilt program over real pseudo-terminals.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "receiver_model.h"
#include "serial_io.h"

namespace nmeafilt
{
namespace testing_pty
{

class TempDir
{
  public:
    TempDir()
    {
        char pattern[] = "/tmp/nmeafilt-sim-XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

inline bool Exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

inline std::string Slurp(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The program under test, run with its standard error in a file.
class Program
{
  public:
    Program(const std::vector<std::string>& args, const std::string& errPath)
        : Program(NMEAFILT_PROGRAM, args, errPath)
    {
    }
    Program(const std::string& path, const std::vector<std::string>& args,
            const std::string& errPath)
    {
        pid_ = fork();
        if (pid_ == 0) {
            int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int null = open("/dev/null", O_RDWR);
            dup2(null, STDIN_FILENO);
            dup2(null, STDOUT_FILENO);
            dup2(err, STDERR_FILENO);
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(path.c_str()));
            for (const std::string& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(path.c_str(), argv.data());
            _exit(127);
        }
    }
    ~Program()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    // The exit code, or -1 if it has not ended within `ms`.
    int Wait(int ms)
    {
        long long end = NowMs() + ms;
        for (;;) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            if (NowMs() > end)
                return -1;
            usleep(10000);
        }
    }
    void Signal(int signal) { kill(pid_, signal); }

  private:
    pid_t pid_ = -1;
};

inline bool WaitFor(const std::string& path, int ms)
{
    long long end = NowMs() + ms;
    while (!Exists(path)) {
        if (NowMs() > end)
            return false;
        usleep(10000);
    }
    return true;
}

// Reads complete lines from a receiver; the first, possibly cut, line is skipped.
class LineReader
{
  public:
    explicit LineReader(int fd) : fd_(fd) {}

    // Next complete line, or "" after `ms` without one.
    std::string Next(int ms)
    {
        long long end = NowMs() + ms;
        for (;;) {
            std::size_t lf = buffer_.find('\n');
            if (lf != std::string::npos) {
                std::string line = buffer_.substr(0, lf + 1);
                buffer_.erase(0, lf + 1);
                if (synced_)
                    return line;
                synced_ = true;
                continue;
            }
            if (NowMs() > end)
                return std::string();
            char chunk[96];
            ssize_t n = ReadAvailable(fd_, chunk, sizeof chunk, 100);
            if (n < 0)
                return std::string();
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

  private:
    int fd_;
    std::string buffer_;
    bool synced_ = false;
};

inline bool IsType(const std::string& line, const char* id)
{
    return line.compare(1, std::strlen(id), id) == 0;
}

inline void Send(int fd, std::string_view command)
{
    ASSERT_TRUE(WriteAll(fd, command.data(), command.size()));
}

// Reads whole epochs (GGA to GGA) until one passes `want`; the number of epochs read, or -1.
template <typename Want> int EpochsUntil(LineReader& reader, Want want, int limit = 60)
{
    std::vector<std::string> epoch;
    bool started = false;
    for (int seen = 0; seen < limit;) {
        std::string line = reader.Next(5000);
        if (line.empty())
            return -1;
        EXPECT_TRUE(ChecksumValid(line)) << line;
        if (IsType(line, "GPGGA")) {
            if (started && want(epoch))
                return seen;
            started = true;
            ++seen;
            epoch.clear();
        }
        epoch.push_back(line);
    }
    return -1;
}

inline bool HasRmc(const std::vector<std::string>& epoch)
{
    for (const std::string& line : epoch)
        if (IsType(line, "GPRMC"))
            return true;
    return false;
}

} // namespace testing_pty
} // namespace nmeafilt
