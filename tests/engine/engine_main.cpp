// JX_OWN_MAIN
// The engine suite binds the real ports 8855/8856 and joins multicast groups, so it runs in a
// network namespace of its own: nothing collides with a running program or with other suites, and
// nothing leaks onto the host's network. Inside, lo is brought up with multicast and a 224.0.0.0/4
// route so that multicast sent on lo loops back to our own sockets.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <net/route.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

bool write_file(const char* path, const char* text)
{
    const int fd = open(path, O_WRONLY);
    if (fd < 0)
        return false;
    const ssize_t n = write(fd, text, strlen(text));
    close(fd);
    return n == static_cast<ssize_t>(strlen(text));
}

bool enter_namespace(char* why, size_t why_len)
{
    if (geteuid() == 0) {
        if (unshare(CLONE_NEWNET) == 0)
            return true;
        snprintf(why, why_len, "unshare(CLONE_NEWNET) failed: %s", strerror(errno));
        return false;
    }
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
        snprintf(why, why_len, "unshare(CLONE_NEWUSER|CLONE_NEWNET) failed: %s", strerror(errno));
        return false;
    }
    // Map our own ids so that files made in the temporary storage roots keep a real owner.
    char map[64];
    write_file("/proc/self/setgroups", "deny");
    snprintf(map, sizeof(map), "%u %u 1", uid, uid);
    write_file("/proc/self/uid_map", map);
    snprintf(map, sizeof(map), "%u %u 1", gid, gid);
    write_file("/proc/self/gid_map", map);
    return true;
}

bool setup_loopback(char* why, size_t why_len)
{
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) {
        snprintf(why, why_len, "socket: %s", strerror(errno));
        return false;
    }
    ifreq ifr{};
    strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_MULTICAST);
    ok = ok && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    if (!ok) {
        snprintf(why, why_len, "bringing lo up failed: %s", strerror(errno));
        close(s);
        return false;
    }
    rtentry rt{};
    auto* dst = reinterpret_cast<sockaddr_in*>(&rt.rt_dst);
    auto* mask = reinterpret_cast<sockaddr_in*>(&rt.rt_genmask);
    dst->sin_family = AF_INET;
    dst->sin_addr.s_addr = inet_addr("224.0.0.0");
    mask->sin_family = AF_INET;
    mask->sin_addr.s_addr = inet_addr("240.0.0.0");
    rt.rt_flags = RTF_UP;
    char dev[] = "lo";
    rt.rt_dev = dev;
    if (ioctl(s, SIOCADDRT, &rt) != 0 && errno != EEXIST) {
        snprintf(why, why_len, "multicast route on lo failed: %s", strerror(errno));
        close(s);
        return false;
    }
    close(s);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    char why[256] = {};
    if (!enter_namespace(why, sizeof(why)) || !setup_loopback(why, sizeof(why))) {
        fprintf(stderr, "SKIPPED: the engine tests need a private network namespace (%s)\n", why);
        testing::GTEST_FLAG(filter) = "-*";
        return RUN_ALL_TESTS();
    }
    return RUN_ALL_TESTS();
}
