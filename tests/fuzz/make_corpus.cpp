// make_corpus: writes the seed corpus of fuzz_datagram, one valid datagram of every packet type,
// each behind the harness's control byte. Usage: fuzz_make_corpus DIR
#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_harness.hpp"
#include "protocol/protocol.hpp"

namespace {

using Bytes = std::vector<uint8_t>;

// n big-endian bytes of v.
Bytes be(uint64_t v, size_t n)
{
    Bytes b(n);
    for (size_t i = n; i-- > 0; v >>= 8)
        b[i] = static_cast<uint8_t>(v);
    return b;
}

// n bytes counting up from first (a transfer id steps by 17).
Bytes seq(size_t n, uint8_t first, uint8_t step = 1)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = static_cast<uint8_t>(first + i * step);
    return b;
}

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes text(const char* s)
{
    return Bytes(s, s + std::strlen(s));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    const char *mc = JX_FZ_MCAST, *bc = JX_FZ_BCAST, *none = "0.0.0.0";
    const uint8_t p1 = jx_fz_ctl(JX_FZ_FROM_PEER1, 0), d1 = jx_fz_ctl(JX_FZ_FROM_PEER1_DATA, 0);
    const uint8_t d1_later = jx_fz_ctl(JX_FZ_FROM_PEER1_DATA, 1);
    const Bytes offered = seq(8, 1, 17), requested = seq(8, 2, 17);
    const struct {
        const char* name;
        uint8_t ctl, type;
        const char* net;
        const char* user;
        Bytes payload;
    } seeds[] = {
        {"01_txt_group", p1, PKT_TXT_GROUP, mc, "peer1", text("hello, group")},
        {"02_txt_direct_netdm", p1, PKT_TXT_DIRECT, mc, "peer1", text("psst")},
        {"02_txt_direct_ip", jx_fz_ctl(JX_FZ_FROM_DIRECT_OUT, 1), PKT_TXT_DIRECT, none, "outhost",
         text("psst")},
        // Uptime 5 s and another host's instance id.
        {"03_beacon", jx_fz_ctl(JX_FZ_FROM_STRANGER, 6), PKT_BEACON, bc, "newcomer",
         cat({be(5, 4), text("QRSTUVWXYabcdefghijklmnopqrstuvw")})},
        {"04_leave", jx_fz_ctl(JX_FZ_FROM_PEER2, 2), PKT_LEAVE, mc, "peer2", {}},
        {"05_txt_group_ack", jx_fz_ctl(JX_FZ_FROM_PEER2, 0, true), PKT_TXT_GROUP_ACK, mc, "peer2", {}},
        {"06_txt_direct_ack",
         jx_fz_ctl(JX_FZ_FROM_DIRECT_IN, 0, true),
         PKT_TXT_DIRECT_ACK,
         none,
         "inhost",
         {}},
        {"07_query", jx_fz_ctl(JX_FZ_FROM_STRANGER, 0), PKT_QUERY, none, "asker", {}},
        // Offer of report.pdf: id, digest, size 3000, chunk size 1370, data port 8856, name.
        {"08_file_meta", p1, PKT_FILE_META, mc, "peer1",
         cat({offered, seq(32, 0xA0), be(3000, 8), be(1370, 2), be(8856, 2), be(10, 2), text("report.pdf")})},
        // Segment 1: chunk size 1370, 3 chunks; of which 0 and 2 arrived.
        {"09_get_segment", d1_later, PKT_GET_SEGMENT, mc, "peer1",
         cat({requested, be(1, 8), be(1370, 2), be(3, 4)})},
        {"10_get_skipped", d1_later, PKT_GET_SKIPPED, mc, "peer1",
         cat({requested, be(1, 8), be(5, 1), Bytes(63)})},
        // Chunk 2 of segment 1, 260 bytes; then that segment's batch is done.
        {"11_chunk", d1, PKT_CHUNK, mc, "peer1", cat({offered, be(1, 8), be(2, 8), seq(260, 0)})},
        {"12_batch_done", jx_fz_ctl(JX_FZ_FROM_PEER1_DATA, 2), PKT_BATCH_DONE, mc, "peer1",
         cat({offered, be(1, 8)})},
        {"13_meta_ack", p1, PKT_META_ACK, mc, "peer1", cat({requested, be(8856, 2)})},
        {"14_file_fin_ok", d1, PKT_FILE_FIN_OK, mc, "peer1", requested},
        {"15_file_fin_failed", d1, PKT_FILE_FIN_FAILED, mc, "peer1", requested},
        {"16_file_fin_other", d1, PKT_FILE_FIN_OTHER, mc, "peer1", requested},
        {"18_punch", jx_fz_ctl(JX_FZ_FROM_PEER3_DATA, 0), PKT_PUNCH, mc, "peer3", {}},
    };
    int failed = 0;
    uint32_t msg_id = 1000;
    for (const auto& s : seeds) {
        uint8_t buf[1 + JX_DATAGRAM_MAX] = {s.ctl};
        const uint32_t n = jx_serialize(buf + 1, JX_DATAGRAM_MAX, s.type, inet_addr(s.net), ++msg_id, s.user,
                                        s.payload.data(), static_cast<uint16_t>(s.payload.size()));
        const std::string path = std::string(argv[1]) + "/" + s.name;
        if (!std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(buf), 1 + n)) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            failed = 1;
        }
    }
    return failed;
}
