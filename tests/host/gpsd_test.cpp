// gpsd as a real client: a private gpsd on loopback reads run's output terminal, fed by the
// simulated receiver in gps mode; its reports carry the UTC time and the position of the RMC
// sentences the filter synthesized.
#include "pty_helpers.h"

#include <arpa/inet.h>
#include <cmath>
#include <ctime>
#include <grp.h>
#include <sys/stat.h>
#include <map>
#include <netinet/in.h>
#include <sys/socket.h>

namespace nmeafilt
{
namespace
{

using namespace testing_pty;

const char kGpsd[] = "/usr/sbin/gpsd";
const char kGpspipe[] = "/usr/bin/gpspipe";

// A loopback port nobody listens on right now.
int FreePort()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &n) != 0) {
        close(s);
        return -1;
    }
    close(s);
    return ntohs(a.sin_port);
}

// The text after "key": in a JSON report, up to the next comma or brace.
std::string JsonValue(const std::string& report, const std::string& key)
{
    std::size_t at = report.find("\"" + key + "\":");
    if (at == std::string::npos)
        return std::string();
    at += key.size() + 3;
    std::size_t end = report.find_first_of(",}", at);
    std::string value = report.substr(at, end - at);
    if (!value.empty() && value.front() == '"')
        value = value.substr(1, value.size() - 2);
    return value;
}

double Degrees(const std::string& angle, int degreeDigits, const std::string& hemisphere)
{
    double value =
        std::stoi(angle.substr(0, degreeDigits)) + std::stod(angle.substr(degreeDigits)) / 60.0;
    return hemisphere == "S" || hemisphere == "W" ? -value : value;
}

TEST(GpsdTest, ReportsTheTimeAndPositionOfTheSynthesizedRmc)
{
    if (access(kGpsd, X_OK) != 0 || access(kGpspipe, X_OK) != 0)
        GTEST_SKIP() << "gpsd and gpsd-clients are not installed";
    const std::uint64_t seed = 17;
    TempDir dir;
    std::string receiver = dir / "receiver";
    std::string served = dir / "served";
    Program sim({"simulate", "--pty", receiver, "--mode", "gps", "--rmc", "on", "--baud", "9600",
                 "--seed", std::to_string(seed)},
                dir / "sim.err");
    ASSERT_TRUE(WaitFor(receiver, 10000));
    Program run({"run", "--port", receiver, "--baud", "9600", "--pty", served}, dir / "run.err");
    ASSERT_TRUE(WaitFor(served, 10000));
    int port = FreePort();
    ASSERT_GT(port, 0);
    Program gpsd(kGpsd, {"-N", "-n", "-S", std::to_string(port), served}, dir / "gpsd.err");

    // Reports for a while: the fix comes up within eight seconds of the receiver's start.
    std::string command = std::string("timeout 60 ") + kGpspipe +
                          " -w -x 16 127.0.0.1:" + std::to_string(port) + " > '" +
                          (dir / "reports") + "' 2>/dev/null";
    usleep(500000); // gpsd binds its port
    std::system(command.c_str());
    gpsd.Signal(SIGTERM);
    EXPECT_GE(gpsd.Wait(10000), 0);

    // The same receiver, in-process: its position at each epoch's UTC. At 1 Hz the filter's
    // RMC at an epoch carries that epoch's UTC (the time sentence before it, converted).
    ReceiverConfig config;
    config.mode = TimeMode::Gps;
    config.seed = seed;
    ReceiverModel model(config);
    std::map<std::time_t, std::pair<double, double>> track;
    for (int e = 0; e < 120; ++e) {
        std::time_t t = static_cast<std::time_t>(model.EpochUtcMs() / 1000);
        std::string epoch = model.NextEpoch();
        std::string gga = epoch.substr(0, epoch.find('\r'));
        std::vector<std::string> f;
        std::stringstream in(gga);
        for (std::string x; std::getline(in, x, ',');)
            f.push_back(x);
        if (f[6] == "1")
            track[t] = {Degrees(f[2], 2, f[3]), Degrees(f[4], 3, f[5])};
    }

    std::istringstream reports(Slurp(dir / "reports"));
    int matched = 0;
    for (std::string r; std::getline(reports, r);) {
        if (JsonValue(r, "class") != "TPV" || JsonValue(r, "lat").empty() ||
            JsonValue(r, "time").empty())
            continue;
        std::tm tm{};
        ASSERT_NE(strptime(JsonValue(r, "time").c_str(), "%Y-%m-%dT%H:%M:%S", &tm), nullptr) << r;
        auto at = track.find(timegm(&tm));
        ASSERT_NE(at, track.end()) << "a time the receiver never had a fix at: " << r;
        EXPECT_NEAR(std::stod(JsonValue(r, "lat")), at->second.first, 1e-6) << r;
        EXPECT_NEAR(std::stod(JsonValue(r, "lon")), at->second.second, 1e-6) << r;
        ++matched;
    }
    EXPECT_GE(matched, 3) << Slurp(dir / "reports");

    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(10000), 0);
    EXPECT_EQ(run.Wait(10000), 0);
    EXPECT_FALSE(Exists(served));
}

// gpsd as a service runs it: started without devices, it drops its privileges, and the link is
// handed to it later through its control socket. It can open the link only because run gives it
// to the serial devices' group.
TEST(GpsdTest, OpensTheLinkAddedThroughItsControlSocket)
{
    const char kGpsdctl[] = "/usr/sbin/gpsdctl";
    if (access(kGpsd, X_OK) != 0 || access(kGpspipe, X_OK) != 0 || access(kGpsdctl, X_OK) != 0)
        GTEST_SKIP() << "gpsd and gpsd-clients are not installed";
    TempDir dir;
    ASSERT_EQ(chmod((dir / "").c_str(), 0755), 0); // reachable, as /run/nmeafilt is
    const std::string receiver = dir / "receiver";
    const std::string served = dir / "served";
    Program sim({"simulate", "--pty", receiver, "--rmc", "on", "--baud", "9600"}, dir / "sim.err");
    Program run({"run", "--port", receiver, "--baud", "9600", "--pty", served}, dir / "run.err");
    ASSERT_TRUE(WaitFor(served, 20000));
    struct stat st;
    ASSERT_EQ(stat(served.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    const group* dialout = getgrnam("dialout");
    ASSERT_NE(dialout, nullptr);
    EXPECT_EQ(st.st_gid, dialout->gr_gid);

    const int port = FreePort();
    ASSERT_GT(port, 0);
    const std::string socket = dir / "gpsd.sock";
    Program gpsd(kGpsd, {"-N", "-n", "-b", "-F", socket, "-S", std::to_string(port)},
                 dir / "gpsd.err");
    ASSERT_TRUE(WaitFor(socket, 10000));
    const std::string add = "GPSD_SOCKET='" + socket + "' " + kGpsdctl + " add '" + served + "'";
    EXPECT_EQ(std::system(add.c_str()), 0);
    const std::string pipe = std::string("timeout 60 ") + kGpspipe +
                             " -w -n 12 127.0.0.1:" + std::to_string(port) + " > '" +
                             (dir / "reports") + "' 2>/dev/null";
    std::system(pipe.c_str());
    gpsd.Signal(SIGTERM);
    EXPECT_GE(gpsd.Wait(10000), 0);
    const std::string reports = Slurp(dir / "reports");
    EXPECT_NE(reports.find("\"class\":\"TPV\",\"device\":\"" + served), std::string::npos)
        << reports << Slurp(dir / "gpsd.err");
    EXPECT_EQ(Slurp(dir / "gpsd.err").find("Permission denied"), std::string::npos);
}

} // namespace
} // namespace nmeafilt
