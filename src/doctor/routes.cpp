// Routes: where multicast and broadcast would leave this host, and from which address.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "doctor/checks.hpp"
#include "doctor/doctor.hpp"
#include "protocol/protocol.hpp"

namespace {

struct Route {
    bool found = false;
    std::string dev;
    uint32_t dest = 0;
    int prefix = 0;
};

// Longest-prefix match for dst (network order) in the main routing table.
Route route_for(uint32_t dst)
{
    Route best;
    FILE* f = fopen("/proc/net/route", "r");
    if (f == nullptr)
        return best;
    char line[512];
    while (fgets(line, sizeof line, f) != nullptr) {
        char dev[64];
        unsigned dest = 0, gw = 0, flags = 0, refcnt = 0, use = 0, metric = 0, mask = 0;
        // The kernel prints each address as the hex of its network-order value.
        if (sscanf(line, "%63s %x %x %x %u %u %u %x", dev, &dest, &gw, &flags, &refcnt, &use, &metric,
                   &mask) != 8)
            continue;
        const int prefix = jx_netif_prefix(mask);
        if ((flags & 1) == 0 || (dst & mask) != dest || (best.found && prefix <= best.prefix))
            continue;  // 1: RTF_UP
        best = Route{true, doctor_clean(dev, 63), dest, prefix};
    }
    fclose(f);
    return best;
}

// The source address the system would send from to dst, or the errno that prevents sending.
int source_for(uint32_t dst, uint32_t* src)
{
    const int s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s < 0)
        return errno;
    const int on = 1;
    (void)setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(JX_PORT);
    a.sin_addr.s_addr = dst;
    socklen_t len = sizeof a;
    int err = 0;
    if (connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        err = errno;
    close(s);
    *src = a.sin_addr.s_addr;
    return err;
}

// True when there is a route; no_route is the tag of its absence ("warn" where another way works).
bool check_route(DoctorReport* r, const char* what, uint32_t dst, const JXNetif* ifs, size_t n,
                 const char* no_route = "FAIL")
{
    uint32_t src = 0;
    const int err = source_for(dst, &src);
    const Route rt = route_for(dst);
    if (err != 0) {
        doctor_finding(r, no_route, std::string("no route for ") + what + " (" + strerror(err) + ")",
                       std::string("add one on the LAN interface, e.g. ip route add ") +
                           (dst == htonl(DOCTOR_PROBE_GROUP) ? "224.0.0.0/4" : "default") + " dev eth0");
        return false;
    }
    std::string dev = rt.dev;
    bool loop = false;
    for (size_t k = 0; k < n; k++) {
        if (ifs[k].addr == src) {
            if (dev.empty())
                dev = doctor_clean(ifs[k].name, 15);
            loop = (ifs[k].flags & IFF_LOOPBACK) != 0;
        }
    }
    const std::string by = rt.found && rt.prefix > 0
                               ? "route " + doctor_ip(rt.dest) + "/" + std::to_string(rt.prefix)
                               : std::string("the default route");
    const std::string line = std::string(what) + " leaves by " + (dev.empty() ? "?" : dev) + " from " +
                             doctor_ip(src) + " (" + by + ")";
    if (loop || src == htonl(INADDR_LOOPBACK)) {
        doctor_finding(r, "FAIL", line, "only this host hears it: route it by the LAN interface instead");
        return false;
    }
    if ((!rt.found || rt.prefix == 0) && dst != htonl(INADDR_BROADCAST))
        doctor_finding(
            r, "warn", line,
            "with several interfaces, make sure it is the LAN's, or add: ip route add 224.0.0.0/4 dev <lan>");
    else
        doctor_finding(r, "ok", line, "");
    return true;
}

}  // namespace

int doctor_route_err(uint32_t dst)
{
    uint32_t src = 0;
    return source_for(dst, &src);
}

void doctor_check_routes(DoctorReport* r, const JXNetif* ifs, size_t n)
{
    fprintf(r->out, "Routes\n");
    // Broadcast without a default route is common on hosts that use groups only: then a warning.
    const bool groups = check_route(r, "multicast to 239.0.0.1", htonl(DOCTOR_PROBE_GROUP), ifs, n);
    check_route(r, "broadcast to 255.255.255.255", htonl(INADDR_BROADCAST), ifs, n, groups ? "warn" : "FAIL");
}
