// jx_peer's hostile peers: a flood of offers with hostile names and forged transfer packets, a
// downloader that asks for absurd segments, and packets from forged source addresses.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "foundation/random.hpp"
#include "foundation/utility.hpp"
#include "jx_peer.hpp"
#include "protocol/data_protocol.hpp"

// What only the peer of a transfer may send, under its id: none of it may steer the transfer.
void forge(int s, uint32_t net, uint32_t target, const uint8_t* id, const char* name)
{
    std::vector<uint8_t> p(JX_PAYLOAD_MAX);
    const auto to = [&](uint8_t type, size_t len) {
        (void)send_pkt(s, target, JX_DATA_PORT, type, net, name, p.data(), len);
    };
    (void)jx_data_serialize_chunk_hdr(p.data(), p.size(), id, 1, 0);
    std::memset(p.data() + JX_CHUNK_HDR_LEN, 'X', JX_CHUNK_SIZE_MAX);
    to(PKT_CHUNK, JX_CHUNK_HDR_LEN + JX_CHUNK_SIZE_MAX);
    to(PKT_BATCH_DONE, jx_data_serialize_batch_done(p.data(), p.size(), id, 1));
    const std::vector<uint8_t> r = seg_req(id, 1, 1370, 512);
    (void)send_pkt(s, target, JX_DATA_PORT, PKT_GET_SEGMENT, net, name, r.data(), r.size());
    uint8_t bitmap[JX_BITMAP_LEN] = {};
    to(PKT_GET_SKIPPED, jx_data_serialize_skipped(p.data(), p.size(), id, 1, bitmap));
    for (uint8_t type : {PKT_FILE_FIN_OTHER, PKT_FILE_FIN_FAILED, PKT_FILE_FIN_OK})
        to(type, jx_data_serialize_fin(p.data(), p.size(), id));
}

namespace {

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

}  // namespace

int hostile(uint32_t net, uint32_t self, uint32_t target, double seconds, const char* file)
{
    const char* me = "mallory";
    const int s55 = bound(self, JX_PORT);
    const int s56 = bound(self, JX_DATA_PORT);
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
        (void)send_pkt(s55, target, JX_PORT, PKT_FILE_META, net, me, o.data(), o.size());
        usleep(500);  // a flood, but not one that only tests the size of a receive buffer
    }
    uint8_t unknown[JX_TRANSFER_ID_LEN];
    jx_random_bytes(unknown, sizeof unknown);
    forge(s56, net, target, unknown, me);
    const std::vector<uint8_t> ack =
        payload_of(std::string(reinterpret_cast<char*>(unknown), 8) + "\x22\x98");
    (void)send_pkt(s55, target, JX_PORT, PKT_META_ACK, net, me, ack.data(), ack.size());

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
                    (void)jx_data_serialize_meta_ack(a.data(), a.size(), o.id, JX_DATA_PORT);
                    (void)send_pkt(s55, target, JX_PORT, PKT_META_ACK, net, me, a.data(), a.size());
                    const JXSegmentReq absurd[] = {
                        {{}, 1, 0, 1},    {{}, 1, 65535, 1},      {{}, 1, 1371, 1},
                        {{}, 1, 1370, 0}, {{}, 1, 1370, 513},     {{}, 1, 1370, 0xFFFFFFFF},
                        {{}, 0, 1370, 1}, {{}, ~0ULL, 1370, 512}, {{}, 3, 1370, 512}};
                    for (const JXSegmentReq& r : absurd) {
                        const auto b = seg_req(o.id, r.segment, r.chunk_size, r.chunk_count);
                        (void)send_pkt(s56, target, JX_DATA_PORT, PKT_GET_SEGMENT, net, me, b.data(),
                                       b.size());
                    }
                    uint8_t all[JX_BITMAP_LEN];
                    std::memset(all, 0xFF, sizeof all);
                    std::vector<uint8_t> sk(JX_SKIPPED_LEN);
                    (void)jx_data_serialize_skipped(sk.data(), sk.size(), o.id, 1, all);
                    (void)send_pkt(s56, target, JX_DATA_PORT, PKT_GET_SKIPPED, net, me, sk.data(), sk.size());
                    const auto r1 = seg_req(o.id, 1, f->chunk, seg_chunks(*f, 1));
                    (void)send_pkt(s56, target, JX_DATA_PORT, PKT_GET_SEGMENT, net, me, r1.data(), r1.size());
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
                           jx_get_be64(pkt.payload + JX_DATA_OFF_SEGMENT) == 1) {
                    f->phase = 2;
                    const auto r2 = seg_req(f->id, 2, f->chunk, seg_chunks(*f, 2));
                    const auto r1 = seg_req(f->id, 1, f->chunk, seg_chunks(*f, 1));
                    for (const auto* r : {&r2, &r1, &r1})
                        (void)send_pkt(s56, target, JX_DATA_PORT, PKT_GET_SEGMENT, net, me, r->data(),
                                       r->size());
                } else if (pkt.type == PKT_BATCH_DONE && f != nullptr && f->phase == 2 &&
                           jx_get_be64(pkt.payload + JX_DATA_OFF_SEGMENT) == 2) {
                    f->phase = 3;  // silent from here: the upload has to time out
                }
            }
        }
    }
    std::printf("offers_answered=%ld chunks_ok=%ld chunks_bad=%ld\n", answered, ok, bad);
    return 0;
}

int forged(const std::string& action, uint32_t net, uint32_t first, int count, uint32_t target)
{
    uint8_t beacon_pl[JX_BEACON_LEN];
    jx_beacon_put(beacon_pl, 100000, "forged-forged-forged-forged-for!");
    if (action == "replay") {
        JXPacket pkt{};
        if (!await(bound(0, JX_PORT, net), target, PKT_BEACON, 15, &pkt)) {
            std::printf("replayed=0\n");
            return 1;
        }
        send_raw(first, net, JX_PORT, PKT_BEACON, net, "replay", pkt.payload, JX_BEACON_LEN);
        std::printf("replayed=1\n");
        return 0;
    }
    if (action == "guard") {
        const std::string text = "forged into a private network";
        send_raw(first, target, JX_PORT, PKT_TXT_GROUP, net, "guard", text.data(), text.size());
        send_raw(first, target, JX_PORT, PKT_BEACON, net, "guard", beacon_pl, sizeof beacon_pl);
        return 0;
    }
    for (int i = 0; i < count; i++) {
        const uint32_t src = htonl(ntohl(first) + static_cast<uint32_t>(i));
        if (action == "beacon" || action == "cycle")
            send_raw(src, net, JX_PORT, PKT_BEACON, net, "forged", beacon_pl, sizeof beacon_pl);
        if (action == "cycle") {
            const std::string text = "flood " + std::to_string(i);
            send_raw(src, target, JX_PORT, PKT_QUERY, target, "forged");
            send_raw(src, target, JX_PORT, PKT_TXT_DIRECT, net, "forged", text.data(), text.size());
            send_raw(src, target, JX_PORT, PKT_LEAVE, 0, "forged");
        }
        if (action == "leave" || action == "cycle")
            send_raw(src, net, JX_PORT, PKT_LEAVE, net, "forged");
        usleep(300);  // a flood, but not one that only tests the size of a receive buffer
    }
    return 0;
}
