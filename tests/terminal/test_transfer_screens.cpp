// The downloads and uploads screens: their tables and details at 80x24 and 50x10, the highlight
// over the whole row order, Enter, Ctrl-T and Delete; and file events becoming notices.
#include <filesystem>
#include <fstream>
#include <string>
#include <type_traits>

#include "engine/crons.hpp"
#include "engine/downloads.hpp"
#include "engine/transfers.hpp"
#include "foundation/sha256.hpp"
#include "storage/fso.hpp"
#include "terminal_fixture.hpp"

using namespace jxtest;

namespace {

std::string pad(size_t n)
{
    return std::string(n, ' ');
}

class TransferScreens : public TermTest {
  protected:
    JXNetwork* lan = nullptr;
    JXNetwork* far = nullptr;
    void SetUp() override
    {
        TermTest::SetUp();
        if (IsSkipped())
            return;
        join("239.0.0.7");
        lan = jx_network_by_addr(ip("239.0.0.7"));
        add_peer(lan->addr, "10.0.0.2", "bob");
        join("192.168.100.200");
        far = jx_network_by_addr(ip("192.168.100.200"));
    }
    // A transfer at the end of a network's list (in progress, or finished when fin is not 0).
    template <typename T>
    static T* add(jx_list* l, uint8_t id, const char* name, uint64_t size, uint8_t state, const char* from)
    {
        auto* t = static_cast<T*>(calloc(1, sizeof(T)));
        t->id[0] = id;
        t->state = state;
        t->addr = ip(from);
        t->meta.size = size;
        if constexpr (std::is_same_v<T, JXTransfer>)
            t->limit = 1370;  // the offered chunk size
        snprintf(t->meta.name, sizeof t->meta.name, "%s", name);
        const std::string dir = std::string(fso.root_path) + "/downloads/";
        memcpy(t->meta.dir, dir.c_str(), dir.size());
        for (int i = 0; i < 32; i++)
            t->meta.digest[i] = static_cast<uint8_t>(0xA0 + i);
        EXPECT_EQ(jx_list_ins_next(l, jx_list_tail(l), t), 0);
        return t;
    }
    static const uint8_t* id(uint8_t n)
    {
        static uint8_t b[8];
        b[0] = n;
        return b;
    }
};

TEST_F(TransferScreens, DownloadsTableAndDetailsAt80x24)
{
    const ScreenGrid empty = grid(show(STATE_DL_LIST));
    EXPECT_EQ(empty.texts(0, 1),
              (Strs{"Downloads", " No|" + pad(19) + "Filename|" + pad(20) + "Source|     Size|     Status"}));
    EXPECT_EQ(empty.texts(16, 21), (Strs{"", "Download details", "", "", "", ""}));
    auto* t = add<JXTransfer>(&lan->downloads, 1, "report.pdf", 1000000, DL_WAIT, "10.0.0.2");
    t->bytes_left = 500000, t->chunk_size = 1370, t->chunk_count = 100, t->speed = 0.5, t->eta = 125;
    add<JXTransfer>(&far->downloads, 2, "a-name-of-exactly-27-chars!", 1001, DL_PENDING, "192.168.100.200");
    add<JXTransferFin>(&lan->fin_downloads, 3, "a-name-of-exactly-28-chars!!", 5, FIN_COMPLETED, "10.0.0.2");
    auto* f = add<JXTransferFin>(&far->fin_downloads, 4, "f", 0, FIN_HASH_BAD, "192.168.100.200");
    f->end_time = 60;
    std::string out = show(STATE_DL_LIST, {KEY_DOWN});
    EXPECT_EQ(grid(out).texts(2, 5),
              (Strs{"  1|" + pad(17) + "report.pdf|" + pad(18) + "10.0.0.2|1000.00KB|Downloading",
                    "  2|a-name-of-exactly-27-chars!|" + pad(11) + "192.168.100.200|   1.00KB|    Pending",
                    "  3|a-name-of-exactly-28-cha...|" + pad(18) + "10.0.0.2|       5B|       Done",
                    "  4|" + pad(26) + "f|" + pad(11) + "192.168.100.200|       0B|Chksum fail"}));
    // The highlighted row's details: 36 % done (the requested segment does not count yet).
    EXPECT_NE(out.find(IO_SEL "  1|"), std::string::npos);
    EXPECT_EQ(grid(out).texts(18, 21),
              (Strs{"Progress:  36%[#######.............] 500.000kb/s", "ETA: 2 minutes 5 seconds",
                    "File path: " + root.string() + "/downloads/",
                    "SHA256: A0A1A2A3A4A5A6A7A8A9AAABACADAEAFB0B1B2B3B4B5B6B7B8B9BABBBCBDBEBF"}));
    EXPECT_NE(out.find(IO_GREEN "#######" IO_MAGENTA "............."), std::string::npos);
    EXPECT_EQ(grid(turn(KEY_DOWN)).texts(18, 19),
              (Strs{"Progress:   0%[....................] 0.000b/s", "ETA: N/A"}));
    EXPECT_EQ(grid(turn(KEY_DOWN)).texts(18, 19), (Strs{"Progress: 100%[####################]Ctrl-t chksum",
                                                        "Completed in: less then a second"}));
    EXPECT_EQ(grid(turn(KEY_DOWN)).texts(18, 19),
              (Strs{"Progress: Checksum failed! Consider removing the file", "Completed in: N/A"}));

    // At 50 columns names and addresses are cut, and so is the digest (19 bytes).
    reset(50, 10);
    const ScreenGrid g = grid(show(STATE_DL_LIST, {KEY_DOWN, KEY_DOWN}));
    EXPECT_EQ(g.text(1), " No|    Filename|     Source|     Size|     Status");
    EXPECT_EQ(g.text(2), "  2|a-name-of...|192.168....|   1.00KB|    Pending");
    EXPECT_EQ(g.text(7), "SHA256: A0A1A2A3A4A5A6A7A8A9AAABACADAEAFB0B1B2...");
}

TEST_F(TransferScreens, KeysMoveOverTheWholeOrderAcceptVerifyAndRemove)
{
    show(STATE_DL_LIST, {KEY_DOWN, KEY_UP});
    EXPECT_EQ(ctx_get()->sel_transfer[0], 0) << "no rows: nothing to highlight";
    // Twenty pending offers in two networks: 15 rows fit; the highlight walks without wrapping.
    for (uint8_t i = 1; i <= 20; i++)
        add<JXTransfer>(i <= 10 ? &lan->downloads : &far->downloads, i, "x", 10, DL_PENDING, "10.0.0.2");
    show(0, {KEY_UP});
    EXPECT_EQ(ctx_get()->sel_transfer[0], 20) << "Up from nothing: the last";
    show(0, {KEY_DOWN});
    EXPECT_EQ(ctx_get()->sel_transfer[0], 20) << "no wrap past the last";
    EXPECT_EQ(grid(show(STATE_DL_LIST, std::vector<uint8_t>(16, KEY_DOWN))).text(2).substr(0, 4), "  2|")
        << "row 16 highlighted: row 1 scrolled away";
    EXPECT_EQ(ctx_get()->sel_transfer[0], 16);
    show(0, std::vector<uint8_t>(20, KEY_UP));
    EXPECT_EQ(ctx_get()->sel_transfer[0], 1) << "no wrap past the first";

    // Enter accepts the highlighted offer: its file is created and the row downloads.
    EXPECT_EQ(grid(show(0, {KEY_ENTER})).text(2),
              "  1|" + pad(26) + "x|" + pad(18) + "10.0.0.2|      10B|Downloading");
    EXPECT_TRUE(std::filesystem::exists(root / "downloads" / "x"));
    // Delete on a download in progress takes its partial file; on a pending one there is none.
    show(0, {KEY_DEL});
    EXPECT_FALSE(std::filesystem::exists(root / "downloads" / "x"));
    EXPECT_EQ(jx_get_dl(lan, id(1)), nullptr);
    show(0, {KEY_DOWN});
    EXPECT_EQ(ctx_get()->sel_transfer[0], 0) << "a highlight that matches no row: Down clears it";

    // Ctrl-T verifies a finished download: "Chksum test", then OK; Delete keeps its file.
    const std::string content = "verified content";
    std::ofstream(root / "downloads" / "v") << content;
    auto* f = add<JXTransferFin>(&far->fin_downloads, 30, "v", content.size(), FIN_COMPLETED, "10.0.0.2");
    sha256_buffer(content.data(), content.size(), f->meta.digest);
    const ScreenGrid checking = grid(show(STATE_DL_LIST, {KEY_UP, KEY_CTRL_T}));
    EXPECT_EQ(checking.text(16), " 20|" + pad(26) + "v|" + pad(18) + "10.0.0.2|      16B|Chksum test");
    EXPECT_EQ(checking.text(18), "Progress:   0%[####################]0B") << "nothing hashed yet";
    EXPECT_EQ(f->state, FIN_HASH_CHECKING);
    jx_crons_run();
    EXPECT_EQ(f->state, FIN_HASH_OK);
    EXPECT_EQ(grid(show(0)).text(18), "Progress: 100%[####################]Chksum OK");
    show(0, {KEY_CTRL_T});
    EXPECT_EQ(f->state, FIN_HASH_OK) << "only a completed record is verified";
    show(0, {KEY_DEL});
    EXPECT_EQ(jx_get_fin(&far->fin_downloads, id(30)), nullptr);
    EXPECT_TRUE(std::filesystem::exists(root / "downloads" / "v"));

    // The uploads screen: Destination, "Analyzing..." while hashing, Delete removes the upload.
    add<JXTransfer>(&lan->uploads, 40, "up", 0, UL_HASHING, "10.0.0.2");
    const ScreenGrid g = grid(show(STATE_UL_LIST, {KEY_DOWN}));
    EXPECT_EQ(g.text(1), " No|" + pad(19) + "Filename|" + pad(15) + "Destination|     Size|     Status");
    EXPECT_EQ(g.text(2), "  1|" + pad(25) + "up|" + pad(18) + "10.0.0.2|       0B|  Analyzing");
    EXPECT_EQ(g.texts(18, 19), (Strs{"Progress:   0%[....................]Analyzing...", "ETA: N/A"}));
    show(0, {KEY_ENTER, KEY_CTRL_T, KEY_DEL});
    EXPECT_EQ(jx_list_size(&lan->uploads), 0);
}

TEST_F(TransferScreens, FileEventsBecomeNoticesInTheDirectChannel)
{
    JXChannel* dm = add_ch(lan->addr, ip("10.0.0.2"));
    JXChannel* far_ch = jx_ch_from_network(far, 0);
    far_ch->type = CH_DM;
    far->type = NET_DIRECT_IP_INCOMING;
    show(STATE_CHANNEL_LIST);
    for (uint8_t kind : {EV_DL_OFFERED, EV_UL_PREPARING, EV_UL_STARTED, EV_DL_COMPLETE, EV_UL_FAILED})
        raise(kind, jx_build_file_ev("a\x1b[2Jb", 6, CH_NET_DM, lan->addr, ip("10.0.0.2")));
    raise(EV_DL_FAILED, jx_build_file_ev("far", 3, CH_DM, far->addr, far->addr));
    const std::string out = turn();
    EXPECT_EQ(std::count(out.begin(), out.end(), '\a'), 1) << "the bell rings once per turn";
    EXPECT_EQ(dm->unread, 4u) << "all but our own preparing notice";
    EXPECT_EQ(far_ch->unread, 1u) << "a direct-IP network's one channel counts its notices too";
    ctx_get()->channel = dm;
    const ScreenGrid g = grid(show(STATE_CHANNEL));
    const std::string at = "15:13:20|         System >>> ";
    EXPECT_EQ(g.texts(17, 21),
              (Strs{at + "Peer trying to send file [a?[2Jb]", at + "Preparing to send file [a?[2Jb]",
                    at + "Peer started upload of file [a?[2Jb]", at + "Download complete [a?[2Jb]",
                    at + "Upload failed [a?[2Jb]"}));
    EXPECT_NE(slurp("msg/c864a8c0").find("Download failed [far]"), std::string::npos);
}

}  // namespace
