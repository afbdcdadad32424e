// make_corpus: writes the seed corpus of fuzz_datagram, one valid datagram of every packet type,
// each behind the harness's control byte, and that of fuzz_msgfile: a small ring of 2 slots with
// one message, and a file cut inside its first slot. Usage: fuzz_make_corpus tests/fuzz/corpus/datagram tests/fuzz/corpus/msgfile
#include <arpa/inet.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "fuzz/fuzz_harness.hpp"
#include "protocol/protocol.hpp"

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s DIR MSGFILE_DIR\n", argv[0]);
        return 2;
    }
    const uint8_t p1 = jx_fz_ctl(JX_FZ_FROM_PEER1, 0), d1 = jx_fz_ctl(JX_FZ_FROM_PEER1_DATA, 0),
                  s1 = jx_fz_ctl(JX_FZ_FROM_PEER1_DATA, 1);
    // {name (the type, then what), control byte, payload: fields in hex, big-endian, then bytes}; the
    // user name is the sender's. Transfer 0112233445566778 is a new offer to us, 0112233445566779 a
    // download of ours under way (its segment 1 is two chunks of 1370), 0213243546576879 an upload of
    // ours just offered, ...7c one re-sending.
    const std::tuple<const char*, uint8_t, const char*, std::string> seeds[] = {
        {"01_txt_group", p1, "", "hello, group"},
        {"02_txt_direct_netdm", p1, "", "psst"},
        {"02_txt_direct_ip", jx_fz_ctl(JX_FZ_FROM_DIRECT_OUT, 1), "", "psst"},
        // Uptime 5 s and another host's instance id, on the broadcast network.
        {"03_beacon", jx_fz_ctl(JX_FZ_FROM_STRANGER, 6), "00000005", "QRSTUVWXYabcdefghijklmnopqrstuvw"},
        {"04_leave", jx_fz_ctl(JX_FZ_FROM_PEER2, 2), "", ""},
        {"05_txt_group_ack", jx_fz_ctl(JX_FZ_FROM_PEER2, 0, true), "", ""},
        {"06_txt_direct_ack", jx_fz_ctl(JX_FZ_FROM_DIRECT_IN, 0, true), "", ""},
        {"07_query", jx_fz_ctl(JX_FZ_FROM_STRANGER, 0), "", ""},
        // Offer of report.pdf: id, digest, size 3000, chunk size 1370, data port 8856, name length.
        {"08_file_meta", p1,
         "0112233445566778 a0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4b5b6b7b8b9babbbcbdbebf 0000000000000bb8 "
         "055a 2298 000a",
         "report.pdf"},
        // Requests for segment 1 (chunk size 1370, 3 chunks), then for what it lacks (0 and 2 arrived).
        {"09_get_segment", s1, "0213243546576879 0000000000000001 055a 00000003", ""},
        {"10_get_skipped", s1, "021324354657687c 0000000000000001 05", std::string(63, '\0')},
        // Chunk 1 of segment 1 with 1370 bytes of data; then that segment's batch is done.
        {"11_chunk", d1, "0112233445566779 0000000000000001 0000000000000001", std::string(1370, '\0')},
        {"12_batch_done", jx_fz_ctl(JX_FZ_FROM_PEER1_DATA, 2), "0112233445566779 0000000000000001", ""},
        {"13_meta_ack", p1, "0213243546576879 2298", ""},
        {"14_file_fin_ok", d1, "0213243546576879", ""},
        {"15_file_fin_failed", d1, "0213243546576879", ""},
        {"16_file_fin_other", d1, "0213243546576879", ""},
        {"18_punch", jx_fz_ctl(JX_FZ_FROM_PEER3_DATA, 0), "", ""},
    };
    bool ok = true;
    auto put = [&ok](const std::string& path, const std::string& bytes) {
        ok = std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<long>(bytes.size())) && ok;
    };
    uint32_t id = 1000;  // message ids
    for (const auto& [name, ctl, hex, bytes] : seeds) {
        const auto type = static_cast<uint8_t>(std::stoi(name));
        // Direct-IP traffic and queries carry network id 0; the stranger beacons on the broadcast network.
        const uint8_t src = ctl & 7;
        const bool direct = src == JX_FZ_FROM_DIRECT_IN || src == JX_FZ_FROM_DIRECT_OUT || type == PKT_QUERY;
        const char* net = direct ? "0.0.0.0" : type == PKT_BEACON ? JX_FZ_BCAST : JX_FZ_MCAST;
        std::vector<uint8_t> pl;
        for (const char* h = hex; *h != '\0'; h += *h == ' ' ? 1 : 2)
            if (*h != ' ')
                pl.push_back(static_cast<uint8_t>(std::stoi(std::string(h, 2), nullptr, 16)));
        pl.insert(pl.end(), bytes.begin(), bytes.end());
        uint8_t buf[1 + JX_DATAGRAM_MAX] = {ctl};
        const auto n = jx_serialize(buf + 1, JX_DATAGRAM_MAX, type, inet_addr(net), ++id, JX_FZ_USERS[src],
                                    pl.data(), static_cast<uint16_t>(pl.size()));
        put(std::string(argv[1]) + "/" + name, std::string(buf, buf + 1 + n));
    }
    // Header (last 1, count 1, capacity 2, little-endian), then slot 1: time 1, id 258, type 1,
    // user "bob", text "hi"; slot 2 empty.
    std::string ring(3 * 1600, '\0');
    ring[0] = 1, ring[4] = 1, ring[8] = 2;
    ring[1600] = 1, ring[1608] = 2, ring[1609] = 1, ring[1617] = 1;
    ring.replace(1618, 3, "bob").replace(1700, 2, "hi");
    put(std::string(argv[2]) + "/ring2", ring);
    put(std::string(argv[2]) + "/cut", ring.substr(0, 2000));
    return ok ? 0 : 1;
}
