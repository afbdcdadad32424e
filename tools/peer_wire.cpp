// The wire side of jx_peer's scripted peers.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "foundation/random.hpp"
#include "foundation/utility.hpp"
#include "jx_peer.hpp"
#include "protocol/data_protocol.hpp"

double now_s()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

uint32_t addr_of(const char* s)
{
    in_addr a{};
    if (inet_pton(AF_INET, s, &a) != 1) {
        std::fprintf(stderr, "jx_peer: not an address: %s\n", s);
        std::exit(2);
    }
    return a.s_addr;
}

// A UDP socket bound to addr:port (port 0: any); addr 0 with a group also joins the group.
int bound(uint32_t addr, uint16_t port, uint32_t group)
{
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    const int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = addr;
    if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::perror("jx_peer: bind");
        std::exit(1);
    }
    if (group != 0) {
        ip_mreq m{};
        m.imr_multiaddr.s_addr = group;
        setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m);
    }
    return s;
}

uint32_t g_next_id = 0;  // see peer_seed_ids

// One packet into dgram (1470 bytes) with the next message id; its length.
size_t make_pkt(uint8_t* dgram, uint8_t type, uint32_t net, const char* name, const void* payload, size_t len,
                uint32_t* id_out)
{
    const uint32_t id = ++g_next_id != 0 ? g_next_id : ++g_next_id;  // never 0
    if (id_out != nullptr)
        *id_out = id;
    const uint32_t n = jx_serialize(dgram, JX_DATAGRAM_MAX, type, net, id, name,
                                    static_cast<const uint8_t*>(payload), static_cast<uint16_t>(len));
    return n < JX_DATAGRAM_MAX ? n : JX_DATAGRAM_MAX;
}

// Sends one packet; returns its message id.
uint32_t send_pkt(int s, uint32_t to, uint16_t port, uint8_t type, uint32_t net, const char* name,
                  const void* payload, size_t len)
{
    uint8_t dgram[JX_DATAGRAM_MAX];
    uint32_t id = 0;
    const size_t n = make_pkt(dgram, type, net, name, payload, len, &id);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = to;
    (void)sendto(s, dgram, n, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    return id;
}

// One packet in a UDP datagram from any source address and port: a raw socket writes the IP
// header itself, and the kernel does not check what it claims. UDP checksum 0: none.
void send_raw(uint32_t src, uint32_t to, uint16_t port, uint8_t type, uint32_t net, const char* name,
              const void* payload, size_t len)
{
    static const int s = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
    if (s < 0) {
        std::perror("jx_peer: raw socket");
        std::exit(1);
    }
    uint8_t pkt[28 + JX_DATAGRAM_MAX] = {0x45};
    const size_t n = make_pkt(pkt + 28, type, net, name, payload, len);
    jx_put_be16(pkt + 2, static_cast<uint16_t>(28 + n));
    pkt[8] = 1;  // TTL: one link
    pkt[9] = IPPROTO_UDP;
    std::memcpy(pkt + 12, &src, 4);
    std::memcpy(pkt + 16, &to, 4);
    jx_put_be16(pkt + 20, JX_PORT);
    jx_put_be16(pkt + 22, port);
    jx_put_be16(pkt + 24, static_cast<uint16_t>(8 + n));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = to;
    (void)sendto(s, pkt, 28 + n, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

void beacon(int s, uint32_t net, const char* name, uint32_t uptime, const char* instance)
{
    uint8_t p[JX_BEACON_LEN];
    jx_beacon_put(p, uptime, instance);
    (void)send_pkt(s, net, JX_PORT, PKT_BEACON, net, name, p, sizeof p);
}

// Receives one datagram of s into pkt; false when nothing could be decoded.
bool receive(int s, JXPacket* pkt)
{
    uint8_t buf[JX_DATAGRAM_MAX];
    sockaddr_in from{};
    socklen_t flen = sizeof from;
    const ssize_t n = recvfrom(s, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &flen);
    return n > 0 &&
           jx_unserialize(buf, static_cast<size_t>(n), from.sin_addr.s_addr, from.sin_port, pkt) == 0;
}

std::vector<uint8_t> payload_of(const std::string& s)
{
    return {s.begin(), s.end()};
}

// An offer payload as a hostile peer may write it: any name bytes, any claimed name length.
std::vector<uint8_t> offer(const std::string& name, size_t claimed, uint16_t chunk)
{
    claimed = claimed != 0 ? claimed : name.size();
    std::vector<uint8_t> p(JX_META_FIXED_LEN + name.size());
    jx_random_bytes(p.data(), JX_TRANSFER_ID_LEN);
    jx_put_be64(p.data() + JX_META_OFF_SIZE, 1000);
    jx_put_be16(p.data() + JX_META_OFF_CHUNK_SIZE, chunk);
    jx_put_be16(p.data() + JX_META_OFF_DATA_PORT, JX_DATA_PORT);
    jx_put_be16(p.data() + JX_META_OFF_NAME_LEN, static_cast<uint16_t>(claimed));
    std::memcpy(p.data() + JX_META_FIXED_LEN, name.data(), name.size());
    return p;
}

std::vector<uint8_t> seg_req(const uint8_t* id, uint64_t segment, uint16_t size, uint32_t count)
{
    JXSegmentReq r{};
    std::memcpy(r.id, id, sizeof r.id);
    r.segment = segment, r.chunk_size = size, r.chunk_count = count;
    std::vector<uint8_t> p(JX_SEGMENT_LEN);
    (void)jx_data_serialize_segment(p.data(), p.size(), &r);
    return p;
}

// Waits up to `seconds` for a packet of `type` from `from` on s; false when none came.
bool await(int s, uint32_t from, uint8_t type, double seconds, JXPacket* pkt)
{
    for (const double end = now_s() + seconds; now_s() < end;) {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, 50) > 0 && receive(s, pkt) && pkt->src_addr == from && pkt->type == type)
            return true;
    }
    return false;
}

bool parse_id(const char* s, uint8_t* id)
{
    if (std::strlen(s) != 2 * JX_TRANSFER_ID_LEN)
        return false;
    for (size_t i = 0; i < JX_TRANSFER_ID_LEN; i++) {
        char byte[3] = {s[2 * i], s[2 * i + 1], '\0'};
        char* end = nullptr;
        id[i] = static_cast<uint8_t>(std::strtoul(byte, &end, 16));
        if (end != byte + 2)
            return false;
    }
    return true;
}
