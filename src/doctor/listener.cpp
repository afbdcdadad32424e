// The listen: a few seconds on port 8855, sending nothing, for the beacons of the Jexleys on the
// predefined groups and the broadcast network, without keeping a Jexley from binding the port.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "doctor/checks.hpp"
#include "foundation/utility.hpp"
#include "protocol/protocol.hpp"

namespace {

struct Heard {
    char instance[JX_INSTANCE_ID_LEN];
    uint32_t net;
    uint32_t addr;
    uint32_t uptime;
    std::string name;
};

// A socket that gets the datagrams to port 8855 without keeping a Jexley from binding it: a raw
// socket (root only), which sees every UDP datagram with its IP header; else the port shared with
// SO_REUSEADDR/SO_REUSEPORT, which works while no Jexley holds it (one that starts meanwhile
// cannot bind). -1 with err set when neither works.
int listen_socket(bool* raw, int* err)
{
    *raw = true;
    int s = socket(AF_INET, SOCK_RAW, IPPROTO_UDP);
    if (s >= 0)
        return s;
    *raw = false;
    s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    *err = errno;
    if (s < 0)
        return -1;
    const int on = 1;
    (void)setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    (void)setsockopt(s, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(JX_PORT);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0)
        return s;
    *err = errno;
    close(s);
    return -1;
}

// Joins every predefined group. A socket takes only so many memberships (20 by default), so they
// are spread over as many sockets as needed; none of them is read. 0, or the errno of a refusal.
int join_groups(std::vector<int>* holders)
{
    int s = -1;
    for (uint32_t g = 0; g < DOCTOR_GROUP_COUNT; g++) {
        ip_mreq m{};
        m.imr_multiaddr.s_addr = htonl(DOCTOR_GROUP_FIRST + g);
        m.imr_interface.s_addr = htonl(INADDR_ANY);
        for (int attempt = 0;; attempt++) {
            if (s < 0 && (s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP)) >= 0)
                holders->push_back(s);
            if (s < 0)
                return errno;
            if (setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) == 0)
                break;
            if (errno != ENOBUFS || attempt > 0)
                return errno;
            s = -1;  // full: the next socket takes the rest
        }
    }
    return 0;
}

// The datagram to port 8855 in buf, or null: for a raw socket past the IP and UDP headers.
const uint8_t* jexley_datagram(const uint8_t* buf, size_t n, bool raw, uint32_t* src, size_t* len)
{
    if (!raw) {
        *len = n;
        return buf;
    }
    if (n < 20 || (buf[0] >> 4) != 4 || buf[9] != IPPROTO_UDP)
        return nullptr;
    const size_t ihl = static_cast<size_t>(buf[0] & 0x0f) * 4;
    if (ihl < 20 || n < ihl + 8 || jx_get_be16(buf + ihl + 2) != JX_PORT)
        return nullptr;
    const size_t udp_len = jx_get_be16(buf + ihl + 4);
    if (udp_len < 8 || udp_len > n - ihl)
        return nullptr;
    memcpy(src, buf + 12, 4);
    *len = udp_len - 8;
    return buf + ihl + 8;
}

void note_beacon(std::vector<Heard>* heard, const uint8_t* d, size_t len, uint32_t src)
{
    static JXPacket pkt;  // 1.5 KB
    if (jx_unserialize(d, len, src, 0, &pkt) != JX_UNSER_OK || pkt.type != PKT_BEACON ||
        pkt.payload_len < JX_BEACON_LEN)
        return;
    const uint8_t* id = pkt.payload + JX_BEACON_OFF_INSTANCE;
    for (Heard& h : *heard) {
        if (memcmp(h.instance, id, JX_INSTANCE_ID_LEN) == 0 && h.net == pkt.net_id) {
            h.uptime = jx_beacon_uptime(pkt.payload);
            return;
        }
    }
    if (heard->size() >= 1024)
        return;  // a flood of made-up instances must not grow the list without bound
    Heard h{};
    memcpy(h.instance, id, JX_INSTANCE_ID_LEN);
    h.net = pkt.net_id;
    h.addr = src;
    h.uptime = jx_beacon_uptime(pkt.payload);
    h.name = doctor_clean(pkt.username, JX_HDR_UNAME_LEN);
    heard->push_back(h);
}

}  // namespace

void doctor_listen(DoctorReport* r, int seconds)
{
    fprintf(r->out,
            "Listening %d s for Jexley beacons on 239.0.0.0-239.0.0.254 and 255.255.255.255 "
            "(nothing is sent)\n",
            seconds);
    bool raw = false;
    int err = 0;
    const int s = listen_socket(&raw, &err);
    if (s < 0) {
        doctor_finding(r, "warn", std::string("cannot listen on UDP 8855 (") + strerror(err) + ")",
                       "a Jexley holds the port; as root the doctor listens beside it");
        return;
    }
    std::vector<int> holders;
    if (const int jerr = join_groups(&holders); jerr != 0)
        doctor_finding(r, "warn", std::string("could not join every group (") + strerror(jerr) + ")",
                       "without a multicast route no group is heard; broadcast still is");
    const bool tty = isatty(fileno(r->out)) != 0;
    std::vector<Heard> heard;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    static uint8_t buf[65536];
    for (int shown = -1;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        const int secs = static_cast<int>((left.count() + 999) / 1000);
        if (tty && secs != shown) {
            fprintf(r->out, "\r  %2d s left ", secs);
            fflush(r->out);
            shown = secs;
        }
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(s, &rd);
        const long wait_ms = std::min<long>(left.count(), 250);
        timeval tv{0, static_cast<suseconds_t>(wait_ms * 1000)};
        if (select(s + 1, &rd, nullptr, nullptr, &tv) <= 0)
            continue;
        sockaddr_in from{};
        socklen_t flen = sizeof from;
        const ssize_t n = recvfrom(s, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &flen);
        if (n <= 0)
            continue;
        uint32_t src = from.sin_addr.s_addr;
        size_t len = 0;
        if (const uint8_t* d = jexley_datagram(buf, static_cast<size_t>(n), raw, &src, &len); d != nullptr)
            note_beacon(&heard, d, len, src);
    }
    if (tty)
        fprintf(r->out, "\r%14s\r", "");
    close(s);
    for (int h : holders)
        close(h);
    for (const Heard& h : heard) {
        char up[JX_ETA_SIZE];
        jx_sec_to_eta(h.uptime, up);
        const std::string net =
            h.net == htonl(INADDR_BROADCAST) ? "broadcast 255.255.255.255" : doctor_ip(h.net);
        doctor_finding(r, "ok",
                       "heard " + h.name + " at " + doctor_ip(h.addr) + " on " + net + " (online there for " +
                           up + ")",
                       "");
    }
    if (heard.empty())
        doctor_finding(
            r, "warn", "heard no Jexley",
            "the other one must be joined to a group or to 255.255.255.255, on the same LAN (groups rarely "
            "cross routers), with no firewall dropping UDP 8855");
}
