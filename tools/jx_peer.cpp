// jx_peer: scripted peers for the fault tests and benchmarks, speaking the wire protocol from
// addresses of the host it runs on.
//
//   jx_peer crowd NET FIRST COUNT RATE SECONDS
//       COUNT peers on the addresses FIRST, FIRST+1, ... (added to this host beforehand) beacon on
//       the group NET every 11 s, and together send RATE group texts a second, round robin, for
//       SECONDS; once every text is acknowledged (or 10 s later) it prints
//       "texts=<n> acked=<n> ack_ms_max=<ms> ack_ms_mean=<ms> beacons=<n> beacon_gap_max_s=<s>",
//       the last two about the beacons heard from other hosts on NET (the longest gap between
//       two beacons of one host).
//   jx_peer hostile NET SELF TARGET SECONDS [FILE]
//       one peer "mallory" on SELF, beaconing on NET, that first sends TARGET 260 offers with new
//       ids and, among the last of them, offers with hostile names (escape sequences, CR LF, a
//       1023-byte name, each forbidden character, a name length past the payload or of 1024, a
//       NUL inside, chunk size 0), then chunks, batch-dones, answers, requests and fins for
//       transfers that do not exist.
//       For SECONDS it then answers each offer TARGET makes it: an answer, segment requests for
//       absurd sizes, counts and segment numbers, a skipped-chunk request out of turn, then
//       segment 1, segment 2 and a stale copy of the request for segment 1; the chunks that come
//       are compared with FILE (the file offered). Once that is done (or SECONDS have passed) it
//       prints "offers_answered=<n> chunks_ok=<n> chunks_bad=<n>" and ends.
//   jx_peer forge NET TARGET ID
//       sends TARGET what only the peer of transfer ID (16 hex digits) may send: a chunk, a
//       batch-done, a segment request, a skipped request and the three fins, from this host.
//   jx_peer forged ACTION NET FIRST COUNT [TARGET]
//       from COUNT forged source addresses FIRST, FIRST+1, ... (a raw socket; they need not be
//       this host's), each in turn:
//         beacon  a beacon on the group NET;              leave  a leave on NET;
//         cycle   a beacon on NET, a query and a direct text to TARGET, a leave on NET and one
//                 to TARGET: a new peer, channel and private network each time;
//         replay  (FIRST only) a beacon on NET carrying TARGET's instance id, read from one of
//                 TARGET's beacons, from FIRST as if FIRST were TARGET; prints "replayed=1";
//         guard   (FIRST only) a group text and a beacon naming the private network NET in their
//                 header, to TARGET.
//   jx_peer private SELF TARGET
//       asks TARGET from SELF for a private network and, once answered, sends it the direct text
//       "hello from a private peer"; prints "private_acked=<0|1>".
//   jx_peer offerleave NET SELF TARGET NAME
//       peer "leaver" on SELF beacons on NET, offers TARGET the file NAME and, once the offer is
//       answered, leaves NET; prints "offer_answered=<0|1>".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "foundation/random.hpp"
#include "foundation/utility.hpp"
#include "protocol/data_protocol.hpp"
#include "protocol/protocol.hpp"

namespace {

constexpr uint16_t PORT = 8855;
constexpr uint16_t DATA_PORT = 8856;
constexpr int BEACON_S = 11;

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
int bound(uint32_t addr, uint16_t port, uint32_t group = 0)
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

uint32_t g_next_id = 0;

// One packet into dgram (1470 bytes) with the next message id; its length.
size_t make_pkt(uint8_t* dgram, uint8_t type, uint32_t net, const char* name, const void* payload, size_t len,
                uint32_t* id_out = nullptr)
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
              const void* payload = nullptr, size_t len = 0)
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
    jx_put_be16(pkt + 20, PORT);
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
    (void)send_pkt(s, net, PORT, PKT_BEACON, net, name, p, sizeof p);
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

int crowd(uint32_t net, uint32_t first, int count, double rate, double seconds)
{
    std::vector<pollfd> fds;
    for (int i = 0; i < count; i++)
        fds.push_back({bound(htonl(ntohl(first) + static_cast<uint32_t>(i)), PORT), POLLIN, 0});
    fds.push_back({bound(0, PORT, net), POLLIN, 0});  // the group: beacons of the other hosts
    std::map<uint32_t, double> pending;               // text id -> sent at
    std::map<uint32_t, double> last_beacon;           // host -> heard at
    const double start = now_s();
    double next_text = start;
    long texts = 0, acked = 0, beacons = 0;
    double ack_max = 0, ack_sum = 0, gap_max = 0;
    std::vector<double> next_beacon(static_cast<size_t>(count));
    for (int i = 0; i < count; i++)
        next_beacon[static_cast<size_t>(i)] = start + 0.005 * i;  // the crowd arrives within a second or so
    // After the last text, up to 10 s more for the last acknowledgements.
    while (now_s() < start + seconds || (now_s() < start + seconds + 10 && !pending.empty())) {
        const double now = now_s();
        for (int i = 0; i < count && now < start + seconds; i++) {
            if (now < next_beacon[static_cast<size_t>(i)])
                continue;
            char name[16], instance[JX_INSTANCE_ID_LEN + 1];
            std::snprintf(name, sizeof name, "p%d", i);
            std::snprintf(instance, sizeof instance, "crowd%027d", i);
            beacon(fds[static_cast<size_t>(i)].fd, net, name, static_cast<uint32_t>(now - start), instance);
            next_beacon[static_cast<size_t>(i)] += BEACON_S;
        }
        for (; now < start + seconds && next_text <= now; next_text += 1 / rate, texts++) {
            const int i = static_cast<int>(texts % count);
            char name[16], text[64];
            std::snprintf(name, sizeof name, "p%d", i);
            const int len = std::snprintf(text, sizeof text, "load %ld from %s", texts, name);
            pending[send_pkt(fds[static_cast<size_t>(i)].fd, net, PORT, PKT_TXT_GROUP, net, name, text,
                             static_cast<size_t>(len))] = now;
        }
        if (poll(fds.data(), fds.size(), 2) <= 0)
            continue;
        for (size_t i = 0; i < fds.size(); i++) {
            JXPacket pkt{};
            while ((fds[i].revents & POLLIN) != 0 && receive(fds[i].fd, &pkt)) {
                const uint32_t host = ntohl(pkt.src_addr) - ntohl(first);
                if (pkt.type == PKT_TXT_GROUP_ACK && pending.count(static_cast<uint32_t>(pkt.msg_id)) != 0) {
                    const double ms = (now_s() - pending[static_cast<uint32_t>(pkt.msg_id)]) * 1000;
                    pending.erase(static_cast<uint32_t>(pkt.msg_id));
                    acked++, ack_sum += ms, ack_max = ms > ack_max ? ms : ack_max;
                } else if (pkt.type == PKT_BEACON && host >= static_cast<uint32_t>(count)) {
                    if (last_beacon.count(pkt.src_addr) != 0 && now_s() - last_beacon[pkt.src_addr] > gap_max)
                        gap_max = now_s() - last_beacon[pkt.src_addr];
                    last_beacon[pkt.src_addr] = now_s();
                    beacons++;
                }
            }
        }
    }
    std::printf("texts=%ld acked=%ld ack_ms_max=%.1f ack_ms_mean=%.1f beacons=%ld beacon_gap_max_s=%.1f\n",
                texts, acked, ack_max, acked > 0 ? ack_sum / static_cast<double>(acked) : 0.0, beacons,
                gap_max);
    return 0;
}

std::vector<uint8_t> payload_of(const std::string& s)
{
    return {s.begin(), s.end()};
}

// An offer payload as a hostile peer may write it: any name bytes, any claimed name length.
std::vector<uint8_t> offer(const std::string& name, size_t claimed = 0, uint16_t chunk = 1370)
{
    claimed = claimed != 0 ? claimed : name.size();
    std::vector<uint8_t> p(JX_META_FIXED_LEN + name.size());
    jx_random_bytes(p.data(), JX_TRANSFER_ID_LEN);
    jx_put_be64(p.data() + 40, 1000);
    jx_put_be16(p.data() + 48, chunk);
    jx_put_be16(p.data() + 50, DATA_PORT);
    jx_put_be16(p.data() + 52, static_cast<uint16_t>(claimed));
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

// What only the peer of a transfer may send, under its id: none of it may steer the transfer.
void forge(int s, uint32_t net, uint32_t target, const uint8_t* id, const char* name)
{
    std::vector<uint8_t> p(JX_PAYLOAD_MAX);
    const auto to = [&](uint8_t type, size_t len) {
        (void)send_pkt(s, target, DATA_PORT, type, net, name, p.data(), len);
    };
    (void)jx_data_serialize_chunk_hdr(p.data(), p.size(), id, 1, 0);
    std::memset(p.data() + JX_CHUNK_HDR_LEN, 'X', JX_CHUNK_SIZE_MAX);
    to(PKT_CHUNK, JX_CHUNK_HDR_LEN + JX_CHUNK_SIZE_MAX);
    to(PKT_BATCH_DONE, jx_data_serialize_batch_done(p.data(), p.size(), id, 1));
    const std::vector<uint8_t> r = seg_req(id, 1, 1370, 512);
    (void)send_pkt(s, target, DATA_PORT, PKT_GET_SEGMENT, net, name, r.data(), r.size());
    uint8_t bitmap[JX_BITMAP_LEN] = {};
    to(PKT_GET_SKIPPED, jx_data_serialize_skipped(p.data(), p.size(), id, 1, bitmap));
    for (uint8_t type : {PKT_FILE_FIN_OTHER, PKT_FILE_FIN_FAILED, PKT_FILE_FIN_OK})
        to(type, jx_data_serialize_fin(p.data(), p.size(), id));
}

// The transfer TARGET offers us, fetched as a careless or hostile downloader would.
struct Fetch {
    uint8_t id[JX_TRANSFER_ID_LEN];
    uint64_t size;
    uint16_t chunk;
    int phase;  // 1: segment 1 asked for, 2: segment 2 (and the stale 1), 3: silent
};

// Bytes of segments before segment `seg` (1 or 2) and the chunk counts, as a downloader plans them.
uint64_t seg_start(const Fetch& f, uint64_t seg)
{
    const uint64_t first = std::min<uint64_t>(f.size / f.chunk, JX_MAX_CHUNKS) * f.chunk;
    return seg == 1 ? 0 : first;
}

uint32_t seg_chunks(const Fetch& f, uint64_t seg)
{
    const uint64_t left = f.size - seg_start(f, seg);
    return static_cast<uint32_t>(std::min<uint64_t>(left / f.chunk, JX_MAX_CHUNKS));
}

int hostile(uint32_t net, uint32_t self, uint32_t target, double seconds, const char* file)
{
    const char* me = "mallory";
    const int s55 = bound(self, PORT);
    const int s56 = bound(self, DATA_PORT);
    char instance[JX_INSTANCE_ID_LEN + 1];
    std::snprintf(instance, sizeof instance, "%s", "mallory-mallory-mallory-mallory!");
    beacon(s55, net, me, 0, instance);
    usleep(500000);  // heard, and answered with a beacon, before the offers come

    // 16 offers of one peer may wait: a few of the flood come first, then the hostile names, so that
    // they are in the list and near its top; the rest of the flood fills it up and is refused.
    std::vector<std::vector<uint8_t>> offers;
    for (int i = 0; i < 10; i++)
        offers.push_back(offer("flood-" + std::to_string(i) + ".bin"));
    const std::string esc = "\x1b[2J\x1b]0;pwned\x07\x1b[5mblink\x1b[31mred.txt";
    for (const auto& o :
         {offer(esc), offer("line\r\nforged log line.txt"), offer(std::string(1019, 'A') + ".bin"),
          offer(std::string(1020, 'B') + ".bin", 1024), offer("short.txt", 500),
          offer(std::string("nul\0inside.txt", 14)), offer("zero-chunk.txt", 0, 0)})
        offers.push_back(o);
    for (char c : std::string("<>:\"/\\|?*"))
        offers.push_back(offer(std::string("bad") + c + "name.txt"));
    for (int i = 250; i < 300; i++)
        offers.push_back(offer("flood-" + std::to_string(i) + ".bin"));
    for (const auto& o : offers) {
        (void)send_pkt(s55, target, PORT, PKT_FILE_META, net, me, o.data(), o.size());
        usleep(500);  // a flood, but not one that only tests the size of a receive buffer
    }
    uint8_t unknown[JX_TRANSFER_ID_LEN];
    jx_random_bytes(unknown, sizeof unknown);
    forge(s56, net, target, unknown, me);
    const std::vector<uint8_t> ack =
        payload_of(std::string(reinterpret_cast<char*>(unknown), 8) + "\x22\x98");
    (void)send_pkt(s55, target, PORT, PKT_META_ACK, net, me, ack.data(), ack.size());

    std::string content;
    if (file != nullptr) {
        std::ifstream in(file, std::ios::binary);
        content.assign(std::istreambuf_iterator<char>(in), {});
    }
    std::vector<Fetch> fetches;
    long answered = 0, ok = 0, bad = 0;
    const double start = now_s();
    double next_beacon = start + BEACON_S;
    // Done early once every transfer offered has been fetched as far as it will be.
    const auto done = [&] {
        return !fetches.empty() &&
               std::all_of(fetches.begin(), fetches.end(), [](const Fetch& f) { return f.phase == 3; });
    };
    while (now_s() < start + seconds && !done()) {
        if (now_s() >= next_beacon) {
            beacon(s55, net, me, static_cast<uint32_t>(now_s() - start), instance);
            next_beacon += BEACON_S;
        }
        pollfd p[2] = {{s55, POLLIN, 0}, {s56, POLLIN, 0}};
        if (poll(p, 2, 50) <= 0)
            continue;
        JXPacket pkt{};
        for (const pollfd& fd : p) {
            while ((fd.revents & POLLIN) != 0 && receive(fd.fd, &pkt)) {
                if (pkt.src_addr != target)
                    continue;
                Fetch* f = nullptr;
                for (Fetch& k : fetches)
                    f = std::memcmp(k.id, pkt.payload, JX_TRANSFER_ID_LEN) == 0 ? &k : f;
                JXOffer o{};
                if (pkt.type == PKT_FILE_META && f == nullptr &&
                    jx_data_unserialize_meta(pkt.payload, pkt.payload_len, &o) == 0) {
                    fetches.push_back({{}, o.size, std::min<uint16_t>(o.chunk_size, JX_CHUNK_SIZE_MAX), 1});
                    f = &fetches.back();
                    std::memcpy(f->id, o.id, sizeof f->id);
                    answered++;
                    std::vector<uint8_t> a(JX_META_ACK_LEN);
                    (void)jx_data_serialize_meta_ack(a.data(), a.size(), o.id, DATA_PORT);
                    (void)send_pkt(s55, target, PORT, PKT_META_ACK, net, me, a.data(), a.size());
                    const JXSegmentReq absurd[] = {
                        {{}, 1, 0, 1},    {{}, 1, 65535, 1},      {{}, 1, 1371, 1},
                        {{}, 1, 1370, 0}, {{}, 1, 1370, 513},     {{}, 1, 1370, 0xFFFFFFFF},
                        {{}, 0, 1370, 1}, {{}, ~0ULL, 1370, 512}, {{}, 3, 1370, 512}};
                    for (const JXSegmentReq& r : absurd) {
                        const auto b = seg_req(o.id, r.segment, r.chunk_size, r.chunk_count);
                        (void)send_pkt(s56, target, DATA_PORT, PKT_GET_SEGMENT, net, me, b.data(), b.size());
                    }
                    uint8_t all[JX_BITMAP_LEN];
                    std::memset(all, 0xFF, sizeof all);
                    std::vector<uint8_t> sk(JX_SKIPPED_LEN);
                    (void)jx_data_serialize_skipped(sk.data(), sk.size(), o.id, 1, all);
                    (void)send_pkt(s56, target, DATA_PORT, PKT_GET_SKIPPED, net, me, sk.data(), sk.size());
                    const auto r1 = seg_req(o.id, 1, f->chunk, seg_chunks(*f, 1));
                    (void)send_pkt(s56, target, DATA_PORT, PKT_GET_SEGMENT, net, me, r1.data(), r1.size());
                } else if (pkt.type == PKT_CHUNK && f != nullptr) {
                    JXChunk c{};
                    if (jx_data_unserialize_chunk(pkt.payload, pkt.payload_len, &c) != 0 || c.segment < 1 ||
                        c.segment > 2)
                        continue;
                    const uint64_t at = seg_start(*f, c.segment) + c.index * f->chunk;
                    const bool same = at + c.data_len <= content.size() &&
                                      std::memcmp(content.data() + at, c.data, c.data_len) == 0;
                    (same ? ok : bad)++;
                } else if (pkt.type == PKT_BATCH_DONE && f != nullptr && f->phase == 1 &&
                           jx_get_be64(pkt.payload + 8) == 1) {
                    f->phase = 2;
                    const auto r2 = seg_req(f->id, 2, f->chunk, seg_chunks(*f, 2));
                    const auto r1 = seg_req(f->id, 1, f->chunk, seg_chunks(*f, 1));
                    for (const auto* r : {&r2, &r1, &r1})
                        (void)send_pkt(s56, target, DATA_PORT, PKT_GET_SEGMENT, net, me, r->data(),
                                       r->size());
                } else if (pkt.type == PKT_BATCH_DONE && f != nullptr && f->phase == 2 &&
                           jx_get_be64(pkt.payload + 8) == 2) {
                    f->phase = 3;  // silent from here: the upload has to time out
                }
            }
        }
    }
    std::printf("offers_answered=%ld chunks_ok=%ld chunks_bad=%ld\n", answered, ok, bad);
    return 0;
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

int forged(const std::string& action, uint32_t net, uint32_t first, int count, uint32_t target)
{
    uint8_t beacon_pl[JX_BEACON_LEN];
    jx_beacon_put(beacon_pl, 100000, "forged-forged-forged-forged-for!");
    if (action == "replay") {
        JXPacket pkt{};
        if (!await(bound(0, PORT, net), target, PKT_BEACON, 15, &pkt)) {
            std::printf("replayed=0\n");
            return 1;
        }
        send_raw(first, net, PORT, PKT_BEACON, net, "replay", pkt.payload, JX_BEACON_LEN);
        std::printf("replayed=1\n");
        return 0;
    }
    if (action == "guard") {
        const std::string text = "forged into a private network";
        send_raw(first, target, PORT, PKT_TXT_GROUP, net, "guard", text.data(), text.size());
        send_raw(first, target, PORT, PKT_BEACON, net, "guard", beacon_pl, sizeof beacon_pl);
        return 0;
    }
    for (int i = 0; i < count; i++) {
        const uint32_t src = htonl(ntohl(first) + static_cast<uint32_t>(i));
        if (action == "beacon" || action == "cycle")
            send_raw(src, net, PORT, PKT_BEACON, net, "forged", beacon_pl, sizeof beacon_pl);
        if (action == "cycle") {
            const std::string text = "flood " + std::to_string(i);
            send_raw(src, target, PORT, PKT_QUERY, target, "forged");
            send_raw(src, target, PORT, PKT_TXT_DIRECT, net, "forged", text.data(), text.size());
            send_raw(src, target, PORT, PKT_LEAVE, 0, "forged");
        }
        if (action == "leave" || action == "cycle")
            send_raw(src, net, PORT, PKT_LEAVE, net, "forged");
        usleep(300);  // a flood, but not one that only tests the size of a receive buffer
    }
    return 0;
}

int private_chat(uint32_t self, uint32_t target)
{
    const int s = bound(self, 0);
    JXPacket pkt{};
    bool acked = false;
    for (int tries = 0; tries < 10 && !acked; tries++) {
        (void)send_pkt(s, target, PORT, PKT_QUERY, target, "private", nullptr, 0);
        if (!await(s, target, PKT_BEACON, 2, &pkt))
            continue;
        const std::string text = "hello from a private peer";
        (void)send_pkt(s, target, PORT, PKT_TXT_DIRECT, 0, "private", text.data(), text.size());
        acked = await(s, target, PKT_TXT_DIRECT_ACK, 3, &pkt);
    }
    std::printf("private_acked=%d\n", acked ? 1 : 0);
    return acked ? 0 : 1;
}

int offer_and_leave(uint32_t net, uint32_t self, uint32_t target, const char* name)
{
    const int s = bound(self, PORT);
    beacon(s, net, "leaver", 0, "leaver-leaver-leaver-leaver-leav");
    usleep(500000);
    const std::vector<uint8_t> o = offer(name);
    JXPacket pkt{};
    bool answered = false;
    for (int tries = 0; tries < 10 && !answered; tries++) {
        (void)send_pkt(s, target, PORT, PKT_FILE_META, net, "leaver", o.data(), o.size());
        answered = await(s, target, PKT_META_ACK, 1, &pkt);
    }
    (void)send_pkt(s, net, PORT, PKT_LEAVE, net, "leaver", nullptr, 0);
    std::printf("offer_answered=%d\n", answered ? 1 : 0);
    return answered ? 0 : 1;
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

}  // namespace

int main(int argc, char** argv)
{
    g_next_id = jx_random_below(UINT32_MAX);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string mode = argc > 1 ? argv[1] : "";
    uint8_t id[JX_TRANSFER_ID_LEN];
    if (mode == "crowd" && argc == 7)
        return crowd(addr_of(argv[2]), addr_of(argv[3]), std::atoi(argv[4]), std::atof(argv[5]),
                     std::atof(argv[6]));
    if (mode == "hostile" && (argc == 6 || argc == 7))
        return hostile(addr_of(argv[2]), addr_of(argv[3]), addr_of(argv[4]), std::atof(argv[5]),
                       argc == 7 ? argv[6] : nullptr);
    if (mode == "forge" && argc == 5 && parse_id(argv[4], id)) {
        forge(bound(0, 0), addr_of(argv[2]), addr_of(argv[3]), id, "mallory");
        return 0;
    }
    if (mode == "forged" && (argc == 6 || argc == 7))
        return forged(argv[2], addr_of(argv[3]), addr_of(argv[4]), std::atoi(argv[5]),
                      argc == 7 ? addr_of(argv[6]) : 0);
    if (mode == "private" && argc == 4)
        return private_chat(addr_of(argv[2]), addr_of(argv[3]));
    if (mode == "offerleave" && argc == 6)
        return offer_and_leave(addr_of(argv[2]), addr_of(argv[3]), addr_of(argv[4]), argv[5]);
    std::fprintf(stderr,
                 "usage: %s crowd NET FIRST COUNT RATE SECONDS | hostile NET SELF TARGET SECONDS [FILE] | "
                 "forge NET TARGET ID | forged ACTION NET FIRST COUNT [TARGET] | private SELF TARGET | "
                 "offerleave NET SELF TARGET NAME\n",
                 argv[0]);
    return 2;
}
