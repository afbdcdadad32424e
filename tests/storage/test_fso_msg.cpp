// Channel message store: file images byte by byte, the ring, delivery updates, reads by position,
// and files whose header or slots hold garbage.
#include <arpa/inet.h>

#include <string>
#include <vector>

#include "fso_fixture.hpp"

using fso_test::exists;
using fso_test::file_size;
using fso_test::read_bytes;
using fso_test::write_bytes;

namespace {

JXStoredMsg make_msg(uint8_t type, uint64_t id, const char* user, const std::string& text)
{
    JXStoredMsg m{};
    m.type = type;
    m.id = id;
    m.addr = inet_addr("10.0.0.9");
    m.time = 1700000000;
    snprintf(m.username, sizeof m.username, "%s", user);
    memcpy(m.text, text.data(), text.size());
    return m;
}

uint32_t le32(const std::vector<uint8_t>& b, size_t off)
{
    return b[off] | (b[off + 1] << 8) | (b[off + 2] << 16) | (static_cast<uint32_t>(b[off + 3]) << 24);
}

void put_le32(std::vector<uint8_t>& b, size_t off, uint32_t v)
{
    for (int k = 0; k < 4; ++k)
        b[off + k] = static_cast<uint8_t>(v >> (8 * k));
}

void store(const JXStoredMsg& m, const char* name)
{
    jx_fso_store_msg(&m, name);
}

bool all_zero(const std::vector<uint8_t>& b, size_t from, size_t to)
{
    for (size_t i = from; i < to; ++i)
        if (b[i] != 0)
            return false;
    return true;
}

}  // namespace

class FsoMsg : public fso_test::TempTree {
  protected:
    std::string msgdir;
    void SetUp() override
    {
        fso_test::TempTree::SetUp();
        std::string w = dir("w");
        dir("w/jx_internal");
        msgdir = dir("w/msg");
        ASSERT_EQ(jx_fso_init((w + "/jexley").c_str()), 0);
        open_log();
    }
    std::string file(const char* name) const { return msgdir + "/" + name; }
    std::vector<uint8_t> image(const char* name) const { return read_bytes(file(name)); }
    void store_n(const char* name, uint32_t from, uint32_t to)
    {
        for (uint32_t i = from; i <= to; ++i)
            store(make_msg(MSG_RECEIVED, i, "p", "m" + std::to_string(i)), name);
    }
    uint64_t hdr[3] = {};
    void header(const char* name) { ASSERT_EQ(jx_fso_read_file_header(hdr, name), 0); }
};

TEST_F(FsoMsg, FirstMessageCreatesTheFileImage)
{
    JXStoredMsg m{};
    m.type = MSG_SENT;
    m.id = 0x11223344;
    m.addr = inet_addr("192.168.1.5");
    m.time = 0x123456789ull;  // only the low 32 bits are kept
    strcpy(m.username, "bob");
    strcpy(m.text, "hello");
    jx_fso_store_msg(&m, "0501a8c0");

    auto img = image("0501a8c0");
    ASSERT_EQ(img.size(), 161600u);
    // Header: last 1, count 1, capacity 100, LSB first, then zeros.
    const uint8_t head[12] = {1, 0, 0, 0, 1, 0, 0, 0, 100, 0, 0, 0};
    EXPECT_EQ(memcmp(img.data(), head, 12), 0);
    EXPECT_TRUE(all_zero(img, 12, 1600));
    // Slot 1.
    const uint8_t slot[22] = {0x89, 0x67, 0x45, 0x23, 0,    0, 0,        0,   0x44, 0x33, 0x22,
                              0x11, 0x05, 0x01, 0xA8, 0xC0, 0, MSG_SENT, 'b', 'o',  'b',  0};
    EXPECT_EQ(memcmp(img.data() + 1600, slot, sizeof slot), 0);
    EXPECT_TRUE(all_zero(img, 1600 + 21, 1700));
    EXPECT_EQ(memcmp(img.data() + 1700, "hello", 5), 0);
    EXPECT_TRUE(all_zero(img, 1705, 161600));  // rest of slot 1 and slots 2..100

    header("0501a8c0");
    EXPECT_EQ(hdr[0], 1u);
    EXPECT_EQ(hdr[1], 1u);
    EXPECT_EQ(hdr[2], 100u);

    JXStoredMsg back;
    memset(&back, 0xAB, sizeof back);
    ASSERT_EQ(jx_fso_read_msg(1, "0501a8c0", &back), 0);
    EXPECT_EQ(back.type, MSG_SENT);
    EXPECT_EQ(back.id, 0x11223344u);
    EXPECT_EQ(back.addr, inet_addr("192.168.1.5"));
    EXPECT_EQ(back.time, 0x23456789u);
    EXPECT_STREQ(back.username, "bob");
    EXPECT_STREQ(back.text, "hello");
    EXPECT_EQ(back.username[15], 0);

    // The standalone codec gives the same slot image.
    uint8_t buf[1600];
    EXPECT_EQ(jx_fso_serialize(buf, sizeof buf, &m), 105u);
    EXPECT_EQ(memcmp(buf, img.data() + 1600, 1600), 0);
    EXPECT_EQ(jx_fso_serialize(buf, 1599, &m), 0u);  // a short buffer is only cleared
    JXStoredMsg tiny;
    jx_fso_unserialize(img.data() + 1600, 1599, &tiny);
    EXPECT_EQ(tiny.type, 0);
}

TEST_F(FsoMsg, RingWrapsAfterOneHundredMessages)
{
    store_n("ring", 1, 100);
    header("ring");
    EXPECT_EQ(hdr[0], 100u);
    EXPECT_EQ(hdr[1], 100u);

    store_n("ring", 101, 101);
    header("ring");
    EXPECT_EQ(hdr[0], 1u);
    EXPECT_EQ(hdr[1], 100u);
    EXPECT_EQ(hdr[2], 100u);
    EXPECT_EQ(file_size(file("ring")), 161600);  // the ring never grows

    JXStoredMsg m;
    ASSERT_EQ(jx_fso_read_msg(1, "ring", &m), 0);
    EXPECT_STREQ(m.text, "m101");
    EXPECT_EQ(m.id, 101u);
    ASSERT_EQ(jx_fso_read_msg(100, "ring", &m), 0);
    EXPECT_STREQ(m.text, "m100");
    ASSERT_EQ(jx_fso_read_msg(2, "ring", &m), 0);
    EXPECT_STREQ(m.text, "m2");

    store_n("ring", 102, 102);
    header("ring");
    EXPECT_EQ(hdr[0], 2u);
    EXPECT_EQ(hdr[1], 100u);
    ASSERT_EQ(jx_fso_read_msg(2, "ring", &m), 0);
    EXPECT_STREQ(m.text, "m102");
}

TEST_F(FsoMsg, TextAndNameLimits)
{
    // 1500 bytes fill the slot to its last byte and come back cut to 1470.
    std::string t1500(1500, 'T');
    t1500[1469] = 'E';
    t1500[1470] = 'X';
    JXStoredMsg m = make_msg(MSG_RECEIVED, 1, "fifteen_chars15", t1500);
    jx_fso_store_msg(&m, "lim");
    auto img = image("lim");
    ASSERT_EQ(img.size(), 161600u);
    EXPECT_EQ(std::string(img.begin() + 1700, img.begin() + 3200), t1500);
    EXPECT_EQ(img[3200], 0);  // slot 2 untouched
    JXStoredMsg back;
    ASSERT_EQ(jx_fso_read_msg(1, "lim", &back), 0);
    EXPECT_EQ(strlen(back.text), 1470u);
    EXPECT_EQ(back.text[1469], 'E');
    EXPECT_STREQ(back.username, "fifteen_chars15");
    EXPECT_EQ(back.username[15], 0);
    EXPECT_EQ(take_log(), "");

    // 1501 bytes (the record's whole text buffer, no NUL) are refused; nothing is written.
    JXStoredMsg big = make_msg(MSG_RECEIVED, 2, "x", "");
    memset(big.text, 'B', sizeof big.text);
    jx_fso_store_msg(&big, "lim");
    EXPECT_NE(take_log().find("\tMsg to store exceeds format size\r\n"), std::string::npos);
    EXPECT_EQ(image("lim"), img);
    jx_fso_store_msg(&big, "fresh");
    EXPECT_FALSE(exists(file("fresh")));
    uint8_t buf[1600];
    EXPECT_EQ(jx_fso_serialize(buf, sizeof buf, &big), 0u);

    // A user name filling all 16 bytes without NUL: only 15 reach the slot.
    JXStoredMsg u = make_msg(MSG_RECEIVED, 3, "", "hi");
    memset(u.username, 'u', sizeof u.username);
    EXPECT_EQ(jx_fso_serialize(buf, sizeof buf, &u), 102u);
    EXPECT_EQ(buf[18 + 14], 'u');
    EXPECT_EQ(buf[18 + 15], 0);

    // Notices with an empty user name and addr 0 round-trip as zeros.
    JXStoredMsg n = make_msg(MSG_NOTICE, 0, "", "peer joined");
    n.addr = 0;
    jx_fso_store_msg(&n, "lim");
    ASSERT_EQ(jx_fso_read_msg(2, "lim", &back), 0);
    EXPECT_EQ(back.type, MSG_NOTICE);
    EXPECT_EQ(back.addr, 0u);
    EXPECT_EQ(back.id, 0u);
    EXPECT_STREQ(back.username, "");
    EXPECT_STREQ(back.text, "peer joined");
}

TEST_F(FsoMsg, UpdateChangesOnlyTheNewestCopy)
{
    store(make_msg(MSG_SENT, 7, "me", "first"), "up");
    store(make_msg(MSG_SENT, 8, "me", "other"), "up");
    store(make_msg(MSG_SENT, 7, "me", "again"), "up");

    JXStoredMsg u{};
    u.type = MSG_DELIVERED;
    u.id = 7;
    auto before = image("up");
    EXPECT_EQ(jx_fso_update_msg("up", &u), 0);
    auto after = image("up");
    // Exactly one byte changed: the type of slot 3.
    size_t diffs = 0;
    for (size_t i = 0; i < after.size(); ++i)
        diffs += before[i] != after[i];
    EXPECT_EQ(diffs, 1u);
    EXPECT_EQ(after[3 * 1600 + 17], MSG_DELIVERED);
    EXPECT_EQ(after[1 * 1600 + 17], MSG_SENT);

    // An id that is not stored: result 0, no change.
    u.id = 99;
    EXPECT_EQ(jx_fso_update_msg("up", &u), 0);
    EXPECT_EQ(image("up"), after);
    // An id beyond 32 bits can never match a stored 32-bit id.
    u.id = 0x100000007ull;
    EXPECT_EQ(jx_fso_update_msg("up", &u), 0);
    EXPECT_EQ(image("up"), after);

    u.id = 0;
    EXPECT_EQ(jx_fso_update_msg("up", &u), 3);
    EXPECT_NE(take_log().find("\tMessage id must be greater the 0\r\n"), std::string::npos);

    u.id = 7;
    EXPECT_EQ(jx_fso_update_msg("nofile", &u), 1);
    EXPECT_FALSE(exists(file("nofile")));

    // A file that holds no message yet: done at once, no walk past the end.
    FILE* f = jx_fso_cch_file("empty");
    ASSERT_NE(f, nullptr);
    fclose(f);
    u.id = 100;  // equals the header's capacity field, which a walk from slot 0 would compare
    EXPECT_EQ(jx_fso_update_msg("empty", &u), 0);
    EXPECT_EQ(take_log(), "");
    auto empty = image("empty");
    ASSERT_EQ(empty.size(), 161600u);
    EXPECT_EQ(le32(empty, 8), 100u);
    EXPECT_TRUE(all_zero(empty, 12, empty.size()));

    // After the wrap the walk goes from slot 1 back to slot 100.
    store_n("wrap", 1, 101);  // id 100 sits in slot 100, last is 1
    u.id = 100;
    u.type = MSG_UNDELIVERED;
    EXPECT_EQ(jx_fso_update_msg("wrap", &u), 0);
    JXStoredMsg m;
    ASSERT_EQ(jx_fso_read_msg(100, "wrap", &m), 0);
    EXPECT_EQ(m.type, MSG_UNDELIVERED);
    EXPECT_STREQ(m.text, "m100");
}

TEST_F(FsoMsg, ReadPositions)
{
    store_n("pos", 1, 3);
    JXStoredMsg m;
    EXPECT_EQ(jx_fso_read_msg(0, "pos", &m), 3);
    EXPECT_NE(take_log().find("\tPosition must be greater the 0\r\n"), std::string::npos);
    EXPECT_EQ(jx_fso_read_msg(101, "pos", &m), 5);
    EXPECT_EQ(jx_fso_read_msg(65535, "pos", &m), 5);
    // Inside the ring but past the messages: an empty record ends the conversation.
    memset(&m, 0x5A, sizeof m);
    ASSERT_EQ(jx_fso_read_msg(7, "pos", &m), 0);
    EXPECT_EQ(m.type, 0);
    EXPECT_EQ(m.id, 0u);
    EXPECT_EQ(m.text[0], 0);
    ASSERT_EQ(jx_fso_read_msg(100, "pos", &m), 0);
    EXPECT_EQ(m.type, 0);
    ASSERT_EQ(jx_fso_read_msg(3, "pos", &m), 0);
    EXPECT_STREQ(m.text, "m3");
    EXPECT_EQ(jx_fso_read_msg(1, "missing", &m), 1);
    EXPECT_EQ(jx_fso_read_file_header(hdr, "missing"), 1);
    EXPECT_FALSE(exists(file("missing")));
}

TEST_F(FsoMsg, PathsThatCannotBeUsed)
{
    JXStoredMsg m = make_msg(MSG_SENT, 5, "me", "x");
    // The whole path must fit 1024 characters.
    std::string longname(1024 - strlen(fso.root_path) - 5 + 1, 'n');
    EXPECT_EQ(jx_fso_cch_file(longname.c_str()), nullptr);
    jx_fso_store_msg(&m, longname.c_str());
    EXPECT_NE(take_log().find("\tCan't create channel file\r\n"), std::string::npos);
    JXStoredMsg back;
    EXPECT_EQ(jx_fso_read_msg(1, longname.c_str(), &back), 1);
    EXPECT_EQ(jx_fso_update_msg(longname.c_str(), &m), 1);
    EXPECT_EQ(jx_fso_read_file_header(hdr, longname.c_str()), 1);
    EXPECT_EQ(jx_fso_cch_file(nullptr), nullptr);

    // No msg directory.
    std::filesystem::remove_all(msgdir);
    jx_fso_store_msg(&m, "00000001");
    EXPECT_NE(take_log().find("\tCan't create channel file\r\n"), std::string::npos);
}

TEST_F(FsoMsg, CorruptedFilesNeverOverreadLoopOrGrow)
{
    store_n("bad", 1, 3);
    auto good = image("bad");
    JXStoredMsg u{};
    u.type = MSG_DELIVERED;
    u.id = 424242;
    JXStoredMsg m;

    struct Case {
        uint32_t last, count, capacity;
    };
    // Capacity 0, last beyond capacity (a walk that never comes back to last), count beyond
    // capacity, and a capacity that would put the next slot gigabytes past the end.
    for (Case c : {Case{3, 3, 0}, Case{50, 10, 10}, Case{3, 101, 100}, Case{4000000000u, 3, 0xFFFFFFFFu}}) {
        auto img = good;
        put_le32(img, 0, c.last);
        put_le32(img, 4, c.count);
        put_le32(img, 8, c.capacity);
        write_bytes(file("bad"), img.data(), img.size());
        SCOPED_TRACE(c.capacity);
        EXPECT_EQ(jx_fso_read_file_header(hdr, "bad"), 2);
        EXPECT_EQ(jx_fso_read_msg(1, "bad", &m), 4);
        EXPECT_EQ(jx_fso_update_msg("bad", &u), 4);
        store(make_msg(MSG_SENT, 9, "me", "new"), "bad");
        EXPECT_NE(take_log().find("Channel file header is not valid [bad]"), std::string::npos);
        EXPECT_EQ(image("bad"), img);  // neither written nor grown
    }

    // A valid header describing a ring larger than the file: reads past the end fail cleanly.
    auto img = good;
    put_le32(img, 0, 150);
    put_le32(img, 4, 150);
    put_le32(img, 8, 200);
    write_bytes(file("bad"), img.data(), img.size());
    EXPECT_EQ(jx_fso_read_msg(150, "bad", &m), 2);
    EXPECT_NE(take_log().find("\tfread failed with error 0\r\n"), std::string::npos);
    EXPECT_EQ(jx_fso_update_msg("bad", &u), 2);
    EXPECT_EQ(image("bad"), img);

    // Slot bytes with no NUL anywhere: the record still ends in NUL at 15 and 1470.
    img = good;
    memset(img.data() + 1600 + 18, 0xFF, 1600 - 18);
    write_bytes(file("bad"), img.data(), img.size());
    ASSERT_EQ(jx_fso_read_msg(1, "bad", &m), 0);
    EXPECT_EQ(strlen(m.username), 15u);
    EXPECT_EQ(strlen(m.text), 1470u);
    EXPECT_EQ(static_cast<uint8_t>(m.text[0]), 0xFF);

    // A file too short for a header cannot be read, and is formatted anew on the next store.
    write_bytes(file("bad"), "\x01\x00\x00", 3);
    EXPECT_EQ(jx_fso_read_file_header(hdr, "bad"), 2);
    EXPECT_EQ(jx_fso_read_msg(1, "bad", &m), 4);
    EXPECT_EQ(jx_fso_update_msg("bad", &u), 4);
    store(make_msg(MSG_SENT, 9, "me", "fresh"), "bad");
    EXPECT_EQ(file_size(file("bad")), 161600);
    header("bad");
    EXPECT_EQ(hdr[0], 1u);
    EXPECT_EQ(hdr[1], 1u);
    ASSERT_EQ(jx_fso_read_msg(1, "bad", &m), 0);
    EXPECT_STREQ(m.text, "fresh");

    // A file cut after slot 1: slot 2 is a read failure, not garbage.
    img = good;
    img.resize(3200);
    write_bytes(file("bad"), img.data(), img.size());
    EXPECT_EQ(jx_fso_read_msg(2, "bad", &m), 2);
    ASSERT_EQ(jx_fso_read_msg(1, "bad", &m), 0);
    EXPECT_STREQ(m.text, "m1");
}
