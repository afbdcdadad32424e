// Channel message store: file images byte by byte, the ring, delivery updates, reads by position,
// and files whose header or slots hold garbage.
#include <arpa/inet.h>

#include <algorithm>
#include <string>
#include <vector>

#include "foundation/bit_utils.hpp"
#include "fso_fixture.hpp"

using fso_test::read_bytes;
using fso_test::write_bytes;
namespace fs = std::filesystem;

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

bool zeros(const std::vector<uint8_t>& b, size_t from, size_t to)
{
    return std::all_of(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(to),
                       [](uint8_t x) { return x == 0; });
}

}  // namespace

class FsoMsg : public fso_test::TempTree {
  protected:
    std::string msgdir;
    uint64_t hdr[3] = {};

    void SetUp() override
    {
        fso_test::TempTree::SetUp();
        dir("w/jx_internal");
        msgdir = dir("w/msg");
        ASSERT_EQ(jx_fso_init((root + "/w/jexley").c_str()), 0);
        open_log();
    }
    std::string file(const std::string& name) const { return msgdir + "/" + name; }
    std::vector<uint8_t> image(const char* name) const { return read_bytes(file(name)); }
    void store_n(const char* name, uint32_t from, uint32_t to)
    {
        for (uint32_t i = from; i <= to; ++i) {
            const JXStoredMsg m = make_msg(MSG_RECEIVED, i, "p", "m" + std::to_string(i));
            jx_fso_store_msg(&m, name);
        }
    }
    // last, count, capacity as one text, or the read's error code.
    std::string header(const char* name)
    {
        const uint8_t rc = jx_fso_read_file_header(hdr, name);
        return rc != 0 ? "error " + std::to_string(rc)
                       : std::to_string(hdr[0]) + "/" + std::to_string(hdr[1]) + "/" + std::to_string(hdr[2]);
    }
    // The record at pos as "type id addr time user text", or the read's error code. The record is
    // filled with garbage first, so every field must come from the read.
    std::string read(uint16_t pos, const char* name)
    {
        JXStoredMsg m;
        memset(&m, 0x5A, sizeof m);
        const uint8_t rc = jx_fso_read_msg(pos, name, &m);
        in_addr a{m.addr};
        return rc != 0 ? "error " + std::to_string(rc)
                       : std::to_string(m.type) + " " + std::to_string(m.id) + " " + inet_ntoa(a) + " " +
                             std::to_string(m.time) + " " + m.username + " " + m.text;
    }
};

TEST_F(FsoMsg, FirstMessageCreatesTheFileImage)
{
    JXStoredMsg m = make_msg(MSG_SENT, 0x11223344, "bob", "hello");
    m.addr = inet_addr("192.168.1.5");
    m.time = 0x123456789ull;  // only the low 32 bits are kept
    jx_fso_store_msg(&m, "0501a8c0");

    auto img = image("0501a8c0");
    ASSERT_EQ(img.size(), 161600u);
    // Header: last 1, count 1, capacity 100, LSB first, then zeros.
    const uint8_t head[12] = {1, 0, 0, 0, 1, 0, 0, 0, 100, 0, 0, 0};
    EXPECT_EQ(memcmp(img.data(), head, 12), 0);
    EXPECT_TRUE(zeros(img, 12, 1600));
    // Slot 1.
    const uint8_t slot[22] = {0x89, 0x67, 0x45, 0x23, 0,    0, 0,        0,   0x44, 0x33, 0x22,
                              0x11, 0x05, 0x01, 0xA8, 0xC0, 0, MSG_SENT, 'b', 'o',  'b',  0};
    EXPECT_EQ(memcmp(img.data() + 1600, slot, sizeof slot), 0);
    EXPECT_TRUE(zeros(img, 1600 + 21, 1700));
    EXPECT_EQ(memcmp(img.data() + 1700, "hello", 5), 0);
    EXPECT_TRUE(zeros(img, 1705, 161600));  // rest of slot 1 and slots 2..100
    EXPECT_EQ(header("0501a8c0"), "1/1/100");

    EXPECT_EQ(read(1, "0501a8c0"), "2 287454020 192.168.1.5 591751049 bob hello");

    // The standalone codec gives the same slot image; a short buffer is only cleared.
    uint8_t buf[1600];
    EXPECT_EQ(jx_fso_serialize(buf, sizeof buf, &m), 105u);
    EXPECT_EQ(jx_fso_serialize(buf, 1599, &m), 0u);
    jx_fso_unserialize(img.data() + 1600, 1599, &m);
    EXPECT_EQ(m.type, 0);
}

TEST_F(FsoMsg, RingWrapsAfterOneHundredMessagesAndReadsByPosition)
{
    store_n("ring", 1, 100);
    EXPECT_EQ(header("ring"), "100/100/100");
    store_n("ring", 101, 101);
    EXPECT_EQ(header("ring"), "1/100/100");
    store_n("ring", 102, 102);
    EXPECT_EQ(header("ring"), "2/100/100");
    EXPECT_EQ(fs::file_size(file("ring")), 161600u);  // the ring never grows
    EXPECT_EQ(read(1, "ring"), "1 101 10.0.0.9 1700000000 p m101");
    EXPECT_EQ(read(2, "ring"), "1 102 10.0.0.9 1700000000 p m102");
    EXPECT_EQ(read(3, "ring"), "1 3 10.0.0.9 1700000000 p m3");
    EXPECT_EQ(read(100, "ring"), "1 100 10.0.0.9 1700000000 p m100");

    // Reads by position in a file of three messages.
    store_n("pos", 1, 3);
    EXPECT_EQ(read(0, "pos"), "error 3");
    EXPECT_NE(take_log().find("\tPosition must be greater the 0\r\n"), std::string::npos);
    EXPECT_EQ(read(101, "pos"), "error 5");
    // Inside the ring but past the messages: an empty record ends the conversation.
    EXPECT_EQ(read(7, "pos"), "0 0 0.0.0.0 0  ");
    EXPECT_EQ(read(1, "missing"), "error 1");
    EXPECT_EQ(header("missing"), "error 1");
    EXPECT_FALSE(fs::exists(file("missing")));
}

TEST_F(FsoMsg, TextAndNameLimits)
{
    // 1500 bytes fill the slot to its last byte and come back cut to 1470.
    std::string t1500(1500, 'T');
    t1500[1469] = 'E';
    JXStoredMsg m = make_msg(MSG_RECEIVED, 1, "fifteen_chars15", t1500);
    jx_fso_store_msg(&m, "lim");
    const auto img = image("lim");
    ASSERT_EQ(img.size(), 161600u);
    EXPECT_EQ(std::string(img.begin() + 1700, img.begin() + 3200), t1500);
    EXPECT_EQ(img[3200], 0);  // slot 2 untouched
    EXPECT_EQ(read(1, "lim"), "1 1 10.0.0.9 1700000000 fifteen_chars15 " + t1500.substr(0, 1470));
    EXPECT_EQ(take_log(), "");

    // 1501 bytes (the record's whole text buffer, no NUL) are refused; nothing is written.
    JXStoredMsg big = make_msg(MSG_RECEIVED, 2, "x", "");
    memset(big.text, 'B', sizeof big.text);
    jx_fso_store_msg(&big, "lim");
    EXPECT_NE(take_log().find("\tMsg to store exceeds format size\r\n"), std::string::npos);
    EXPECT_EQ(image("lim"), img);
    jx_fso_store_msg(&big, "fresh");
    EXPECT_FALSE(fs::exists(file("fresh")));
    uint8_t buf[1600];
    EXPECT_EQ(jx_fso_serialize(buf, sizeof buf, &big), 0u);

    // A user name filling all 16 bytes without NUL: only 15 reach the slot.
    JXStoredMsg u = make_msg(MSG_RECEIVED, 3, "", "hi");
    memset(u.username, 'u', sizeof u.username);
    EXPECT_EQ(jx_fso_serialize(buf, sizeof buf, &u), 102u);
    EXPECT_EQ(buf[18 + 14], 'u');
    EXPECT_EQ(buf[18 + 15], 0);
}

TEST_F(FsoMsg, UpdateChangesOnlyTheNewestCopy)
{
    for (uint64_t id : {7, 8, 7}) {
        const JXStoredMsg m = make_msg(MSG_SENT, id, "me", "text");
        jx_fso_store_msg(&m, "up");
    }
    JXStoredMsg u{};
    u.type = MSG_DELIVERED;
    u.id = 7;
    auto after = image("up");
    EXPECT_EQ(jx_fso_update_msg("up", &u), 0);
    // Exactly one byte changed: the type of slot 3.
    after[3 * 1600 + 17] = MSG_DELIVERED;
    EXPECT_TRUE(image("up") == after);

    // An id that is not stored, or one beyond 32 bits: result 0, no change.
    for (uint64_t id : {99ull, 0x100000007ull}) {
        u.id = id;
        EXPECT_EQ(jx_fso_update_msg("up", &u), 0);
        EXPECT_EQ(image("up"), after);
    }
    u.id = 0;
    EXPECT_EQ(jx_fso_update_msg("up", &u), 3);
    EXPECT_NE(take_log().find("\tMessage id must be greater the 0\r\n"), std::string::npos);
    u.id = 7;
    EXPECT_EQ(jx_fso_update_msg("nofile", &u), 1);
    EXPECT_FALSE(fs::exists(file("nofile")));

    // A file that holds no message yet: done at once, no walk past the end.
    FILE* f = jx_fso_cch_file("empty");
    ASSERT_NE(f, nullptr);
    fclose(f);
    u.id = 100;  // equals the header's capacity field, which a walk from slot 0 would compare
    EXPECT_EQ(jx_fso_update_msg("empty", &u), 0);
    EXPECT_EQ(take_log(), "");
    EXPECT_TRUE(zeros(image("empty"), 12, JX_MSG_FILE_SIZE)) << "nothing written";

    // After the wrap the walk goes from slot 1 back to slot 100.
    store_n("wrap", 1, 101);  // id 100 sits in slot 100, last is 1
    u.type = MSG_UNDELIVERED;
    EXPECT_EQ(jx_fso_update_msg("wrap", &u), 0);
    EXPECT_EQ(read(100, "wrap"), "4 100 10.0.0.9 1700000000 p m100");
}

TEST_F(FsoMsg, PathsThatCannotBeUsed)
{
    JXStoredMsg m = make_msg(MSG_SENT, 5, "me", "x");
    // The whole path must fit 1024 characters.
    const std::string longname(1024 - strlen(fso.root_path) - 5 + 1, 'n');
    const char* name = longname.c_str();
    EXPECT_EQ(jx_fso_cch_file(name), nullptr);
    jx_fso_store_msg(&m, name);
    EXPECT_NE(take_log().find("\tCan't create channel file\r\n"), std::string::npos);
    EXPECT_EQ(read(1, name), "error 1");
    EXPECT_EQ(jx_fso_update_msg(name, &m), 1);
    EXPECT_EQ(header(name), "error 1");
    EXPECT_EQ(jx_fso_cch_file(nullptr), nullptr);

    // No msg directory.
    fs::remove_all(msgdir);
    jx_fso_store_msg(&m, "00000001");
    EXPECT_NE(take_log().find("\tCan't create channel file\r\n"), std::string::npos);
}

TEST_F(FsoMsg, CorruptedFilesNeverOverreadLoopOrGrow)
{
    store_n("bad", 1, 3);
    const auto good = image("bad");
    JXStoredMsg u = make_msg(MSG_DELIVERED, 424242, "", "");
    const JXStoredMsg m = make_msg(MSG_SENT, 9, "me", "new");
    auto put_header = [&](uint32_t last, uint32_t count, uint32_t capacity) {
        auto img = good;
        jx_uint32_to_b(last, img.data());
        jx_uint32_to_b(count, img.data() + 4);
        jx_uint32_to_b(capacity, img.data() + 8);
        write_bytes(file("bad"), img.data(), img.size());
        return img;
    };

    // Capacity 0, last beyond capacity (a walk that never comes back to last), count beyond
    // capacity, and a capacity that would put the next slot gigabytes past the end.
    const uint32_t cases[][3] = {{0, 0, 0}, {50, 10, 10}, {3, 101, 100}, {4000000000u, 3, 0xFFFFFFFFu}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c[2]);
        const auto img = put_header(c[0], c[1], c[2]);
        EXPECT_EQ(header("bad"), "error 2");
        EXPECT_EQ(read(1, "bad"), "error 4");
        EXPECT_EQ(jx_fso_update_msg("bad", &u), 4);
        jx_fso_store_msg(&m, "bad");
        EXPECT_EQ(image("bad"), img);  // neither written nor grown
    }

    // A valid header describing a ring larger than the file: reads past the end fail cleanly.
    auto img = put_header(150, 150, 200);
    EXPECT_EQ(read(150, "bad"), "error 2");
    EXPECT_NE(take_log().find("\tfread failed with error 0\r\n"), std::string::npos);
    EXPECT_EQ(jx_fso_update_msg("bad", &u), 2);
    EXPECT_EQ(image("bad"), img);

    // Slot bytes with no NUL anywhere, and garbage beside the 32-bit time: the record still ends
    // in NUL at 15 and 1470, and the time is read from its own four bytes.
    img = good;
    memset(img.data() + 1600 + 4, 0xFF, 4);
    memset(img.data() + 1600 + 18, 0xFF, 1600 - 18);
    write_bytes(file("bad"), img.data(), img.size());
    EXPECT_EQ(read(1, "bad"),
              "1 1 10.0.0.9 1700000000 " + std::string(15, '\xFF') + " " + std::string(1470, '\xFF'));

    // A file too short for a header cannot be read, and is formatted anew on the next store.
    write_bytes(file("bad"), "\x01\x00\x00", 3);
    EXPECT_EQ(header("bad"), "error 2");
    EXPECT_EQ(read(1, "bad"), "error 4");
    EXPECT_EQ(jx_fso_update_msg("bad", &u), 4);
    jx_fso_store_msg(&m, "bad");
    EXPECT_EQ(header("bad"), "1/1/100");
    EXPECT_EQ(fs::file_size(file("bad")), 161600u);
    EXPECT_EQ(read(1, "bad"), "2 9 10.0.0.9 1700000000 me new");

    // A file cut after slot 1: slot 2 is a read failure, not garbage.
    write_bytes(file("bad"), good.data(), 3200);
    EXPECT_EQ(read(2, "bad"), "error 2");
    EXPECT_EQ(read(1, "bad"), "1 1 10.0.0.9 1700000000 p m1");
}
