// The datagram header on the wire: exact bytes, round trips and the decoder's refusals.
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "foundation/log.hpp"
#include "foundation/utility.hpp"
#include "protocol/protocol.hpp"

namespace {

using Dgram = std::array<uint8_t, JX_DATAGRAM_MAX>;

bool all_zero(const void* p, size_t n)
{
    const auto* b = static_cast<const uint8_t*>(p);
    return std::all_of(b, b + n, [](uint8_t x) { return x == 0; });
}

}  // namespace

TEST(ProtocolWire, HeaderBytesMatchHandComputedVectorsAndDecodeBack)
{
    uint8_t text[JX_PAYLOAD_MAX];
    for (size_t i = 0; i < sizeof text; i++)
        text[i] = static_cast<uint8_t>(i * 7 + 1);
    const struct {
        uint8_t type;
        const char* net;
        uint32_t id;
        const char* user;
        const uint8_t* payload;
        uint16_t len;
        const char* header;  // program, version, type, network id, message id, user name, length
    } rows[] = {
        // The beacon from bob on the all-hosts group.
        {PKT_BEACON, "224.0.0.1", 5, "bob", text, 36,
         "0155 0001 03 010000e0 00000005 626f62000000000000000000000000 0024"},
        // The acknowledgement of text 258; direct-IP traffic carries network id 0.
        {PKT_TXT_DIRECT_ACK, "0.0.0.0", 258, "alice", nullptr, 0,
         "0155 0001 06 00000000 00000102 616c69636500000000000000000000 0000"},
        // Network id octets reversed.
        {PKT_QUERY, "192.168.1.255", 9, "x", nullptr, 0,
         "0155 0001 07 ff01a8c0 00000009 780000000000000000000000000000 0000"},
        // Fifteen characters fill the name field with no NUL; a longer name is cut there.
        {PKT_BEACON, "0.0.0.0", 1, "abcdefghijklmno", nullptr, 0,
         "0155 0001 03 00000000 00000001 6162636465666768696a6b6c6d6e6f 0000"},
        {PKT_BEACON, "0.0.0.0", 1, "abcdefghijklmnopqrstu", nullptr, 0,
         "0155 0001 03 00000000 00000001 6162636465666768696a6b6c6d6e6f 0000"},
        {PKT_TXT_GROUP, "239.1.2.3", 0xFEDCBA98u, "carol", text, 1,
         "0155 0001 01 030201ef fedcba98 6361726f6c00000000000000000000 0001"},
        {PKT_TXT_GROUP, "239.1.2.3", 0xFEDCBA98u, "carol", text, 1440,
         "0155 0001 01 030201ef fedcba98 6361726f6c00000000000000000000 05a0"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.header);
        Dgram buf;
        buf.fill(0xEE);  // the encoder must clear what it does not write
        const uint32_t len =
            jx_serialize(buf.data(), buf.size(), r.type, inet_addr(r.net), r.id, r.user, r.payload, r.len);
        ASSERT_EQ(len, 30u + r.len);
        std::string want = r.header;
        want.erase(std::remove(want.begin(), want.end(), ' '), want.end());
        char head[61];
        jx_bytes_to_string(buf.data(), 30, head, sizeof head);
        EXPECT_EQ(head, want);
        EXPECT_TRUE(r.len == 0 || std::memcmp(buf.data() + 30, r.payload, r.len) == 0);
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
    // A payload length with a null payload writes no length.
    Dgram buf{};
    jx_serialize(buf.data(), buf.size(), PKT_LEAVE, 0, 1, "a", nullptr, 12);
    EXPECT_TRUE(all_zero(buf.data() + 28, 2));
}

TEST(ProtocolWire, DecoderRefusesForeignProgramZeroVersionAndOverlongPayload)
{
    char tmpl[] = "/tmp/jx_proto_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    ASSERT_EQ(jx_log_init(tmpl), 0);
    const struct {
        uint16_t program, version, len;
        uint8_t rc;
    } rows[] = {
        {0x0156, 1, 0, JX_UNSER_BAD_PROGRAM},
        {0x0155, 0, 0, JX_UNSER_BAD_VERSION},
        {0x0155, 2, 0, JX_UNSER_OK},  // any nonzero version is spoken
        {0x0155, 1, 1440, JX_UNSER_OK},
        {0x0155, 1, 1441, JX_UNSER_TOO_LONG},
        {0x0155, 1, 0xFFFF, JX_UNSER_TOO_LONG},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(::testing::Message() << r.program << " version " << r.version << " length " << r.len);
        Dgram d{};
        jx_put_be16(d.data(), r.program);
        jx_put_be16(d.data() + 2, r.version);
        jx_put_be16(d.data() + 28, r.len);
        JXPacket p;
        std::memset(&p, 0xCC, sizeof(p));
        ASSERT_EQ(jx_unserialize(d.data(), d.size(), 1, 2, &p), r.rc);
        EXPECT_EQ(all_zero(&p, sizeof(p)), r.rc != JX_UNSER_OK) << "a refused packet is all zero";
    }
    jx_log_close();
    std::ifstream f(std::string(tmpl) + "/log", std::ios::binary);
    const std::string log{std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
    std::filesystem::remove_all(tmpl);
    EXPECT_NE(log.find("\tProgram Id not recognized [342]. Droping packet...\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("\tProtocol version not supported [0]. Droping packet...\r\n"), std::string::npos);
    EXPECT_NE(log.find("\tData length exceeded: 1471\r\n"), std::string::npos);
}

TEST(ProtocolWire, NeitherCodecReadsOrWritesPastItsBuffer)
{
    // Exactly-sized heap copies let the sanitizer catch any read past the end.
    Dgram full{};
    jx_serialize(full.data(), full.size(), PKT_TXT_DIRECT, 0, 77, "dave",
                 reinterpret_cast<const uint8_t*>("hello world"), 11);
    auto decode = [&](size_t len, JXPacket* p) {
        const std::vector<uint8_t> cut(full.begin(), full.begin() + static_cast<long>(len));
        return jx_unserialize(cut.data(), len, 0, 0, p);
    };

    // Declared 11 bytes of text, only 4 arrived: the rest reads as zero.
    JXPacket p{};
    ASSERT_EQ(decode(34, &p), JX_UNSER_OK);
    EXPECT_EQ(p.payload_len, 11);
    EXPECT_EQ(std::memcmp(p.payload, "hell", 4), 0);
    EXPECT_TRUE(all_zero(p.payload + 4, sizeof(p.payload) - 4));
    // A header cut inside the user name: the missing bytes are zero.
    ASSERT_EQ(decode(15, &p), JX_UNSER_OK);
    EXPECT_EQ(p.msg_id, 77u);
    EXPECT_STREQ(p.username, "da");
    EXPECT_EQ(p.payload_len, 0);
    // One byte, or nothing at all, cannot carry the program id.
    EXPECT_EQ(decode(1, &p), JX_UNSER_BAD_PROGRAM);
    EXPECT_EQ(jx_unserialize(nullptr, 0, 0, 0, &p), JX_UNSER_BAD_PROGRAM);

    // Bytes beyond the declared payload are not taken even when they arrived.
    full[30 + 11] = 'X';
    ASSERT_EQ(decode(full.size(), &p), JX_UNSER_OK);
    EXPECT_EQ(p.payload[11], 0);
    // Cut inside the length field: its high byte alone declares 1280 bytes, none of which arrived.
    full[28] = 0x05;
    ASSERT_EQ(decode(29, &p), JX_UNSER_OK);
    EXPECT_EQ(p.payload_len, 0x0500);
    EXPECT_TRUE(all_zero(p.payload, sizeof(p.payload)));

    // The encoder writes no further than its buffer size.
    const std::vector<uint8_t> text(1440, 'z');
    std::vector<uint8_t> small(64, 0xEE);
    // The result still tells the full length, so the caller sees that it did not fit.
    EXPECT_EQ(jx_serialize(small.data(), 40, PKT_TXT_GROUP, 0, 1, "e", text.data(), 1440), 1470u);
    EXPECT_EQ(small[39], 'z');
    EXPECT_EQ(std::vector<uint8_t>(small.begin() + 40, small.end()), std::vector<uint8_t>(24, 0xEE));
    // Too small for a header: cleared, nothing else.
    std::vector<uint8_t> tiny(10, 0xEE);
    jx_serialize(tiny.data(), 8, PKT_BEACON, 0, 1, "e", nullptr, 0);
    EXPECT_TRUE(all_zero(tiny.data(), 8));
    EXPECT_EQ(tiny[8], 0xEE);
}
