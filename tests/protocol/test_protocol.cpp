// The datagram format on the wire: exact bytes, round trips, the decoder's refusals and bounds, the
// payload minimums, and the sending primitive's refusals.
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "foundation/log.hpp"
#include "foundation/utility.hpp"
#include "protocol/data_protocol.hpp"
#include "protocol/protocol.hpp"
#include "protocol/snd.hpp"

namespace {

bool all_zero(const uint8_t* p, size_t n)
{
    return std::all_of(p, p + n, [](uint8_t x) { return x == 0; });
}

}  // namespace

TEST(ProtocolWire, DatagramBytesMatchHandComputedVectorsAndDecodeBack)
{
    // The beacon payload: big-endian uptime, then the 32-character instance id without a NUL.
    const char id[] = "QRSTUVWXYabcdefghijklmnopqrstuvw";
    uint8_t beacon[JX_BEACON_LEN];
    jx_beacon_put(beacon, 0x01020304, id);
    EXPECT_EQ(std::memcmp(beacon, "\x01\x02\x03\x04QRSTUVWXYabcdefghijklmnopqrstuvw", JX_BEACON_LEN), 0);
    EXPECT_TRUE(jx_beacon_uptime(beacon) == 0x01020304u && jx_beacon_is_from(beacon, id) &&
                !jx_beacon_is_from(beacon, "QRSTUVWXYabcdefghijklmnopqrstuvx"));
    // {type, network, user, message id, payload length (of the beacon's bytes), header: program,
    // version, type, network id, message id, user name, length}
    const std::tuple<uint8_t, const char*, const char*, uint32_t, uint16_t, std::string> rows[] = {
        // The beacon from bob on the all-hosts group: 66 bytes.
        {PKT_BEACON, "224.0.0.1", "bob", 5, 36,
         "0155 0001 03 010000e0 00000005 626f62000000000000000000000000 0024"},
        // The acknowledgement of text 258; direct-IP traffic carries network id 0.
        {PKT_TXT_DIRECT_ACK, "0.0.0.0", "alice", 258, 0,
         "0155 0001 06 00000000 00000102 616c69636500000000000000000000 0000"},
        // Network id octets reversed.
        {PKT_QUERY, "192.168.1.255", "x", 9, 0,
         "0155 0001 07 ff01a8c0 00000009 780000000000000000000000000000 0000"},
        // Fifteen characters fill the name field with no NUL; a longer name is cut there.
        {PKT_TXT_GROUP, "239.1.2.3", "abcdefghijklmnopqrstu", 0xFEDCBA98u, 0,
         "0155 0001 01 030201ef fedcba98 6162636465666768696a6b6c6d6e6f 0000"},
    };
    for (auto [type, net, user, msg_id, len, header] : rows) {
        // The encoder clears what it does not write.
        std::vector<uint8_t> buf(JX_DATAGRAM_MAX, 0xEE), again(JX_DATAGRAM_MAX);
        ASSERT_EQ(jx_serialize(buf.data(), buf.size(), type, inet_addr(net), msg_id, user, beacon, len),
                  30u + len);
        char head[61];
        jx_bytes_to_string(buf.data(), 30, head, sizeof head);
        std::erase(header, ' ');
        EXPECT_EQ(head, header);
        EXPECT_TRUE(std::equal(beacon, beacon + len, buf.data() + 30) &&
                    all_zero(&buf[30 + len], 1440 - len));
        // Decoded from exactly its length and encoded again from the record: the same bytes.
        JXPacket p;
        std::memset(&p, 0xCC, sizeof(p));
        ASSERT_EQ(jx_unserialize(buf.data(), 30u + len, inet_addr("10.1.2.3"), htons(40000), &p),
                  JX_UNSER_OK);
        jx_serialize(again.data(), again.size(), p.type, p.net_id, p.msg_id, p.username, p.payload,
                     p.payload_len);
        EXPECT_TRUE(again == buf && p.version == 1 && p.src_addr == inet_addr("10.1.2.3") &&
                    p.src_port == htons(40000) && all_zero(p.payload + len, sizeof(p.payload) - len))
            << header;
    }
}

TEST(ProtocolWire, RefusalsAndTheirLogLines)
{
    char dir[] = "/tmp/jx_proto_test_XXXXXX";
    ASSERT_EQ(jx_log_init(mkdtemp(dir)), 0);
    // {program, version, payload length, result}; a refused packet is all zero.
    const std::tuple<uint16_t, uint16_t, uint16_t, uint8_t> rows[] = {{0x0156, 1, 0, JX_UNSER_BAD_PROGRAM},
                                                                      {0x0155, 0, 0, JX_UNSER_BAD_VERSION},
                                                                      {0x0155, 2, 0, JX_UNSER_OK},
                                                                      {0x0155, 1, 1440, JX_UNSER_OK},
                                                                      {0x0155, 1, 1441, JX_UNSER_TOO_LONG}};
    for (const auto& [program, version, len, rc] : rows) {
        uint8_t d[JX_DATAGRAM_MAX] = {};
        jx_put_be16(d, program);
        jx_put_be16(d + 2, version);
        jx_put_be16(d + 28, len);
        JXPacket p;
        std::memset(&p, 0xCC, sizeof(p));
        EXPECT_EQ(jx_unserialize(d, sizeof d, 1, 2, &p), rc) << program << " " << version << " " << len;
        EXPECT_EQ(all_zero(reinterpret_cast<uint8_t*>(&p), sizeof(p)), rc != JX_UNSER_OK);
    }
    // Refused before a datagram could leave; a bad socket (EBADF) makes the send itself fail.
    const uint8_t dgram[JX_DATAGRAM_MAX + 1] = {};
    EXPECT_EQ(snd_udp(-1, 0, 8855, dgram, JX_DATAGRAM_MAX + 1), 1);
    EXPECT_EQ(snd_udp(-1, 0, 0, dgram, 30), 1);
    EXPECT_EQ(snd_udp(-1, 0, 8855, dgram, JX_DATAGRAM_MAX), 1);
    jx_log_close();
    std::ifstream f(std::string(dir) + "/log", std::ios::binary);
    std::string log;  // without the time stamps
    for (std::string line; std::getline(f, line);)
        log += line.substr(line.find('\t') + 1) + "\n";
    std::filesystem::remove_all(dir);
    EXPECT_EQ(log, "Program Id not recognized [342]. Droping packet...\r\n"
                   "Protocol version not supported [0]. Droping packet...\r\nData length exceeded: 1471\r\n"
                   "UDP payload exceeds config limits!\r\nComputed dst port to 0, error!\r\n"
                   "Error in sending data - 9\r\nerrno 9: Bad file descriptor\r\n");
}

TEST(ProtocolWire, DecoderBounds)
{
    // Exactly-sized heap buffers let the sanitizer catch any access past the end.
    std::vector<uint8_t> full(JX_DATAGRAM_MAX);
    jx_serialize(full.data(), full.size(), PKT_TXT_DIRECT, 0, 77, "dave",
                 reinterpret_cast<const uint8_t*>("hello world"), 11);
    full[30 + 11] = 'X';  // arrived, but beyond the declared payload
    JXPacket p{};
    ASSERT_EQ(jx_unserialize(full.data(), full.size(), 0, 0, &p), JX_UNSER_OK);
    EXPECT_TRUE(std::memcmp(p.payload, "hello world", 11) == 0 &&
                all_zero(p.payload + 11, sizeof(p.payload) - 11));
    // Declared 11 bytes of text, 4 arrived: the rest reads as zero.
    const std::vector<uint8_t> cut(full.begin(), full.begin() + 34);
    ASSERT_EQ(jx_unserialize(cut.data(), cut.size(), 0, 0, &p), JX_UNSER_OK);
    EXPECT_TRUE(p.payload_len == 11 && std::memcmp(p.payload, "hell", 4) == 0 &&
                all_zero(p.payload + 4, sizeof(p.payload) - 4));
    // An offered name longer than a name may be is refused, although the payload holds it.
    std::vector<uint8_t> meta(JX_PAYLOAD_MAX, 'n');
    jx_put_be16(meta.data() + JX_META_OFF_CHUNK_SIZE, 1370);
    jx_put_be16(meta.data() + JX_META_OFF_NAME_LEN, JX_PAYLOAD_MAX - JX_META_FIXED_LEN);
    JXOffer offer{};
    EXPECT_EQ(jx_data_unserialize_meta(meta.data(), meta.size(), &offer), 1);
}
