// Helpers shared by the processor, text and periodic-task suites: datagrams fed to the dispatcher
// as if they had just been received, a multicast network brought online by its own echoed beacon,
// peers announced by beacons, and the engine's own receiving socket read back to see what it sent
// to addresses on lo (everything sent to 127.x.x.x:8855 lands there).
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/comm.hpp"
#include "engine/processors.hpp"
#include "engine/utils.hpp"
#include "engine_fixture.hpp"

namespace jxtest {

inline constexpr char kGroup[] = "239.7.7.7";
inline constexpr char kSelf[] = "127.0.0.1";
inline constexpr char kPeer1[] = "127.0.0.2";
inline constexpr char kPeer2[] = "127.0.0.3";
inline constexpr char kPeer3[] = "127.0.0.4";

// A datagram handed to the dispatcher exactly as the receive step would.
inline void feed(const std::vector<uint8_t>& d, const char* from, uint16_t port = 8855)
{
    inject_datagram(d, ip(from), port);
    jx_process_udp();
}

inline void feed_beacon(uint32_t net_id, const char* from, const char* uname, uint32_t uptime,
                        const char* instance, uint32_t msg_id = 77, uint16_t port = 8855)
{
    const auto pl = beacon_payload(uptime, instance);
    feed(make_dgram(PKT_BEACON, net_id, msg_id, uname, pl.data(), static_cast<uint16_t>(pl.size())), from,
         port);
}

// 32 characters that can never equal our own instance id (which has no 'z').
inline std::string other_instance(char c)
{
    return std::string(31, 'z') + c;
}

// Joins kGroup and plays back our own beacon from kSelf: the network is online from now on.
inline JXNetwork* online_group()
{
    JXChannel* ch = nullptr;
    EXPECT_EQ(jx_join_network(kGroup, 0, &ch), 0);
    JXNetwork* n = jx_network_by_addr(ip(kGroup));
    EXPECT_NE(n, nullptr);
    feed_beacon(ip(kGroup), kSelf, comm.username, 0, comm.instance_id);
    EXPECT_EQ(n->status, NET_ONLINE);
    return n;
}

// Peers that were there before us (large uptime): added without announcements.
inline void add_old_peer(uint32_t net, const char* from, const char* uname, char tag)
{
    feed_beacon(net, from, uname, 100000, other_instance(tag).c_str());
}

// One datagram the engine sent to itself on lo, with the address it was sent to.
struct Looped {
    std::vector<uint8_t> bytes;
    uint32_t to_addr = 0;    // destination address (network order)
    uint16_t from_port = 0;  // host order
};

// Datagrams the engine sent towards 127.x.x.x:8855 (or looped back from the group), oldest first.
// They all land on the engine's own receiving socket; IP_PKTINFO tells which address each was for.
inline std::vector<Looped> sent_to_8855(int wait_ms = 50)
{
    const int on = 1;
    setsockopt(comm.rcv_sock, IPPROTO_IP, IP_PKTINFO, &on, sizeof(on));
    std::vector<Looped> out;
    for (;;) {
        pollfd pfd{comm.rcv_sock, POLLIN, 0};
        if (poll(&pfd, 1, wait_ms) <= 0)
            break;
        uint8_t buf[2048];
        alignas(cmsghdr) uint8_t ctl[256];
        sockaddr_in from{};
        iovec iov{buf, sizeof(buf)};
        msghdr msg{};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof(from);
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = ctl;
        msg.msg_controllen = sizeof(ctl);
        const ssize_t n = recvmsg(comm.rcv_sock, &msg, 0);
        if (n < 0)
            break;
        Looped l;
        l.bytes.assign(buf, buf + n);
        l.from_port = ntohs(from.sin_port);
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info{};
                std::memcpy(&info, CMSG_DATA(c), sizeof(info));
                l.to_addr = info.ipi_addr.s_addr;
            }
        }
        out.push_back(std::move(l));
    }
    return out;
}

inline uint8_t dgram_type(const Looped& r)
{
    return r.bytes.size() > JX_OFF_TYPE ? r.bytes[JX_OFF_TYPE] : 0;
}
inline uint32_t dgram_id(const Looped& r)
{
    return jx_get_be32(r.bytes.data() + JX_OFF_MSG_ID);
}

}  // namespace jxtest
