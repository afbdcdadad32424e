// Uploads on a frozen clock, driven by injected answers from bob, with what they send on real
// sockets; the rate-based pacing of both sides; what a peer that leaves or a wall clock that jumps
// does to transfers.
#include <sys/stat.h>

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

// Classic pacing: one pass per turn, `limit` chunks, requests answered every turn.
TEST_F(Transfers, UploadFromOfferToCompletionWithPacingResendsAndRepeats)
{
    jx_pacing_set(true, 0);
    const std::string content = pattern(3000);
    const std::string path = write_file("report.pdf", content);
    EXPECT_EQ(jx_add_upload(jx_ch_from_network(net, 0), path.c_str()), JX_UL_NOT_PRIVATE);
    EXPECT_EQ(jx_add_upload(dm, (root / "missing").c_str()), JX_UL_BAD_FILE);
    EXPECT_EQ(jx_add_upload(dm, root.c_str()), JX_UL_BAD_FILE) << "a directory never hashes to an end";
    ASSERT_EQ(jx_add_upload(dm, path.c_str()), JX_UL_OK);
    JXTransfer* u = upload();
    EXPECT_EQ(events(), Strs{"ul_preparing Net DM 239.7.7.7 127.0.0.2 report.pdf"});

    // Hashed in the first pass, offered in every pass after it until answered.
    jx_crons_run();
    uint8_t digest[32];
    sha256_buffer(content.data(), content.size(), digest);
    EXPECT_EQ(events(), Strs{"hash_ready " + hex(u->id, 8) + " " + hex(digest, 32)});
    sent(comm.rcv_sock, 0);
    jx_crons_run();
    EXPECT_EQ(jx_next_due_us(), JX_DUE_NOW) << "offering works every turn";
    jx_crons_run();
    const auto offers = sent();
    EXPECT_EQ(briefs(offers), Strs(2, "8 7.7.7.239 8855>127.0.0.2 94"));
    // Id, digest, size 3000, chunk size 1370, our data port 8856, and the name's length and bytes.
    EXPECT_EQ(payloads(offers)[0], bytes(u->id, 8) + bytes(digest, 32) +
                                       std::string("\0\0\0\0\0\0\x0b\xb8\x05\x5a\x22\x98\0\x0a", 14) +
                                       "report.pdf");

    // Bob answers (twice: the second is refused and changes nothing); waiting has no time limit.
    Probe bob_data(kPeer1);
    accept(u, bob_data.port);
    accept(u, bob_data.port);
    EXPECT_EQ(u->state, UL_PENDING);
    EXPECT_TRUE(log_line("Can't change ul state from other then 'send meta' to 'pending'"));
    EXPECT_EQ(bob_data.recv().size(), 2u) << "one punch per answer";
    jx_clock_advance(100);
    feed(beacon(ip(kGroup), "bob", 100000, 'a'), kPeer1);  // bob is still there
    jx_crons_run();
    EXPECT_GT(jx_next_due_us(), JX_DUE_NOW) << "nothing to do while the user decides";

    // Strangers and absurd requests cannot steer it.
    feed(make_dgram(PKT_GET_SEGMENT, ip(kGroup), 9, "eve", seg_req(u->id, 1, 1370, 2)), "127.0.0.9", 8856);
    from_bob(PKT_GET_SEGMENT, seg_req(u->id, 1, 1371, 2));
    from_bob(PKT_GET_SEGMENT, seg_req(u->id, 1, 1370, 513));
    EXPECT_EQ(u->state, UL_PENDING);
    EXPECT_TRUE(log_line("Packet type 9 from 127.0.0.9 refused: its transfer's peer is 127.0.0.2"));
    drop_events();

    // Segment 1: two chunks of 1370 go out in one pass (limit 5), and the limit grows by 3.
    from_bob(PKT_GET_SEGMENT, seg_req(u->id, 1, 1370, 2));
    EXPECT_EQ(events(), Strs{"ul_started Net DM 239.7.7.7 127.0.0.2 report.pdf"});
    jx_crons_run();
    auto out = bob_data.recv();
    EXPECT_EQ(briefs(out), Strs(2, "11 7.7.7.239 8856>127.0.0.2 1424"));
    EXPECT_EQ(payloads(out), (Strs{chunk(u->id, 1, 0, content.substr(0, 1370)),
                                   chunk(u->id, 1, 1, content.substr(1370, 1370))}));
    EXPECT_EQ(std::make_tuple(u->limit, u->state, u->bytes_left), std::make_tuple(8, UL_BATCH_DONE, 260u));
    EXPECT_EQ(jx_next_due_us(), JX_DUE_NOW) << "batch done is repeated every turn";
    jx_crons_run();
    EXPECT_EQ(briefs(bob_data.recv()), Strs{"12 7.7.7.239 8856>127.0.0.2 46"});

    // A repeated request changes nothing; chunk 1 reported missing goes out again, alone.
    from_bob(PKT_GET_SEGMENT, seg_req(u->id, 1, 1370, 2));
    EXPECT_EQ(u->state, UL_BATCH_DONE);
    const std::string id = bytes(u->id, 8);
    from_bob(PKT_GET_SKIPPED, id + std::string(8, '\0') + '\x01' + std::string(63, '\0'));
    EXPECT_EQ(u->state, UL_BATCH_DONE) << "another segment's bitmap";
    from_bob(PKT_GET_SKIPPED, id + std::string(7, '\0') + "\x01\x01" + std::string(63, '\0'));
    jx_crons_run();
    EXPECT_EQ(payloads(bob_data.recv()), Strs{chunk(u->id, 1, 1, content.substr(1370, 1370))});
    EXPECT_EQ(std::make_tuple(u->state, u->skipped), std::make_tuple(UL_BATCH_DONE, 0));

    // Segment 2: one chunk of the last 260 bytes, a 284-byte payload.
    from_bob(PKT_GET_SEGMENT, seg_req(u->id, 2, 260, 1));
    jx_crons_run();
    EXPECT_EQ(payloads(bob_data.recv()),
              Strs{id + std::string(7, '\0') + '\x02' + std::string(8, '\0') + content.substr(2740)});

    from_bob(PKT_FILE_FIN_OK, id);
    EXPECT_EQ(events(), Strs{"ul_complete Net DM 239.7.7.7 127.0.0.2 report.pdf"});
    const auto* fin = jx_get_fin(&net->fin_uploads, reinterpret_cast<const uint8_t*>(id.data()));
    ASSERT_NE(fin, nullptr);
    EXPECT_EQ(std::make_tuple(fin->state, fin->start_time),
              std::make_tuple(FIN_COMPLETED, kFrozenNow + 100u));
    from_bob(PKT_FILE_FIN_OK, id);
    EXPECT_EQ(events(), Strs{});
}

// Rate-based pacing. Downloading: the next segment is asked for the moment the last chunk of one
// is in, and the file is hashed as it is written: a match is told with type 14 and shown checked,
// a file that is not what was offered (changed after it was hashed) with type 15, kept for a look,
// and that result stays what a late batch-done hears. Uploading: a requested segment, a re-send
// and their batch-done leave in the turn that took the request.
TEST_F(Transfers, RateBasedPacingAsksEarlyChecksOnArrivalAndSendsAtOnce)
{
    const std::string content = pattern(1370 * 40 + 5);
    for (const bool intact : {true, false}) {
        const uint8_t id[8] = {7, intact};
        offer(intact ? "good" : "bad", content, 1370, id);
        ASSERT_EQ(jx_accept_download(id), 0);
        settle();
        sent(comm.data_sock, 0);
        for (uint64_t i = 0; i < 40; i++)
            from_bob(PKT_CHUNK, chunk(id, 1, i, intact || i != 7 ? content.substr(i * 1370, 1370) : pattern(1370)));
        EXPECT_EQ(payloads(sent(comm.data_sock)), Strs{seg_req(id, 2, 5, 1)}) << "no turn between";
        from_bob(PKT_CHUNK, chunk(id, 2, 0, content.substr(40 * 1370)));
        EXPECT_EQ(events(), Strs{std::string(intact ? "dl_complete" : "dl_failed") + " Net DM 239.7.7.7 127.0.0.2 " +
                                 (intact ? "good" : "bad")});
        const JXTransferFin* f = jx_get_fin(&net->fin_downloads, id);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->state, intact ? FIN_HASH_OK : FIN_HASH_BAD);
        EXPECT_EQ(slurp(intact ? "downloads/good" : "downloads/bad").size(), content.size());
        from_bob(PKT_BATCH_DONE, batch_done(id, 2));
        EXPECT_EQ(briefs(sent(comm.data_sock)), Strs(2, intact ? "14 7.7.7.239 8856>127.0.0.2 38"
                                                               : "15 7.7.7.239 8856>127.0.0.2 38"));
    }
    // Ctrl-T on a checked download reads it back from disk.
    EXPECT_EQ(jx_verify_download(jx_get_fin(&net->fin_downloads, kId)), 1) << "none of that id";
    const uint8_t bad[8] = {7, 0};
    ASSERT_EQ(jx_verify_download(jx_get_fin(&net->fin_downloads, bad)), 0);

    Probe bob_data(kPeer1);
    ASSERT_EQ(jx_add_upload(dm, write_file("up", content.substr(0, 3 * 1370)).c_str()), JX_UL_OK);
    jx_crons_run();
    accept(upload(), bob_data.port);
    bob_data.recv();
    JXTransfer* u = upload();
    from_bob(PKT_GET_SEGMENT, seg_req(u->id, 1, 1370, 3));
    jx_clock_advance(1);  // the pacing lets a millisecond's worth go
    ASSERT_EQ(jx_engine_turn(-1, 0), 0);
    EXPECT_EQ(briefs(bob_data.recv()), (Strs{"11 7.7.7.239 8856>127.0.0.2 1424", "11 7.7.7.239 8856>127.0.0.2 1424",
                                             "11 7.7.7.239 8856>127.0.0.2 1424", "12 7.7.7.239 8856>127.0.0.2 46"}));
    from_bob(PKT_GET_SKIPPED, bytes(u->id, 8) + std::string(7, '\0') + "\x01\x05" + std::string(63, '\0'));
    jx_clock_advance(1);
    ASSERT_EQ(jx_engine_turn(-1, 0), 0);
    const auto again = bob_data.recv();
    EXPECT_EQ(payloads(again)[0], chunk(u->id, 1, 1, content.substr(1370, 1370)));
    EXPECT_EQ(briefs(again)[1], "12 7.7.7.239 8856>127.0.0.2 46");
}

TEST_F(Transfers, UploadEndsOnSilenceOnAShortFileAndOnAFinOfAnotherKind)
{
    const std::string small = write_file("small", "abc");
    ASSERT_EQ(jx_add_upload(dm, small.c_str()), JX_UL_OK);
    jx_crons_run();
    drop_events();
    // Unanswered for more than 15 s: failed.
    jx_clock_advance(15);
    jx_crons_run();
    EXPECT_EQ(upload()->state, UL_SEND_META);
    jx_clock_advance(1);
    jx_crons_run();
    EXPECT_EQ(events(), Strs{"ul_failed Net DM 239.7.7.7 127.0.0.2 small"});
    EXPECT_EQ(first_fin_ul(), FIN_FAILED);

    // Asked for more than the file holds: no stale bytes go out, the upload fails and says so.
    Probe bob_data(kPeer1);
    ASSERT_EQ(jx_add_upload(dm, small.c_str()), JX_UL_OK);
    jx_crons_run();
    accept(upload(), bob_data.port);
    bob_data.recv();
    from_bob(PKT_GET_SEGMENT, seg_req(upload()->id, 1, 1370, 1));
    EXPECT_EQ(briefs(bob_data.recv()), Strs{"15 7.7.7.239 8856>127.0.0.2 38"});
    EXPECT_EQ(jx_list_size(&net->uploads), 0);

    // Its datagrams cannot leave at all (every send fails): with either pacing, passes that fail
    // are no sign of life and the upload times out.
    for (const bool classic : {true, false}) {
        jx_pacing_set(classic, 0);
        ASSERT_EQ(jx_add_upload(dm, small.c_str()), JX_UL_OK);
        jx_crons_run();
        accept(upload(), bob_data.port);
        from_bob(PKT_GET_SEGMENT, seg_req(upload()->id, 1, 3, 1));
        upload()->port = 0;
        drop_events();
        for (int s = 0; s <= 16; s++, jx_clock_advance(1)) {
            jx_crons_run();
            jx_pace_uploads(net, jx_pacing_now_us());
        }
        EXPECT_EQ(events(), Strs{"ul_failed Net DM 239.7.7.7 127.0.0.2 small"}) << classic;
    }

    // A fin of the third kind: the offer was declined; the upload ends with no result.
    ASSERT_EQ(jx_add_upload(dm, small.c_str()), JX_UL_OK);
    drop_events();
    from_bob(PKT_FILE_FIN_OTHER, bytes(upload()->id, 8));
    EXPECT_EQ(events(), Strs{"ul_declined Net DM 239.7.7.7 127.0.0.2 small"});
    EXPECT_EQ(jx_list_size(&net->uploads), 0);
    EXPECT_EQ(first_fin_ul(), FIN_NONE);
}

// Bob leaves with his offer pending and our upload answered but not started: both end at once.
TEST_F(Transfers, APeerThatLeavesHasItsOffersWithdrawnAndOurWaitingUploadEnded)
{
    offer("a.txt", "data");
    ASSERT_EQ(jx_add_upload(dm, write_file("b.txt", "abc").c_str()), JX_UL_OK);
    jx_crons_run();
    accept(upload(), 8856);
    ASSERT_EQ(upload()->state, UL_PENDING);
    drop_events();
    from_bob(PKT_LEAVE, "", 8855);
    EXPECT_EQ(events(), (Strs{"peer_left 239.7.7.7 127.0.0.2 bob", "dl_failed Net DM 239.7.7.7 127.0.0.2 a.txt",
                              "ul_failed Net DM 239.7.7.7 127.0.0.2 b.txt"}));
    EXPECT_EQ(jx_list_size(&net->downloads) + jx_list_size(&net->uploads), 0);
    EXPECT_EQ(std::make_pair(first_fin_ul(), jx_get_fin(&net->fin_downloads, kId)->state),
              std::make_pair(uint8_t{FIN_FAILED}, uint8_t{FIN_FAILED}));
    // Strangers that offer and leave for ever leave the newest JX_MAX_WITHDRAWN records behind.
    for (int i = 1; i <= JX_MAX_WITHDRAWN + 6; i++) {
        const std::string a = "127.8.0." + std::to_string(i);
        const uint8_t id[8] = {9, static_cast<uint8_t>(i)};
        feed(beacon(ip(kGroup), "x", 100000, 'x'), a.c_str());
        offer("x" + std::to_string(i), "data", 1370, id, a.c_str());
        feed(make_dgram(PKT_LEAVE, ip(kGroup), next_id++, "x"), a.c_str());
        jx_clock_advance(1);
    }
    EXPECT_EQ(jx_list_size(&net->fin_downloads), JX_MAX_WITHDRAWN);
    EXPECT_EQ(static_cast<JXTransferFin*>(jx_list_data(jx_list_head(&net->fin_downloads)))->meta.name,
              "x" + std::to_string(JX_MAX_WITHDRAWN + 6));
}

// The wall clock stepped by an hour either way (NTP, the user): every rule runs on the monotonic
// clock, so nothing times out, nothing is resent early, and the resend still comes on time.
TEST_F(Transfers, WallClockStepsDropNoPeerFailNoTransferAndHurryNoResend)
{
    offer("f.bin", pattern(5000));
    ASSERT_EQ(jx_accept_download(kId), 0);
    ASSERT_EQ(jx_snd_txt(jx_ch_from_network(net, 0), "hi"), JX_TXT_OK);
    jx_crons_run();  // the first beacon
    settle();
    for (const int64_t step : {3600, -7200, 3600}) {
        jx_clock_step_wall(step);
        jx_crons_run();
        EXPECT_EQ(events(), Strs{}) << step;
        EXPECT_EQ(sent().size(), 0u) << step;
    }
    jx_clock_advance(3);
    jx_crons_run();
    EXPECT_EQ(briefs(sent()), Strs{"1 7.7.7.239 8855>127.0.0.2 32"}) << "the resend, on time";
    EXPECT_EQ(std::make_tuple(net->status, jx_set_size(&net->peers), jx_list_size(&net->downloads)),
              std::make_tuple(NET_ONLINE, 1, 1));
}

}  // namespace
