// netns: puts a test process into a network namespace of its own, so that suites can bind the real
// ports 8855/8856 and join multicast groups without colliding with a running program or with each
// other, and without anything reaching the host's network. Inside, lo is up with multicast and a
// 224.0.0.0/4 route, so multicast sent on lo loops back to our own sockets.
// May call: the kernel interfaces only (header-only, shared by the test suites and the fuzzer).
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <net/route.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

inline bool jx_test_write_file(const char* path, const char* text)
{
    const int fd = open(path, O_WRONLY);
    if (fd < 0)
        return false;
    const ssize_t n = write(fd, text, std::strlen(text));
    close(fd);
    return n == static_cast<ssize_t>(std::strlen(text));
}

// Adds (SIOCADDRT; an existing route counts) or deletes (SIOCDELRT) the route dst/mask via lo.
inline bool jx_test_lo_route(unsigned long req, const char* dst, const char* mask)
{
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0)
        return false;
    rtentry rt{};
    auto* d = reinterpret_cast<sockaddr_in*>(&rt.rt_dst);
    auto* m = reinterpret_cast<sockaddr_in*>(&rt.rt_genmask);
    d->sin_family = AF_INET;
    d->sin_addr.s_addr = inet_addr(dst);
    m->sin_family = AF_INET;
    m->sin_addr.s_addr = inet_addr(mask);
    rt.rt_flags = RTF_UP;
    char dev[] = "lo";
    rt.rt_dev = dev;
    const bool ok = ioctl(s, req, &rt) == 0 || (req == SIOCADDRT && errno == EEXIST);
    close(s);
    return ok;
}

// As root a new network namespace; otherwise a user namespace first, in which we are root (so that
// tests that skip what root may do still skip), mapped to our own ids outside. Then lo and its
// multicast route. False with the reason in *why (may be null).
inline bool jx_test_enter_netns(std::string* why)
{
    auto fail = [why](const char* step) {
        if (why != nullptr)
            *why = std::string(step) + ": " + std::strerror(errno);
        return false;
    };
    if (geteuid() == 0) {
        if (unshare(CLONE_NEWNET) != 0)
            return fail("unshare(CLONE_NEWNET)");
    } else {
        const unsigned uid = geteuid();
        const unsigned gid = getegid();
        if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
            return fail("unshare(CLONE_NEWUSER|CLONE_NEWNET)");
        char map[64];
        (void)jx_test_write_file("/proc/self/setgroups", "deny");
        std::snprintf(map, sizeof(map), "0 %u 1\n", uid);
        if (!jx_test_write_file("/proc/self/uid_map", map))
            return fail("uid_map");
        std::snprintf(map, sizeof(map), "0 %u 1\n", gid);
        if (!jx_test_write_file("/proc/self/gid_map", map))
            return fail("gid_map");
    }
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0)
        return fail("socket");
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_MULTICAST);
    ok = ok && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    close(s);
    if (!ok)
        return fail("bringing lo up");
    if (!jx_test_lo_route(SIOCADDRT, "224.0.0.0", "240.0.0.0"))
        return fail("multicast route on lo");
    return true;
}
