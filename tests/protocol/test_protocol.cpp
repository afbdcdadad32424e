// The datagram format on the wire: exact header bytes, round trips, the decoder's refusals, the
// beacon layout, the payload minimums, and the sending primitive's refusals.
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "foundation/log.hpp"
#include "foundation/utility.hpp"
#include "protocol/protocol.hpp"
#include "protocol/snd.hpp"

namespace {

bool all_zero(const void* p, size_t n)
{
    const auto* b = static_cast<const uint8_t*>(p);
    return std::all_of(b, b + n, [](uint8_t x) { return x == 0; });
}

// The messages fn logs, without their time stamps.
std::vector<std::string> logged(const std::function<void()>& fn)
{
    char dir[] = "/tmp/jx_proto_test_XXXXXX";
    EXPECT_NE(mkdtemp(dir), nullptr);
    EXPECT_EQ(jx_log_init(dir), 0);
    fn();
    jx_log_close();
    std::ifstream f(std::string(dir) + "/log", std::ios::binary);
    std::vector<std::string> out;
    for (std::string line; std::getline(f, line);)
        out.push_back(line.substr(line.find('\t') + 1));  // still ends in CR
    std::filesystem::remove_all(dir);
    return out;
}

}  // namespace

TEST(ProtocolWire, HeaderBytesMatchHandComputedVectorsAndDecodeBack)
{
    // The beacon payload: big-endian uptime, then the 32-character instance id without a NUL.
    const char id[] = "QRSTUVWXYabcdefghijklmnopqrstuvw";
    uint8_t beacon[JX_BEACON_LEN];
    jx_beacon_put(beacon, 0x01020304, id);
    EXPECT_EQ(std::memcmp(beacon, "\x01\x02\x03\x04QRSTUVWXYabcdefghijklmnopqrstuvw", JX_BEACON_LEN), 0);
    EXPECT_EQ(jx_beacon_uptime(beacon), 0x01020304u);
    EXPECT_TRUE(jx_beacon_is_from(beacon, id));
    EXPECT_FALSE(jx_beacon_is_from(beacon, "QRSTUVWXYabcdefghijklmnopqrstuvx"));

    const std::vector<uint8_t> text(JX_PAYLOAD_MAX, 't');
    const struct {
        uint8_t type;
        const char* net;
        uint32_t id;
        const char* user;
        const uint8_t* payload;
        uint16_t len;
        const char* header;  // program, version, type, network id, message id, user name, length
    } rows[] = {
        // The beacon from bob on the all-hosts group: 66 bytes.
        {PKT_BEACON, "224.0.0.1", 5, "bob", beacon, 36,
         "0155 0001 03 010000e0 00000005 626f62000000000000000000000000 0024"},
        // The acknowledgement of text 258; direct-IP traffic carries network id 0.
        {PKT_TXT_DIRECT_ACK, "0.0.0.0", 258, "alice", nullptr, 0,
         "0155 0001 06 00000000 00000102 616c69636500000000000000000000 0000"},
        // Network id octets reversed.
        {PKT_QUERY, "192.168.1.255", 9, "x", nullptr, 0,
         "0155 0001 07 ff01a8c0 00000009 780000000000000000000000000000 0000"},
        // Fifteen characters fill the name field with no NUL; a longer name is cut there.
        {PKT_BEACON, "0.0.0.0", 1, "abcdefghijklmnopqrstu", nullptr, 0,
         "0155 0001 03 00000000 00000001 6162636465666768696a6b6c6d6e6f 0000"},
        {PKT_TXT_GROUP, "239.1.2.3", 0xFEDCBA98u, "carol", text.data(), 1440,
         "0155 0001 01 030201ef fedcba98 6361726f6c00000000000000000000 05a0"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.header);
        std::vector<uint8_t> buf(JX_DATAGRAM_MAX, 0xEE);  // the encoder clears what it does not write
        const uint32_t len =
            jx_serialize(buf.data(), buf.size(), r.type, inet_addr(r.net), r.id, r.user, r.payload, r.len);
        ASSERT_EQ(len, 30u + r.len);
        std::string want = r.header;
        want.erase(std::remove(want.begin(), want.end(), ' '), want.end());
        char head[61];
        jx_bytes_to_string(buf.data(), 30, head, sizeof head);
        EXPECT_EQ(head, want);
        EXPECT_TRUE(all_zero(buf.data() + len, buf.size() - len));

        JXPacket p;
        std::memset(&p, 0xCC, sizeof(p));
        ASSERT_EQ(jx_unserialize(buf.data(), len, inet_addr("10.1.2.3"), htons(40000), &p), JX_UNSER_OK);
        EXPECT_EQ(std::make_tuple(p.type, p.program_id, p.version, p.net_id, p.msg_id,
                                  std::string(p.username), p.payload_len, p.src_addr, p.src_port),
                  std::make_tuple(r.type, 0x0155, 1, inet_addr(r.net), r.id,
                                  std::string(r.user).substr(0, 15), r.len, inet_addr("10.1.2.3"),
                                  htons(40000)));
        EXPECT_TRUE(r.len == 0 || std::memcmp(p.payload, r.payload, r.len) == 0);
        EXPECT_TRUE(all_zero(p.payload + r.len, sizeof(p.payload) - r.len));
    }
}

TEST(ProtocolWire, DecoderRefusesForeignProgramZeroVersionAndOverlongPayload)
{
    const struct {
        uint16_t program, version, len;
        uint8_t rc;
    } rows[] = {{0x0156, 1, 0, JX_UNSER_BAD_PROGRAM},
                {0x0155, 0, 0, JX_UNSER_BAD_VERSION},
                {0x0155, 2, 0, JX_UNSER_OK},  // any nonzero version is spoken
                {0x0155, 1, 1440, JX_UNSER_OK},
                {0x0155, 1, 1441, JX_UNSER_TOO_LONG}};
    const auto log = logged([&] {
        for (const auto& r : rows) {
            uint8_t d[JX_DATAGRAM_MAX] = {};
            jx_put_be16(d, r.program);
            jx_put_be16(d + 2, r.version);
            jx_put_be16(d + 28, r.len);
            JXPacket p;
            std::memset(&p, 0xCC, sizeof(p));
            EXPECT_EQ(jx_unserialize(d, sizeof d, 1, 2, &p), r.rc)
                << r.program << " " << r.version << " " << r.len;
            EXPECT_EQ(all_zero(&p, sizeof(p)), r.rc != JX_UNSER_OK) << "a refused packet is all zero";
        }
    });
    EXPECT_EQ(log, (std::vector<std::string>{"Program Id not recognized [342]. Droping packet...\r",
                                             "Protocol version not supported [0]. Droping packet...\r",
                                             "Data length exceeded: 1471\r"}));
}

TEST(ProtocolWire, NeitherCodecReadsOrWritesPastItsBuffer)
{
    // Exactly-sized heap buffers let the sanitizer catch any access past the end.
    std::vector<uint8_t> full(JX_DATAGRAM_MAX);
    jx_serialize(full.data(), full.size(), PKT_TXT_DIRECT, 0, 77, "dave",
                 reinterpret_cast<const uint8_t*>("hello world"), 11);
    full[30 + 11] = 'X';  // arrived, but beyond the declared payload
    JXPacket p{};
    auto decode = [&](size_t len) {
        const std::vector<uint8_t> cut(full.begin(), full.begin() + static_cast<long>(len));
        return jx_unserialize(cut.data(), len, 0, 0, &p);
    };
    ASSERT_EQ(decode(full.size()), JX_UNSER_OK);
    EXPECT_TRUE(std::memcmp(p.payload, "hello world", 11) == 0 &&
                all_zero(p.payload + 11, sizeof(p.payload) - 11));
    // Declared 11 bytes of text, 4 arrived: the rest reads as zero. A header cut in the user name.
    ASSERT_EQ(decode(34), JX_UNSER_OK);
    EXPECT_TRUE(p.payload_len == 11 && std::memcmp(p.payload, "hell", 4) == 0 &&
                all_zero(p.payload + 4, sizeof(p.payload) - 4));
    ASSERT_EQ(decode(15), JX_UNSER_OK);
    EXPECT_TRUE(p.msg_id == 77 && std::string(p.username) == "da" && p.payload_len == 0);
    // One byte, or nothing at all, cannot carry the program id.
    EXPECT_EQ(decode(1), JX_UNSER_BAD_PROGRAM);
    EXPECT_EQ(jx_unserialize(nullptr, 0, 0, 0, &p), JX_UNSER_BAD_PROGRAM);

    // The encoder writes no further than its buffer; the result tells the full length. Too small
    // for a header: only cleared.
    const std::vector<uint8_t> long_text(1440, 'z');
    std::vector<uint8_t> small(40, 0xEE), tiny(8, 0xEE);
    EXPECT_EQ(jx_serialize(small.data(), 40, PKT_TXT_GROUP, 0, 1, "e", long_text.data(), 1440), 1470u);
    EXPECT_EQ(small[39], 'z');
    jx_serialize(tiny.data(), 8, PKT_BEACON, 0, 1, "e", nullptr, 0);
    EXPECT_TRUE(all_zero(tiny.data(), 8));
}

TEST(ProtocolWire, MinimumPayloadPerType)
{
    // The fields each type carries: texts at least a byte; beacon uptime and instance id; file
    // offer id 8, digest 32, size 8, chunk size 2, port 2, name length 2; segment request id 8,
    // segment 8, chunk size 2, chunk count 4; skipped-chunk request id 8, segment 8, 512-bit bitmap;
    // chunk id 8, segment 8, index 8; batch done id 8, segment 8; offer ack id 8, port 2; the three
    // transfer ends the id. The rest are header-only, as is any unknown type.
    const size_t want[] = {0, 1, 1, 36, 0, 0, 0, 0, 54, 22, 80, 24, 16, 10, 8, 8, 8, 0, 0, 0};
    for (uint8_t type = 0; type < std::size(want); type++)
        EXPECT_EQ(jx_min_payload(type), want[type]) << int(type);
    EXPECT_EQ(jx_min_payload(255), 0u);
}

TEST(Snd, RefusesOversizePortZeroAndFailedSends)
{
    // Refused before a datagram could leave; a bad socket (EBADF) makes the send itself fail.
    const uint8_t dgram[JX_DATAGRAM_MAX + 1] = {};
    const auto log = logged([&] {
        EXPECT_EQ(snd_udp(-1, 0, 8855, dgram, JX_DATAGRAM_MAX + 1), 1);
        EXPECT_EQ(snd_udp(-1, 0, 0, dgram, 30), 1);
        EXPECT_EQ(snd_udp(-1, 0, 8855, dgram, JX_DATAGRAM_MAX), 1);
    });
    EXPECT_EQ(log,
              (std::vector<std::string>{"UDP payload exceeds config limits!\r", "Computed dst port to 0, error!\r",
                                        "Error in sending data - 9\r", "errno 9: Bad file descriptor\r"}));
}
