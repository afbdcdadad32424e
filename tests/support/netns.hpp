// netns: puts a test process into a network namespace of its own, so that suites can bind the real
// ports 8855/8856 and join multicast groups without colliding with a running program or with each
// other, and without anything reaching the host's network. Inside, lo is up with multicast and a
// 224.0.0.0/4 route, so multicast sent on lo loops back to our own sockets. Making the namespace
// takes root: without it the suites that need one skip, and the fuzzer stops.
// May call: the kernel interfaces only (header-only, shared by the test suites and the fuzzer).
#pragma once

#include <arpa/inet.h>
#include <net/if.h>
#include <net/route.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

// Adds (SIOCADDRT; an existing route counts) or deletes (SIOCDELRT) the route dst/mask via lo.
inline bool jx_test_lo_route(unsigned long req, const char* dst, const char* mask)
{
    rtentry rt{};
    reinterpret_cast<sockaddr_in*>(&rt.rt_dst)->sin_family = AF_INET;
    reinterpret_cast<sockaddr_in*>(&rt.rt_dst)->sin_addr.s_addr = inet_addr(dst);
    reinterpret_cast<sockaddr_in*>(&rt.rt_genmask)->sin_family = AF_INET;
    reinterpret_cast<sockaddr_in*>(&rt.rt_genmask)->sin_addr.s_addr = inet_addr(mask);
    rt.rt_flags = RTF_UP;
    char dev[] = "lo";
    rt.rt_dev = dev;
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    const bool ok = s >= 0 && (ioctl(s, req, &rt) == 0 || (req == SIOCADDRT && errno == EEXIST));
    close(s);
    return ok;
}

// A new network namespace with lo up and its multicast route. False with the reason in *why (may
// be null).
inline bool jx_test_enter_netns(std::string* why)
{
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    const int s = unshare(CLONE_NEWNET) == 0 ? socket(AF_INET, SOCK_DGRAM, 0) : -1;
    bool ok = s >= 0 && ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_MULTICAST);
    ok = ok && ioctl(s, SIOCSIFFLAGS, &ifr) == 0 && jx_test_lo_route(SIOCADDRT, "224.0.0.0", "240.0.0.0");
    if (!ok && why != nullptr)
        *why = std::strerror(errno);
    close(s);
    return ok;
}
