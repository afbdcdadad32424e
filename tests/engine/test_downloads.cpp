// Downloads on a frozen clock, driven by injected offers and chunks from bob: the segment plan,
// missing chunks, the finished file and its verification, offered names, time-outs and hostile
// offers.
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "engine/crons.hpp"
#include "engine/downloads.hpp"
#include "engine/pacing.hpp"
#include "engine/quotas.hpp"
#include "engine/texts.hpp"
#include "engine/transfers.hpp"
#include "engine/turn.hpp"
#include "engine/upload_passes.hpp"
#include "engine/uploads.hpp"
#include "transfer_fixture.hpp"

using namespace jxtest;

namespace {

TEST_F(Transfers, DownloadFromOfferToVerifiedFile)
{
    const std::string content = pattern(3 * 1370 + 260);
    offer("report.pdf", content);
    EXPECT_EQ(events(), Strs{"dl_offered Net DM 239.7.7.7 127.0.0.2 report.pdf"});
    const auto answer = sent();
    EXPECT_EQ(briefs(answer), Strs{"13 7.7.7.239 8855>127.0.0.2 40"});
    EXPECT_EQ(payloads(answer), Strs{bytes(kId, 8) + "\x22\x98"});
    EXPECT_EQ(sent(comm.data_sock).size(), 1u) << "the punch";
    // The offer comes again (our answer was lost): the same download answers again.
    offer("report.pdf", content);
    EXPECT_EQ(sent().size(), 1u);
    EXPECT_EQ(jx_list_size(&net->downloads), 1);
    sent(comm.data_sock, 0);
    // A pending offer never times out while its peer is there.
    jx_clock_advance(1000);
    feed(beacon(ip(kGroup), "bob", 100000, 'a'), kPeer1);
    jx_crons_run();
    ASSERT_NE(jx_get_dl(net, kId), nullptr);
    EXPECT_EQ(jx_next_due_us(), 11000000) << "only the next beacon";

    // A file of that name exists: the download takes report_(1).pdf.
    std::ofstream(root / "downloads" / "report.pdf") << "mine";
    ASSERT_EQ(jx_accept_download(kId), 0);
    EXPECT_EQ(jx_accept_download(kId), 2);
    EXPECT_EQ(jx_next_due_us(), JX_DUE_NOW) << "requests go out every turn";
    EXPECT_EQ(payloads(sent(comm.data_sock)), Strs{seg_req(kId, 1, 1370, 3)});

    // Chunks in reverse order, one of the wrong size, one of another segment and one past the
    // segment's end (all ignored), and chunk 0 twice: three arrivals with chunk 1 still missing. A
    // repeat is not counted again, so the segment waits for its batch-done, which has chunk 1
    // asked for; nothing is written.
    from_bob(PKT_CHUNK, chunk(kId, 1, 2, content.substr(2740, 1370)));
    from_bob(PKT_CHUNK, chunk(kId, 1, 1, content.substr(1370, 1369)));
    from_bob(PKT_CHUNK, chunk(kId, 2, 1, std::string(1370, 'x')));
    from_bob(PKT_CHUNK, chunk(kId, 1, 3, std::string(1370, 'x')));
    from_bob(PKT_CHUNK, chunk(kId, 1, 0, content.substr(0, 1370)));
    from_bob(PKT_CHUNK, chunk(kId, 1, 0, content.substr(0, 1370)));
    jx_crons_run();
    EXPECT_EQ(briefs(sent(comm.data_sock)), Strs{});
    EXPECT_EQ(jx_get_dl(net, kId)->chunks_left, 1u);
    from_bob(PKT_BATCH_DONE, batch_done(kId, 1));
    EXPECT_EQ(payloads(sent(comm.data_sock)),
              Strs{bytes(kId, 8) + std::string(7, '\0') + "\x01\x05" + std::string(63, '\0')});
    jx_get_dl(net, kId)->repeat_us -= JX_REPEAT_US;  // 10 ms later
    jx_crons_run();
    EXPECT_EQ(sent(comm.data_sock).size(), 1u) << "asked again until a chunk comes";
    from_bob(PKT_CHUNK, chunk(kId, 1, 1, content.substr(1370, 1370)));
    from_bob(PKT_BATCH_DONE, batch_done(kId, 1));
    EXPECT_EQ(payloads(sent(comm.data_sock)), Strs{seg_req(kId, 2, 260, 1)});

    // The last segment: the file is complete and told so; a late batch-done gets the fin again.
    drop_events();
    from_bob(PKT_CHUNK, chunk(kId, 2, 0, content.substr(4110)));
    jx_crons_run();
    EXPECT_EQ(briefs(sent(comm.data_sock)), Strs{"14 7.7.7.239 8856>127.0.0.2 38"});
    EXPECT_EQ(events(), Strs{"dl_complete Net DM 239.7.7.7 127.0.0.2 report_(1).pdf"});
    EXPECT_TRUE(log_line("Download done, transfer time: less then a second"));
    EXPECT_EQ(slurp("downloads/report_(1).pdf"), content);
    EXPECT_EQ(slurp("downloads/report.pdf"), "mine");
    EXPECT_EQ(jx_next_due_us(), 11000000);
    from_bob(PKT_BATCH_DONE, batch_done(kId, 2));
    EXPECT_EQ(briefs(sent(comm.data_sock)), Strs{"14 7.7.7.239 8856>127.0.0.2 38"});

    // Verified good, then changed on disk and verified bad.
    JXTransferFin* f = jx_get_fin(&net->fin_downloads, kId);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(jx_verify_download(f), 0);
    EXPECT_EQ(jx_verify_download(f), 1) << "only a completed record";
    EXPECT_EQ(jx_next_due_us(), JX_DUE_NOW) << "verified a slice every turn";
    jx_crons_run();
    EXPECT_EQ(f->state, FIN_HASH_OK);
    EXPECT_EQ(events(), Strs{"hash_ready " + hex(kId, 8) + " " + hex(f->meta.digest, 32)});
    std::ofstream(root / "downloads" / "report_(1).pdf", std::ios::binary | std::ios::in) << "X";
    f->state = FIN_COMPLETED;
    ASSERT_EQ(jx_verify_download(f), 0);
    jx_crons_run();
    EXPECT_EQ(f->state, FIN_HASH_BAD);
    EXPECT_EQ(jx_list_size(&comm.tasks), 0);
    from_bob(PKT_BATCH_DONE, batch_done(kId, 2));
    EXPECT_EQ(briefs(sent(comm.data_sock)), Strs{"14 7.7.7.239 8856>127.0.0.2 38"}) << "the result first sent";
}

TEST_F(Transfers, TwoVerificationsShareEachTurnAndGoWithTheirRecords)
{
    JXTransferFin* fins[3] = {};
    for (int i = 0; i < 3; i++) {
        JXTransfer t{};
        t.id[0] = static_cast<uint8_t>(i + 1);
        const std::string content = pattern(6000000 + i);
        sha256_buffer(content.data(), content.size(), t.meta.digest);
        t.meta.size = content.size();
        std::snprintf(t.meta.dir, sizeof t.meta.dir, "%s/", root.c_str());
        std::snprintf(t.meta.name, sizeof t.meta.name, "big%d", i);
        write_file(t.meta.name, content);
        fins[i] = jx_make_fin(&t, &net->fin_downloads, FIN_COMPLETED);
        ASSERT_EQ(jx_verify_download(fins[i]), 0);
    }
    // Every task gets at least one slice in every turn, the first one as much as the budget allows.
    jx_crons_run();
    for (int i = 0; i < 3; i++)
        EXPECT_GE(jx_verify_task_of(fins[i])->hash.size, 1000000u) << i;
    // A record that goes away takes its verification (and its open file) with it.
    ASSERT_EQ(jx_rm_fin(&net->fin_downloads, fins[2]->id), 0);
    EXPECT_EQ(jx_list_size(&comm.tasks), 2);
    for (int turn = 0; turn < 20 && jx_list_size(&comm.tasks) > 0; turn++)
        jx_crons_run();
    EXPECT_EQ(fins[0]->state, FIN_HASH_OK);
    EXPECT_EQ(fins[1]->state, FIN_HASH_OK);
}

// An offered name is stored under a safe name decided with the offer: the pending row and its event
// show it, the accepted file lands under it (0600), the offered name is kept cleaned for display.
// A name that cannot be stored is refused at once and its sender told; nothing stays pending.
TEST_F(Transfers, HostileOfferedNamesAreStoredUnderSafeNames)
{
    // (Which names become which is the storage suite's table.)
    const std::tuple<std::string, std::string, std::string> names[] = {
        {"\x1b]0;pwned\x07\x1b[2Jevil.txt", "_]0;pwned__[2Jevil.txt", "?]0;pwned??[2Jevil.txt"},
        {"-rf", "_rf", "-rf"}};
    uint8_t id[8] = {9};
    for (const auto& [offered, safe, shown] : names) {
        id[1]++;
        offer(offered, "data", 1370, id);
        EXPECT_EQ(events(), Strs{"dl_offered Net DM 239.7.7.7 127.0.0.2 " + safe});
        const JXTransfer* d = jx_get_dl(net, id);
        ASSERT_TRUE(d != nullptr && d->state == DL_PENDING) << safe;
        EXPECT_EQ(d->meta.name + std::string("|") + d->meta.offered, safe + "|" + shown);
        ASSERT_EQ(jx_accept_download(id), 0);
        struct stat st {};
        EXPECT_TRUE(stat((root / "downloads" / safe).c_str(), &st) == 0 && (st.st_mode & 0777) == 0600)
            << safe;
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root / "downloads"), {}), 2);
    settle();
    sent(comm.data_sock, 0);
    id[1]++;
    offer("a/b", "data", 1370, id);
    EXPECT_EQ(jx_get_dl(net, id), nullptr);
    EXPECT_EQ(briefs(sent(comm.data_sock)), Strs{"15 7.7.7.239 8856>127.0.0.2 38"}) << "a failed fin";
    EXPECT_TRUE(log_line("Offer from 127.0.0.2 refused: its file name cannot be stored"));
    offer("a/b", "data", 1370, id, "127.0.0.9");  // no peer: maybe forged, so nobody is answered
    EXPECT_EQ(std::make_pair(sent(comm.data_sock).size(), log_count("Forbidden char filename")), std::make_pair(size_t{0}, size_t{1}));
}

TEST_F(Transfers, DownloadEdgesAndHostileOffers)
{
    // Chunk size 0, and a name that runs past the payload's end.
    offer("f", "data", 0);
    std::string runs_past(54, '\0');
    runs_past[49] = 1, runs_past[53] = 9;
    from_bob(PKT_FILE_META, runs_past, 8855);
    EXPECT_EQ(log_count("\tCan't unsrlz data from meta\r\n"), 2u);
    EXPECT_EQ(jx_list_size(&net->downloads), 0);

    // An empty file completes at acceptance; a symbolic link in downloads/ is never followed.
    std::filesystem::create_symlink(root / "target", root / "downloads" / "empty");
    offer("empty", "");
    ASSERT_EQ(jx_accept_download(kId), 0);
    EXPECT_EQ(events(), (Strs{"dl_offered Net DM 239.7.7.7 127.0.0.2 empty",
                              "dl_complete Net DM 239.7.7.7 127.0.0.2 empty_(1)"}));
    EXPECT_FALSE(std::filesystem::exists(root / "target"));
    EXPECT_TRUE(std::filesystem::is_regular_file(root / "downloads" / "empty_(1)"));

    // Silent for more than 15 s after acceptance: failed, partial file gone, peer told.
    offer("notes", pattern(5000));
    ASSERT_EQ(jx_accept_download(kId), 0);
    const auto partial = root / "downloads" / "notes";
    EXPECT_TRUE(std::filesystem::exists(partial));
    drop_events();
    jx_clock_advance(15);
    jx_crons_run();
    EXPECT_EQ(events(), Strs{});
    sent(comm.data_sock, 0);
    jx_clock_advance(1);
    jx_crons_run();
    EXPECT_EQ(events(), Strs{"dl_failed Net DM 239.7.7.7 127.0.0.2 notes"});
    EXPECT_FALSE(std::filesystem::exists(partial));
    EXPECT_EQ(briefs(sent(comm.data_sock)), Strs{"15 7.7.7.239 8856>127.0.0.2 38"});

    // Removed by the user, the uploader is told rather than left waiting: an offer is declined
    // (16), a running download fails at once (15) and loses its partial file.
    for (const auto& [accept, fin] : {std::pair{false, "16"}, {true, "15"}}) {
        offer("gone", pattern(5000));
        EXPECT_EQ(accept ? jx_accept_download(kId) : 0, 0);
        sent(comm.data_sock, 0);
        ASSERT_EQ(jx_cancel_dl(net, kId), 0);
        EXPECT_EQ(briefs(sent(comm.data_sock)), Strs{std::string(fin) + " 7.7.7.239 8856>127.0.0.2 38"});
        EXPECT_FALSE(std::filesystem::exists(root / "downloads" / "gone"));
    }
    EXPECT_EQ(jx_cancel_dl(net, kId), 1);
    drop_events();

    // A file whose last bytes cannot be written (past the size limit here) is not reported intact
    // for its digest, taken as it was written, matching.
    const std::string full = pattern(5000);
    offer("full", full);
    ASSERT_EQ(jx_accept_download(kId), 0);
    drop_events();
    rlimit was{};
    getrlimit(RLIMIT_FSIZE, &was);
    const rlimit small{4096, was.rlim_max};
    std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    for (int i = 0; i < 3; i++)
        from_bob(PKT_CHUNK, chunk(kId, 1, i, full.substr(i * 1370, 1370)));
    from_bob(PKT_CHUNK, chunk(kId, 2, 0, full.substr(4110)));
    setrlimit(RLIMIT_FSIZE, &was);
    EXPECT_EQ(events(), Strs{"dl_failed Net DM 239.7.7.7 127.0.0.2 full"});
    EXPECT_FALSE(std::filesystem::exists(root / "downloads" / "full"));
    sent(comm.data_sock, 0);

    // Leaving the network in the middle of a download leaves no partial file either.
    std::ofstream(partial) << "taken";
    offer("notes", pattern(5000));
    ASSERT_EQ(jx_accept_download(kId), 0);
    EXPECT_TRUE(std::filesystem::exists(root / "downloads" / "notes_(1)"));
    ASSERT_EQ(jx_leave_network(net), 0);
    EXPECT_FALSE(std::filesystem::exists(root / "downloads" / "notes_(1)"));
    EXPECT_EQ(slurp("downloads/notes"), "taken");

    // A flood of offers with new ids stops at the limit per peer.
    net = online_group(1);
    uint8_t id[8] = {};
    for (int i = 0; i <= JX_MAX_OFFERS_PER_PEER; i++) {
        id[0] = static_cast<uint8_t>(i), id[1] = static_cast<uint8_t>(i >> 8);
        offer("f", "", 1370, id);
    }
    EXPECT_EQ(jx_list_size(&net->downloads), JX_MAX_OFFERS_PER_PEER);
}

}  // namespace
