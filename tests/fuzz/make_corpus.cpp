// make_corpus: writes the seed corpus of fuzz_datagram, one valid datagram of every packet type,
// each behind the harness's control byte, and that of fuzz_msgfile: a small ring of 2 slots with
// one message, and a file cut inside its first slot. Usage: fuzz_make_corpus tests/fuzz/corpus/datagram tests/fuzz/corpus/msgfile
#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>

#include "fuzz/fuzz_harness.hpp"
#include "protocol/protocol.hpp"

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s DIR MSGFILE_DIR\n", argv[0]);
        return 2;
    }
    const char *mc = JX_FZ_MCAST, *bc = JX_FZ_BCAST, *none = "0.0.0.0";
    const uint8_t p1 = jx_fz_ctl(JX_FZ_FROM_PEER1, 0), d1 = jx_fz_ctl(JX_FZ_FROM_PEER1_DATA, 0);
    // Payload fields in hex, big-endian, then text, then zeros up to `len`. Transfer 0112233445566778
    // is a new offer to us, 0112233445566779 a download of ours under way (its segment 1 is two
    // chunks of 1370), 0213243546576879 an upload of ours just offered, ...7c one re-sending.
    const struct {
        const char* name;
        uint8_t ctl, type;
        const char* net;
        const char* user;
        const char* hex;
        const char* text;
        size_t len;
    } seeds[] = {
        {"01_txt_group", p1, PKT_TXT_GROUP, mc, "peer1", "", "hello, group", 0},
        {"02_txt_direct_netdm", p1, PKT_TXT_DIRECT, mc, "peer1", "", "psst", 0},
        {"02_txt_direct_ip", jx_fz_ctl(JX_FZ_FROM_DIRECT_OUT, 1), PKT_TXT_DIRECT, none, "outhost", "", "psst",
         0},
        // Uptime 5 s and another host's instance id.
        {"03_beacon", jx_fz_ctl(JX_FZ_FROM_STRANGER, 6), PKT_BEACON, bc, "newcomer", "00000005",
         "QRSTUVWXYabcdefghijklmnopqrstuvw", 0},
        {"04_leave", jx_fz_ctl(JX_FZ_FROM_PEER2, 2), PKT_LEAVE, mc, "peer2", "", "", 0},
        {"05_txt_group_ack", jx_fz_ctl(JX_FZ_FROM_PEER2, 0, true), PKT_TXT_GROUP_ACK, mc, "peer2", "", "", 0},
        {"06_txt_direct_ack", jx_fz_ctl(JX_FZ_FROM_DIRECT_IN, 0, true), PKT_TXT_DIRECT_ACK, none, "inhost",
         "", "", 0},
        {"07_query", jx_fz_ctl(JX_FZ_FROM_STRANGER, 0), PKT_QUERY, none, "asker", "", "", 0},
        // Offer of report.pdf: id, digest, size 3000, chunk size 1370, data port 8856, name length.
        {"08_file_meta", p1, PKT_FILE_META, mc, "peer1",
         "0112233445566778 a0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4b5b6b7b8b9babbbcbdbebf 0000000000000bb8 "
         "055a 2298 000a",
         "report.pdf", 0},
        // Requests for segment 1 (chunk size 1370, 3 chunks), then for what it lacks (0 and 2 arrived).
        {"09_get_segment", jx_fz_ctl(JX_FZ_FROM_PEER1_DATA, 1), PKT_GET_SEGMENT, mc, "peer1",
         "0213243546576879 0000000000000001 055a 00000003", "", 0},
        {"10_get_skipped", jx_fz_ctl(JX_FZ_FROM_PEER1_DATA, 1), PKT_GET_SKIPPED, mc, "peer1",
         "021324354657687c 0000000000000001 05", "", 80},
        // Chunk 1 of segment 1 with 1370 bytes of data; then that segment's batch is done.
        {"11_chunk", d1, PKT_CHUNK, mc, "peer1", "0112233445566779 0000000000000001 0000000000000001", "",
         1394},
        {"12_batch_done", jx_fz_ctl(JX_FZ_FROM_PEER1_DATA, 2), PKT_BATCH_DONE, mc, "peer1",
         "0112233445566779 0000000000000001", "", 0},
        {"13_meta_ack", p1, PKT_META_ACK, mc, "peer1", "0213243546576879 2298", "", 0},
        {"14_file_fin_ok", d1, PKT_FILE_FIN_OK, mc, "peer1", "0213243546576879", "", 0},
        {"15_file_fin_failed", d1, PKT_FILE_FIN_FAILED, mc, "peer1", "0213243546576879", "", 0},
        {"16_file_fin_other", d1, PKT_FILE_FIN_OTHER, mc, "peer1", "0213243546576879", "", 0},
        {"18_punch", jx_fz_ctl(JX_FZ_FROM_PEER3_DATA, 0), PKT_PUNCH, mc, "peer3", "", "", 0},
    };
    int failed = 0;
    uint32_t msg_id = 1000;
    for (const auto& s : seeds) {
        std::string pl;
        for (const char* h = s.hex; *h != '\0'; h += *h == ' ' ? 1 : 2)
            if (*h != ' ')
                pl += static_cast<char>(std::stoi(std::string(h, 2), nullptr, 16));
        pl += s.text;
        pl.resize(std::max(pl.size(), s.len), '\0');
        uint8_t buf[1 + JX_DATAGRAM_MAX] = {s.ctl};
        const uint32_t n =
            jx_serialize(buf + 1, JX_DATAGRAM_MAX, s.type, inet_addr(s.net), ++msg_id, s.user,
                         reinterpret_cast<const uint8_t*>(pl.data()), static_cast<uint16_t>(pl.size()));
        const std::string path = std::string(argv[1]) + "/" + s.name;
        if (!std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(buf), 1 + n)) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            failed = 1;
        }
    }
    // Header (last 1, count 1, capacity 2, little-endian), then slot 1: time 1, id 258, type 1,
    // user "bob", text "hi"; slot 2 empty.
    std::string ring(3 * 1600, '\0');
    ring[0] = 1, ring[4] = 1, ring[8] = 2;
    ring[1600] = 1, ring[1608] = 2, ring[1609] = 1, ring[1617] = 1;
    ring.replace(1618, 3, "bob");
    ring.replace(1700, 2, "hi");
    for (const auto& [name, bytes] :
         {std::pair<const char*, std::string>{"ring2", ring}, {"cut", ring.substr(0, 2000)}})
        if (!std::ofstream(std::string(argv[2]) + "/" + name, std::ios::binary)
                 .write(bytes.data(), static_cast<long>(bytes.size())))
            failed = 1;
    return failed;
}
