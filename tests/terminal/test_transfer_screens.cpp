// The downloads and uploads screens: their tables and details at 80x24 and 50x10, the highlight
// over the whole row order, Enter, Ctrl-T and Delete; and file events becoming notices.
#include <filesystem>
#include <fstream>
#include <string>
#include <type_traits>

#include "engine/crons.hpp"
#include "engine/dispatcher.hpp"
#include "engine/downloads.hpp"
#include "engine/transfers.hpp"
#include "foundation/sha256.hpp"
#include "storage/fso.hpp"
#include "terminal_fixture.hpp"

class TransferScreens : public TermTest {
  protected:
    JXNetwork *lan = nullptr, *far = nullptr;
    void SetUp() override
    {
        TermTest::SetUp();
        if (IsSkipped())
            return;
        lan = jx_network_by_addr(join("239.0.0.7")->net_addr);
        far = jx_network_by_addr(join("192.168.100.200")->net_addr);
        add_peer(lan->addr, "10.0.0.2", "bob");
    }
    // A transfer at the end of a list (JXTransfer: in progress; JXTransferFin: finished), its file
    // in downloads/, its digest A0 A1 .. BF.
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
        (std::string(fso.root_path) + "/downloads/").copy(t->meta.dir, sizeof t->meta.dir - 1);
        for (int i = 0; i < 32; i++)
            t->meta.digest[i] = static_cast<uint8_t>(0xA0 + i);
        EXPECT_EQ(jx_list_ins_next(l, jx_list_tail(l), t), 0);
        return t;
    }
};

TEST_F(TransferScreens, DownloadsTableAndDetailsAt80x24And50x10)
{
    const std::string empty = show(STATE_DL_LIST);
    EXPECT_EQ(screen(empty, 0, 1),
              (Strs{"Downloads", " No|" + pad(19) + "Filename|" + pad(20) + "Source|     Size|     Status"}));
    auto* t = add<JXTransfer>(&lan->downloads, 1, "report.pdf", 1000000, DL_WAIT, "10.0.0.2");
    t->bytes_left = 500000, t->chunk_size = 1370, t->chunk_count = 100, t->speed = 0.5, t->eta = 125;
    snprintf(t->meta.offered, sizeof t->meta.offered, "%s", "\x1b[2Jreport.pdf");
    add<JXTransfer>(&far->downloads, 2, "a-name-of-exactly-27-chars!", 1001, DL_PENDING, "192.168.100.200")
        ->meta.dir[0] = '\0';  // no file yet: made in downloads/ on acceptance
    add<JXTransferFin>(&lan->fin_downloads, 3, "a-name-of-exactly-28-chars!!", 5, FIN_COMPLETED, "10.0.0.2");
    add<JXTransferFin>(&far->fin_downloads, 4, "f", 0, FIN_HASH_BAD, "192.168.100.200")->end_time = 60;
    add<JXTransferFin>(&far->fin_downloads, 5, "g", 2000000, FIN_FAILED, "192.168.100.200");
    const std::string out = show(STATE_DL_LIST);
    EXPECT_EQ(screen(out, 2, 6),
              (Strs{"  1|" + pad(17) + "report.pdf|" + pad(18) + "10.0.0.2|1000.00KB|Downloading",
                    "  2|a-name-of-exactly-27-chars!|" + pad(11) + "192.168.100.200|   1.00KB|    Pending",
                    "  3|a-name-of-exactly-28-cha...|" + pad(18) + "10.0.0.2|       5B|       Done",
                    "  4|" + pad(26) + "f|" + pad(11) + "192.168.100.200|       0B|Chksum fail",
                    "  5|" + pad(26) + "g|" + pad(11) + "192.168.100.200|   2.00MB|     Failed"}));
    // The first row is highlighted on opening; its details: 36 % done (the requested segment does not count yet).
    EXPECT_TRUE(selected(out, "  1|"));
    EXPECT_EQ(screen(out, 18, 21),
              (Strs{"Progress:  36%[#######.............] 500.000kb/s", "ETA: 2 minutes 5 seconds",
                    "File path: " + root.string() + "/downloads/  (offered as ?[2Jreport.pdf)",
                    "SHA256: A0A1A2A3A4A5A6A7A8A9AAABACADAEAFB0B1B2B3B4B5B6B7B8B9BABBBCBDBEBF"}));
    // clang-format off
    EXPECT_EQ(screen(turn(KEY_DOWN), 18, 20), (Strs{"Progress:   0%[....................] 0.000b/s", "ETA: N/A",
                                                   "File path: " + root.string() + "/downloads/"}));
    const std::pair<const char*, const char*> details[] = {
        {"Progress: 100%[####################]Ctrl-t chksum", "Completed in: less then a second"},
        {"Progress: Checksum failed! Consider removing the file", "Completed in: N/A"},
        {"Progress: Download failed", "Completed in: N/A"}};
    // clang-format on
    for (const auto& [progress, took] : details)
        EXPECT_EQ(screen(turn(KEY_DOWN), 18, 19), (Strs{progress, took}));
    // At 50 columns names and addresses are cut, and so is the digest (19 bytes).
    reset(50, 10);
    const Strs narrow = screen(show(STATE_DL_LIST, {KEY_DOWN}));
    EXPECT_EQ((Strs{narrow[1], narrow[2], narrow[7]}),
              (Strs{" No|    Filename|     Source|     Size|     Status",
                    "  2|a-name-of...|192.168....|   1.00KB|    Pending",
                    "SHA256: A0A1A2A3A4A5A6A7A8A9AAABACADAEAFB0B1B2..."}));
}

TEST_F(TransferScreens, KeysMoveOverTheWholeOrderAcceptVerifyAndRemove)
{
    // Twenty pending offers in two networks, 15 rows shown. {keys from a fresh screen, highlighted
    // row, first row shown}: the first row to start with, no wrap past the first or the last. Then
    // up past the top row scrolls.
    for (uint8_t i = 1; i <= 20; i++)
        add<JXTransfer>(i <= 10 ? &lan->downloads : &far->downloads, i, "x", 10, DL_PENDING, "10.0.0.2");
    // clang-format off
    const std::tuple<std::vector<uint8_t>, uint8_t, const char*> walks[] = {{{KEY_UP}, 1, "  1|"},
        {std::vector<uint8_t>(15, KEY_DOWN), 16, "  2|"}, {std::vector<uint8_t>(20, KEY_DOWN), 20, "  6|"}};
    // clang-format on
    for (const auto& [keys, sel, top] : walks) {
        EXPECT_EQ(screen_row(show(STATE_DL_LIST, keys), 2).substr(0, 4), top);
        EXPECT_EQ(ctx_get()->sel_transfer[0], sel);
    }
    EXPECT_EQ(screen_row(show(0, std::vector<uint8_t>(20, KEY_UP)), 2).substr(0, 4), "  1|");
    EXPECT_EQ(ctx_get()->sel_transfer[0], 1);
    // Enter accepts the highlighted offer: its file is created and the row downloads. Delete on a
    // download in progress takes its partial file with it; the highlight goes to the row in its place.
    EXPECT_EQ(screen_row(show(0, {KEY_ENTER}), 2),
              "  1|" + pad(26) + "x|" + pad(18) + "10.0.0.2|      10B|Downloading");
    EXPECT_TRUE(std::filesystem::exists(root / "downloads" / "x"));
    show(0, {KEY_DEL});
    EXPECT_EQ(std::make_tuple(std::filesystem::exists(root / "downloads" / "x"),
                              jx_list_size(&lan->downloads), ctx_get()->sel_transfer[0]),
              std::make_tuple(false, 9, uint8_t{2}));

    // Ctrl-T verifies a finished download: "Chksum test", then OK; Delete keeps its file.
    std::ofstream(root / "downloads" / "v") << "verified content";
    auto* f = add<JXTransferFin>(&far->fin_downloads, 30, "v", 16, FIN_COMPLETED, "10.0.0.2");
    sha256_buffer("verified content", 16, f->meta.digest);
    const std::string row = " 20|" + pad(26) + "v|" + pad(18) + "10.0.0.2|      16B|";
    std::vector<uint8_t> to_v(19, KEY_DOWN);
    to_v.push_back(KEY_CTRL_T);
    EXPECT_EQ(screen(show(STATE_DL_LIST, to_v), 16, 18),
              (Strs{row + "Chksum test", "Download details", "Progress:   0%[####################]0B"}));
    jx_crons_run();
    EXPECT_EQ(screen(show(0), 16, 18), (Strs{row + "  Chksum OK", "Download details",
                                             "Progress: 100%[####################]Chksum OK"}));
    show(0, {KEY_DEL});
    EXPECT_EQ(
        std::make_pair(std::filesystem::exists(root / "downloads" / "v"), jx_list_size(&far->fin_downloads)),
        std::make_pair(true, 0));

    // The uploads screen: Destination, "Analyzing..." while hashing, who declined an offer; Enter and
    // Ctrl-T do nothing there, Delete removes the upload.
    add<JXTransfer>(&lan->uploads, 40, "up", 0, UL_HASHING, "10.0.0.2");
    add<JXTransferFin>(&lan->fin_uploads, 41, "no", 0, FIN_NONE, "10.0.0.2");
    const Strs up = screen(show(STATE_UL_LIST, {KEY_UP}));
    EXPECT_EQ((Strs{up[1], up[18]}),
              (Strs{" No|" + pad(19) + "Filename|" + pad(15) + "Destination|     Size|     Status",
                    "Progress:   0%[....................]Analyzing..."}));
    // (bob's peer record has aged out by now: his address stands for him.)
    EXPECT_EQ(screen(turn(KEY_DOWN), 3, 3)[0].substr(66), "0B|   Declined");
    EXPECT_EQ(screen(turn(KEY_NONE, true), 18, 18)[0], "Progress: Declined by 10.0.0.2");
    show(0, {KEY_UP, KEY_ENTER, KEY_CTRL_T, KEY_DEL});
    EXPECT_EQ(jx_list_size(&lan->uploads), 0);
}

// A download is hashed as it is written: the moment its last chunk is in, the row says whether it
// is what bob offered. His file changed on disk after he hashed and offered it: a checksum failure
// and its notice, the file kept for a look.
TEST_F(TransferScreens, ADownloadShowsItsCheckTheMomentItCompletes)
{
    uint32_t msg_id = 100;
    const auto from_bob = [&](uint8_t type, const uint8_t* p, size_t n) {
        JXComm* c = jx_comm_get();
        c->rcv_len = static_cast<int32_t>(jx_serialize(c->rcv_buf, sizeof c->rcv_buf, type, lan->addr, msg_id++,
                                                       "bob", p, static_cast<uint16_t>(n)));
        c->rcv_from = sockaddr_in{AF_INET, htons(8856), {ip("10.0.0.2")}, {}};
        jx_process_udp();
    };
    for (const auto& [id, name, sent] : {std::tuple{1, "same", "as offered"}, {2, "changed", "as Offered"}}) {
        JXOffer o{{static_cast<uint8_t>(id)}, {}, 10, 1370, 8856, 0, {}};
        sha256_buffer("as offered", 10, o.digest);
        std::snprintf(o.name, sizeof o.name, "%s", name);
        uint8_t b[JX_PAYLOAD_MAX];
        from_bob(PKT_FILE_META, b, jx_data_serialize_meta(b, sizeof b, &o));
        ASSERT_EQ(jx_accept_download(o.id), 0);
        jx_data_serialize_chunk_hdr(b, JX_CHUNK_HDR_LEN, o.id, 1, 0);
        std::memcpy(b + JX_CHUNK_HDR_LEN, sent, 10);
        from_bob(PKT_CHUNK, b, JX_CHUNK_HDR_LEN + 10);
    }
    const std::string out = show(STATE_DL_LIST, {KEY_DOWN});
    EXPECT_EQ(screen(out, 2, 3), (Strs{"  1|" + pad(20) + "changed|" + pad(18) + "10.0.0.2|      10B|Chksum fail",
                                        "  2|" + pad(23) + "same|" + pad(18) + "10.0.0.2|      10B|  Chksum OK"}));
    EXPECT_EQ(screen(out, 18, 18)[0], "Progress: 100%[####################]Chksum OK");
    EXPECT_EQ(screen_row(show(0, {KEY_UP}), 18), "Progress: Checksum failed! Consider removing the file");
    EXPECT_EQ(slurp("downloads/changed"), "as Offered");
    EXPECT_NE(slurp("msg/070000ef_0200000a").find("Download failed [changed]"), std::string::npos);
}

TEST_F(TransferScreens, KeysPressedTogetherAndQuittingWhileFilesMove)
{
    // F6 Enter in one read: the downloads screen opens on its first row and accepts it, unless the
    // file cannot fit; then Down Enter in one read.
    auto* huge = add<JXTransfer>(&lan->downloads, 9, "huge", uint64_t{40'000'000'000'000}, DL_PENDING, "10.0.0.2");
    auto* offer = add<JXTransfer>(&lan->downloads, 1, "x", 10, DL_PENDING, "10.0.0.2");
    burst("\x1b[17~\r");
    EXPECT_EQ(std::string(ctx_get()->err_feedback).substr(0, 39), "Download refused: 40000.00GB does not f");
    burst("\x1b[B\r");
    EXPECT_EQ(std::make_pair(huge->state, offer->state), std::make_pair(uint8_t{DL_PENDING}, uint8_t{DL_REQUESTED}));
    // With an upload too, quitting asks on every screen: Esc at home and Ctrl-C. An offer not
    // accepted does not count; anything but y keeps running, and is not typed.
    add<JXTransfer>(&far->uploads, 2, "u", 10, UL_PENDING, "192.168.100.200");
    add<JXTransfer>(&far->downloads, 3, "o", 10, DL_PENDING, "192.168.100.200");
    show(STATE_START);
    EXPECT_EQ(screen_row(turn(KEY_ESC), 0), "2 transfers in progress. Quit? y/N");
    burst("n");
    EXPECT_EQ(std::make_tuple(state_get(), ctx_get()->quit_ask, std::string(ctx_get()->input)),
              std::make_tuple(STATE_START, uint16_t{0}, std::string()));
    show(STATE_UL_LIST, {KEY_CTRL_C});
    EXPECT_EQ(ctx_get()->quit_ask, 2);
    burst("y");
    EXPECT_EQ(state_get(), STATE_EXIT);
}

TEST_F(TransferScreens, FileEventsBecomeNoticesInTheDirectChannel)
{
    JXChannel* dm = add_ch(lan->addr, ip("10.0.0.2"));
    JXChannel* far_ch = jx_ch_from_network(far, 0);
    far_ch->type = CH_DM;
    far->type = NET_DIRECT_IP_INCOMING;
    show(STATE_CHANNEL_LIST);
    for (uint8_t kind : {EV_DL_OFFERED, EV_UL_PREPARING, EV_UL_STARTED, EV_DL_COMPLETE, EV_UL_FAILED, EV_UL_DECLINED})
        raise(kind, jx_build_file_ev("a\x1b[2Jb", 6, CH_NET_DM, lan->addr, ip("10.0.0.2")));
    raise(EV_DL_FAILED, jx_build_file_ev("far", 3, CH_DM, far->addr, far->addr));
    // One bell for the turn; all but our own preparing notice count as unread, on a direct-IP
    // network in its one channel.
    const std::string out = turn();
    EXPECT_EQ(std::make_tuple(std::count(out.begin(), out.end(), '\a'), dm->unread, far_ch->unread),
              std::make_tuple(1l, uint64_t{5}, uint64_t{1}));
    ctx_get()->channel = dm;
    const std::string at = "15:13:20|         System >>> ";
    EXPECT_EQ(screen(show(STATE_CHANNEL), 16, 21),
              (Strs{at + "Peer trying to send file [a?[2Jb]", at + "Preparing to send file [a?[2Jb]",
                    at + "Peer started upload of file [a?[2Jb]", at + "Download complete [a?[2Jb]",
                    at + "Upload failed [a?[2Jb]", at + "Declined by bob [a?[2Jb]"}));
    EXPECT_NE(slurp("msg/c864a8c0").find("Download failed [far]"), std::string::npos);
}
