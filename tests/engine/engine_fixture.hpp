// Shared scaffolding of the engine suite: a temporary storage root, a started engine on a frozen
// clock, the event queue taken apart, datagrams handed to the dispatcher as if just received, and
// real sockets that show what the engine sends. Everything the engine sends to 127.x.x.x:8855, and
// what multicast loops back, lands on its own receiving socket.
#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <iterator>
#include <string>
#include <vector>

#include "engine/comm.hpp"
#include "engine/events.hpp"
#include "engine/dispatcher.hpp"
#include "engine/registry.hpp"
#include "foundation/log.hpp"
#include "foundation/timer.hpp"
#include "storage/fso.hpp"

namespace jxtest {

inline constexpr int64_t kFrozenNow = 1'750'000'000;
inline constexpr char kGroup[] = "239.7.7.7";
inline constexpr char kSelf[] = "127.0.0.1";
inline constexpr char kPeer1[] = "127.0.0.2";
inline constexpr char kPeer2[] = "127.0.0.3";
inline constexpr char kPeer3[] = "127.0.0.4";

inline uint32_t ip(const char* dotted)
{
    return inet_addr(dotted);
}

inline sockaddr_in sock_addr(uint32_t addr, uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = addr;
    a.sin_port = htons(port);
    return a;
}

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

// One event taken from the queue; the payload is freed with the record.
struct TakenEvent {
    uint8_t kind;
    std::unique_ptr<void, FreeDeleter> payload;
    // A missing payload reads as a zero record, so that a failed check cannot crash the suite.
    template <typename T>
    const T* as() const
    {
        static const T none{};
        return payload != nullptr ? static_cast<const T*>(payload.get()) : &none;
    }
};

// Removes every queued event, oldest first.
inline std::vector<TakenEvent> take_events()
{
    std::vector<TakenEvent> out;
    void* data = nullptr;
    while (jx_list_rem_next(&comm.events, nullptr, &data) == 0) {
        auto* ev = static_cast<JXEvent*>(data);
        out.push_back(TakenEvent{ev->kind, std::unique_ptr<void, FreeDeleter>(ev->payload)});
        std::free(ev);
    }
    return out;
}

// The one event the last steps raised (an empty record, and a failure, when there was not exactly one).
inline TakenEvent one_event()
{
    auto evs = take_events();
    EXPECT_EQ(evs.size(), 1u);
    return evs.size() == 1 ? std::move(evs[0]) : TakenEvent{0, nullptr};
}

inline std::vector<uint8_t> kinds(const std::vector<TakenEvent>& evs)
{
    std::vector<uint8_t> k;
    for (const auto& e : evs)
        k.push_back(e.kind);
    return k;
}

inline void expect_user_ev(const TakenEvent& e, uint8_t kind, const char* net, const char* peer,
                           const char* n1, const char* n2 = "")
{
    ASSERT_EQ(e.kind, kind);
    const auto* u = e.as<user_ev>();
    EXPECT_EQ(u->net_addr, ip(net));
    EXPECT_EQ(u->peer_addr, ip(peer));
    EXPECT_STREQ(u->name1, n1);
    EXPECT_STREQ(u->name2, n2);
}

inline void expect_msg_ev(const TakenEvent& e, uint8_t kind, uint8_t ch_type, uint64_t id, uint32_t a,
                          uint32_t b)
{
    ASSERT_EQ(e.kind, kind);
    const auto* m = e.as<msg_ev>();
    EXPECT_EQ(m->ch_type, ch_type);
    EXPECT_EQ(m->msg_id, id);
    EXPECT_EQ(m->addr_a, a);
    EXPECT_EQ(m->addr_b, b);
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

// 32 characters that can never equal our own instance id (which has no 'z').
inline std::string other_instance(char c)
{
    return std::string(31, 'z') + c;
}

inline std::vector<uint8_t> beacon(uint32_t net_id, const char* uname, uint32_t uptime,
                                   const std::string& instance, uint32_t msg_id = 77)
{
    std::string p(JX_BEACON_LEN, '\0');
    jx_beacon_put(reinterpret_cast<uint8_t*>(p.data()), uptime, instance.c_str());
    return make_dgram(PKT_BEACON, net_id, msg_id, uname, p);
}

// Hands a datagram to the dispatcher exactly as the receive step would, from addr:port (host order).
inline void feed(const std::vector<uint8_t>& d, const char* from, uint16_t port = 8855)
{
    std::memset(comm.rcv_buf, 0, sizeof(comm.rcv_buf));
    std::memcpy(comm.rcv_buf, d.data(), std::min(d.size(), sizeof(comm.rcv_buf)));
    comm.rcv_len = static_cast<int32_t>(std::min(d.size(), sizeof(comm.rcv_buf)));
    comm.rcv_from = sock_addr(ip(from), port);
    jx_process_udp();
}

// Joins `addr` (expecting success) and gives its network.
inline JXNetwork* join(const char* addr, uint8_t requested = 0)
{
    JXChannel* ch = nullptr;
    EXPECT_EQ(jx_join_network(addr, requested, &ch), JX_JOIN_OK) << addr;
    return jx_network_by_addr(ip(addr));
}

// A peer that was there before us (large uptime): added without an announcement.
inline void add_old_peer(uint32_t net, const char* from, const char* uname, char tag)
{
    feed(beacon(net, uname, 100000, other_instance(tag)), from);
}

// The private network a remote host opens by querying us from addr:port; its events are dropped.
inline JXNetwork* queried_by(const char* addr, uint16_t port)
{
    feed(make_dgram(PKT_QUERY, ip(kSelf), 9, "host"), addr, port);
    take_events();
    JXNetwork* n = jx_network_by_addr(ip(addr));
    EXPECT_NE(n, nullptr);
    return n;
}

// Joins kGroup and plays back our own beacon from kSelf: the network is online from now on. Then
// the first `peers` of bob, carol and dave (kPeer1..3) join as peers that were there before us.
inline JXNetwork* online_group(int peers = 0)
{
    JXNetwork* n = join(kGroup);
    feed(beacon(ip(kGroup), comm.username, 0, comm.instance_id), kSelf);
    EXPECT_EQ(n->status, NET_ONLINE);
    const char* names[] = {"bob", "carol", "dave"};
    const char* addrs[] = {kPeer1, kPeer2, kPeer3};
    for (int i = 0; i < peers; i++)
        add_old_peer(ip(kGroup), addrs[i], names[i], static_cast<char>('a' + i));
    return n;
}

// One datagram read from a socket.
struct Dgram {
    std::vector<uint8_t> bytes;
    uint16_t from_port = 0;  // host order
    uint32_t to_addr = 0;    // the address it was sent to
    uint8_t type() const { return bytes.size() > JX_OFF_TYPE ? bytes[JX_OFF_TYPE] : 0; }
    uint32_t id() const { return jx_get_be32(bytes.data() + JX_OFF_MSG_ID); }
    std::vector<uint8_t> net_id() const { return {bytes.begin() + 5, bytes.begin() + 9}; }  // octets reversed
    uint32_t be32_at(size_t off) const { return jx_get_be32(bytes.data() + off); }
};

// Every datagram that arrives on `fd` until it stays quiet for `wait_ms`, oldest first.
inline std::vector<Dgram> recv_all(int fd, int wait_ms = 50)
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
        if (n < 0)
            break;
        const cmsghdr* c = CMSG_FIRSTHDR(&msg);
        in_pktinfo info{};
        if (c != nullptr && c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO)
            std::memcpy(&info, CMSG_DATA(c), sizeof(info));
        out.push_back(Dgram{{buf, buf + n}, ntohs(from.sin_port), info.ipi_addr.s_addr});
    }
    return out;
}

// What the engine sent to 127.x.x.x:8855 or to a group; with wait 0 it only clears the socket.
inline std::vector<Dgram> sent_to_8855(int wait_ms = 50)
{
    return recv_all(comm.rcv_sock, wait_ms);
}

// Drops what earlier steps left in the event queue and on the receiving socket.
inline void settle()
{
    take_events();
    recv_all(comm.rcv_sock, 0);
}

inline uint16_t local_port(int sock)
{
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    getsockname(sock, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// A UDP socket bound to addr:port (port 0: any), standing in for a remote host.
struct Probe {
    int fd = -1;
    uint16_t port = 0;  // host order
    uint32_t addr = 0;
    explicit Probe(const char* dotted, uint16_t want_port = 0)
        : fd(socket(AF_INET, SOCK_DGRAM, 0)), addr(ip(dotted))
    {
        const sockaddr_in a = sock_addr(addr, want_port);
        if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) != 0)
            ADD_FAILURE() << "probe bind " << dotted << ":" << want_port << " failed: " << strerror(errno);
        port = local_port(fd);
    }
    ~Probe() { close(fd); }
    std::vector<Dgram> recv(int wait_ms = 50) const { return recv_all(fd, wait_ms); }
    bool send_to(const std::vector<uint8_t>& d, const char* dotted, uint16_t to_port) const
    {
        const sockaddr_in to = sock_addr(ip(dotted), to_port);
        return sendto(fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to)) ==
               static_cast<ssize_t>(d.size());
    }
};

// A temporary storage root (jx_internal, msg, downloads), the program path that finds it, and the
// engine started there on a frozen clock. Events left at the end are freed.
class EngineFixture : public ::testing::Test {
  protected:
    std::filesystem::path root;
    std::string program_path;
    bool started = false;

    void SetUp() override
    {
        char tmpl[] = "/tmp/jx_engine_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        for (const char* sub : {"jx_internal", "msg", "downloads"})
            std::filesystem::create_directory(root / sub);
        program_path = (root / "jexley").string();
        jx_clock_set(kFrozenNow);
        ASSERT_EQ(jx_comm_init(program_path.c_str()), 0) << log_text();
        started = true;
    }

    void TearDown() override
    {
        if (started) {
            take_events();
            jx_comm_close();
        }
        jx_log_close();
        (void)jx_fso_close();
        jx_clock_set(0);
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }

    std::string log_text() const
    {
        std::ifstream f(root / "jx_internal" / "log", std::ios::binary);
        return {std::istreambuf_iterator<char>(f), {}};
    }

    // Occurrences of `needle` in the log; log lines are "date TAB text CR LF".
    size_t log_count(const std::string& needle) const
    {
        const std::string t = log_text();
        size_t n = 0;
        for (size_t pos = t.find(needle); pos != std::string::npos; pos = t.find(needle, pos + 1))
            n++;
        return n;
    }

    bool log_line(const std::string& text) const { return log_count("\t" + text + "\r\n") > 0; }
};

}  // namespace jxtest
