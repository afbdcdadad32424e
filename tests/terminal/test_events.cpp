// Engine events in the terminal: the lines they leave in the channel files (byte images through the
// real message store), delivery marks, which screens they redraw, and the open channel let go when
// the engine drops its network.
#include <string>

#include "chat_fixture.hpp"
#include "protocol/protocol.hpp"

using namespace chat_test;

namespace {

// The image of slot n of a channel file.
std::string slot(const std::string& file, size_t n)
{
    return file.size() < (n + 1) * JX_MSG_SLOT_SIZE ? ""
                                                    : file.substr(n * JX_MSG_SLOT_SIZE, JX_MSG_SLOT_SIZE);
}

std::string le32(uint32_t v)
{
    return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
            static_cast<char>(v >> 24)};
}

// The slot image a line must have: every byte not named here is zero.
std::string expected_slot(int64_t time, uint32_t id, const char* addr, uint8_t type, const std::string& user,
                          const std::string& text)
{
    std::string s =
        le32(static_cast<uint32_t>(time)) + std::string(4, '\0') + le32(id) + std::string(addr, 4);
    s.resize(JX_MSG_SLOT_SIZE);
    s[17] = static_cast<char>(type);
    s.replace(18, user.size(), user);
    s.replace(100, text.size(), text);
    return s;
}

const char kNoAddr[] = "\0\0\0\0";
// 10.0.0.7 is stored least significant byte first of its host-order value.
const char kPeerAddr[] = "\x07\0\0\x0a";

}  // namespace

using Events = ChatTest;

TEST_F(Events, PeerNoticesGoToTheMainChannelFile)
{
    const uint32_t net = ip("224.1.2.3");
    const uint32_t peer = ip("10.0.0.7");
    // Fifteen characters, hostile ones among them: stored as received, the screen makes them harmless.
    const char* h = "\x1b]0;x\x07\x1b[2Jabcde";
    raise(EV_PEER_JOINED, jx_build_user_ev(net, peer, h, ""));
    raise(EV_PEER_RENAMED, jx_build_user_ev(net, peer, "robert", h));
    raise(EV_PEER_LEFT, jx_build_user_ev(net, peer, h, ""));
    raise(EV_PEER_DROPPED, jx_build_user_ev(net, peer, h, ""));
    // Notices carry the time they are written, not when the event was raised.
    jx_clock_advance(3);
    io_proc_event();
    EXPECT_TRUE(queued_kinds().empty());

    const std::string f = slurp("msg/030201e0");
    ASSERT_EQ(f.size(), JX_MSG_FILE_SIZE);
    EXPECT_EQ(f.substr(0, 12), le32(4) + le32(4) + le32(100));  // last, count, capacity
    const std::string lines[] = {
        std::string(h) + "(10.0.0.7) joined", "Username " + std::string(h) + " changed to robert(10.0.0.7)",
        std::string(h) + "(10.0.0.7) left", std::string(h) + "(10.0.0.7) dropped (timed out)"};
    for (size_t i = 0; i < 4; i++)
        EXPECT_EQ(slot(f, i + 1), expected_slot(kNow + 3, 0, kNoAddr, MSG_NOTICE, "", lines[i])) << i;
    EXPECT_FALSE(msg_exists("030201e0_0700000a"));
}

TEST_F(Events, TextsAreStoredInTheirChannelFiles)
{
    const uint32_t net = ip("224.1.2.3");
    const uint32_t peer = ip("10.0.0.7");
    const std::string hostile = "hi\x1b[31m\r\nthere\t!";
    const std::string longest(JX_PAYLOAD_MAX, 'z');
    raise(EV_TXT_RECEIVED,
          jx_build_msg_ev(hostile.data(), hostile.size(), CH_MAIN, 0x11223344, net, peer, kNow - 5, "bob"));
    raise(EV_TXT_SENT, jx_build_msg_ev("yo", 2, CH_NET_DM, 0xA0B0C0D0, net, peer, kNow, "alice"));
    // A direct-IP network: both addresses are the remote host, the file the network's.
    raise(EV_TXT_RECEIVED, jx_build_msg_ev("dm", 2, CH_DM, 7, ip("10.9.8.7"), ip("10.9.8.7"), kNow, "carol"));
    raise(EV_TXT_RECEIVED,
          jx_build_msg_ev(longest.data(), longest.size(), CH_MAIN, 9, net, peer, kNow, "abcdefghijklmno"));
    io_proc_event();

    const std::string main_f = slurp("msg/030201e0");
    ASSERT_EQ(main_f.size(), JX_MSG_FILE_SIZE);
    EXPECT_EQ(main_f.substr(0, 4), le32(2));
    EXPECT_EQ(slot(main_f, 1), expected_slot(kNow - 5, 0x11223344, kPeerAddr, MSG_RECEIVED, "bob", hostile));
    EXPECT_EQ(slot(main_f, 2), expected_slot(kNow, 9, kPeerAddr, MSG_RECEIVED, "abcdefghijklmno", longest));
    EXPECT_EQ(slot(slurp("msg/030201e0_0700000a"), 1),
              expected_slot(kNow, 0xA0B0C0D0, kPeerAddr, MSG_SENT, "alice", "yo"));
    EXPECT_EQ(slot(slurp("msg/0708090a"), 1),
              expected_slot(kNow, 7, "\x07\x08\x09\x0a", MSG_RECEIVED, "carol", "dm"));
}

TEST_F(Events, DeliveryReportsMarkTheNewestLineOfTheirId)
{
    const uint32_t net = ip("224.1.2.3");
    const uint32_t peer = ip("10.0.0.7");
    raise(EV_TXT_SENT, jx_build_msg_ev("one", 3, CH_MAIN, 5, net, net, kNow, "alice"));
    raise(EV_TXT_RECEIVED, jx_build_msg_ev("two", 3, CH_MAIN, 6, net, peer, kNow, "bob"));
    raise(EV_TXT_SENT, jx_build_msg_ev("three", 5, CH_MAIN, 5, net, net, kNow, "alice"));
    raise(EV_TXT_SENT, jx_build_msg_ev("four", 4, CH_MAIN, 7, net, net, kNow, "alice"));
    raise(EV_TXT_SENT, jx_build_msg_ev("five", 4, CH_MAIN, 8, net, net, kNow, "alice"));
    io_proc_event();
    const std::string before = slurp("msg/030201e0");
    ASSERT_EQ(before.size(), JX_MSG_FILE_SIZE);

    raise(EV_TXT_DELIVERED, jx_build_msg_ev("", 0, CH_MAIN, 5, net, peer, 0, ""));
    raise(EV_TXT_UNDELIVERED, jx_build_msg_ev("", 0, CH_MAIN, 7, net, net, 0, ""));
    raise(EV_TXT_PARTLY_UNDELIVERED, jx_build_msg_ev("", 0, CH_MAIN, 8, net, net, 0, ""));
    // Ids that are not stored (overwritten in the ring, or never stored) change nothing.
    raise(EV_TXT_DELIVERED, jx_build_msg_ev("", 0, CH_MAIN, 99, net, net, 0, ""));
    // A report for a channel that has no file creates none.
    raise(EV_TXT_DELIVERED, jx_build_msg_ev("", 0, CH_NET_DM, 5, net, ip("10.0.0.8"), 0, ""));
    io_proc_event();
    EXPECT_FALSE(msg_exists("030201e0_0800000a"));

    // Only the type bytes of slots 3 (the newer id 5), 4 and 5.
    std::string after = slurp("msg/030201e0");
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(after[3 * 1600 + 17], MSG_DELIVERED);
    EXPECT_EQ(after[4 * 1600 + 17], MSG_UNDELIVERED);
    EXPECT_EQ(after[5 * 1600 + 17], MSG_PARTLY_UNDELIVERED);
    for (size_t slot_n : {3, 4, 5})
        after[slot_n * 1600 + 17] = before[slot_n * 1600 + 17];
    EXPECT_TRUE(after == before);

    const std::string log = log_text();
    EXPECT_NE(log.find("\tMessage undelivered dst: [224.1.2.3], ch: [030201e0], id: [7]\r\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("\tMessage partly undelivered dst: [224.1.2.3], ch: [030201e0], id: [8]\r\n"),
              std::string::npos);
    EXPECT_EQ(log.find("id: [5]"), std::string::npos);
}

TEST_F(Events, RedrawOnlyTheScreenAnEventConcerns)
{
    const uint32_t n = ip("224.1.2.3");
    const uint32_t other = ip("224.9.9.9");
    const uint32_t bob = ip("10.0.0.7");
    const uint32_t eve = ip("10.0.0.8");
    JXChannel* main_ch = join("224.1.2.3");
    add_peer(n, "10.0.0.7", "bob");
    add_peer(n, "10.0.0.8", "eve");
    JXChannel* dm = add_ch(n, bob);     // bob's
    JXChannel* dip = join("10.9.8.7");  // a private network's only channel
    dip->type = CH_DM;

    auto txt = [](uint8_t type, uint32_t a, uint32_t b) {
        return jx_build_msg_ev("x", 1, type, 1, a, b, kNow, "u");
    };
    auto user = [&](uint32_t net) { return jx_build_user_ev(net, eve, "e", "eve"); };
    auto file = [&]() { return jx_build_file_ev("f.bin", 5, CH_NET_DM, n, bob); };
    const struct {
        uint32_t state;
        JXChannel* open;
        uint8_t kind;
        void* payload;
        bool refresh;
    } cases[] = {
        {STATE_CHANNEL_LIST, nullptr, EV_TXT_RECEIVED, txt(CH_NET_DM, n, bob), true},
        {STATE_CHANNEL_LIST, nullptr, EV_TXT_SENT, txt(CH_MAIN, n, n), false},
        {STATE_CHANNEL, main_ch, EV_TXT_RECEIVED, txt(CH_NET_DM, n, eve), false},
        {STATE_CHANNEL, main_ch, EV_TXT_RECEIVED, txt(CH_MAIN, n, eve), true},
        {STATE_CHANNEL, dm, EV_TXT_RECEIVED, txt(CH_NET_DM, n, bob), true},
        {STATE_CHANNEL, dm, EV_TXT_DELIVERED, txt(CH_NET_DM, n, eve), false},
        {STATE_CHANNEL, main_ch, EV_TXT_SENT, txt(CH_MAIN, other, other), false},
        {STATE_HELP, main_ch, EV_TXT_RECEIVED, txt(CH_MAIN, n, bob), false},
        {STATE_CHANNEL, dip, EV_TXT_RECEIVED, txt(CH_DM, dip->net_addr, dip->net_addr), true},
        {STATE_CHANNEL, dm, EV_PEER_JOINED, user(n), true},
        {STATE_CHANNEL, main_ch, EV_PEER_LEFT, user(other), false},
        {STATE_NETWORK_LIST, nullptr, EV_PEER_DROPPED, user(n), true},
        {STATE_NETWORK_LIST, nullptr, EV_PEER_RENAMED, user(n), false},
        {STATE_PEER_LIST, main_ch, EV_PEER_RENAMED, user(n), true},
        {STATE_START, nullptr, EV_NET_CHANGED, jx_build_net_ev(other), true},
        {STATE_HELP, nullptr, EV_NET_REFRESH, jx_build_net_ev(n), false},
        {STATE_CHANNEL, dm, EV_NET_REFRESH, jx_build_net_ev(n), true},
        {STATE_CHANNEL, dm, EV_NET_REFRESH, jx_build_net_ev(other), false},
        {STATE_CHANNEL_LIST, nullptr, EV_CHANNEL_ADDED, jx_build_ch_ev(n, bob), false},
        {STATE_DL_LIST, nullptr, EV_HASH_READY, jx_build_hash_ev(nullptr, nullptr), true},
        {STATE_CHANNEL, dm, EV_HASH_READY, jx_build_hash_ev(nullptr, nullptr), false},
        {STATE_DL_LIST, nullptr, EV_DL_OFFERED, file(), true},
        {STATE_CHANNEL, dm, EV_UL_PREPARING, file(), true},
        {STATE_CHANNEL_LIST, nullptr, EV_UL_PREPARING, file(), false},
        {STATE_UL_LIST, nullptr, EV_DL_COMPLETE, file(), false},
        {STATE_UL_LIST, nullptr, EV_UL_FAILED, file(), true},
        {STATE_UL_LIST, nullptr, EV_UL_PREPARING, file(), false},
        {STATE_CHANNEL_LIST, nullptr, EV_UL_STARTED, file(), true},
        {STATE_CHANNEL, main_ch, EV_DL_FAILED, file(), false},
        {STATE_CHANNEL_LIST, nullptr, 42, jx_build_net_ev(n), false},  // unknown kind
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        state_set(c.state);
        state_change();
        ctx_get()->channel = c.open;
        ctx_get()->refresh = 1;  // whatever was left from the last turn is cleared
        raise(c.kind, c.payload);
        io_proc_event();
        EXPECT_EQ(ctx_get()->refresh, c.refresh ? 1 : 0);
        EXPECT_TRUE(queued_kinds().empty());
    }

    // Texts received are counted unread by the engine, not here; a null payload is only dropped.
    const uint64_t unread = dm->unread;
    raise(EV_TXT_RECEIVED, nullptr);
    raise(EV_TXT_RECEIVED, txt(CH_NET_DM, n, bob));
    io_proc_event();
    EXPECT_EQ(dm->unread, unread);
    EXPECT_TRUE(queued_kinds().empty());
    // Bob's DM holds the texts and the file notices in the order raised.
    const std::string f = slurp("msg/030201e0_0700000a");
    ASSERT_EQ(f.size(), JX_MSG_FILE_SIZE);
    EXPECT_EQ(f.substr(4, 4), le32(11));
}

TEST_F(Events, TheOpenChannelIsLetGoWhenTheEngineDropsItsNetwork)
{
    JXChannel* kept = join("10.4.4.4");
    ctx_get()->channel = join("10.5.5.5");
    show(STATE_CHANNEL);

    // A private network closed by its peer keeps its channel.
    jx_set_network_status(jx_network_by_addr(ip("10.5.5.5")), NET_CLOSED);
    io_proc_event();
    EXPECT_EQ(ctx_get()->channel, jx_channel_by_addr(ip("10.5.5.5"), 0));
    EXPECT_EQ(ctx_get()->refresh, 0);

    // The engine removes the network on its own (as when adding a private network's peer fails).
    // The next turn lets the channel go and redraws the screen at once: no header, no lines.
    ASSERT_EQ(jx_leave_network(jx_network_by_addr(ip("10.5.5.5"))), 0);
    drop_events();
    ScreenGrid g = grid(turn());
    EXPECT_EQ(ctx_get()->channel, nullptr);
    EXPECT_NE(log_text().find("\tOpen channel is gone, deselected\r\n"), std::string::npos);
    for (int r = 0; r < 22; r++)
        EXPECT_EQ(g.text(r), "") << r;
    EXPECT_EQ(g.text(23), "[alice]");

    // Another channel stays selected while its network lives.
    ctx_get()->channel = kept;
    io_proc_event();
    EXPECT_EQ(ctx_get()->channel, kept);
}
