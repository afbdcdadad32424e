// The channel, network, peer and LAN address lists: their tables at 80x24 and 50x10, the highlight
// and scrolling, and what Enter and Delete do to the engine's registry and the open channel.
#include <string>

#include "chat_fixture.hpp"

using namespace chat_test;

namespace {

// What a row looks like when highlighted: the selection colours right before its number.
bool highlighted(const std::string& out, const char* row_start)
{
    return out.find(std::string(IO_SEL) + row_start) != std::string::npos;
}

std::string pad(size_t n)
{
    return std::string(n, ' ');
}

}  // namespace

class ListScreens : public ChatTest {
  protected:
    // 239.0.0.7 (main, a direct channel with bob, one with a peer gone) and a direct-IP network.
    // bob's name carries control bytes: lists show them as '?', one column each, cut
    // to the cell like any name.
    void two_networks()
    {
        main_ch = join("239.0.0.7");
        lan = jx_network_by_addr(ip("239.0.0.7"));
        add_peer(lan->addr, "10.0.0.2", "bob\x1b[2J\x07xy");
        add_peer(lan->addr, "10.0.0.3", "carol");
        bob_ch = add_ch(lan->addr, ip("10.0.0.2"));
        add_ch(lan->addr, ip("10.0.0.3"))->unread = 12;
        drop_peer(lan->addr, "10.0.0.3");
        bob_ch->unread = 3;
        direct_ch = join("192.168.100.200");
        direct_ch->type = CH_DM;
        direct = jx_network_by_addr(ip("192.168.100.200"));
        direct->type = NET_DIRECT_IP_INCOMING;
        add_peer(direct->addr, "192.168.100.200", "dave");
    }

    JXNetwork* lan = nullptr;
    JXNetwork* direct = nullptr;
    JXChannel* main_ch = nullptr;
    JXChannel* bob_ch = nullptr;
    JXChannel* direct_ch = nullptr;
};

TEST_F(ListScreens, HighlightMovesOnEveryList)
{
    two_networks();
    add_net("10.9.9.9", NET_UNSPEC, NET_CLOSED);
    add_peer(lan->addr, "10.0.0.4", "erin");
    ctx_get()->channel = main_ch;
    const struct {
        uint32_t screen;
        const char* keys;  // u: Up, d: Down
        const char* addr;  // expected sel_addr and sel_peer ("": none)
        const char* peer;
    } cases[] = {
        {STATE_CHANNEL_LIST, "d", "239.0.0.7", ""},
        {STATE_CHANNEL_LIST, "u", "192.168.100.200", ""},     // up from nothing: the last
        {STATE_CHANNEL_LIST, "uu", "239.0.0.7", "10.0.0.3"},  // across the network boundary
        {STATE_CHANNEL_LIST, "uudd", "192.168.100.200", ""},  // down on the last keeps it
        {STATE_CHANNEL_LIST, "uuuuuu", "239.0.0.7", ""},      // up on the first keeps it
        {STATE_NETWORK_LIST, "d", "239.0.0.7", ""},
        {STATE_NETWORK_LIST, "dd", "192.168.100.200", ""},
        {STATE_NETWORK_LIST, "dddd", "10.9.9.9", ""},
        {STATE_NETWORK_LIST, "u", "10.9.9.9", ""},
        {STATE_NETWORK_LIST, "uuuu", "239.0.0.7", ""},
        {STATE_PEER_LIST, "d", "", "10.0.0.2"},
        {STATE_PEER_LIST, "u", "", "10.0.0.4"},
        {STATE_PEER_LIST, "ddd", "", "10.0.0.4"},
        {STATE_PEER_LIST, "uuu", "", "10.0.0.2"},
        {STATE_LAN_LIST, "u", "239.0.0.254", ""},
        {STATE_LAN_LIST, "ud", "239.0.0.254", ""},  // never above 239.0.0.254
        {STATE_LAN_LIST, "uu", "239.0.0.253", ""},
        {STATE_LAN_LIST, "d", "239.0.0.0", ""},
        {STATE_LAN_LIST, "du", "239.0.0.0", ""},  // never below 239.0.0.0
        {STATE_LAN_LIST, "dddd", "239.0.0.3", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.screen) + " " + c.keys);
        ctx_get()->sel_addr = ctx_get()->sel_peer = 0;
        show(c.screen);
        for (const char* k = c.keys; *k; k++)
            turn(*k == 'u' ? KEY_UP : KEY_DOWN);
        EXPECT_EQ(ctx_get()->sel_addr, *c.addr != '\0' ? ip(c.addr) : 0u);
        EXPECT_EQ(ctx_get()->sel_peer, *c.peer != '\0' ? ip(c.peer) : 0u);
    }
}

TEST_F(ListScreens, ChannelListAt80x24)
{
    two_networks();
    std::string out = show(STATE_CHANNEL_LIST);
    ScreenGrid g = grid(out);
    EXPECT_EQ(g.text(0), "Channels");
    EXPECT_EQ(g.text(1), " No|            Channel|Ch. type|           Network|Net. type|          Activity");
    EXPECT_EQ(g.text(2), "  1|       Main channel|    Main|         239.0.0.7|Multicast|               N/A");
    EXPECT_EQ(g.text(3), "  2|         bob?[2J?xy|  Net DM|         239.0.0.7|Multicast|          3 unread");
    EXPECT_EQ(g.text(4), "  3|      N/A (Offline)|  Net DM|         239.0.0.7|Multicast|         12 unread");
    EXPECT_EQ(g.text(5), "  4|               dave|      DM|   192.168.100.200| DirectIP|               N/A");
    for (int r = 6; r < 22; r++)
        EXPECT_EQ(g.text(r), "") << r;
    EXPECT_EQ(g.text(22).substr(0, 6), "F1Help");
    EXPECT_FALSE(highlighted(out, "  1|"));
    EXPECT_TRUE(highlighted(turn(KEY_UP), "  4|"));

    // Enter opens the highlighted channel and keeps the selection.
    show(STATE_CHANNEL_LIST, {KEY_DOWN, KEY_DOWN, KEY_ENTER});
    EXPECT_EQ(state_get(), STATE_CHANNEL);
    EXPECT_EQ(ctx_get()->channel, bob_ch);
    EXPECT_EQ(ctx_get()->sel_peer, ip("10.0.0.2"));

    // A highlighted channel that is gone: Enter does nothing, Down clears the highlight.
    show(STATE_CHANNEL_LIST, {KEY_UP});  // the direct-IP channel
    jx_leave_network(direct);
    turn(KEY_ENTER);
    EXPECT_EQ(state_get(), STATE_CHANNEL_LIST);
    EXPECT_EQ(grid(turn(KEY_NONE, true)).text(5), "");
    turn(KEY_DOWN);
    EXPECT_EQ(ctx_get()->sel_addr, 0u);
    EXPECT_EQ(ctx_get()->sel_peer, 0u);
    // With no network at all Up clears the highlight and the area is empty.
    turn(KEY_UP);
    jx_leave_network(lan);
    turn(KEY_UP);
    EXPECT_EQ(ctx_get()->sel_addr, 0u);
    g = grid(turn(KEY_NONE, true));
    for (int r = 2; r < 22; r++)
        EXPECT_EQ(g.text(r), "") << r;
}

TEST_F(ListScreens, NetworkListAt80x24EnterAndDelete)
{
    two_networks();
    lan->own_addr = ip("10.0.0.1");
    lan->last_heard = kNow - 3661;
    JXNetwork* closed = add_net("10.9.9.9", NET_UNSPEC, NET_CLOSED);

    ScreenGrid g = grid(show(STATE_NETWORK_LIST));
    EXPECT_EQ(g.text(0), "Networks");
    EXPECT_EQ(g.text(1), " No|" + pad(43) + "Address|       Type|Status| Peers");
    EXPECT_EQ(g.text(2), "  1|" + pad(41) + "239.0.0.7|  Multicast|    Up|     1");
    EXPECT_EQ(g.text(3), "  2|" + pad(35) + "192.168.100.200|   DirectIP|    Up|     1");
    EXPECT_EQ(g.text(4), "  3|" + pad(42) + "10.9.9.9|     Unspec|  Down|     0");
    EXPECT_EQ(g.text(16), "");  // 15 rows: 2..16
    EXPECT_EQ(g.text(17), "Network details");
    for (int r = 18; r < 22; r++)
        EXPECT_EQ(g.text(r), "") << "no highlight, no details: " << r;
    EXPECT_EQ(g.text(22).substr(0, 6), "F1Help");

    std::string out = turn(KEY_DOWN);
    g = grid(out);
    EXPECT_TRUE(highlighted(out, "  1|"));
    EXPECT_EQ(g.text(18), "Self IP: 10.0.0.1");
    EXPECT_EQ(g.text(19), "Last update: 14:12:19");
    EXPECT_EQ(grid(turn(KEY_DOWN)).text(18), "Self IP: N/A");

    // Enter opens the main channel, creating it when the network has none yet.
    EXPECT_EQ(jx_set_size(&closed->channels), 0);
    press({KEY_DOWN, KEY_ENTER});
    EXPECT_EQ(state_get(), STATE_CHANNEL);
    ASSERT_NE(ctx_get()->channel, nullptr);
    EXPECT_EQ(ctx_get()->channel, jx_channel_by_addr(closed->addr, 0));
    EXPECT_EQ(ctx_get()->channel->type, CH_UNSPEC);

    // An existing main channel is the one opened.
    show(STATE_NETWORK_LIST, {KEY_DOWN, KEY_ENTER});
    EXPECT_EQ(ctx_get()->channel, main_ch);

    // Enter with nothing highlighted does nothing.
    show(STATE_NETWORK_LIST, {KEY_ENTER});
    EXPECT_EQ(state_get(), STATE_NETWORK_LIST);
    EXPECT_EQ(ctx_get()->channel, main_ch);

    // Delete leaves the highlighted network (not the open channel's) and drops the open channel.
    g = grid(show(STATE_NETWORK_LIST, {KEY_DOWN, KEY_DOWN, KEY_DEL}));
    EXPECT_EQ(jx_network_by_addr(ip("192.168.100.200")), nullptr);
    EXPECT_EQ(ctx_get()->channel, nullptr) << "the open channel never outlives a leave";
    EXPECT_EQ(ctx_get()->sel_addr, ip("192.168.100.200"));
    EXPECT_EQ(g.text(2).substr(0, 4), "  1|");
    EXPECT_EQ(g.text(3), "  2|" + pad(42) + "10.9.9.9|     Unspec|  Down|     0");
    EXPECT_EQ(g.text(4), "");
    EXPECT_EQ(g.text(18), "") << "the highlight is gone with its network";
    turn(KEY_DOWN);
    EXPECT_EQ(ctx_get()->sel_addr, 0u) << "Down from a highlight no longer listed: none";

    // Nothing highlighted: Delete leaves nothing but still drops the channel.
    ctx_get()->channel = main_ch;
    show(STATE_NETWORK_LIST, {KEY_DEL});
    EXPECT_NE(jx_network_by_addr(ip("239.0.0.7")), nullptr);
    EXPECT_EQ(ctx_get()->channel, nullptr);
}

TEST_F(ListScreens, EveryListAt50x10)
{
    reset(50, 10);
    two_networks();
    // The network list has room for one row.
    ScreenGrid g = grid(show(STATE_NETWORK_LIST));
    EXPECT_EQ(g.text(1), " No|             Address|       Type|Status| Peers");
    EXPECT_EQ(g.text(2), "  1|           239.0.0.7|  Multicast|    Up|     1");
    EXPECT_EQ(g.text(3), "Network details");
    EXPECT_EQ(g.text(8).substr(0, 6), "F1Help");
    g = grid(press({KEY_DOWN, KEY_DOWN}));
    EXPECT_EQ(ctx_get()->list_offset, 1);
    EXPECT_EQ(g.text(2), "  2|     192.168.100.200|   DirectIP|    Up|     1");
    EXPECT_EQ(g.text(4), "Self IP: N/A");

    g = grid(show(STATE_LAN_LIST));
    EXPECT_EQ(g.text(1), " No|" + pad(16) + "Address|         Status| Peers");
    EXPECT_EQ(g.text(2), "  1|" + pad(14) + "239.0.0.0|           Join|   N/A");
    EXPECT_EQ(g.text(7), "  6|" + pad(14) + "239.0.0.5|           Join|   N/A");
    EXPECT_EQ(g.text(8).substr(0, 6), "F1Help");
    press(std::vector<uint8_t>(7, KEY_DOWN));
    g = grid(turn(KEY_NONE, true));
    EXPECT_EQ(ctx_get()->list_offset, 1);
    EXPECT_EQ(g.text(7).substr(0, 4), "  7|");

    // Enter with nothing highlighted asks to join 0.0.0.0, which is refused.
    show(STATE_LAN_LIST, {KEY_ENTER});
    EXPECT_EQ(state_get(), STATE_LAN_LIST);
    EXPECT_EQ(jx_list_size(&jx_comm_get()->networks), 2);
    EXPECT_STREQ(ctx_get()->err_feedback, "Could not join network! err 7");

    g = grid(show(STATE_CHANNEL_LIST));
    EXPECT_EQ(g.text(1), " No|  Channel|Ch. type| Network|Net. type|Activity");
    EXPECT_EQ(g.text(2), "  1|Main c...|    Main|239.0...|Multicast|     N/A");
    EXPECT_EQ(g.text(3), "  2|bob?[2...|  Net DM|239.0...|Multicast|3 unread");
    EXPECT_EQ(g.text(4), "  3|N/A (O...|  Net DM|239.0...|Multicast|12 un...");
    EXPECT_EQ(g.text(5), "  4|     dave|      DM|192.1...| DirectIP|     N/A");
    EXPECT_EQ(g.text(6), "");
    EXPECT_EQ(g.text(8).substr(0, 6), "F1Help");

    // Five more networks of one channel each: nine channels, six rows.
    for (const char* a : {"10.1.0.1", "10.1.0.2", "10.1.0.3", "10.1.0.4", "10.1.0.5"})
        join(a, NET_OFFLINE);
    press(std::vector<uint8_t>(6, KEY_DOWN));
    EXPECT_EQ(ctx_get()->list_offset, 0);
    std::string out = turn(KEY_DOWN);  // row 7: one row down
    g = grid(out);
    EXPECT_EQ(ctx_get()->list_offset, 1);
    EXPECT_EQ(g.text(2).substr(0, 4), "  2|");
    EXPECT_EQ(g.text(7), "  7|N/A (O...|  Unspec|10.1.0.3|   Unspec|     N/A");
    EXPECT_TRUE(highlighted(out, "  7|"));
    EXPECT_EQ(out.find("  8|"), std::string::npos) << "rows beyond the area are never drawn";

    // Up from nothing goes to the last channel and scrolls it into view.
    EXPECT_EQ(grid(show(STATE_CHANNEL_LIST)).text(2).substr(0, 4), "  1|");
    g = grid(turn(KEY_UP));
    EXPECT_EQ(ctx_get()->list_offset, 3);
    EXPECT_EQ(g.text(7).substr(0, 4), "  9|");

    ctx_get()->channel = direct_ch;
    g = grid(show(STATE_PEER_LIST));
    EXPECT_EQ(g.text(0), "Peers list for network: 192.168.100.200");
    EXPECT_EQ(g.text(1), " No|" + pad(14) + "Username|" + pad(16) + "Address");
    EXPECT_EQ(g.text(2), "  1|" + pad(18) + "dave|" + pad(8) + "192.168.100.200");
    // The only channel of a direct-IP network is the one already open.
    press({KEY_DOWN, KEY_ENTER});
    EXPECT_EQ(state_get(), STATE_CHANNEL);
    EXPECT_EQ(ctx_get()->channel, direct_ch);

    // No open channel any more (its network was left): an empty list, drawn once.
    show(STATE_PEER_LIST);
    jx_leave_network(direct);
    ctx_get()->channel = nullptr;
    g = grid(turn(KEY_NONE, true));
    EXPECT_EQ(g.text(0), "Peers");
    EXPECT_EQ(g.text(2), "");
    EXPECT_EQ(g.text(8).substr(0, 6), "F1Help");
    EXPECT_EQ(turn(), "");
    turn(KEY_DOWN);
    EXPECT_EQ(ctx_get()->sel_peer, 0u);
    turn(KEY_ENTER);
    EXPECT_EQ(state_get(), STATE_PEER_LIST);
}

TEST_F(ListScreens, PeerListShowsTheOpenChannelsNetwork)
{
    two_networks();
    add_peer(lan->addr, "10.0.0.4", "erin");
    ctx_get()->channel = main_ch;
    std::string out = show(STATE_PEER_LIST);
    ScreenGrid g = grid(out);
    EXPECT_EQ(g.rows[0], "Peers list for network: 239.0.0.7" + pad(80 - 33));
    EXPECT_EQ(g.text(1), " No|" + pad(29) + "Username|" + pad(31) + "Address");
    EXPECT_EQ(g.text(2), "  1|" + pad(27) + "bob?[2J?xy|" + pad(30) + "10.0.0.2");
    EXPECT_EQ(g.text(3), "  2|" + pad(33) + "erin|" + pad(30) + "10.0.0.4");
    EXPECT_EQ(g.text(4), "");
    EXPECT_EQ(g.text(22).substr(0, 6), "F1Help");

    // Enter with nothing highlighted does nothing, and the key is consumed.
    turn(KEY_ENTER);
    EXPECT_EQ(state_get(), STATE_PEER_LIST);
    EXPECT_EQ(ctx_get()->key, KEY_NONE);

    // Up from nothing: the last peer; Enter opens a new direct channel with it.
    EXPECT_TRUE(highlighted(turn(KEY_UP), "  2|"));
    EXPECT_EQ(jx_channel_by_addr(lan->addr, ip("10.0.0.4")), nullptr);
    turn(KEY_ENTER);
    EXPECT_EQ(state_get(), STATE_CHANNEL);
    ASSERT_NE(ctx_get()->channel, nullptr);
    EXPECT_EQ(ctx_get()->channel, jx_channel_by_addr(lan->addr, ip("10.0.0.4")));
    EXPECT_EQ(ctx_get()->channel->type, CH_NET_DM);

    // From that direct channel the same network's peers are listed; an existing channel opens.
    ctx_get()->channel = bob_ch;
    show(STATE_PEER_LIST, {KEY_DOWN, KEY_ENTER});
    EXPECT_EQ(ctx_get()->channel, bob_ch);

    // A peer that left meanwhile: the engine refuses, back to the home screen.
    add_peer(lan->addr, "10.0.0.6", "frank");
    ctx_get()->channel = main_ch;
    show(STATE_PEER_LIST, {KEY_UP});
    drop_peer(lan->addr, "10.0.0.6");
    turn(KEY_ENTER);
    EXPECT_EQ(state_get(), STATE_START);
    EXPECT_EQ(ctx_get()->channel, main_ch);
}

TEST_F(ListScreens, LanListAt80x24)
{
    JXChannel* joined = join("239.0.0.3", NET_OFFLINE);
    add_peer(ip("239.0.0.3"), "10.0.0.2", "bob");
    add_peer(ip("239.0.0.3"), "10.0.0.3", "carol");

    ScreenGrid g = grid(show(STATE_LAN_LIST));
    EXPECT_EQ(g.text(0), "Predefined LAN multicast addresses");
    EXPECT_EQ(g.text(1), " No|" + pad(46) + "Address|         Status| Peers");
    EXPECT_EQ(g.text(2), "  1|" + pad(44) + "239.0.0.0|           Join|   N/A");
    EXPECT_EQ(g.text(5), "  4|" + pad(44) + "239.0.0.3|   Open(Joined)|     2");
    EXPECT_EQ(g.text(21), " 20|" + pad(43) + "239.0.0.19|           Join|   N/A");
    EXPECT_EQ(g.text(22).substr(0, 6), "F1Help");

    // Up from nothing: row 255 at the bottom of the area.
    std::string out = turn(KEY_UP);
    g = grid(out);
    EXPECT_EQ(ctx_get()->list_offset, 235);
    EXPECT_EQ(g.text(2).substr(0, 4), "236|");
    EXPECT_EQ(g.text(21), "255|" + pad(42) + "239.0.0.254|           Join|   N/A");
    EXPECT_TRUE(highlighted(out, "255|"));

    // Enter joins through the command line; an address joined already opens its channel.
    show(STATE_LAN_LIST, {KEY_DOWN, KEY_DOWN, KEY_DOWN, KEY_DOWN, KEY_ENTER});
    EXPECT_EQ(state_get(), STATE_CHANNEL);
    EXPECT_EQ(ctx_get()->channel, joined);
}
