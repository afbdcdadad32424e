// The engine suite's scaffolding: datagrams handed to the dispatcher as if just received, real
// sockets that show what the engine sends, and events and datagrams written out in brief so that
// one comparison checks kind, order and payload. Everything the engine sends to 127.x.x.x:8855,
// and what multicast loops back, lands on its own receiving socket.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "engine/dispatcher.hpp"
#include "engine/registry.hpp"
#include "support/engine_root.hpp"

namespace jxtest {

inline constexpr int64_t kFrozenNow = 1'750'000'000;
inline constexpr char kGroup[] = "239.7.7.7";
inline constexpr char kSelf[] = "127.0.0.1";
inline constexpr char kPeer1[] = "127.0.0.2";
inline constexpr char kPeer2[] = "127.0.0.3";
inline constexpr char kPeer3[] = "127.0.0.4";
using Strs = std::vector<std::string>;

inline std::string hex(const uint8_t* b, size_t n)
{
    std::string s;
    for (size_t i = 0; i < n; i++)
        s += "0123456789abcdef"[b[i] >> 4], s += "0123456789abcdef"[b[i] & 15];
    return s;
}

// An event kind as the tests write it: its name from the engine's table in lower case without
// "EV_" ("EV_PEER_JOINED": "peer_joined"), or its number when the table does not know it.
inline std::string event_word(uint8_t kind)
{
    const char* name = jx_event_name(kind);
    if (name == nullptr)
        return std::to_string(kind);
    std::string s(name + 3);
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

// Takes every queued event, oldest first, written out with its payload: "peer_joined 239.7.7.7
// 127.0.0.3 bob", "txt_received Main #258 239.7.7.7 127.0.0.2 @9 bob: hi" (@: seconds from the
// frozen start).
inline Strs events()
{
    const auto at = [](uint32_t a) { return std::string(" ") + jx_ip_str(a).s; };
    Strs out;
    void* data = nullptr;
    while (jx_list_rem_next(&comm.events, nullptr, &data) == 0) {
        auto* ev = static_cast<JXEvent*>(data);
        const void* p = ev->payload;
        std::string s = event_word(ev->kind);
        if (const uint8_t t = jx_event_payload_type(ev->kind); t == EVP_USER) {
            const auto* u = static_cast<const user_ev*>(p);
            s += at(u->net_addr) + at(u->peer_addr) + " " + u->name1;
            s += u->name2[0] != '\0' ? std::string(" was ") + u->name2 : "";
        } else if (t == EVP_NET) {
            s += at(static_cast<const net_ev*>(p)->net_addr);
        } else if (t == EVP_CH) {
            s += at(static_cast<const ch_ev*>(p)->net_addr) + at(static_cast<const ch_ev*>(p)->peer_addr);
        } else if (t == EVP_FILE) {
            const auto* f = static_cast<const file_ev*>(p);
            s += std::string(" ") + jx_channel_type_str(f->ch_type) + at(f->net_addr) + at(f->peer_addr) +
                 " " + f->name;
        } else if (t == EVP_HASH) {
            s += " " + hex(static_cast<const hash_ev*>(p)->id, 8) + " " +
                 hex(static_cast<const hash_ev*>(p)->digest, 32);
        } else if (t == EVP_MSG) {
            const auto* m = static_cast<const msg_ev*>(p);
            s += std::string(" ") + jx_channel_type_str(m->ch_type) + " #" + std::to_string(m->msg_id) +
                 at(m->addr_a) + at(m->addr_b);
            if (m->time != 0 || m->username[0] != '\0' || m->text[0] != '\0')
                s += " @" + std::to_string(m->time - kFrozenNow) + " " + m->username + ": " + m->text;
        }
        out.push_back(s);
        std::free(ev->payload);
        std::free(ev);
    }
    return out;
}

// A datagram as a peer would send it.
inline std::vector<uint8_t> make_dgram(uint8_t type, uint32_t net_id, uint32_t msg_id, const char* uname,
                                       const std::string& payload = {})
{
    std::vector<uint8_t> d(JX_DATAGRAM_MAX);
    d.resize(jx_serialize(d.data(), d.size(), type, net_id, msg_id, uname,
                          reinterpret_cast<const uint8_t*>(payload.data()),
                          static_cast<uint16_t>(payload.size())));
    return d;
}

// A beacon of another instance (32 characters that can never equal our own id, which has no 'z')
// or, with tag 0, our own.
inline std::vector<uint8_t> beacon(uint32_t net_id, const char* uname, uint32_t uptime, char tag,
                                   uint32_t id = 77)
{
    std::string p(JX_BEACON_LEN, '\0');
    const std::string other = std::string(31, 'z') + tag;
    jx_beacon_put(reinterpret_cast<uint8_t*>(p.data()), uptime, tag != 0 ? other.c_str() : comm.instance_id);
    return make_dgram(PKT_BEACON, net_id, id, uname, p);
}

// Hands a datagram to the dispatcher exactly as the receive step would, from addr:port.
inline void feed(const std::vector<uint8_t>& d, const char* from, uint16_t port = 8855)
{
    std::memset(comm.rcv_buf, 0, sizeof(comm.rcv_buf));
    comm.rcv_len = static_cast<int32_t>(std::min(d.size(), sizeof(comm.rcv_buf)));
    std::memcpy(comm.rcv_buf, d.data(), static_cast<size_t>(comm.rcv_len));
    comm.rcv_from = sockaddr_in{AF_INET, htons(port), {ip(from)}, {}};
    jx_process_udp();
}

inline JXNetwork* join(const char* a, uint8_t requested = 0)
{
    JXChannel* ch = nullptr;
    EXPECT_EQ(jx_join_network(a, requested, &ch), JX_JOIN_OK) << a;
    return jx_network_by_addr(ip(a));
}

// The private network a remote host opens by querying us from a:port; its events are dropped.
inline JXNetwork* queried_by(const char* a, uint16_t port)
{
    feed(make_dgram(PKT_QUERY, ip(kSelf), 9, "host"), a, port);
    drop_events();
    return jx_network_by_addr(ip(a));
}

// Joins kGroup and plays back our own beacon: the network is online from now on. Then the first
// `peers` of bob, carol and dave (kPeer1..3) join as peers that were there before us (large uptime).
inline JXNetwork* online_group(int peers = 0)
{
    JXNetwork* n = join(kGroup);
    feed(beacon(ip(kGroup), comm.username, 0, 0), kSelf);
    EXPECT_EQ(n->status, NET_ONLINE);
    const char* names[] = {"bob", "carol", "dave"};
    const char* addrs[] = {kPeer1, kPeer2, kPeer3};
    for (int i = 0; i < peers; i++)
        feed(beacon(ip(kGroup), names[i], 100000, static_cast<char>('a' + i)), addrs[i]);
    return n;
}

// One datagram read from a socket.
struct Dgram {
    std::vector<uint8_t> bytes;
    uint16_t from_port = 0;
    uint32_t to_addr = 0;  // the address it was sent to
    uint8_t type() const { return bytes[JX_OFF_TYPE]; }
    uint32_t id() const { return jx_get_be32(bytes.data() + JX_OFF_MSG_ID); }
    // Type, network id as sent (octets reversed: 239.7.7.7 is 7.7.7.239), ports and length.
    std::string brief() const
    {
        char b[96];
        std::snprintf(b, sizeof b, "%u %u.%u.%u.%u %u>%s %zu", type(), bytes[5], bytes[6], bytes[7], bytes[8],
                      from_port, jx_ip_str(to_addr).s, bytes.size());
        return b;
    }
};

// Every datagram that arrives on `fd` until it stays quiet for `wait_ms`, oldest first; with wait 0
// it only clears the socket. By default: what the engine sent to 127.x.x.x:8855 or to a group.
inline std::vector<Dgram> sent(int fd = comm.rcv_sock, int wait_ms = 50)
{
    const int on = 1;
    setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof(on));
    std::vector<Dgram> out;
    for (pollfd pfd{fd, POLLIN, 0}; poll(&pfd, 1, wait_ms) > 0;) {
        uint8_t buf[2048];
        alignas(cmsghdr) uint8_t ctl[256];
        sockaddr_in from{};
        iovec iov{buf, sizeof(buf)};
        msghdr msg{&from, sizeof(from), &iov, 1, ctl, sizeof(ctl), 0};
        const ssize_t n = recvmsg(fd, &msg, 0);
        if (n < static_cast<ssize_t>(JX_HEADER_LEN) || CMSG_FIRSTHDR(&msg) == nullptr)
            break;
        const auto* info = reinterpret_cast<const in_pktinfo*>(CMSG_DATA(CMSG_FIRSTHDR(&msg)));
        out.push_back(Dgram{{buf, buf + n}, ntohs(from.sin_port), info->ipi_addr.s_addr});
    }
    return out;
}

inline Strs briefs(const std::vector<Dgram>& ds)
{
    Strs s;
    for (const auto& d : ds)
        s.push_back(d.brief());
    return s;
}

inline Strs payloads(const std::vector<Dgram>& ds)
{
    Strs s;
    for (const auto& d : ds)
        s.emplace_back(d.bytes.begin() + JX_HEADER_LEN, d.bytes.end());
    return s;
}

// Type, status, online-since (seconds from the frozen start) and main channel type of a network.
inline std::tuple<int, int, int64_t, int> state_of(const JXNetwork* n)
{
    return {n->type, n->status, n->online_since - kFrozenNow, jx_ch_from_network(n, 0)->type};
}

// Drops what earlier steps left in the event queue and on the receiving socket.
inline void settle()
{
    drop_events();
    sent(comm.rcv_sock, 0);
}

inline uint16_t local_port(int sock)
{
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    getsockname(sock, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// A UDP socket bound to a:port (port 0: any), standing in for a remote host.
struct Probe {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    uint16_t port = 0;
    explicit Probe(const char* a, uint16_t want_port = 0)
    {
        const sockaddr_in at{AF_INET, htons(want_port), {ip(a)}, {}};
        EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof(at)), 0) << a << ":" << want_port;
        port = local_port(fd);
    }
    ~Probe() { close(fd); }
    std::vector<Dgram> recv() const { return sent(fd); }
    void send_to(const std::vector<uint8_t>& d, const char* a, uint16_t to_port) const
    {
        const sockaddr_in to{AF_INET, htons(to_port), {ip(a)}, {}};
        EXPECT_EQ(sendto(fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to)),
                  static_cast<ssize_t>(d.size()));
    }
};

class EngineFixture : public EngineRootTest {
  protected:
    void SetUp() override { start_engine(kFrozenNow); }
};

}  // namespace jxtest
