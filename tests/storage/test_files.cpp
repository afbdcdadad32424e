// The files storage keeps: safe names for offered files, the networks file, the channel message
// store (file images, the ring, updates, reads by position, damaged and cut files, crashes at any
// point), and the file side of transfers (describing and hashing a file to offer, free names,
// whole segments).
#include "storage_fixture.hpp"

// Offered names become names that are safe to keep on disk, or are refused.
TEST_F(Storage, OfferedNamesBecomeSafeNames)
{
    std::string e200;  // 200 two-byte characters
    while (e200.size() < 400)
        e200 += "\u00e9";
    // {offered, stored ("": refused)}
    // clang-format off
    const std::pair<std::string, std::string> rows[] = {
        {"\x1b]0;pwned\x07\x1b[2Jevil.txt", "_]0;pwned__[2Jevil.txt"},
        {"line\r\nbreak.txt", "line__break.txt"},
        {"-rf", "_rf"},
        {".bashrc", "_bashrc"},
        {"invoice\u202Efdp.exe", "invoice_fdp.exe"},
        {"a\u200Bb\u00ADc\u2066d\xc2\x85" "e\u2028f", "a_b_c_d_e_f"},     // invisible, C1, a line separator
        {"a\xff\xc3(b\xed\xa0\x80.txt", "a__(b___.txt"},              // invalid UTF-8, a surrogate
        {std::string(300, 'x') + ".tar.gz", std::string(244, 'x') + ".gz"},  // cut, extension kept
        {e200 + ".txt", e200.substr(0, 242) + ".txt"},                       // never half a character
        {"a." + std::string(300, 'e'), "a." + std::string(245, 'e')},        // no extension that long
        {"caf\u00e9 \U0001F600.pdf", "caf\u00e9 \U0001F600.pdf"},
        {"a/b", ""}, {"..", ""}, {".", ""}, {"", ""}, {"x?y", ""}, {"c:d", ""}};
    // clang-format on
    for (const auto& [offered, want] : rows) {
        char out[JX_SAFE_NAME_MAX + 1] = "unchanged";
        EXPECT_EQ(jx_fso_safe_name(offered.c_str(), out, sizeof out), !want.empty()) << offered;
        EXPECT_EQ(want.empty() ? "unchanged" : want, out);
    }
    // The longest stored name still has room for its free-name form.
    JXFileMeta m{};
    for (const char* twice : {"first", "second"}) {
        ASSERT_TRUE(jx_fso_safe_name((std::string(300, 'x') + ".tar.gz").c_str(), m.name, sizeof m.name))
            << twice;
        jx_fso_close_fp(jx_fso_get_dl_fp(&m));
    }
    EXPECT_EQ(m.name, std::string(244, 'x') + "_(1).gz");
    EXPECT_TRUE(fs::exists(root + "/downloads/" + m.name));
}

TEST_F(Storage, NetworksFileIsReplacedWholeAndNeverWrittenOrReadThroughALink)
{
    const std::string path = root + "/jx_internal/networks";
    JXSavedNets s{{inet_addr("239.0.0.5"), inet_addr("255.255.255.255")}, 2, inet_addr("239.0.0.5"), inet_addr("10.0.0.7")};
    // Links where the file and its temporary go are replaced; their target stays as it was.
    write_file(root + "/target", "net 10.9.9.9\n");
    fs::create_symlink(root + "/target", path);
    fs::create_symlink(root + "/target", path + ".new");
    ASSERT_EQ(jx_fso_store_networks(&s), 0);
    EXPECT_EQ(read_file(path), "net 239.0.0.5\nnet 255.255.255.255\nlast 239.0.0.5 10.0.0.7\n");
    EXPECT_EQ(std::make_tuple(read_file(root + "/target"), fs::exists(path + ".new"),
                              fs::status(path).permissions()),
              std::make_tuple(std::string("net 10.9.9.9\n"), false, fs::perms::owner_read | fs::perms::owner_write));
    JXSavedNets back{};
    jx_fso_read_networks(&back);
    EXPECT_EQ(std::vector<uint32_t>(back.nets, back.nets + back.count), std::vector<uint32_t>(s.nets, s.nets + 2));
    EXPECT_EQ(std::make_pair(back.last_net, back.last_peer), std::make_pair(s.last_net, s.last_peer));
    // Lines that do not read are skipped; a link is not read at all.
    write_file(path, "net 1.2.3\nnet 10.0.0.1 x\nlast 10.0.0.1\n" + std::string(200, 'n') + "\nnet 10.0.0.2\n");
    jx_fso_read_networks(&back);
    EXPECT_EQ(std::vector<uint32_t>(back.nets, back.nets + back.count),
              (std::vector<uint32_t>{inet_addr("10.0.0.1"), inet_addr("10.0.0.2")}));
    EXPECT_EQ(back.last_net, 0u);
    fs::remove(path);
    fs::create_symlink(root + "/target", path);
    jx_fso_read_networks(&back);
    EXPECT_EQ(back.count, 0u);
}

TEST_F(Storage, MsgFileImageAndLimits)
{
    // A new file of 161600 bytes: the header, then the slot with the numbers LSB first and the
    // address 192.168.1.5 as 05 01 A8 C0; only the low 32 bits of the time are kept.
    const JXStoredMsg m{MSG_SENT, 0x11223344, inet_addr("192.168.1.5"), 0x123456789, "bob", "hello"};
    jx_fso_store_msg(&m, "0501a8c0");
    std::string want = put(empty, 1, 1, 100).replace(1700, 5, "hello");
    want.replace(1600, 21, "\x89\x67\x45\x23\0\0\0\0\x44\x33\x22\x11\x05\x01\xA8\xC0\0\002bob", 21);
    EXPECT_TRUE(image("0501a8c0") == want);
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
    EXPECT_TRUE(image("0501a8c0") == want);
    // No NUL anywhere in a slot, garbage beside the 32-bit time: the record still ends in NUL.
    write_file(file("0501a8c0"), want.replace(3204, 4, 4, '\xFF').replace(3218, 1582, 1582, '\xFF'));
    EXPECT_EQ(read(2, "0501a8c0"),
              "1 1 10.0.0.9 1700000000 " + std::string(15, '\xFF') + " " + std::string(1470, '\xFF'));
}

TEST_F(Storage, MsgRingWrapsReadsByPositionAndUpdatesTheNewestCopy)
{
    store_n("ring", 1, 102);  // 101 and 102 go to slots 1 and 2
    EXPECT_EQ(image("ring").substr(0, 12), put(std::string(12, '\0'), 2, 100, 100));
    EXPECT_EQ(
        read(1, "ring") + "|" + read(2, "ring") + "|" + read(100, "ring"),
        "1 101 10.0.0.9 1700000000 p m101|1 102 10.0.0.9 1700000000 p m102|1 100 10.0.0.9 1700000000 p m100");
    EXPECT_EQ(read(0, "ring") + read(101, "ring") + read(1, "missing"), "error 3error 5error 1");

    store_n("up", 7, 7), store_n("up", 7, 8);     // ids 7, 7, 8: the newest 7 is not in slot `last`
    EXPECT_EQ(read(4, "up"), "0 0 0.0.0.0 0  ");  // past the messages: an empty record
    std::string want = image("up");
    want[2 * 1600 + 17] = MSG_DELIVERED;
    JXStoredMsg u = make_msg(MSG_DELIVERED, 7, "");
    EXPECT_EQ(jx_fso_update_msg("up", &u), 0);
    u.type = MSG_UNDELIVERED;
    for (uint64_t id : {0ull, 99ull, 0x100000007ull}) {  // 0, not stored, beyond 32 bits: no change
        u.id = id;
        EXPECT_EQ(jx_fso_update_msg("up", &u), id ? 0 : 3);
        EXPECT_TRUE(image("up") == want) << id;
    }
    fs::remove_all(root + "/msg");
    jx_fso_store_msg(&u, "00000001");
    EXPECT_EQ(take_log(), "Position must be greater the 0\nMessage id must be greater the 0\n"
                          "Can't create channel file\n");
}

// An acknowledged text must be stored: a file whose header cannot be followed is neither read nor
// updated; a store keeps it, byte for byte, under a name no channel has and starts a new one.
TEST_F(Storage, MsgDamagedFileIsKeptAsideAndTheTextStored)
{
    store_n("bad", 1, 3);
    const std::string good = image("bad");
    // {file, header result}: no capacity, a walk that never comes back to last, a count or a last
    // beyond the capacity, a cut header, a ring larger than the file (it reads its header but finds
    // no slot 150), slots gigabytes away.
    const std::pair<std::string, uint8_t> cases[] = {
        {put(good, 0, 0, 0), 2},         {put(good, 50, 10, 10), 2},
        {put(good, 3, 101, 100), 2},     {put(good, 101, 3, 100), 2},
        {std::string("\x01\0\0", 3), 2}, {put(good, 150, 150, 200), 0},
        {put(good, 4000000000u, 3, 0xFFFFFFFFu), 2}};
    const JXStoredMsg m = make_msg(MSG_SENT, 9, "new");
    int n = 0;
    for (const auto& [bytes, header_rc] : cases) {
        SCOPED_TRACE(++n);
        write_file(file("bad"), bytes);
        uint64_t h[3];
        EXPECT_EQ(jx_fso_read_file_header(h, "bad"), header_rc);
        EXPECT_EQ(read(150, "bad"), header_rc ? "error 4" : "error 2");
        jx_fso_store_msg(&m, "bad");
        const std::string kept = file("bad.damaged" + std::to_string(n));
        EXPECT_EQ(take_log(), std::string(header_rc ? "" : "fread failed with error 0\n") +
                                  "Channel file header is not valid [bad]\nDamaged channel file [" +
                                  file("bad") + "] moved to [" + kept + "], a new one is started\n");
        EXPECT_TRUE(read_file(kept) == bytes && image("bad") == put(empty, 1, 1, 100, &m));
    }
}

// A cut file keeps its whole slots, stops counting the lost ones and is filled up again, so no
// slot lands past the end.
TEST_F(Storage, MsgCutFileIsFilledUpKeepingWholeSlots)
{
    store_n("five", 1, 5);
    store_n("wrapped", 1, 101);
    const std::string five = image("five"), wrapped = image("wrapped");
    // {file, its length, slots kept, slot `last` of the new text, counted with the kept ones}: slot 4
    // torn (4 slots and 700 bytes) and cleared; last 1 staying with 49 of 100 slots; one slot short.
    const std::tuple<const std::string*, size_t, uint32_t, uint32_t> cases[] = {
        {&five, 1000, 0, 1}, {&five, 7100, 3, 4}, {&wrapped, 80000, 49, 2}, {&wrapped, 160000, 99, 2}};
    const JXStoredMsg m = make_msg(MSG_SENT, 9, "new");
    for (const auto& [before, size, kept, last] : cases) {
        write_file(file("cut"), before->substr(0, size));
        jx_fso_store_msg(&m, "cut");
        EXPECT_EQ(take_log(), "Channel file cut short [" + file("cut") + "], " + std::to_string(size) +
                                  " bytes: " + std::to_string(kept) +
                                  " whole slots kept, filled up to 161600 bytes\n");
        const std::string want = before->substr(0, (kept + 1) * 1600) + empty.substr((kept + 1) * 1600);
        EXPECT_TRUE(image("cut") == put(want, last, kept + 1, 100, &m)) << size;
    }
}

// A slot across a 4 KiB boundary once reached the disk in two writes: a crash in between mixed a
// new time and name with an old text. Creating a file once took some 40 writes: a crash in between
// left a short file.
TEST_F(Storage, MsgCrashLeavesEverySlotWholeAndNoShortFile)
{
    store_n("ring", 1, 101, 1500);  // last 1: the next store goes to slot 2, across 4096
    crash_anywhere("ring");
    crash_anywhere("0501a8c0");
}

TEST_F(Storage, OfferedFilesAreDescribedAndHashedInSlices)
{
    const std::string big(2500000, 'q');
    write_file(root + "/notes.txt", big);
    JXFileMeta m{};
    FILE* s = nullptr;
    ASSERT_EQ(jx_fso_metadata(&m, &s, (root + "/notes.txt").c_str()), 0);
    EXPECT_EQ(std::string(m.dir) + "|" + m.name, root + "/|notes.txt");
    for (uint8_t more : {1, 1, 0})
        EXPECT_EQ(jx_fso_sha256_sum2(s, &m, 1000000), more);
    uint8_t want[32];
    EXPECT_TRUE(m.size == 2500000 && memcmp(m.digest, sha256_buffer(big.data(), big.size(), want), 32) == 0);
    jx_fso_close_fp(s);
    // An empty file is done at the first call; a bare name has no directory.
    cd(root);
    write_file("empty", "");
    ASSERT_EQ(jx_fso_metadata(&m, &s, "empty"), 0);
    EXPECT_EQ(jx_fso_sha256_sum2(s, &m, 1000000), 0);
    EXPECT_TRUE(m.dir[0] == '\0' && memcmp(m.digest, sha256_buffer("", 0, want), 32) == 0);
    jx_fso_close_fp(s);

    // Directories and FIFOs (which would block or never end) are not offered.
    ASSERT_EQ(mkfifo("fifo", 0600), 0);
    EXPECT_EQ(jx_fso_metadata(&m, &s, "fifo"), 1);
    EXPECT_EQ(jx_fso_file_exists("fifo"), 0) << "and the existence test does not block";
    EXPECT_EQ(jx_fso_metadata(&m, &s, root.c_str()), 1);
}

TEST_F(Storage, ReceivedFilesTakeTheFirstFreeNameAndSegmentsAreWhole)
{
    const std::string dl = root + "/downloads/";
    write_file(dl + "report.pdf", "1");
    write_file(dl + "report_(1).pdf", "2");
    fs::create_symlink(root + "/elsewhere", dl + "archive");  // dangling: still a taken name
    const std::pair<const char*, const char*> rows[] = {{"report.pdf", "report_(2).pdf"},
                                                        {"archive", "archive_(1)"},
                                                        {".profile", ".profile"},
                                                        {".profile", "_(1).profile"}};
    for (const auto& [offered, taken] : rows) {
        JXFileMeta m{};
        snprintf(m.name, sizeof m.name, "%s", offered);
        FILE* f = jx_fso_get_dl_fp(&m);
        ASSERT_NE(f, nullptr) << offered;
        EXPECT_EQ(std::string(m.dir) + m.name, dl + taken);
        EXPECT_EQ(jx_fso_write_filepart2(f, reinterpret_cast<const uint8_t*>("seg"), 3), 0);
        jx_fso_close_fp(f);
        EXPECT_EQ(read_file(dl + taken), "seg");
    }
    EXPECT_FALSE(fs::exists(root + "/elsewhere"));

    // Whole segments or nothing.
    FILE* f = fopen((dl + "archive_(1)").c_str(), "rb");
    uint8_t buf[8];
    EXPECT_EQ(jx_fso_read_filepart2(f, buf, 3), 0);
    EXPECT_EQ(jx_fso_read_filepart2(f, buf, 1), 3);
    EXPECT_EQ(jx_fso_read_filepart2(nullptr, buf, 1), 1);
    EXPECT_EQ(jx_fso_write_filepart2(nullptr, buf, 1), 2);
    EXPECT_EQ(jx_fso_write_filepart2(f, buf, 1), 3) << "a stream open for reading";
    jx_fso_close_fp(f);
    EXPECT_EQ(take_log(),
              "Reading filepart error 0\nNull pointer reading filepart\nNull pointer writing filepart\n"
              "write2 failed with error 1\n");
}
