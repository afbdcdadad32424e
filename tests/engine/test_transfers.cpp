// File transfer on a frozen clock: an upload driven by injected answers from a peer, a download
// driven by injected offers and chunks, and what each sends on real sockets. The peer is bob at
// 127.0.0.2; its presence port is our own receiving socket and its data port our own data socket,
// so both show what we send him.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/crons.hpp"
#include "engine/downloads.hpp"
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

std::string file_bytes(const std::filesystem::path& p)
{
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

class Transfers : public EngineFixture {
  protected:
    JXNetwork* net = nullptr;
    uint32_t next_id = 500;

    void SetUp() override
    {
        EngineFixture::SetUp();
        net = online_group(1);
        settle();
    }
    // A datagram from bob on the group.
    void from_bob(uint8_t type, const std::string& payload, uint16_t port = 8856)
    {
        feed(make_dgram(type, ip(kGroup), next_id++, "bob", payload), kPeer1, port);
    }
    std::string write_file(const std::string& name, const std::string& bytes)
    {
        const auto p = root / name;
        std::ofstream(p, std::ios::binary) << bytes;
        return p.string();
    }
    std::vector<Dgram> data_out(int wait_ms = 50) { return recv_all(comm.data_sock, wait_ms); }
    static std::string bytes(const uint8_t* p, size_t n) { return {reinterpret_cast<const char*>(p), n}; }
    static std::string ack(const uint8_t* id) { return bytes(id, 8) + std::string("\x22\x98", 2); }
    static std::string seg_req(const uint8_t* id, uint64_t seg, uint16_t size, uint32_t count)
    {
        JXSegmentReq r{};
        std::memcpy(r.id, id, 8);
        r.segment = seg, r.chunk_size = size, r.chunk_count = count;
        uint8_t b[JX_SEGMENT_LEN];
        return bytes(b, jx_data_serialize_segment(b, sizeof b, &r));
    }
    static std::string seg_no(const uint8_t* id, uint64_t seg)  // batch done and chunk heads
    {
        uint8_t b[JX_BATCH_DONE_LEN];
        return bytes(b, jx_data_serialize_batch_done(b, sizeof b, id, seg));
    }
    static std::string chunk(const uint8_t* id, uint64_t seg, uint64_t index, const std::string& data)
    {
        uint8_t b[JX_CHUNK_HDR_LEN];
        jx_data_serialize_chunk_hdr(b, sizeof b, id, seg, index);
        return bytes(b, sizeof b) + data;
    }
    // Bob offers `name` of `content` with transfer id kId.
    void offer(const std::string& name, const std::string& content, uint16_t chunk = 1370)
    {
        JXOffer o{};
        std::memcpy(o.id, kId, 8);
        sha256_buffer(content.data(), content.size(), o.digest);
        o.size = content.size(), o.chunk_size = chunk, o.data_port = 8856;
        std::snprintf(o.name, sizeof o.name, "%s", name.c_str());
        uint8_t b[JX_PAYLOAD_MAX];
        from_bob(PKT_FILE_META, bytes(b, jx_data_serialize_meta(b, sizeof b, &o)), 8855);
    }
    JXTransfer* upload() { return static_cast<JXTransfer*>(jx_list_data(jx_list_head(&net->uploads))); }
    void forget_downloads()
    {
        jx_list_destroy(&net->downloads);
        jx_list_destroy(&net->fin_downloads);
        jx_list_init(&net->downloads, jx_download_destroy);
        jx_list_init(&net->fin_downloads, jx_fin_destroy);
    }
};

TEST_F(Transfers, UploadFromOfferToCompletionWithPacingResendsAndRepeats)
{
    const std::string content = pattern(3000);
    const std::string path = write_file("report.pdf", content);
    JXChannel* dm = nullptr;
    ASSERT_EQ(jx_add_channel(net->addr, ip(kPeer1), &dm), 0);
    EXPECT_EQ(jx_add_upload(jx_ch_from_network(net, 0), path.c_str()), JX_UL_NOT_PRIVATE);
    EXPECT_EQ(jx_add_upload(dm, (root / "missing").c_str()), JX_UL_BAD_FILE);
    EXPECT_EQ(jx_add_upload(dm, root.c_str()), JX_UL_BAD_FILE) << "a directory never hashes to an end";
    EXPECT_TRUE(log_line("Meta file error for [" + root.string() + "]"));
    drop_events();
    ASSERT_EQ(jx_add_upload(dm, path.c_str()), JX_UL_OK);
    JXTransfer* u = upload();
    EXPECT_EQ(u->state, UL_HASHING);
    EXPECT_EQ(u->limit, 5);
    EXPECT_EQ(events(), Strs{"preparing Net DM 239.7.7.7 127.0.0.2 report.pdf"});

    // Hashed in the first pass, offered in every pass after it until answered.
    jx_crons_run();
    uint8_t digest[32];
    sha256_buffer(content.data(), content.size(), digest);
    EXPECT_TRUE(log_line("Ready for sending [report.pdf]"));
    EXPECT_EQ(u->state, UL_SEND_META);
    EXPECT_EQ(u->bytes_left, 3000u);
    EXPECT_EQ(events(), Strs{"hash " + hex(u->id, 8) + " " + hex(digest, 32)});
    sent_to_8855(0);
    jx_crons_run();
    EXPECT_EQ(jx_next_due_us(), JX_DUE_NOW) << "offering works every turn";
    jx_crons_run();
    auto offers = sent_to_8855();
    ASSERT_EQ(offers.size(), 2u);
    EXPECT_EQ(offers[0].to_addr, ip(kPeer1));
    EXPECT_EQ(offers[0].type(), PKT_FILE_META);
    ASSERT_EQ(offers[0].bytes.size(), 30u + 64u) << "54 bytes and the 10 of report.pdf";
    EXPECT_EQ(bytes(offers[0].bytes.data() + 38, 32), bytes(digest, 32));
    EXPECT_EQ(jx_get_be64(offers[0].bytes.data() + 70), 3000u);
    EXPECT_EQ(jx_get_be16(offers[0].bytes.data() + 78), 1370);
    EXPECT_EQ(jx_get_be16(offers[0].bytes.data() + 82), 10);

    // Bob answers (twice: the second is refused and changes nothing); waiting has no time limit.
    Probe bob_data(kPeer1);
    const std::string id = bytes(u->id, 8);
    std::string a = ack(u->id);
    a[8] = static_cast<char>(bob_data.port >> 8), a[9] = static_cast<char>(bob_data.port & 0xFF);
    from_bob(PKT_META_ACK, a, 8855);
    from_bob(PKT_META_ACK, a, 8855);
    EXPECT_EQ(u->state, UL_PENDING);
    EXPECT_EQ(u->port, bob_data.port);
    EXPECT_TRUE(log_line("Can't change ul state from other then 'send meta' to 'pending'"));
    ASSERT_EQ(bob_data.recv().size(), 2u) << "one punch per answer";
    jx_clock_advance(100);
    jx_crons_run();
    EXPECT_EQ(u->state, UL_PENDING);
    EXPECT_GT(jx_next_due_us(), JX_DUE_NOW) << "nothing to do while the user decides";

    // Strangers and absurd requests cannot steer it.
    feed(make_dgram(PKT_GET_SEGMENT, ip(kGroup), 9, "eve", seg_req(u->id, 1, 1370, 2)), "127.0.0.9", 8856);
    EXPECT_TRUE(log_line("Ul not found for seg"));
    from_bob(PKT_GET_SEGMENT, seg_req(u->id, 1, 1371, 2));
    from_bob(PKT_GET_SEGMENT, seg_req(u->id, 1, 1370, 513));
    EXPECT_TRUE(log_line("Segment request out of bounds from 127.0.0.2 dropped: chunk size 1371, 2 chunks"));
    EXPECT_TRUE(
        log_line("Segment request out of bounds from 127.0.0.2 dropped: chunk size 1370, 513 chunks"));
    EXPECT_EQ(u->state, UL_PENDING);
    drop_events();

    // Segment 1: two chunks of 1370 go out in one pass (limit 5), and the limit grows by 3.
    from_bob(PKT_GET_SEGMENT, seg_req(u->id, 1, 1370, 2));
    EXPECT_EQ(events(), Strs{"started Net DM 239.7.7.7 127.0.0.2 report.pdf"});
    EXPECT_EQ(u->state, UL_SEND_BATCH);
    jx_crons_run();
    auto out = bob_data.recv();
    ASSERT_EQ(out.size(), 2u);
    for (int i = 0; i < 2; i++) {
        ASSERT_EQ(out[i].bytes.size(), 30u + 24 + 1370);
        EXPECT_EQ(out[i].type(), PKT_CHUNK);
        EXPECT_EQ(bytes(out[i].bytes.data() + 30, 8), id);
        EXPECT_EQ(jx_get_be64(out[i].bytes.data() + 38), 1u);
        EXPECT_EQ(jx_get_be64(out[i].bytes.data() + 46), static_cast<uint64_t>(i));
        EXPECT_EQ(std::string(out[i].bytes.begin() + 54, out[i].bytes.end()), content.substr(i * 1370, 1370));
    }
    EXPECT_EQ(u->limit, 8);
    EXPECT_EQ(u->state, UL_BATCH_DONE);
    EXPECT_EQ(u->bytes_left, 260u);
    EXPECT_EQ(jx_next_due_us(), JX_DUE_NOW) << "batch done is repeated every turn";
    jx_crons_run();
    out = bob_data.recv();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].type(), PKT_BATCH_DONE);
    EXPECT_EQ(out[0].bytes.size(), 30u + 16);

    // A repeated request changes nothing; chunk 1 reported missing goes out again, alone.
    from_bob(PKT_GET_SEGMENT, seg_req(u->id, 1, 1370, 2));
    EXPECT_EQ(u->state, UL_BATCH_DONE);
    from_bob(PKT_GET_SKIPPED, id + std::string(8, '\0') + std::string(1, '\x01') + std::string(63, '\0'));
    EXPECT_EQ(u->state, UL_BATCH_DONE) << "another segment's bitmap";
    std::string skipped = id + seg_no(u->id, 1).substr(8) + std::string(1, '\x01') + std::string(63, '\0');
    from_bob(PKT_GET_SKIPPED, skipped);
    jx_crons_run();
    out = bob_data.recv();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(jx_get_be64(out[0].bytes.data() + 46), 1u);
    EXPECT_EQ(u->state, UL_BATCH_DONE);
    EXPECT_EQ(u->skipped, 0);

    // Segment 2: one chunk of the last 260 bytes, a 284-byte payload.
    from_bob(PKT_GET_SEGMENT, seg_req(u->id, 2, 260, 1));
    jx_crons_run();
    out = bob_data.recv();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].bytes.size(), 30u + 284);
    EXPECT_EQ(std::string(out[0].bytes.begin() + 54, out[0].bytes.end()), content.substr(2740));
    EXPECT_EQ(u->bytes_left, 0u);

    from_bob(PKT_FILE_FIN_OK, id);
    EXPECT_EQ(events(), Strs{"ul_done Net DM 239.7.7.7 127.0.0.2 report.pdf"});
    EXPECT_EQ(jx_list_size(&net->uploads), 0);
    const auto* fin = jx_get_fin(&net->fin_uploads, reinterpret_cast<const uint8_t*>(id.data()));
    ASSERT_NE(fin, nullptr);
    EXPECT_EQ(fin->state, FIN_COMPLETED);
    EXPECT_EQ(fin->start_time, static_cast<uint64_t>(kFrozenNow + 100));
    from_bob(PKT_FILE_FIN_OK, id);
    EXPECT_TRUE(log_line("Upload not found for fin-ul"));
}

TEST_F(Transfers, UploadEndsOnSilenceOnAShortFileAndOnAFinOfAnotherKind)
{
    JXChannel* dm = nullptr;
    ASSERT_EQ(jx_add_channel(net->addr, ip(kPeer1), &dm), 0);
    Probe bob_data(kPeer1);
    const std::string small = write_file("small", "abc");
    ASSERT_EQ(jx_add_upload(dm, small.c_str()), JX_UL_OK);
    jx_crons_run();
    drop_events();
    // Unanswered for more than 15 s: failed, and there is no data port to tell.
    jx_clock_advance(15);
    jx_crons_run();
    EXPECT_EQ(upload()->state, UL_SEND_META);
    jx_clock_advance(1);
    jx_crons_run();
    EXPECT_EQ(events(), Strs{"ul_failed Net DM 239.7.7.7 127.0.0.2 small"});
    EXPECT_TRUE(log_line("Upload failed"));
    ASSERT_EQ(jx_list_size(&net->fin_uploads), 1);
    EXPECT_EQ(static_cast<JXTransferFin*>(jx_list_data(jx_list_head(&net->fin_uploads)))->state, FIN_FAILED);

    // Asked for more than the file holds: no stale bytes go out, the upload fails and says so.
    ASSERT_EQ(jx_add_upload(dm, small.c_str()), JX_UL_OK);
    JXTransfer* u = upload();
    jx_crons_run();
    std::string a = ack(u->id);
    a[8] = static_cast<char>(bob_data.port >> 8), a[9] = static_cast<char>(bob_data.port & 0xFF);
    from_bob(PKT_META_ACK, a, 8855);
    bob_data.recv();
    from_bob(PKT_GET_SEGMENT, seg_req(u->id, 1, 1370, 1));
    auto out = bob_data.recv();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].type(), PKT_FILE_FIN_FAILED);
    EXPECT_EQ(jx_list_size(&net->uploads), 0);

    // A fin of the third kind ends an upload with no result and no event.
    ASSERT_EQ(jx_add_upload(dm, small.c_str()), JX_UL_OK);
    drop_events();
    from_bob(PKT_FILE_FIN_OTHER, bytes(upload()->id, 8));
    EXPECT_EQ(events(), Strs{});
    EXPECT_EQ(jx_list_size(&net->uploads), 0);
    EXPECT_EQ(static_cast<JXTransferFin*>(jx_list_data(jx_list_head(&net->fin_uploads)))->state, FIN_NONE);
}

TEST_F(Transfers, DownloadFromOfferToVerifiedFile)
{
    const std::string content = pattern(3 * 1370 + 260);
    offer("report.pdf", content);
    EXPECT_EQ(events(),
              (Strs{"offered Net DM 239.7.7.7 127.0.0.2 report.pdf", "ch_added 239.7.7.7 127.0.0.2"}));
    auto answer = sent_to_8855();
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].type(), PKT_META_ACK);
    EXPECT_EQ(bytes(answer[0].bytes.data() + 30, 10), bytes(kId, 8) + "\x22\x98");
    EXPECT_EQ(data_out().size(), 1u) << "the punch";
    // The offer comes again (our answer was lost): the same download answers again.
    offer("report.pdf", content);
    EXPECT_TRUE(log_line("Dl already in list"));
    EXPECT_EQ(sent_to_8855().size(), 1u);
    EXPECT_EQ(jx_list_size(&net->downloads), 1);
    data_out(0);
    // A pending offer never times out.
    jx_clock_advance(1000);
    jx_crons_run();
    JXTransfer* d = jx_get_dl(net, kId);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(jx_next_due_us(), 11000000) << "only the next beacon";

    // A file of that name exists: the download takes report_(1).pdf.
    std::ofstream(root / "downloads" / "report.pdf") << "mine";
    ASSERT_EQ(jx_accept_download(kId), 0);
    EXPECT_EQ(jx_accept_download(kId), 2);
    EXPECT_STREQ(d->meta.name, "report_(1).pdf");
    EXPECT_EQ(jx_next_due_us(), JX_DUE_NOW) << "requests go out every turn";
    auto req = data_out();
    ASSERT_EQ(req.size(), 1u);
    EXPECT_EQ(bytes(req[0].bytes.data() + 30, 22), seg_req(kId, 1, 1370, 3));

    // Chunks in reverse order, one missing, one of the wrong size, one of another segment.
    from_bob(PKT_CHUNK, chunk(kId, 1, 2, content.substr(2740, 1370)));
    from_bob(PKT_CHUNK, chunk(kId, 1, 0, content.substr(0, 1369)));
    from_bob(PKT_CHUNK, chunk(kId, 2, 0, content.substr(0, 1370)));
    EXPECT_TRUE(log_line("Chk from old seg"));
    from_bob(PKT_CHUNK, chunk(kId, 1, 0, content.substr(0, 1370)));
    EXPECT_EQ(d->state, DL_WAIT);
    // A repeated chunk 0 makes three arrivals with chunk 1 still missing: the bitmap, not the
    // count, says whether the segment is whole, so chunk 1 is asked for and nothing is written.
    from_bob(PKT_CHUNK, chunk(kId, 1, 0, content.substr(0, 1370)));
    jx_crons_run();
    req = data_out();
    ASSERT_EQ(req.size(), 1u);
    EXPECT_EQ(req[0].type(), PKT_GET_SKIPPED);
    from_bob(PKT_BATCH_DONE, seg_no(kId, 1));
    req = data_out();
    ASSERT_EQ(req.size(), 1u);
    EXPECT_EQ(req[0].type(), PKT_GET_SKIPPED);
    EXPECT_EQ(bytes(req[0].bytes.data() + 46, 64), "\x05" + std::string(63, '\0'));
    jx_crons_run();
    EXPECT_EQ(data_out().size(), 1u) << "asked again every turn until a chunk comes";
    from_bob(PKT_CHUNK, chunk(kId, 1, 1, content.substr(1370, 1370)));
    from_bob(PKT_BATCH_DONE, seg_no(kId, 1));
    req = data_out();
    ASSERT_EQ(req.size(), 1u);
    EXPECT_EQ(bytes(req[0].bytes.data() + 30, 22), seg_req(kId, 2, 260, 1));

    // The last segment: the file is complete and told so; a late batch-done gets the fin again.
    drop_events();
    from_bob(PKT_CHUNK, chunk(kId, 2, 0, content.substr(4110)));
    jx_crons_run();
    auto fin = data_out();
    ASSERT_EQ(fin.size(), 1u);
    EXPECT_EQ(fin[0].type(), PKT_FILE_FIN_OK);
    EXPECT_EQ(events(), Strs{"dl_done Net DM 239.7.7.7 127.0.0.2 report_(1).pdf"});
    EXPECT_TRUE(log_line("Download done, transfer time: less then a second"));
    EXPECT_EQ(file_bytes(root / "downloads" / "report_(1).pdf"), content);
    EXPECT_EQ(jx_next_due_us(), 11000000);
    EXPECT_EQ(file_bytes(root / "downloads" / "report.pdf"), "mine");
    from_bob(PKT_BATCH_DONE, seg_no(kId, 2));
    EXPECT_EQ(data_out()[0].type(), PKT_FILE_FIN_OK);

    // Verified good, then changed on disk and verified bad.
    JXTransferFin* f = jx_get_fin(&net->fin_downloads, kId);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(jx_verify_download(f), 0);
    EXPECT_EQ(f->state, FIN_HASH_CHECKING);
    EXPECT_EQ(jx_next_due_us(), JX_DUE_NOW) << "verified a slice every turn";
    EXPECT_EQ(jx_verify_download(f), 1) << "only a completed record";
    jx_crons_run();
    EXPECT_EQ(f->state, FIN_HASH_OK);
    EXPECT_TRUE(log_line("File check done [report_(1).pdf]"));
    EXPECT_EQ(events(), Strs{"hash " + hex(kId, 8) + " " + hex(f->meta.digest, 32)});
    std::ofstream(root / "downloads" / "report_(1).pdf", std::ios::binary | std::ios::in) << "X";
    f->state = FIN_COMPLETED;
    ASSERT_EQ(jx_verify_download(f), 0);
    jx_crons_run();
    EXPECT_EQ(f->state, FIN_HASH_BAD);
    EXPECT_EQ(jx_list_size(&comm.tasks), 0);
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

TEST_F(Transfers, DownloadEdgesAndHostileOffers)
{
    // Names that are no file names, malformed offers and a flood of new ids.
    for (const char* bad : {"a/b", "..", ".", "", "x?y"})
        offer(bad, "data");
    EXPECT_EQ(log_count("\tForbidden char filename\r\n"), 5u);
    from_bob(PKT_FILE_META, std::string(54, '\0'), 8855);  // chunk size 0
    std::string runs_past(54, '\0');
    runs_past[49] = 1, runs_past[53] = 9;
    from_bob(PKT_FILE_META, runs_past, 8855);
    EXPECT_EQ(log_count("\tCan't unsrlz data from meta\r\n"), 2u);
    EXPECT_EQ(jx_list_size(&net->downloads), 0);
    JXOffer o{};
    o.chunk_size = 1370;
    std::snprintf(o.name, sizeof o.name, "f");
    for (int i = 0; i < JX_MAX_PENDING_OFFERS + 1; i++) {
        o.id[0] = static_cast<uint8_t>(i), o.id[1] = static_cast<uint8_t>(i >> 8);
        uint8_t b[JX_PAYLOAD_MAX];
        from_bob(PKT_FILE_META, bytes(b, jx_data_serialize_meta(b, sizeof b, &o)), 8855);
    }
    EXPECT_EQ(jx_list_size(&net->downloads), JX_MAX_PENDING_OFFERS);
    EXPECT_TRUE(log_line("Offer limit reached on 239.7.7.7, offer from 127.0.0.2 dropped"));
    forget_downloads();

    // An empty file completes at acceptance; a symbolic link in downloads/ is never followed.
    std::filesystem::create_symlink(root / "target", root / "downloads" / "empty");
    offer("empty", "");
    ASSERT_EQ(jx_accept_download(kId), 0);
    EXPECT_TRUE(log_line("Download done, transfer time: less then a second"));
    EXPECT_FALSE(std::filesystem::exists(root / "target"));
    EXPECT_EQ(file_bytes(root / "downloads" / "empty_(1)"), "");

    // Silent for more than 15 s after acceptance: failed, partial file gone, peer told.
    forget_downloads();
    offer(".profile", pattern(5000));
    ASSERT_EQ(jx_accept_download(kId), 0);
    const auto partial = root / "downloads" / ".profile";
    EXPECT_TRUE(std::filesystem::exists(partial));
    data_out(0);
    jx_clock_advance(16);
    drop_events();
    jx_crons_run();
    EXPECT_EQ(events(), Strs{"dl_failed Net DM 239.7.7.7 127.0.0.2 .profile"});
    EXPECT_TRUE(log_line("Download failed, rm file..."));
    EXPECT_FALSE(std::filesystem::exists(partial));
    EXPECT_EQ(data_out()[0].type(), PKT_FILE_FIN_FAILED);

    // Leaving the network in the middle of a download leaves no partial file either.
    forget_downloads();
    std::ofstream(partial) << "taken";
    offer(".profile", pattern(5000));
    ASSERT_EQ(jx_accept_download(kId), 0);
    EXPECT_TRUE(std::filesystem::exists(root / "downloads" / "_(1).profile"));
    ASSERT_EQ(jx_leave_network(net), 0);
    EXPECT_FALSE(std::filesystem::exists(root / "downloads" / "_(1).profile"));
    EXPECT_EQ(file_bytes(partial), "taken");
}

}  // namespace
