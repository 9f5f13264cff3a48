#include "DialupGate.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr unsigned PointToPoint = IFF_POINTOPOINT | IFF_NOARP | IFF_MULTICAST;

TEST(DialupGate, OpensOnlyForAPointToPointInterfaceThatIsUpAndRunning)
{
    EXPECT_FALSE(DialupGateOpen({}));
    EXPECT_FALSE(DialupGateOpen({{"lo", IFF_LOOPBACK | IFF_UP | IFF_RUNNING}}));
    EXPECT_FALSE(DialupGateOpen({{"lo", IFF_LOOPBACK | IFF_POINTOPOINT | IFF_UP | IFF_RUNNING}}));
    EXPECT_FALSE(DialupGateOpen({{"eth0", IFF_BROADCAST | IFF_UP | IFF_RUNNING}}));
    EXPECT_FALSE(DialupGateOpen({{"ppp0", PointToPoint | IFF_UP}}));
    EXPECT_FALSE(DialupGateOpen({{"ppp0", PointToPoint | IFF_RUNNING}}));
    EXPECT_TRUE(DialupGateOpen({{"ppp0", PointToPoint | IFF_UP | IFF_RUNNING}}));
    EXPECT_TRUE(DialupGateOpen({{"lo", IFF_LOOPBACK | IFF_UP | IFF_RUNNING},
                                {"tun0", PointToPoint | IFF_UP},
                                {"wwan0", PointToPoint | IFF_UP | IFF_RUNNING},
                                {"eth0", IFF_BROADCAST | IFF_UP | IFF_RUNNING}}));
}

TEST(DialupGate, ReadsTheMachinesInterfaces)
{
    bool sawLoopback = false;
    for (const NetworkInterface& nic : ReadNetworkInterfaces())
        sawLoopback = sawLoopback || (nic.name == "lo" && (nic.flags & IFF_LOOPBACK));
    EXPECT_TRUE(sawLoopback);
}

// --- A real tun device in a network namespace of its own (needs root) ---

constexpr const char* TunName = "pbgate0";

bool BringUp(const char* name)
{
    const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0)
        return false;
    ifreq request{};
    std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    bool ok = ioctl(sock, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    ok = ok && ioctl(sock, SIOCSIFFLAGS, &request) == 0;
    const int error = errno;
    close(sock);
    errno = error;
    return ok;
}

bool TunRunning()
{
    for (const NetworkInterface& nic : ReadNetworkInterfaces())
        if (nic.name == TunName && (nic.flags & IFF_RUNNING))
            return true;
    return false;
}

// The kernel reports carrier changes a moment later; wait for them, bounded.
bool SettlesTo(bool running)
{
    for (int i = 0; i < 300; ++i) {
        if (TunRunning() == running)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Runs in a forked child: moves into a new network namespace, then reports the
// gate's decision at each step as one line ("skip: why" when it cannot run).
std::string GateInFreshNamespace()
{
    if (unshare(CLONE_NEWNET) != 0)
        return std::string("skip: no network namespace: ") + std::strerror(errno);
    std::string line = IsDialupConnected() ? "1" : "0"; // only a loopback that is down
    if (!BringUp("lo"))
        return std::string("skip: cannot configure interfaces: ") + std::strerror(errno);
    line += IsDialupConnected() ? "1" : "0"; // loopback up and running
    const int tun = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (tun < 0)
        return std::string("skip: no /dev/net/tun: ") + std::strerror(errno);
    ifreq request{};
    std::strncpy(request.ifr_name, TunName, IFNAMSIZ - 1);
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    if (ioctl(tun, TUNSETIFF, &request) != 0 || ioctl(tun, TUNSETPERSIST, 1) != 0)
        return std::string("skip: cannot create a tun device: ") + std::strerror(errno);
    line += IsDialupConnected() ? "1" : "0"; // tun down
    if (!BringUp(TunName))
        return "fail: cannot bring the tun device up";
    if (!SettlesTo(true))
        return "fail: tun with a reader never became running";
    line += IsDialupConnected() ? "1" : "0"; // up, with this process reading it
    close(tun);
    if (!SettlesTo(false))
        return "fail: tun without a reader stayed running";
    line += IsDialupConnected() ? "1" : "0"; // up, but nobody reads it: no carrier
    return line;
}

TEST(DialupGate, RealTunDeviceInANetworkNamespace)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a network namespace and a tun device";
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const std::string line = GateInFreshNamespace();
        const ssize_t written = write(out[1], line.data(), line.size());
        _exit(written == static_cast<ssize_t>(line.size()) ? 0 : 1);
    }
    close(out[1]);
    std::string line;
    char buffer[256];
    ssize_t got;
    while ((got = read(out[0], buffer, sizeof buffer)) > 0)
        line.append(buffer, static_cast<std::size_t>(got));
    close(out[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    if (line.rfind("skip:", 0) == 0)
        GTEST_SKIP() << line;
    // Steps: nothing, loopback up, tun down, tun up and running, tun up without carrier.
    EXPECT_EQ(line, "00010");
}

} // namespace
