// make_corpus: writes the seed corpus of fuzz_datagram, one valid datagram of every packet type
// (each preceded by the harness's control byte). Usage: fuzz_make_corpus DIR
#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz/fuzz_harness.hpp"
#include "protocol/protocol.hpp"

namespace {

std::string g_dir;
int g_failed = 0;

uint32_t addr(const char* dotted)
{
    return inet_addr(dotted);
}

void write_seed(const char* name, uint8_t ctl, uint8_t type, uint32_t net_id, uint32_t msg_id,
                const char* user, const uint8_t* payload, uint16_t len)
{
    uint8_t buf[1 + JX_DATAGRAM_MAX];
    buf[0] = ctl;
    const uint32_t n = jx_serialize(buf + 1, JX_DATAGRAM_MAX, type, net_id, msg_id, user, payload, len);
    const std::string path = g_dir + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(buf, 1, 1 + n, f) != 1 + n) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        g_failed = 1;
    }
    if (f != nullptr)
        std::fclose(f);
}

void fill_id(uint8_t* b, uint8_t seed)
{
    for (int i = 0; i < 8; i++)
        b[i] = static_cast<uint8_t>(seed + i * 17);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    g_dir = argv[1];
    const uint32_t mc = addr(JX_FZ_MCAST);
    const uint32_t bc = addr(JX_FZ_BCAST);
    const uint8_t p1 = jx_fz_ctl(JX_FZ_FROM_PEER1, 0);
    const uint8_t p2 = jx_fz_ctl(JX_FZ_FROM_PEER2, 2);
    uint8_t pl[JX_PAYLOAD_MAX] = {};

    const char text[] = "hello, group";
    write_seed("01_txt_group", p1, PKT_TXT_GROUP, mc, 1001, "peer1", reinterpret_cast<const uint8_t*>(text),
               sizeof text - 1);
    const char dm[] = "psst";
    write_seed("02_txt_direct_netdm", p1, PKT_TXT_DIRECT, mc, 1002, "peer1",
               reinterpret_cast<const uint8_t*>(dm), sizeof dm - 1);
    write_seed("02_txt_direct_ip", jx_fz_ctl(JX_FZ_FROM_DIRECT_OUT, 1), PKT_TXT_DIRECT, 0, 1003, "outhost",
               reinterpret_cast<const uint8_t*>(dm), sizeof dm - 1);

    // Beacon: uptime 5 s and a 32-character instance id of another host.
    jx_beacon_put(pl, 5, "QRSTUVWXYabcdefghijklmnopqrstuvw");
    write_seed("03_beacon", jx_fz_ctl(JX_FZ_FROM_STRANGER, 6), PKT_BEACON, bc, 1004, "newcomer", pl,
               JX_BEACON_LEN);
    write_seed("04_leave", p2, PKT_LEAVE, mc, 1005, "peer2", nullptr, 0);
    write_seed("05_txt_group_ack", jx_fz_ctl(JX_FZ_FROM_PEER2, 0, true), PKT_TXT_GROUP_ACK, mc, 1006, "peer2",
               nullptr, 0);
    write_seed("06_txt_direct_ack", jx_fz_ctl(JX_FZ_FROM_DIRECT_IN, 0, true), PKT_TXT_DIRECT_ACK, 0, 1007,
               "inhost", nullptr, 0);
    write_seed("07_query", jx_fz_ctl(JX_FZ_FROM_STRANGER, 0), PKT_QUERY, 0, 1008, "asker", nullptr, 0);

    // Offer of report.pdf: transfer id, digest, size 3000, chunk size 1370, data port 8856, name.
    std::memset(pl, 0, sizeof pl);
    fill_id(pl, 1);
    for (int i = 0; i < 32; i++)
        pl[8 + i] = static_cast<uint8_t>(0xA0 + i);
    jx_put_be64(pl + 40, 3000);
    jx_put_be16(pl + 48, 1370);
    jx_put_be16(pl + 50, 8856);
    const char fname[] = "report.pdf";
    jx_put_be16(pl + 52, sizeof fname - 1);
    std::memcpy(pl + 54, fname, sizeof fname - 1);
    write_seed("08_file_meta", p1, PKT_FILE_META, mc, 1009, "peer1", pl, 54 + sizeof fname - 1);

    std::memset(pl, 0, sizeof pl);
    fill_id(pl, 2);
    jx_put_be64(pl + 8, 1);
    jx_put_be16(pl + 16, 1370);
    jx_put_be32(pl + 18, 3);
    write_seed("09_get_segment", jx_fz_ctl(JX_FZ_FROM_PEER1_DATA, 1), PKT_GET_SEGMENT, mc, 1010, "peer1", pl,
               22);

    std::memset(pl, 0, sizeof pl);
    fill_id(pl, 2);
    jx_put_be64(pl + 8, 1);
    pl[16] = 0x05;  // chunks 0 and 2 of 3 arrived
    write_seed("10_get_skipped", jx_fz_ctl(JX_FZ_FROM_PEER1_DATA, 1), PKT_GET_SKIPPED, mc, 1011, "peer1", pl,
               80);

    std::memset(pl, 0, sizeof pl);
    fill_id(pl, 1);
    jx_put_be64(pl + 8, 1);
    jx_put_be64(pl + 16, 2);
    for (int i = 0; i < 260; i++)
        pl[24 + i] = static_cast<uint8_t>(i);
    write_seed("11_chunk", jx_fz_ctl(JX_FZ_FROM_PEER1_DATA, 0), PKT_CHUNK, mc, 1012, "peer1", pl, 24 + 260);

    std::memset(pl, 0, sizeof pl);
    fill_id(pl, 1);
    jx_put_be64(pl + 8, 1);
    write_seed("12_batch_done", jx_fz_ctl(JX_FZ_FROM_PEER1_DATA, 2), PKT_BATCH_DONE, mc, 1013, "peer1", pl,
               16);

    std::memset(pl, 0, sizeof pl);
    fill_id(pl, 2);
    jx_put_be16(pl + 8, 8856);
    write_seed("13_meta_ack", p1, PKT_META_ACK, mc, 1014, "peer1", pl, 10);

    std::memset(pl, 0, sizeof pl);
    fill_id(pl, 2);
    write_seed("14_file_fin_ok", jx_fz_ctl(JX_FZ_FROM_PEER1_DATA, 0), PKT_FILE_FIN_OK, mc, 1015, "peer1", pl,
               8);
    write_seed("15_file_fin_failed", jx_fz_ctl(JX_FZ_FROM_PEER1_DATA, 0), PKT_FILE_FIN_FAILED, mc, 1016,
               "peer1", pl, 8);
    write_seed("16_file_fin_other", jx_fz_ctl(JX_FZ_FROM_PEER1_DATA, 0), PKT_FILE_FIN_OTHER, mc, 1017,
               "peer1", pl, 8);
    write_seed("18_punch", jx_fz_ctl(JX_FZ_FROM_PEER3_DATA, 0), PKT_PUNCH, mc, 1018, "peer3", nullptr, 0);
    return g_failed;
}
