// The datagram header on the wire: exact bytes, round trips and the decoder's refusals.
#include <arpa/inet.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/log.hpp"
#include "protocol/protocol.hpp"

namespace {

// Captures log lines in a temporary directory for checks on the decoder's diagnostics.
class WireLog : public ::testing::Test {
  protected:
    std::filesystem::path dir;
    void SetUp() override
    {
        char tmpl[] = "/tmp/jx_proto_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        ASSERT_EQ(jx_log_init(dir.c_str()), 0);
    }
    void TearDown() override
    {
        jx_log_close();
        std::filesystem::remove_all(dir);
    }
    std::string log_text() const
    {
        std::ifstream f(dir / "log", std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
};

bool all_zero(const void* p, size_t n)
{
    const auto* b = static_cast<const uint8_t*>(p);
    for (size_t i = 0; i < n; i++)
        if (b[i] != 0)
            return false;
    return true;
}

std::array<uint8_t, JX_DATAGRAM_MAX> header_only(uint16_t program, uint16_t version, uint16_t payload_len)
{
    std::array<uint8_t, JX_DATAGRAM_MAX> d{};
    jx_put_be16(d.data(), program);
    jx_put_be16(d.data() + 2, version);
    d[4] = PKT_TXT_GROUP;
    jx_put_be16(d.data() + 28, payload_len);
    return d;
}

}  // namespace

TEST(ProtocolWire, BeaconFromBobOnAllHostsGroupMatchesHandComputedBytes)
{
    uint8_t payload[JX_BEACON_LEN];
    for (size_t i = 0; i < sizeof(payload); i++)
        payload[i] = static_cast<uint8_t>(0xA0 + i);
    std::array<uint8_t, JX_DATAGRAM_MAX> buf;
    buf.fill(0xEE);  // the encoder must clear what it does not write
    const uint32_t len = jx_serialize(buf.data(), buf.size(), PKT_BEACON, inet_addr("224.0.0.1"), 5, "bob",
                                      payload, sizeof(payload));
    EXPECT_EQ(len, 66u);
    const uint8_t expected_head[30] = {0x01, 0x55, 0x00, 0x01, 0x03, 0x01, 0x00, 0x00, 0xE0, 0x00,
                                       0x00, 0x00, 0x05, 0x62, 0x6F, 0x62, 0,    0,    0,    0,
                                       0,    0,    0,    0,    0,    0,    0,    0,    0x00, 0x24};
    EXPECT_EQ(std::memcmp(buf.data(), expected_head, sizeof(expected_head)), 0);
    EXPECT_EQ(std::memcmp(buf.data() + 30, payload, sizeof(payload)), 0);
    EXPECT_TRUE(all_zero(buf.data() + 66, buf.size() - 66));
}

TEST(ProtocolWire, AcknowledgementIsHeaderOnlyWithTheTextsId)
{
    std::array<uint8_t, JX_DATAGRAM_MAX> buf{};
    const uint32_t len =
        jx_serialize(buf.data(), buf.size(), PKT_TXT_DIRECT_ACK, 0, 258, "alice", nullptr, 0);
    EXPECT_EQ(len, 30u);
    EXPECT_EQ(buf[4], 6);
    const uint8_t id[4] = {0x00, 0x00, 0x01, 0x02};
    EXPECT_EQ(std::memcmp(buf.data() + 9, id, 4), 0);
    EXPECT_TRUE(all_zero(buf.data() + 5, 4));   // direct-IP traffic carries network id 0
    EXPECT_TRUE(all_zero(buf.data() + 28, 2));  // no payload length
    // A payload length with a null payload writes no length either.
    jx_serialize(buf.data(), buf.size(), PKT_LEAVE, 0, 1, "a", nullptr, 12);
    EXPECT_TRUE(all_zero(buf.data() + 28, 2));
}

TEST(ProtocolWire, NetworkIdOctetsAreReversedAndDecodeBackToTheAddress)
{
    std::array<uint8_t, JX_DATAGRAM_MAX> buf{};
    const uint32_t net = inet_addr("192.168.1.255");
    jx_serialize(buf.data(), buf.size(), PKT_QUERY, net, 9, "x", nullptr, 0);
    const uint8_t want[4] = {0xFF, 0x01, 0xA8, 0xC0};
    EXPECT_EQ(std::memcmp(buf.data() + 5, want, 4), 0);

    JXPacket p{};
    ASSERT_EQ(jx_unserialize(buf.data(), 30, inet_addr("10.1.2.3"), htons(40000), &p), JX_UNSER_OK);
    EXPECT_EQ(p.net_id, net);
    EXPECT_EQ(p.src_addr, inet_addr("10.1.2.3"));
    EXPECT_EQ(p.src_port, htons(40000));
}

TEST(ProtocolWire, UserNameFillsFifteenBytesAndDecodesTerminated)
{
    std::array<uint8_t, JX_DATAGRAM_MAX> buf{};
    jx_serialize(buf.data(), buf.size(), PKT_BEACON, 0, 1, "abcdefghijklmno", nullptr, 0);
    EXPECT_EQ(std::memcmp(buf.data() + 13, "abcdefghijklmno", 15), 0);
    EXPECT_EQ(buf[28], 0);  // the next field, not a terminator
    JXPacket p{};
    ASSERT_EQ(jx_unserialize(buf.data(), buf.size(), 0, 0, &p), JX_UNSER_OK);
    EXPECT_STREQ(p.username, "abcdefghijklmno");

    // A longer name is cut at 15 bytes and does not spill into the length field.
    jx_serialize(buf.data(), buf.size(), PKT_BEACON, 0, 1, "abcdefghijklmnopqrstu", nullptr, 0);
    EXPECT_EQ(buf[27], 'o');
    EXPECT_TRUE(all_zero(buf.data() + 28, 2));
}

TEST(ProtocolWire, RoundTripKeepsEveryFieldAndZeroesTheRest)
{
    std::vector<uint8_t> text(1440);
    for (size_t i = 0; i < text.size(); i++)
        text[i] = static_cast<uint8_t>(i * 7 + 1);
    for (uint16_t n : {uint16_t{0}, uint16_t{1}, uint16_t{700}, uint16_t{1440}}) {
        std::array<uint8_t, JX_DATAGRAM_MAX> buf{};
        const uint32_t len = jx_serialize(buf.data(), buf.size(), PKT_TXT_GROUP, inet_addr("239.1.2.3"),
                                          0xFEDCBA98u, "carol", text.data(), n);
        EXPECT_EQ(len, 30u + n);
        JXPacket p;
        std::memset(&p, 0xCC, sizeof(p));
        ASSERT_EQ(jx_unserialize(buf.data(), len, inet_addr("10.0.0.9"), htons(8855), &p), JX_UNSER_OK);
        EXPECT_EQ(p.type, PKT_TXT_GROUP);
        EXPECT_EQ(p.program_id, 0x0155);
        EXPECT_EQ(p.version, 1);
        EXPECT_EQ(p.payload_len, n);
        EXPECT_EQ(p.msg_id, 0xFEDCBA98u);
        EXPECT_EQ(p.net_id, inet_addr("239.1.2.3"));
        EXPECT_STREQ(p.username, "carol");
        EXPECT_EQ(std::memcmp(p.payload, text.data(), n), 0);
        EXPECT_TRUE(all_zero(p.payload + n, sizeof(p.payload) - n));
    }
}

TEST_F(WireLog, DecoderRefusesForeignProgramZeroVersionAndOverlongPayload)
{
    JXPacket p;
    auto d = header_only(0x0156, 1, 0);
    std::memset(&p, 0xCC, sizeof(p));
    EXPECT_EQ(jx_unserialize(d.data(), d.size(), 1, 2, &p), JX_UNSER_BAD_PROGRAM);
    EXPECT_TRUE(all_zero(&p, sizeof(p)));

    d = header_only(0x0155, 0, 0);
    std::memset(&p, 0xCC, sizeof(p));
    EXPECT_EQ(jx_unserialize(d.data(), d.size(), 1, 2, &p), JX_UNSER_BAD_VERSION);
    EXPECT_TRUE(all_zero(&p, sizeof(p)));

    d = header_only(0x0155, 2, 0);  // any nonzero version is spoken
    EXPECT_EQ(jx_unserialize(d.data(), d.size(), 1, 2, &p), JX_UNSER_OK);
    EXPECT_EQ(p.version, 2);

    d = header_only(0x0155, 1, 1440);
    EXPECT_EQ(jx_unserialize(d.data(), d.size(), 1, 2, &p), JX_UNSER_OK);
    EXPECT_EQ(p.payload_len, 1440);

    d = header_only(0x0155, 1, 1441);
    std::memset(&p, 0xCC, sizeof(p));
    EXPECT_EQ(jx_unserialize(d.data(), d.size(), 1, 2, &p), JX_UNSER_TOO_LONG);
    EXPECT_TRUE(all_zero(&p, sizeof(p)));

    d = header_only(0x0155, 1, 0xFFFF);
    EXPECT_EQ(jx_unserialize(d.data(), d.size(), 1, 2, &p), JX_UNSER_TOO_LONG);

    const std::string log = log_text();
    EXPECT_NE(log.find("\tProgram Id not recognized [342]. Droping packet...\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("\tProtocol version not supported [0]. Droping packet...\r\n"), std::string::npos);
    EXPECT_NE(log.find("\tData length exceeded: 1471\r\n"), std::string::npos);
    EXPECT_NE(log.find("\tData length exceeded: 65565\r\n"), std::string::npos);
}

TEST(ProtocolWire, ShortDatagramsReadZerosAndNeverPastTheirLength)
{
    // Exactly-sized heap copies let the sanitizer catch any read past the end.
    std::array<uint8_t, JX_DATAGRAM_MAX> full{};
    const uint8_t text[] = "hello world";
    jx_serialize(full.data(), full.size(), PKT_TXT_DIRECT, 0, 77, "dave", text, 11);

    // Declared 11 bytes of text, only 4 arrived: the rest reads as zero.
    std::vector<uint8_t> cut(full.begin(), full.begin() + 34);
    JXPacket p{};
    ASSERT_EQ(jx_unserialize(cut.data(), cut.size(), 0, 0, &p), JX_UNSER_OK);
    EXPECT_EQ(p.payload_len, 11);
    EXPECT_EQ(std::memcmp(p.payload, "hell", 4), 0);
    EXPECT_TRUE(all_zero(p.payload + 4, sizeof(p.payload) - 4));

    // A header cut inside the user name: the missing bytes are zero.
    std::vector<uint8_t> head(full.begin(), full.begin() + 15);
    ASSERT_EQ(jx_unserialize(head.data(), head.size(), 0, 0, &p), JX_UNSER_OK);
    EXPECT_EQ(p.msg_id, 77u);
    EXPECT_STREQ(p.username, "da");
    EXPECT_EQ(p.payload_len, 0);

    // One byte, or nothing at all, cannot carry the program id.
    std::vector<uint8_t> one(full.begin(), full.begin() + 1);
    EXPECT_EQ(jx_unserialize(one.data(), one.size(), 0, 0, &p), JX_UNSER_BAD_PROGRAM);
    EXPECT_EQ(jx_unserialize(nullptr, 0, 0, 0, &p), JX_UNSER_BAD_PROGRAM);

    // Bytes beyond the declared payload are not taken even when they arrived.
    std::array<uint8_t, JX_DATAGRAM_MAX> extra = full;
    extra[30 + 11] = 'X';
    ASSERT_EQ(jx_unserialize(extra.data(), extra.size(), 0, 0, &p), JX_UNSER_OK);
    EXPECT_EQ(p.payload[11], 0);
}

TEST(ProtocolWire, EncoderNeverWritesPastItsBuffer)
{
    std::vector<uint8_t> text(1440, 'z');
    std::vector<uint8_t> small(64, 0xEE);
    // The result still tells the full length, so the caller sees that it did not fit.
    EXPECT_EQ(jx_serialize(small.data(), 40, PKT_TXT_GROUP, 0, 1, "e", text.data(), 1440), 1470u);
    EXPECT_EQ(small[39], 'z');
    for (size_t i = 40; i < small.size(); i++)
        EXPECT_EQ(small[i], 0xEE) << i;
    // Too small for a header: cleared, nothing else.
    std::vector<uint8_t> tiny(10, 0xEE);
    jx_serialize(tiny.data(), 8, PKT_BEACON, 0, 1, "e", nullptr, 0);
    EXPECT_TRUE(all_zero(tiny.data(), 8));
    EXPECT_EQ(tiny[8], 0xEE);
}
