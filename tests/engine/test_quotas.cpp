// What strangers can make us keep: forged senders against the caps on channels, their files (also
// across a restart) and private networks, sources a private network or our own address must come
// from, and the datagrams one typed line may cost. Each flood costs one log line and a count.
#include <fstream>

#include "engine/crons.hpp"
#include "engine/downloads.hpp"
#include "engine/quotas.hpp"
#include "engine/texts.hpp"
#include "transfer_fixture.hpp"
#include "storage/stranger_files.hpp"

using namespace jxtest;

namespace {

using Quotas = EngineFixture;

std::string addr(int net, int i)
{
    return "127." + std::to_string(net) + "." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
}

// Acknowledgements among what we sent, and texts received among the events.
std::pair<size_t, size_t> acks_and_texts()
{
    size_t acks = 0;
    size_t texts = 0;
    for (const auto& d : sent(comm.rcv_sock, 5))
        acks += d.type() == PKT_TXT_DIRECT_ACK;
    for (const auto& e : events())
        texts += e.rfind("txt_received", 0) == 0;
    return {acks, texts};
}

TEST_F(Quotas, StrangersChannelFilesStopAtTheLastingCapAndTheirTextsGoUnacknowledged)
{
    JXNetwork* n = online_group(1);
    settle();
    // Each forged sender beacons, writes directly and leaves: a channel and a file each, 130 times.
    auto cycle = [&](int i) {
        const std::string a = addr(5, i);
        feed(beacon(ip(kGroup), "x", 100000, 'x'), a.c_str());
        feed(make_dgram(PKT_TXT_DIRECT, ip(kGroup), 1000 + i, "x", "spam"), a.c_str());
        feed(make_dgram(PKT_LEAVE, ip(kGroup), 5000 + i, "x"), a.c_str());
    };
    for (int i = 0; i < 130; i++)
        cycle(i);
    EXPECT_EQ(acks_and_texts(), std::make_pair(JX_STRANGER_KEPT_MAX, JX_STRANGER_KEPT_MAX));
    EXPECT_EQ(jx_stranger_file_count(), JX_STRANGER_KEPT_MAX) << "the rest is for private networks";
    EXPECT_EQ(log_count("Channel limit reached: refusing texts and offers that would open a channel (first: " +
                        addr(5, JX_STRANGER_KEPT_MAX) + ")"),
              1u);
    // Bob, whom we talk with, is still heard; the flood's count comes once it has been quiet 10 s.
    feed(make_dgram(PKT_TXT_GROUP, ip(kGroup), 9, "bob", "hi"), kPeer1);
    EXPECT_EQ(events(), Strs{"txt_received Main #9 239.7.7.7 127.0.0.2 @0 bob: hi"});
    jx_clock_advance(10);
    jx_crons_run();
    EXPECT_EQ(log_count("\tChannel limit reached: 30 texts and offers refused in 10 s\r\n"), 1u);

    // The cap outlives the engine: the files the terminal would have written are there now.
    std::ifstream ledger(root / "jx_internal" / "strangers");
    for (std::string line; std::getline(ledger, line);)
        std::ofstream(root / "msg" / line.substr(0, line.find(' ')));
    jx_comm_close();
    jx_log_close();
    (void)jx_fso_close();
    ASSERT_EQ(jx_comm_init((root / "jexley").c_str()), 0);
    n = online_group(1);
    settle();
    cycle(130);
    EXPECT_EQ(acks_and_texts(), std::make_pair(size_t{0}, size_t{0})) << "still full";
    // An earlier stranger's file is on disk: he is heard; once we write to him, his file is ours.
    cycle(3);
    EXPECT_EQ(acks_and_texts(), std::make_pair(size_t{1}, size_t{1}));
    feed(beacon(ip(kGroup), "x", 100000, 'x'), addr(5, 3).c_str());
    ASSERT_EQ(jx_snd_txt(jx_ch_from_network(n, ip(addr(5, 3).c_str())), "hello"), JX_TXT_OK);
    EXPECT_EQ(jx_stranger_file_count(), JX_STRANGER_KEPT_MAX - 1);
    cycle(131);
    EXPECT_EQ(acks_and_texts(), std::make_pair(size_t{1}, size_t{1}));
}

// Every file strangers made stays counted: one that gave way and is asked for again before the
// sweep is recorded anew, and what gave way is gone when the engine closes. Once no more files can
// be kept, a text on a stranger's private network whose file holds none is refused unacknowledged.
TEST_F(Quotas, AFileThatGaveWayIsCountedAgainAndTextsGoOnlyToFilesThatCanBeKept)
{
    auto file = [&](int i) {
        char name[JX_CHANNEL_NAME_SIZE];
        jx_channel_file_name(CH_DM, ip(addr(7, i).c_str()), 0, name);
        return root / "msg" / name;
    };
    auto query = [&](int i) {
        queried_by(addr(7, i).c_str(), 40000);
        std::ofstream(file(i));  // what the terminal writes for the network's notices
    };
    auto on_disk = [&] { return size_t(std::distance(std::filesystem::directory_iterator(root / "msg"), {})); };
    for (int i = 0; i <= int(JX_STRANGER_FILES_MAX); i++)
        query(i);  // the last one makes the first give way
    query(0);      // back before its file was deleted
    jx_crons_run();
    jx_crons_run();
    EXPECT_EQ(on_disk(), jx_stranger_file_count());
    EXPECT_TRUE(std::filesystem::exists(file(0)));
    query(int(JX_STRANGER_FILES_MAX) + 1);
    jx_comm_close();
    EXPECT_EQ(on_disk(), JX_STRANGER_FILES_MAX) << "what gave way outlived the engine";
    ASSERT_EQ(jx_comm_init((root / "jexley").c_str()), 0);

    // 100 strangers' texts fill what can be kept; a private network asked for then stays silent.
    online_group(0);
    settle();
    for (int i = 0; i < int(JX_STRANGER_KEPT_MAX); i++) {
        feed(beacon(ip(kGroup), "x", 100000, 'x'), addr(5, i).c_str());
        feed(make_dgram(PKT_TXT_DIRECT, ip(kGroup), 1000 + i, "x", "spam"), addr(5, i).c_str());
        jx_crons_run();  // files that gave way go turn by turn
    }
    Probe host(addr(8, 0).c_str());
    queried_by(addr(8, 0).c_str(), host.port);
    (void)host.recv();
    drop_events();
    feed(make_dgram(PKT_TXT_GROUP, 0, 77, "host", "lost later"), addr(8, 0).c_str(), host.port);
    EXPECT_EQ(std::make_pair(events(), host.recv().size()), std::make_pair(Strs{}, size_t{0}));
}

TEST_F(Quotas, PrivateNetworksHearOnlyTheirHostAndStrangersOnesMakeRoomLeastRecentlyHeardFirst)
{
    JXNetwork* mine = queried_by("127.0.0.5", 40000);
    ASSERT_EQ(jx_add_channel(mine->addr, 0, nullptr), JX_CH_ADD_OK);  // opened from the networks screen
    // A third host naming it in the header: its text is neither acknowledged nor shown, its beacon
    // makes no second peer, its leave closes nothing.
    feed(make_dgram(PKT_TXT_GROUP, ip("127.0.0.5"), 70, "eve", "forged"), "127.0.0.9");
    feed(beacon(ip("127.0.0.5"), "eve", 0, 'e'), "127.0.0.9");
    feed(make_dgram(PKT_LEAVE, ip("127.0.0.5"), 71, "eve"), "127.0.0.9");
    EXPECT_EQ(std::make_tuple(events(), sent().size(), jx_set_size(&mine->peers), mine->status),
              std::make_tuple(Strs{}, size_t{0}, 1, NET_ONLINE));
    EXPECT_EQ(log_count("\tPrivate network guarded: refusing packets naming a private network from another host "
                        "(first: 127.0.0.9)\r\n"),
              1u);

    // A stranger's network whose offer we took is ours from then on.
    Probe giver("127.0.0.6");
    queried_by("127.0.0.6", giver.port);
    JXOffer o{{7}, {}, 4, 1370, 8856, 1, "f"};
    uint8_t b[JX_PAYLOAD_MAX];
    feed(make_dgram(PKT_FILE_META, 0, 80, "giver", bytes(b, jx_data_serialize_meta(b, sizeof b, &o))), "127.0.0.6",
         giver.port);
    ASSERT_EQ(jx_accept_download(o.id), 0);

    // Strangers' queries beyond the cap: the least recently heard of theirs goes, never ours.
    for (int i = 0; i <= JX_MAX_STRANGER_NETWORKS; i++) {
        jx_clock_advance(1);
        queried_by(addr(6, i).c_str(), 40000);
    }
    EXPECT_EQ(comm.networks.size, JX_MAX_STRANGER_NETWORKS + 2);
    EXPECT_NE(jx_network_by_addr(ip("127.0.0.6")), nullptr);
    EXPECT_EQ(jx_network_by_addr(ip(addr(6, 0).c_str())), nullptr);
    EXPECT_NE(jx_network_by_addr(ip(addr(6, JX_MAX_STRANGER_NETWORKS).c_str())), nullptr);
    EXPECT_EQ(jx_network_by_addr(mine->addr), mine);
    EXPECT_TRUE(log_line("Private network limit reached: dropping the least recently heard private networks of "
                         "strangers (first: " + addr(6, 0) + ")"));
}

TEST_F(Quotas, AReplayedInstanceIdTakesNotOurAddressAndOneLineCostsAtMost21Datagrams)
{
    JXNetwork* n = online_group(1);
    settle();
    // Bob replays our instance id: our address stays ours, and his texts still count as his.
    feed(beacon(ip(kGroup), "bob", 0, 0), kPeer1);
    feed(make_dgram(PKT_TXT_GROUP, ip(kGroup), 9, "bob", "hi"), kPeer1);
    EXPECT_EQ(n->own_addr, ip(kSelf));
    EXPECT_EQ(events(), Strs{"txt_received Main #9 239.7.7.7 127.0.0.2 @0 bob: hi"});

    // A thousand peers that never acknowledge: one line, then five resends to the group.
    for (int i = 1; i < JX_MAX_PEERS_PER_NETWORK; i++)
        feed(beacon(ip(kGroup), "silent", 100000, 's'), addr(7, i).c_str());
    settle();
    ASSERT_EQ(jx_snd_txt(jx_ch_from_network(n, 0), "hello"), JX_TXT_OK);
    size_t texts = 0;
    for (int pass = 0; pass <= JX_TXT_RETRIES; pass++) {
        for (const auto& d : sent())
            texts += d.type() == PKT_TXT_GROUP;
        jx_clock_advance(3);
        jx_crons_run();
    }
    EXPECT_EQ(texts, 1u + JX_TXT_RETRIES);
    EXPECT_EQ(log_count(" not acknowledged by "), 1u + 8) << "a count and eight of them by name";
}

}  // namespace
