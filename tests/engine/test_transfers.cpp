// File transfer on a frozen clock: an upload driven by injected answers from a peer, a download
// driven by injected offers and chunks, and what each sends on real sockets. The peer is bob at
// 127.0.0.2; its presence port is our own receiving socket and its data port our own data socket,
// so both show what we send him.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "engine/crons.hpp"
#include "engine/downloads.hpp"
#include "engine/quotas.hpp"
#include "engine/texts.hpp"
#include "engine/transfers.hpp"
#include "engine/uploads.hpp"
#include "engine_fixture.hpp"
#include "foundation/sha256.hpp"
#include "protocol/data_protocol.hpp"

using namespace jxtest;

namespace {

const uint8_t kId[8] = {1, 2, 3, 4, 5, 6, 7, 8};

std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = static_cast<char>(i * 7 + i / 251);
    return s;
}

std::string bytes(const uint8_t* p, size_t n)
{
    return {reinterpret_cast<const char*>(p), n};
}

// Payloads of segment requests, chunks and batch-done as the peer's side writes them.
std::string seg_req(const uint8_t* id, uint64_t seg, uint16_t size, uint32_t count)
{
    const JXSegmentReq r{{id[0], id[1], id[2], id[3], id[4], id[5], id[6], id[7]}, seg, size, count};
    uint8_t b[JX_SEGMENT_LEN];
    return bytes(b, jx_data_serialize_segment(b, sizeof b, &r));
}

std::string chunk(const uint8_t* id, uint64_t seg, uint64_t index, const std::string& data)
{
    uint8_t b[JX_CHUNK_HDR_LEN];
    jx_data_serialize_chunk_hdr(b, sizeof b, id, seg, index);
    return bytes(b, sizeof b) + data;
}

std::string batch_done(const uint8_t* id, uint64_t seg)
{
    uint8_t b[JX_BATCH_DONE_LEN];
    return bytes(b, jx_data_serialize_batch_done(b, sizeof b, id, seg));
}

class Transfers : public EngineFixture {
  protected:
    JXNetwork* net = nullptr;
    JXChannel* dm = nullptr;
    uint32_t next_id = 500;

    void SetUp() override
    {
        EngineFixture::SetUp();
        net = online_group(1);
        ASSERT_EQ(jx_add_channel(net->addr, ip(kPeer1), &dm), 0);
        settle();
    }
    // A datagram from bob on the group, by default from his data port.
    void from_bob(uint8_t type, const std::string& payload, uint16_t port = 8856)
    {
        feed(make_dgram(type, ip(kGroup), next_id++, "bob", payload), kPeer1, port);
    }
    std::string write_file(const std::string& name, const std::string& content) const
    {
        std::ofstream(root / name, std::ios::binary) << content;
        return (root / name).string();
    }
    JXTransfer* upload() { return static_cast<JXTransfer*>(jx_list_data(jx_list_head(&net->uploads))); }
    // The state of the newest finished upload; 0xff when there is none.
    uint8_t first_fin_ul()
    {
        jx_list_elmt* head = jx_list_head(&net->fin_uploads);
        return head != nullptr ? static_cast<JXTransferFin*>(jx_list_data(head))->state : 0xff;
    }
    // Bob accepts an upload, to be sent to his data port `port`.
    void accept(const JXTransfer* u, uint16_t port)
    {
        uint8_t b[JX_META_ACK_LEN];
        from_bob(PKT_META_ACK, bytes(b, jx_data_serialize_meta_ack(b, sizeof b, u->id, port)), 8855);
    }
    // Bob (or a host at `from`) offers `name` of `content`.
    void offer(const std::string& name, const std::string& content, uint16_t chunk = 1370,
               const uint8_t* id = kId, const char* from = kPeer1)
    {
        JXOffer o{};
        std::memcpy(o.id, id, 8);
        sha256_buffer(content.data(), content.size(), o.digest);
        o.size = content.size(), o.chunk_size = chunk, o.data_port = 8856;
        std::snprintf(o.name, sizeof o.name, "%s", name.c_str());
        uint8_t b[JX_PAYLOAD_MAX];
        feed(make_dgram(PKT_FILE_META, ip(kGroup), next_id++, "bob", bytes(b, jx_data_serialize_meta(b, sizeof b, &o))),
             from, 8855);
    }
};

TEST_F(Transfers, UploadFromOfferToCompletionWithPacingResendsAndRepeats)
{
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

    // A fin of the third kind: the offer was declined; the upload ends with no result.
    ASSERT_EQ(jx_add_upload(dm, small.c_str()), JX_UL_OK);
    drop_events();
    from_bob(PKT_FILE_FIN_OTHER, bytes(upload()->id, 8));
    EXPECT_EQ(events(), Strs{"ul_declined Net DM 239.7.7.7 127.0.0.2 small"});
    EXPECT_EQ(jx_list_size(&net->uploads), 0);
    EXPECT_EQ(first_fin_ul(), FIN_NONE);
}

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

    // Chunks in reverse order, one of the wrong size and one of another segment (both ignored), and
    // chunk 0 twice: three arrivals with chunk 1 still missing. A repeat is not counted again, so
    // the segment waits for its batch-done, which has chunk 1 asked for; nothing is written.
    from_bob(PKT_CHUNK, chunk(kId, 1, 2, content.substr(2740, 1370)));
    from_bob(PKT_CHUNK, chunk(kId, 1, 1, content.substr(1370, 1369)));
    from_bob(PKT_CHUNK, chunk(kId, 2, 1, std::string(1370, 'x')));
    from_bob(PKT_CHUNK, chunk(kId, 1, 0, content.substr(0, 1370)));
    from_bob(PKT_CHUNK, chunk(kId, 1, 0, content.substr(0, 1370)));
    jx_crons_run();
    EXPECT_EQ(briefs(sent(comm.data_sock)), Strs{});
    EXPECT_EQ(jx_get_dl(net, kId)->chunks_left, 1u);
    from_bob(PKT_BATCH_DONE, batch_done(kId, 1));
    EXPECT_EQ(payloads(sent(comm.data_sock)),
              Strs{bytes(kId, 8) + std::string(7, '\0') + "\x01\x05" + std::string(63, '\0')});
    jx_crons_run();
    EXPECT_EQ(sent(comm.data_sock).size(), 1u) << "asked again every turn until a chunk comes";
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
    const std::tuple<std::string, std::string, std::string> names[] = {
        {"\x1b]0;pwned\x07\x1b[2Jevil.txt", "_]0;pwned__[2Jevil.txt", "?]0;pwned??[2Jevil.txt"},
        {"line\r\nbreak.txt", "line__break.txt", "line??break.txt"},
        {"-rf", "_rf", "-rf"},
        {".bashrc", "_bashrc", ".bashrc"},
        {"invoice\u202Efdp.exe", "invoice_fdp.exe", "invoice?fdp.exe"}};
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
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root / "downloads"), {}), 5);
    settle();
    sent(comm.data_sock, 0);
    id[1]++;
    offer("a/b", "data", 1370, id);
    EXPECT_EQ(jx_get_dl(net, id), nullptr);
    EXPECT_EQ(briefs(sent(comm.data_sock)), Strs{"15 7.7.7.239 8856>127.0.0.2 38"}) << "a failed fin";
    EXPECT_TRUE(log_line("Offer from 127.0.0.2 refused: its file name cannot be stored"));
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

TEST_F(Transfers, DownloadEdgesAndHostileOffers)
{
    // Names that are no file names, chunk size 0, and a name that runs past the payload's end.
    for (const char* bad : {"a/b", "..", ".", "", "x?y"})
        offer(bad, "data");
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
