// Engine events in the terminal: the lines they leave in the channel files (byte images through the
// real message store), delivery marks, which screens they redraw, and the open channel let go when
// the engine drops its network.
#include <string>

#include "chat_fixture.hpp"
#include "engine/processors.hpp"
#include "protocol/protocol.hpp"
#include "screen_grid.hpp"
#include "terminal/screens/screens.hpp"

using namespace chat_test;

namespace {

uint32_t le32(const std::vector<uint8_t>& b, size_t off)
{
    return static_cast<uint32_t>(b[off]) | static_cast<uint32_t>(b[off + 1]) << 8 |
           static_cast<uint32_t>(b[off + 2]) << 16 | static_cast<uint32_t>(b[off + 3]) << 24;
}

// The 1600 bytes of slot n of a channel file image.
std::vector<uint8_t> slot(const std::vector<uint8_t>& file, size_t n)
{
    if (file.size() < (n + 1) * JX_MSG_SLOT_SIZE)
        return {};
    return std::vector<uint8_t>(file.begin() + static_cast<long>(n * JX_MSG_SLOT_SIZE),
                                file.begin() + static_cast<long>((n + 1) * JX_MSG_SLOT_SIZE));
}

// The slot image a line must have: every byte not named here is zero.
std::vector<uint8_t> expected_slot(uint32_t time, uint32_t id, const uint8_t addr[4], uint8_t type,
                                   const std::string& user, const std::string& text)
{
    std::vector<uint8_t> s(JX_MSG_SLOT_SIZE, 0);
    for (int i = 0; i < 4; i++) {
        s[static_cast<size_t>(i)] = static_cast<uint8_t>(time >> (8 * i));
        s[8 + static_cast<size_t>(i)] = static_cast<uint8_t>(id >> (8 * i));
        s[12 + static_cast<size_t>(i)] = addr[i];
    }
    s[17] = type;
    std::copy(user.begin(), user.end(), s.begin() + 18);
    std::copy(text.begin(), text.end(), s.begin() + 100);
    return s;
}

const uint8_t kNoAddr[4] = {0, 0, 0, 0};
// 10.0.0.7 is stored least significant byte first of its host-order value.
const uint8_t kPeerAddr[4] = {0x07, 0x00, 0x00, 0x0a};

}  // namespace

using Events = ChatTest;

TEST_F(Events, PeerNoticesGoToTheMainChannelFile)
{
    const uint32_t net = ip("224.1.2.3");
    const uint32_t peer = ip("10.0.0.7");
    raise(EV_PEER_JOINED, jx_build_user_ev(net, peer, "bob", ""));
    raise(EV_PEER_RENAMED, jx_build_user_ev(net, peer, "robert", "bob"));
    raise(EV_PEER_LEFT, jx_build_user_ev(net, peer, "robert", ""));
    // Notices carry the time they are written, not when the event was raised.
    jx_clock_advance(3);
    raise(EV_PEER_DROPPED, jx_build_user_ev(net, peer, "abcdefghijklmno", ""));
    io_proc_event();
    EXPECT_TRUE(queued_kinds().empty());

    std::vector<uint8_t> f = file_bytes("030201e0");
    ASSERT_EQ(f.size(), JX_MSG_FILE_SIZE);
    EXPECT_EQ(le32(f, 0), 4u);    // last
    EXPECT_EQ(le32(f, 4), 4u);    // count
    EXPECT_EQ(le32(f, 8), 100u);  // capacity
    const auto t = static_cast<uint32_t>(kNow);
    EXPECT_EQ(slot(f, 1), expected_slot(t + 3, 0, kNoAddr, MSG_NOTICE, "", "bob(10.0.0.7) joined"));
    EXPECT_EQ(slot(f, 2),
              expected_slot(t + 3, 0, kNoAddr, MSG_NOTICE, "", "Username bob changed to robert(10.0.0.7)"));
    EXPECT_EQ(slot(f, 3), expected_slot(t + 3, 0, kNoAddr, MSG_NOTICE, "", "robert(10.0.0.7) left"));
    EXPECT_EQ(slot(f, 4), expected_slot(t + 3, 0, kNoAddr, MSG_NOTICE, "",
                                        "abcdefghijklmno(10.0.0.7) dropped (timed out)"));
    EXPECT_FALSE(std::filesystem::exists(msg_path("030201e0_0700000a")));

    // A hostile name is stored as received; drawing it is the screen's business.
    raise(EV_PEER_JOINED, jx_build_user_ev(net, peer, "\x1b]0;x\x07\x1b[2J", ""));
    io_proc_event();
    f = file_bytes("030201e0");
    EXPECT_EQ(slot(f, 5),
              expected_slot(t + 3, 0, kNoAddr, MSG_NOTICE, "", "\x1b]0;x\x07\x1b[2J(10.0.0.7) joined"));
}

TEST_F(Events, TextsAreStoredInTheirChannelFiles)
{
    const uint32_t net = ip("224.1.2.3");
    const uint32_t peer = ip("10.0.0.7");
    const std::string hostile = "hi\x1b[31m\r\nthere\t!";
    raise(EV_TXT_RECEIVED,
          jx_build_msg_ev(hostile.data(), hostile.size(), CH_MAIN, 0x11223344, net, peer, kNow - 5, "bob"));
    raise(EV_TXT_SENT, jx_build_msg_ev("yo", 2, CH_NET_DM, 0xA0B0C0D0, net, peer, kNow, "alice"));
    // A direct-IP network: both addresses are the remote host, the file the network's.
    raise(EV_TXT_RECEIVED, jx_build_msg_ev("dm", 2, CH_DM, 7, ip("10.9.8.7"), ip("10.9.8.7"), kNow, "carol"));
    std::string longest(JX_PAYLOAD_MAX, 'z');
    raise(EV_TXT_RECEIVED,
          jx_build_msg_ev(longest.data(), longest.size(), CH_MAIN, 9, net, peer, kNow, "abcdefghijklmno"));
    io_proc_event();

    std::vector<uint8_t> main_f = file_bytes("030201e0");
    ASSERT_EQ(main_f.size(), JX_MSG_FILE_SIZE);
    EXPECT_EQ(le32(main_f, 0), 2u);
    EXPECT_EQ(slot(main_f, 1), expected_slot(static_cast<uint32_t>(kNow - 5), 0x11223344, kPeerAddr,
                                             MSG_RECEIVED, "bob", hostile));
    EXPECT_EQ(slot(main_f, 2), expected_slot(static_cast<uint32_t>(kNow), 9, kPeerAddr, MSG_RECEIVED,
                                             "abcdefghijklmno", longest));

    std::vector<uint8_t> dm_f = file_bytes("030201e0_0700000a");
    ASSERT_EQ(dm_f.size(), JX_MSG_FILE_SIZE);
    EXPECT_EQ(slot(dm_f, 1),
              expected_slot(static_cast<uint32_t>(kNow), 0xA0B0C0D0, kPeerAddr, MSG_SENT, "alice", "yo"));

    const uint8_t remote[4] = {0x07, 0x08, 0x09, 0x0a};
    std::vector<uint8_t> dip_f = file_bytes("0708090a");
    ASSERT_EQ(dip_f.size(), JX_MSG_FILE_SIZE);
    EXPECT_EQ(slot(dip_f, 1),
              expected_slot(static_cast<uint32_t>(kNow), 7, remote, MSG_RECEIVED, "carol", "dm"));
}

TEST_F(Events, DeliveryReportsMarkTheNewestLineOfTheirId)
{
    const uint32_t net = ip("224.1.2.3");
    const uint32_t peer = ip("10.0.0.7");
    const char* fn = "030201e0";
    raise(EV_TXT_SENT, jx_build_msg_ev("one", 3, CH_MAIN, 5, net, net, kNow, "alice"));
    raise(EV_TXT_RECEIVED, jx_build_msg_ev("two", 3, CH_MAIN, 6, net, peer, kNow, "bob"));
    raise(EV_TXT_SENT, jx_build_msg_ev("three", 5, CH_MAIN, 5, net, net, kNow, "alice"));
    raise(EV_TXT_SENT, jx_build_msg_ev("four", 4, CH_MAIN, 7, net, net, kNow, "alice"));
    raise(EV_TXT_SENT, jx_build_msg_ev("five", 4, CH_MAIN, 8, net, net, kNow, "alice"));
    io_proc_event();
    std::vector<uint8_t> before = file_bytes(fn);
    ASSERT_EQ(before.size(), JX_MSG_FILE_SIZE);

    raise(EV_TXT_DELIVERED, jx_build_msg_ev("", 0, CH_MAIN, 5, net, peer, 0, ""));
    raise(EV_TXT_UNDELIVERED, jx_build_msg_ev("", 0, CH_MAIN, 7, net, net, 0, ""));
    raise(EV_TXT_PARTLY_UNDELIVERED, jx_build_msg_ev("", 0, CH_MAIN, 8, net, net, 0, ""));
    // Ids that are not stored (overwritten in the ring, or never stored) change nothing.
    raise(EV_TXT_DELIVERED, jx_build_msg_ev("", 0, CH_MAIN, 99, net, net, 0, ""));
    io_proc_event();

    std::vector<uint8_t> after = file_bytes(fn);
    ASSERT_EQ(after.size(), before.size());
    std::vector<size_t> changed;
    for (size_t i = 0; i < after.size(); i++)
        if (after[i] != before[i])
            changed.push_back(i);
    // Only the type bytes of slots 3 (the newer id 5), 4 and 5.
    EXPECT_EQ(changed, (std::vector<size_t>{3 * 1600 + 17, 4 * 1600 + 17, 5 * 1600 + 17}));
    EXPECT_EQ(after[1 * 1600 + 17], MSG_SENT);
    EXPECT_EQ(after[3 * 1600 + 17], MSG_DELIVERED);
    EXPECT_EQ(after[4 * 1600 + 17], MSG_UNDELIVERED);
    EXPECT_EQ(after[5 * 1600 + 17], MSG_PARTLY_UNDELIVERED);

    const std::string log = log_text();
    EXPECT_NE(log.find("\tMessage undelivered dst: [224.1.2.3], ch: [030201e0], id: [7]\r\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("\tMessage partly undelivered dst: [224.1.2.3], ch: [030201e0], id: [8]\r\n"),
              std::string::npos);
    EXPECT_EQ(log.find("Message undelivered dst: [224.1.2.3], ch: [030201e0], id: [5]"), std::string::npos);

    // A report for a channel that has no file creates none.
    raise(EV_TXT_DELIVERED, jx_build_msg_ev("", 0, CH_NET_DM, 5, net, ip("10.0.0.8"), 0, ""));
    io_proc_event();
    EXPECT_FALSE(std::filesystem::exists(msg_path("030201e0_0800000a")));
}

TEST_F(Events, RedrawOnlyTheScreenAnEventConcerns)
{
    const uint32_t n = ip("224.1.2.3");
    const uint32_t other_net = ip("224.9.9.9");
    const uint32_t bob = ip("10.0.0.7");
    const uint32_t eve = ip("10.0.0.8");
    JXChannel* main_ch = join("224.1.2.3");
    add_peer(n, "10.0.0.7", "bob");
    add_peer(n, "10.0.0.8", "eve");
    JXChannel* bob_dm = net_dm(n, bob);

    struct Case {
        uint32_t state;
        JXChannel* open;
        uint8_t kind;
        void* payload;
        bool refresh;
        const char* what;
    };
    auto txt = [](uint8_t type, uint32_t a, uint32_t b) {
        return jx_build_msg_ev("x", 1, type, 1, a, b, kNow, "u");
    };
    auto file = [](uint8_t type, uint32_t a, uint32_t b) { return jx_build_file_ev("f.bin", 5, type, a, b); };
    const Case cases[] = {
        {STATE_CHANNEL_LIST, nullptr, EV_TXT_RECEIVED, txt(CH_NET_DM, n, bob), true,
         "received, channel list"},
        {STATE_CHANNEL_LIST, nullptr, EV_TXT_SENT, txt(CH_MAIN, n, n), false, "sent, channel list"},
        {STATE_CHANNEL, main_ch, EV_TXT_RECEIVED, txt(CH_NET_DM, n, eve), false, "DM of N on N's main"},
        {STATE_CHANNEL, main_ch, EV_TXT_RECEIVED, txt(CH_MAIN, n, eve), true, "N's main on N's main"},
        {STATE_CHANNEL, bob_dm, EV_TXT_RECEIVED, txt(CH_NET_DM, n, bob), true, "bob's DM on bob's DM"},
        {STATE_CHANNEL, bob_dm, EV_TXT_DELIVERED, txt(CH_NET_DM, n, eve), false, "eve's DM on bob's DM"},
        {STATE_CHANNEL, main_ch, EV_TXT_SENT, txt(CH_MAIN, other_net, other_net), false, "other network"},
        {STATE_HELP, main_ch, EV_TXT_RECEIVED, txt(CH_MAIN, n, bob), false, "help screen"},
        {STATE_CHANNEL, bob_dm, EV_PEER_JOINED, jx_build_user_ev(n, eve, "eve", ""), true, "peer on DM of N"},
        {STATE_CHANNEL, main_ch, EV_PEER_LEFT, jx_build_user_ev(other_net, eve, "eve", ""), false,
         "peer elsewhere"},
        {STATE_NETWORK_LIST, nullptr, EV_PEER_DROPPED, jx_build_user_ev(n, eve, "eve", ""), true,
         "drop, nets"},
        {STATE_NETWORK_LIST, nullptr, EV_PEER_RENAMED, jx_build_user_ev(n, eve, "e", "eve"), false,
         "rename, nets"},
        {STATE_PEER_LIST, main_ch, EV_PEER_RENAMED, jx_build_user_ev(n, eve, "e", "eve"), true,
         "rename, peers"},
        {STATE_START, nullptr, EV_NET_CHANGED, jx_build_net_ev(other_net), true, "net, home"},
        {STATE_HELP, nullptr, EV_NET_REFRESH, jx_build_net_ev(n), false, "net, help"},
        {STATE_CHANNEL, bob_dm, EV_NET_REFRESH, jx_build_net_ev(n), true, "net, its DM"},
        {STATE_CHANNEL, bob_dm, EV_NET_REFRESH, jx_build_net_ev(other_net), false, "net, other DM"},
        {STATE_CHANNEL_LIST, nullptr, EV_CHANNEL_ADDED, jx_build_ch_ev(n, bob), false, "channel added"},
        {STATE_DL_LIST, nullptr, EV_HASH_READY, jx_build_hash_ev(nullptr, nullptr), true, "hash, downloads"},
        {STATE_CHANNEL, bob_dm, EV_HASH_READY, jx_build_hash_ev(nullptr, nullptr), false, "hash, channel"},
        {STATE_DL_LIST, nullptr, EV_DL_OFFERED, file(CH_NET_DM, n, bob), true, "offer, downloads"},
        {STATE_CHANNEL, bob_dm, EV_UL_PREPARING, file(CH_NET_DM, n, bob), true, "preparing, its DM"},
        {STATE_CHANNEL_LIST, nullptr, EV_UL_PREPARING, file(CH_NET_DM, n, bob), false, "preparing, list"},
        {STATE_UL_LIST, nullptr, EV_DL_COMPLETE, file(CH_NET_DM, n, bob), false, "dl done, uploads"},
        {STATE_UL_LIST, nullptr, EV_UL_FAILED, file(CH_NET_DM, n, bob), true, "ul failed, uploads"},
        {STATE_UL_LIST, nullptr, EV_UL_PREPARING, file(CH_NET_DM, n, bob), false, "preparing, uploads"},
        {STATE_CHANNEL_LIST, nullptr, EV_UL_STARTED, file(CH_NET_DM, n, bob), true, "ul started, list"},
        {STATE_CHANNEL, main_ch, EV_DL_FAILED, file(CH_NET_DM, n, bob), false, "dl failed, N's main"},
        {STATE_CHANNEL_LIST, nullptr, 42, jx_build_net_ev(n), false, "unknown kind"},
    };
    for (const Case& c : cases) {
        state_set(c.state);
        state_change();
        ctx_get()->channel = c.open;
        ctx_get()->refresh = 1;  // whatever was left from the last turn is cleared
        raise(c.kind, c.payload);
        io_proc_event();
        EXPECT_EQ(ctx_get()->refresh, c.refresh ? 1 : 0) << c.what;
        EXPECT_TRUE(queued_kinds().empty()) << c.what;
    }

    // Texts received are counted unread by the engine, not here; a null payload is only dropped.
    const uint64_t unread = bob_dm->unread;
    raise(EV_TXT_RECEIVED, nullptr);
    raise(EV_TXT_RECEIVED, txt(CH_NET_DM, n, bob));
    io_proc_event();
    EXPECT_EQ(bob_dm->unread, unread);
    EXPECT_TRUE(queued_kinds().empty());
    // File events were taken off the queue without leaving a line: bob's DM holds only texts.
    std::vector<uint8_t> f = file_bytes("030201e0_0700000a");
    ASSERT_EQ(f.size(), JX_MSG_FILE_SIZE);
    EXPECT_EQ(le32(f, 4), 3u);
    for (size_t i = 1; i <= 3; i++)
        EXPECT_EQ(slot(f, i)[17], MSG_RECEIVED) << i;
}

TEST_F(Events, ATextThroughTheEngineEndsUpOnTheOpenScreen)
{
    const uint32_t n = ip("224.1.2.3");
    ctx_get()->channel = join("224.1.2.3");
    add_peer(n, "10.0.0.7", "bob");
    state_set(STATE_CHANNEL);
    turn();

    // bob writes to this host directly: the engine makes the DM channel and reports the text.
    uint8_t dgram[JX_DATAGRAM_MAX];
    const char text[] = "psst";
    uint32_t len = jx_serialize(dgram, sizeof dgram, PKT_TXT_DIRECT, n, 4242, "bob",
                                reinterpret_cast<const uint8_t*>(text), 4);
    JXComm* cc = jx_comm_get();
    memset(cc->rcv_buf, 0, sizeof cc->rcv_buf);
    memcpy(cc->rcv_buf, dgram, len);
    cc->rcv_len = static_cast<int32_t>(len);
    cc->rcv_from.sin_family = AF_INET;
    cc->rcv_from.sin_addr.s_addr = ip("10.0.0.7");
    cc->rcv_from.sin_port = htons(JX_PORT);
    jx_process_udp();
    EXPECT_EQ(queued_kinds(), (std::vector<uint8_t>{EV_CHANNEL_ADDED, EV_TXT_RECEIVED}));
    io_proc_event();
    EXPECT_EQ(ctx_get()->refresh, 0) << "a DM does not redraw the main channel";
    std::vector<uint8_t> f = file_bytes("030201e0_0700000a");
    ASSERT_EQ(f.size(), JX_MSG_FILE_SIZE);
    EXPECT_EQ(slot(f, 1),
              expected_slot(static_cast<uint32_t>(kNow), 4242, kPeerAddr, MSG_RECEIVED, "bob", "psst"));
    JXChannel* dm = jx_channel_by_addr(n, ip("10.0.0.7"));
    ASSERT_NE(dm, nullptr);
    EXPECT_EQ(dm->unread, 1u);

    // Opened, the DM shows the line and counts as read.
    ctx_get()->channel = dm;
    state_set(STATE_CHANNEL);
    std::string out = turn();
    EXPECT_NE(out.find("15:13:20|            bob >>> psst"), std::string::npos);
    EXPECT_EQ(dm->unread, 0u);
}

TEST_F(Events, TheOpenChannelIsLetGoWhenTheEngineDropsItsNetwork)
{
    JXChannel* kept = join("10.4.4.4");
    JXChannel* doomed = join("10.5.5.5");
    ctx_get()->channel = doomed;
    state_set(STATE_CHANNEL);
    turn();

    // A private network closed by its peer keeps its channel.
    jx_set_network_status(jx_network_by_addr(ip("10.5.5.5")), NET_CLOSED);
    io_proc_event();
    EXPECT_EQ(ctx_get()->channel, doomed);
    EXPECT_EQ(ctx_get()->refresh, 0);

    // The engine removes the network on its own (as when adding a private network's peer fails).
    // The next turn lets the channel go and redraws the screen at once: no header, no lines.
    ASSERT_EQ(jx_leave_network(jx_network_by_addr(ip("10.5.5.5"))), 0);
    drop_events();
    ScreenGrid g(80, 24);
    g.feed(turn());
    EXPECT_EQ(ctx_get()->channel, nullptr);
    EXPECT_NE(log_text().find("\tOpen channel is gone, deselected\r\n"), std::string::npos);
    EXPECT_EQ(g.scrolls, 0);
    for (int r = 0; r < 22; r++)
        EXPECT_EQ(g.text(r), "") << r;
    EXPECT_EQ(g.text(22).substr(0, 6), "F1Help");
    EXPECT_EQ(g.text(23), "[alice]");
    // Commands that need a channel refuse.
    turn(KEY_F8);
    EXPECT_STREQ(ctx_get()->err_feedback, "No channel selected");

    // Another channel stays selected while its network lives.
    ctx_get()->channel = kept;
    io_proc_event();
    EXPECT_EQ(ctx_get()->channel, kept);
}
