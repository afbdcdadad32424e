#include "foundation/netif.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "foundation/ipv4.hpp"

namespace {

uint32_t v4(const sockaddr* sa)
{
    return sa != nullptr && sa->sa_family == AF_INET
               ? reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr
               : 0;
}

}  // namespace

size_t jx_netif_list(JXNetif* out, size_t max)
{
    ifaddrs* all = nullptr;
    if (out == nullptr || getifaddrs(&all) != 0)
        return 0;
    size_t n = 0;
    for (const ifaddrs* i = all; i != nullptr && n < max; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET)
            continue;
        JXNetif& f = out[n++];
        f = JXNetif{};
        snprintf(f.name, sizeof f.name, "%s", i->ifa_name != nullptr ? i->ifa_name : "?");
        f.addr = v4(i->ifa_addr);
        f.mask = v4(i->ifa_netmask);
        f.flags = i->ifa_flags;
    }
    freeifaddrs(all);
    return n;
}

int jx_netif_prefix(uint32_t mask)
{
    uint32_t m = ntohl(mask);
    int bits = 0;
    while ((m & 0x80000000u) != 0) {
        bits++;
        m <<= 1;
    }
    return bits;
}

void jx_netif_describe(char* out, size_t n)
{
    if (out == nullptr || n == 0)
        return;
    JXNetif ifs[JX_NETIF_MAX];
    const size_t count = jx_netif_list(ifs, JX_NETIF_MAX);
    snprintf(out, n, "%s", count == 0 ? "none" : "");
    size_t used = strlen(out);
    for (size_t k = 0; k < count && used < n; k++) {
        const int w = snprintf(out + used, n - used, "%s%s %s/%d", k == 0 ? "" : ", ", ifs[k].name,
                               jx_ip_str(ifs[k].addr).s, jx_netif_prefix(ifs[k].mask));
        if (w < 0)
            break;
        used += static_cast<size_t>(w);
    }
}

bool jx_netif_is_local(uint32_t addr)
{
    // Asked for every beacon that carries our instance id: an address the list does not hold has
    // it read again (one may have been added since), but at most once a second.
    static JXNetif cache[JX_NETIF_MAX];
    static size_t count = 0;
    static time_t read_at = 0;
    for (int pass = 0; pass < 2; pass++) {
        for (size_t i = 0; i < count; i++)
            if (cache[i].addr == addr)
                return true;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (pass == 1 || (read_at != 0 && now.tv_sec == read_at))
            return false;
        read_at = now.tv_sec;
        count = jx_netif_list(cache, JX_NETIF_MAX);
    }
    return false;
}

bool jx_netif_port_busy(uint16_t port)
{
    const int s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s < 0)
        return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    const bool busy = bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 && errno == EADDRINUSE;
    close(s);
    return busy;
}
