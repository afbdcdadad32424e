// netif: this host's network interfaces with their IPv4 addresses, and whether one of its UDP
// ports is taken, as the system reports them at the moment of the call. May call: the C library only.
#pragma once

#include <cstddef>
#include <cstdint>

struct JXNetif {
    char name[16];   // interface name, NUL-terminated
    uint32_t addr;   // network order
    uint32_t mask;   // network order
    uint32_t flags;  // IFF_UP, IFF_RUNNING, IFF_LOOPBACK, IFF_MULTICAST, ...
};

// Room for every address of an ordinary host; more are left out.
inline constexpr size_t JX_NETIF_MAX = 64;

// At most max IPv4 addresses of the host's interfaces, in the system's order; the count kept.
size_t jx_netif_list(JXNetif* out, size_t max);
// Whether addr (network order) is an address of this host's interfaces: what the kernel proves,
// unlike anything a datagram claims.
bool jx_netif_is_local(uint32_t addr);
// Number of leading one bits of a netmask in network order.
int jx_netif_prefix(uint32_t mask);
// "lo 127.0.0.1/8, eth0 10.0.0.1/24", or "none", into out (always terminated when n > 0).
void jx_netif_describe(char* out, size_t n);
// True when binding a UDP socket to port (host order, any address) now fails because someone
// holds it.
bool jx_netif_port_busy(uint16_t port);
