// Channel message store: file images byte by byte, the ring, delivery updates, reads by position,
// damaged and cut files, and crashes at any point of a store.
#include <arpa/inet.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "fso_fixture.hpp"

namespace {

JXStoredMsg make_msg(uint8_t type, uint64_t id, const std::string& text, const char* user = "p")
{
    JXStoredMsg m{type, id, inet_addr("10.0.0.9"), 1700000000, {}, {}};
    snprintf(m.username, sizeof m.username, "%s", user);
    memcpy(m.text, text.data(), text.size());
    return m;
}

// img with the header numbers put in (least significant byte first) and m in slot `last`.
std::string put(std::string img, uint32_t last, uint32_t count, uint32_t cap, const JXStoredMsg* m = nullptr)
{
    for (uint32_t i = 0, v[3] = {last, count, cap}; i < 12; ++i)
        img[i] = static_cast<char>(v[i / 4] >> (8 * (i % 4)));
    if (m != nullptr)
        (void)jx_fso_serialize(reinterpret_cast<uint8_t*>(&img[last * 1600]), 1600, m);
    return img;
}

// "same", or where two file images part; never a dump of 161600 bytes.
std::string diff(const std::string& a, const std::string& b)
{
    const auto at = std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first - a.begin();
    return a == b ? "same"
                  : std::to_string(a.size()) + "/" + std::to_string(b.size()) + " bytes, at " +
                        std::to_string(at);
}

// Runs fn in a child that is SIGKILLed once it has made k system calls, so the files are as a
// crash between any two system calls leaves them. false when fn ended before that.
bool killed_at(int k, const std::function<void()>& fn)
{
    const pid_t pid = fork();
    if (pid == 0) {
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0 && raise(SIGSTOP) == 0)
            fn();
        _exit(0);
    }
    int st = 0;
    // Stop 0 is the child's SIGSTOP; then each call stops on its way in and on its way out.
    for (int i = 0; waitpid(pid, &st, 0) == pid && WIFSTOPPED(st); ++i) {
        ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_EXITKILL);
        i == 2 * k ? kill(pid, SIGKILL) : ptrace(PTRACE_SYSCALL, pid, nullptr, nullptr);
    }
    return WIFSIGNALED(st);
}

}  // namespace

class FsoMsg : public TempTree {
  protected:
    const std::string empty = put(std::string(JX_MSG_FILE_SIZE, '\0'), 0, 0, 100);
    void SetUp() override
    {
        TempTree::SetUp();
        dir("w/jx_internal"), dir("w/msg");
        ASSERT_EQ(jx_fso_init((root + "/w/jexley").c_str()), 0);
    }
    std::string file(const std::string& name) const { return root + "/w/msg/" + name; }
    std::string image(const std::string& name) const { return read_file(file(name)); }
    // Texts "m<id>", filled up to len with a letter of their own so that halves of two tell apart.
    void store_n(const std::string& name, uint32_t from, uint32_t to, size_t len = 0)
    {
        for (uint32_t i = from; i <= to; ++i) {
            std::string t = "m" + std::to_string(i);
            const JXStoredMsg m =
                make_msg(MSG_RECEIVED, i, t.append(len - std::min(len, t.size()), 'a' + i % 26));
            jx_fso_store_msg(&m, name.c_str());
        }
    }
    // "type id addr time user text", or the error; the record holds garbage first, so every field
    // must come from the read.
    std::string read(uint16_t pos, const std::string& name)
    {
        JXStoredMsg m;
        memset(&m, 0x5A, sizeof m);
        const uint8_t rc = jx_fso_read_msg(pos, name.c_str(), &m);
        return rc ? "error " + std::to_string(rc)
                  : std::to_string(m.type) + " " + std::to_string(m.id) + " " + inet_ntoa(in_addr{m.addr}) +
                        " " + std::to_string(m.time) + " " + m.username + " " + m.text;
    }
    // Stores two long texts in a child killed after each of its system calls in turn. Each kill
    // must leave what whole writes make: every slot old or new, a slot written before the header
    // that counts it, a new file absent or complete.
    void crash_anywhere(const std::string& name)
    {
        const std::string before = image(name);
        std::vector<std::string> states{before == "none" ? empty : before}, allowed{before};
        for (uint32_t id : {500u, 501u}) {
            store_n(name, id, id, 1500);
            allowed.push_back(states.back().substr(0, 8) + image(name).substr(8));  // slot, old header
            states.push_back(image(name));
        }
        allowed.insert(allowed.end(), states.begin(), states.end());
        int k = 0;
        for (std::error_code ec;; ++k) {
            before == "none" ? (void)fs::remove(file(name), ec) : write_file(file(name), before);
            if (!killed_at(k, [&] { store_n(name, 500, 501, 1500); }))
                break;
            ASSERT_NE(std::find(allowed.begin(), allowed.end(), image(name)), allowed.end())
                << "killed at " << k;
        }
        if (k == 0)
            GTEST_SKIP() << "ptrace is not permitted here";
        EXPECT_EQ(diff(image(name), states.back()), "same");
    }
};

TEST_F(FsoMsg, FileImageAndLimits)
{
    JXStoredMsg m = make_msg(MSG_SENT, 0x11223344, "hello", "bob");
    m.addr = inet_addr("192.168.1.5");
    m.time = 0x123456789ull;  // only the low 32 bits are kept
    jx_fso_store_msg(&m, "0501a8c0");
    std::string want = put(empty, 1, 1, 100).replace(1700, 5, "hello");
    want.replace(1600, 21,
                 "\x89\x67\x45\x23\0\0\0\0\x44\x33\x22\x11\x05\x01\xA8\xC0\0\x02"
                 "bob",
                 21);
    EXPECT_EQ(diff(image("0501a8c0"), want), "same");
    EXPECT_EQ(read(1, "0501a8c0"), "2 287454020 192.168.1.5 591751049 bob hello");

    // 1500 bytes fill the slot to its last byte and come back cut to 1470; a name of 15 is whole.
    std::string t1500(1500, 'T');
    JXStoredMsg l = make_msg(MSG_RECEIVED, 1, t1500.replace(1469, 1, "E"), "fifteen_chars15");
    jx_fso_store_msg(&l, "0501a8c0");
    EXPECT_EQ(image("0501a8c0").substr(3300, 1501), t1500 + '\0');
    EXPECT_EQ(read(2, "0501a8c0"), "1 1 10.0.0.9 1700000000 fifteen_chars15 " + t1500.substr(0, 1470));
    memset(l.text, 'B', sizeof l.text);  // 1501 bytes, no NUL: refused, nothing written
    want = image("0501a8c0");
    jx_fso_store_msg(&l, "0501a8c0");
    EXPECT_EQ(take_log(), "Msg to store exceeds format size\n");
    EXPECT_EQ(diff(image("0501a8c0"), want), "same");
    // No NUL anywhere in a slot, garbage beside the 32-bit time: the record still ends in NUL.
    write_file(file("0501a8c0"), want.replace(3204, 4, 4, '\xFF').replace(3218, 1582, 1582, '\xFF'));
    EXPECT_EQ(read(2, "0501a8c0"),
              "1 1 10.0.0.9 1700000000 " + std::string(15, '\xFF') + " " + std::string(1470, '\xFF'));
}

TEST_F(FsoMsg, RingWrapsAndReadsByPosition)
{
    uint64_t h[3];
    store_n("ring", 1, 101);
    EXPECT_EQ(jx_fso_read_file_header(h, "ring"), 0);
    EXPECT_EQ(std::vector<uint64_t>(h, h + 3), (std::vector<uint64_t>{1, 100, 100}));
    store_n("ring", 102, 102);
    EXPECT_EQ(diff(image("ring").substr(0, 12), put(std::string(12, '\0'), 2, 100, 100)), "same");
    EXPECT_EQ(read(1, "ring"), "1 101 10.0.0.9 1700000000 p m101");
    EXPECT_EQ(read(2, "ring"), "1 102 10.0.0.9 1700000000 p m102");
    EXPECT_EQ(read(100, "ring"), "1 100 10.0.0.9 1700000000 p m100");
    EXPECT_EQ(read(0, "ring"), "error 3");
    EXPECT_EQ(read(101, "ring"), "error 5");
    store_n("three", 1, 3);
    EXPECT_EQ(read(7, "three"), "0 0 0.0.0.0 0  ");  // past the messages: an empty record
    EXPECT_EQ(read(1, "missing"), "error 1");
    EXPECT_EQ(jx_fso_read_file_header(h, "missing"), 1);
    EXPECT_EQ(image("missing"), "none");

    const JXStoredMsg m = make_msg(MSG_SENT, 5, "x");
    const std::string longname(1024 - strlen(fso.root_path) - 5 + 1, 'n');  // a path of 1025
    jx_fso_store_msg(&m, longname.c_str());
    EXPECT_EQ(read(1, longname), "error 1");
    EXPECT_EQ(jx_fso_update_msg(longname.c_str(), &m), 1);
    fs::remove_all(root + "/w/msg");
    jx_fso_store_msg(&m, "00000001");
    EXPECT_EQ(take_log(),
              "Position must be greater the 0\nCan't create channel file\nCan't create channel file\n");
}

TEST_F(FsoMsg, UpdateChangesOnlyTheNewestCopy)
{
    store_n("up", 7, 7), store_n("up", 7, 8);  // ids 7, 7, 8: the newest 7 is not in slot `last`
    JXStoredMsg u = make_msg(MSG_DELIVERED, 7, "");
    std::string want = image("up");
    want[2 * 1600 + 17] = MSG_DELIVERED;
    EXPECT_EQ(jx_fso_update_msg("up", &u), 0);
    u.type = MSG_UNDELIVERED;
    for (uint64_t id : {99ull, 0x100000007ull, 0ull}) {  // not stored, beyond 32 bits, 0: no change
        u.id = id;
        EXPECT_EQ(jx_fso_update_msg("up", &u), id ? 0 : 3);
        EXPECT_EQ(diff(image("up"), want), "same");
    }
    u.id = 100;  // the header's capacity field, which a walk from slot 0 would compare
    EXPECT_EQ(jx_fso_update_msg("nofile", &u), 1);
    EXPECT_EQ(image("nofile"), "none");
    fclose(jx_fso_cch_file("empty"));
    EXPECT_EQ(jx_fso_update_msg("empty", &u), 0);
    EXPECT_EQ(diff(image("empty"), empty), "same");
    EXPECT_EQ(take_log(), "Message id must be greater the 0\n");

    store_n("wrap", 1, 101);  // id 100 in slot 100, last 1: the walk goes from 1 to 100
    EXPECT_EQ(jx_fso_update_msg("wrap", &u), 0);
    EXPECT_EQ(read(100, "wrap"), "4 100 10.0.0.9 1700000000 p m100");
}

// An acknowledged text must be stored: a file whose header cannot be followed is neither read nor
// updated; a store keeps it, byte for byte, under a name no channel has and starts a new one.
TEST_F(FsoMsg, DamagedFileIsKeptAsideAndTheTextStored)
{
    store_n("bad", 1, 3);
    const std::string good = image("bad");
    struct Case {
        std::string bytes;
        uint8_t header_rc;
        std::string read150;
    };
    const Case cases[] = {
        {put(good, 0, 0, 0), 2, "error 4"},
        {put(good, 50, 10, 10), 2, "error 4"},  // a walk that never comes back to last
        {put(good, 3, 101, 100), 2, "error 4"},
        {put(good, 4000000000u, 3, 0xFFFFFFFFu), 2, "error 4"},  // slots gigabytes away
        {std::string("\x01\0\0", 3), 2, "error 4"},
        {put(good, 150, 150, 200), 0, "error 2"},  // a ring larger than the file
    };
    const JXStoredMsg m = make_msg(MSG_SENT, 9, "new");
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(++n);
        write_file(file("bad"), c.bytes);
        uint64_t h[3];
        EXPECT_EQ(jx_fso_read_file_header(h, "bad"), c.header_rc);
        EXPECT_EQ(read(150, "bad"), c.read150);
        JXStoredMsg u = make_msg(MSG_DELIVERED, 2, "");
        EXPECT_EQ(jx_fso_update_msg("bad", &u), 4);
        EXPECT_EQ(take_log(), c.header_rc ? "" : "fread failed with error 0\n");
        EXPECT_EQ(diff(image("bad"), c.bytes), "same");
        jx_fso_store_msg(&m, "bad");
        const std::string kept = file("bad.damaged" + std::to_string(n));
        EXPECT_EQ(take_log(), "Channel file header is not valid [bad]\nDamaged channel file [" + file("bad") +
                                  "] moved to [" + kept + "], a new one is started\n");
        EXPECT_EQ(diff(read_file(kept), c.bytes), "same");
        EXPECT_EQ(diff(image("bad"), put(empty, 1, 1, 100, &m)), "same");
    }
}

// A cut file keeps its whole slots, stops counting the lost ones and is filled up again, so no
// slot lands past the end; an update repairs it the same way.
TEST_F(FsoMsg, CutFileIsFilledUpKeepingWholeSlots)
{
    store_n("five", 1, 5);
    store_n("wrapped", 1, 101);
    const std::string five = image("five"), wrapped = image("wrapped");
    struct Case {
        const std::string* before;
        size_t size;
        uint32_t kept, last, count;  // slots kept; the header once the new text is in slot last
    };
    const Case cases[] = {
        {&five, 1000, 0, 1, 1},
        {&five, 4 * 1600 + 700, 3, 4, 4},  // slot 4 is torn: cleared
        {&wrapped, 50 * 1600, 49, 2, 50},  // last 1 stays, 49 of 100 remain
    };
    const JXStoredMsg m = make_msg(MSG_SENT, 9, "new");
    for (const Case& c : cases) {
        write_file(file("cut"), c.before->substr(0, c.size));
        jx_fso_store_msg(&m, "cut");
        EXPECT_EQ(take_log(), "Channel file cut short [" + file("cut") + "], " + std::to_string(c.size) +
                                  " bytes: " + std::to_string(c.kept) +
                                  " whole slots kept, filled up to 161600 bytes\n");
        const std::string want = c.before->substr(0, (c.kept + 1) * 1600) + empty.substr((c.kept + 1) * 1600);
        EXPECT_EQ(diff(image("cut"), put(want, c.last, c.count, 100, &m)), "same") << c.size;
    }
    write_file(file("cut"), five.substr(0, 4 * 1600 + 700));
    JXStoredMsg u = make_msg(MSG_DELIVERED, 2, "");
    EXPECT_EQ(jx_fso_update_msg("cut", &u), 0);
    std::string want = put(five.substr(0, 4 * 1600) + empty.substr(4 * 1600), 3, 3, 100);
    EXPECT_EQ(diff(image("cut"), want.replace(2 * 1600 + 17, 1, 1, MSG_DELIVERED)), "same");
    EXPECT_NE(take_log().find("Channel file cut short"), std::string::npos);
}

// A slot across a 4 KiB boundary once reached the disk in two writes: a crash in between mixed a
// new time and name with an old text.
TEST_F(FsoMsg, CrashLeavesEverySlotWhole)
{
    store_n("ring", 1, 101, 1500);  // last 1: the next store goes to slot 2, across 4096
    crash_anywhere("ring");
}

// Creating a file once took some 40 writes: a crash in between left a short file.
TEST_F(FsoMsg, CrashLeavesNoShortChannelFile)
{
    crash_anywhere("0501a8c0");
}
