// The channel, network, peer and LAN address lists: their tables at 80x24 and 50x10, the highlight
// and scrolling, and what Enter and Delete do to the engine's registry and the open channel.
#include <filesystem>
#include <string>

#include "terminal_fixture.hpp"

class ListScreens : public TermTest {
  protected:
    // 239.0.0.7 (main, a direct channel with bob, one with a peer gone) and a direct-IP network.
    // bob's name carries control bytes: lists show them as '?', one column each, cut to the cell.
    // The direct network's peer has wide characters in its name, two columns each.
    void SetUp() override
    {
        TermTest::SetUp();
        if (IsSkipped())
            return;
        main_ch = join("239.0.0.7");
        lan = jx_network_by_addr(ip("239.0.0.7"));
        add_peer(lan->addr, "10.0.0.2", "bob\x1b[2J\x07xy");
        add_peer(lan->addr, "10.0.0.3", "carol");
        bob_ch = add_ch(lan->addr, ip("10.0.0.2"));
        add_ch(lan->addr, ip("10.0.0.3"))->unread = 12;
        drop_peer(lan->addr, "10.0.0.3");
        direct_ch = join("192.168.100.200");
        direct_ch->type = CH_DM;
        direct = jx_network_by_addr(ip("192.168.100.200"));
        direct->type = NET_DIRECT_IP_INCOMING;
        add_peer(direct->addr, "192.168.100.200", "abc日本語日");
    }
    JXNetwork *lan = nullptr, *direct = nullptr;
    JXChannel *main_ch = nullptr, *bob_ch = nullptr, *direct_ch = nullptr;
};

TEST_F(ListScreens, ChannelListAt80x24AndAt50x10WithScrolling)
{
    bob_ch->unread = 3;
    std::string out = show(STATE_CHANNEL_LIST);
    EXPECT_EQ(
        screen(out, 0, 6),
        (Strs{"Channels", " No|            Channel|Ch. type|           Network|Net. type|          Activity",
              "  1|       Main channel|    Main|         239.0.0.7|Multicast|               N/A",
              "  2|         bob?[2J?xy|  Net DM|         239.0.0.7|Multicast|          3 unread",
              "  3|      N/A (Offline)|  Net DM|         239.0.0.7|Multicast|         12 unread",
              "  4|        abc日本語日|      DM|   192.168.100.200| DirectIP|               N/A", ""}));
    // The first row is highlighted on opening and keeps it on Up; Down and Up cross networks.
    EXPECT_TRUE(selected(out, "  1|"));
    EXPECT_TRUE(selected(turn(KEY_UP), "  1|"));
    EXPECT_TRUE(selected(show(0, {KEY_DOWN, KEY_DOWN, KEY_DOWN, KEY_DOWN}), "  4|"));
    EXPECT_TRUE(selected(turn(KEY_UP), "  3|"));
    EXPECT_EQ(ctx_get()->sel_peer, ip("10.0.0.3"));

    // At 50 columns the cells are cut with "..."; nine channels scroll in six rows.
    reset(50, 10);
    for (const char* a : {"10.1.0.1", "10.1.0.2", "10.1.0.3", "10.1.0.4", "10.1.0.5"})
        join(a, NET_OFFLINE);
    bob_ch->unread = 3;
    EXPECT_EQ(screen(show(STATE_CHANNEL_LIST), 1, 5),
              (Strs{" No|  Channel|Ch. type| Network|Net. type|Activity",
                    "  1|Main c...|    Main|239.0...|Multicast|     N/A",
                    "  2|bob?[2...|  Net DM|239.0...|Multicast|3 unread",
                    "  3|N/A (O...|  Net DM|239.0...|Multicast|12 un...",
                    "  4| abc日...|      DM|192.1...| DirectIP|     N/A"}));
    out = show(0, std::vector<uint8_t>(6, KEY_DOWN));  // row 7: one row down
    EXPECT_EQ(screen(out, 2, 7).back(), "  7|N/A (O...|  Unspec|10.1.0.3|   Unspec|     N/A");
    // Rows that go leave the highlight on its channel; when its own goes, on the one in its place.
    for (const auto& [gone, row] : {std::pair{"10.1.0.1", "  6|N/A (O...|  Unspec|10.1.0.3"},
                                    {"10.1.0.3", "  6|N/A (O...|  Unspec|10.1.0.4"}}) {
        jx_leave_network(jx_network_by_addr(ip(gone)));
        EXPECT_TRUE(selected(turn(KEY_NONE, true), row)) << gone;
    }
}

TEST_F(ListScreens, NetworkListAt80x24And50x10EnterAndDelete)
{
    lan->own_addr = ip("10.0.0.1");
    lan->last_heard = kNow - 3661;
    JXNetwork* closed = nullptr;
    ASSERT_EQ(jx_add_network(ip("10.9.9.9"), 0, &closed), 0);
    jx_set_network_status(closed, NET_CLOSED);
    // 15 rows (2..16), then the details of the highlighted network. The list screens take no text:
    // it is dropped, and the prompt row shows a red xxx.
    strcpy(ctx_get()->input, "abc");
    const std::string out = show(STATE_NETWORK_LIST, {KEY_UP});
    EXPECT_EQ(std::make_pair(screen_row(out, 23), ctx_get()->input[0]),
              std::make_pair(std::string("xxx"), '\0'));
    EXPECT_EQ(screen(out, 0, 2), (Strs{"Networks", " No|" + pad(43) + "Address|       Type|Status| Peers",
                                       "  1|" + pad(41) + "239.0.0.7|  Multicast|    Up|     1"}));
    EXPECT_EQ(screen(out, 16, 21),
              (Strs{"", "Network details", "Self IP: 10.0.0.1", "Last update: 14:12:19", "", ""}));
    EXPECT_EQ(screen_row(turn(KEY_DOWN), 18), "Self IP: N/A");
    // Enter opens the main channel, creating it when the network has none yet.
    show(STATE_NETWORK_LIST, {KEY_DOWN, KEY_DOWN, KEY_ENTER});
    expect_at(STATE_CHANNEL, jx_channel_by_addr(closed->addr, 0));

    // At 50x10 one row fits, and it scrolls. Delete leaves the highlighted network (not the open
    // channel's) and drops the open channel; the highlight goes to the network in its place.
    reset(50, 10);
    ctx_get()->channel = main_ch;
    EXPECT_EQ(
        screen(show(STATE_NETWORK_LIST, {KEY_DOWN}), 1, 4),
        (Strs{" No|             Address|       Type|Status| Peers",
              "  2|     192.168.100.200|   DirectIP|    Up|     1", "Network details", "Self IP: N/A"}));
    EXPECT_EQ(screen(turn(KEY_DEL), 2, 4),
              (Strs{"  2|            10.9.9.9|     Unspec|  Down|     0", "Network details", "Self IP: N/A"}));
    EXPECT_EQ(std::make_tuple(jx_network_by_addr(ip("192.168.100.200")), ctx_get()->channel, ctx_get()->sel_addr),
              std::make_tuple(nullptr, nullptr, ip("10.9.9.9")));
}

TEST_F(ListScreens, PeerListShowsTheOpenChannelsNetworkAndEnterOpensADirectChannel)
{
    ctx_get()->channel = bob_ch;
    show(STATE_PEER_LIST);
    // erin was online before we joined: added without a notice (the engine raises a refresh
    // instead), yet the open list shows her at once and nothing is stored.
    add_peer(lan->addr, "10.0.0.4", "erin");
    raise(EV_NET_REFRESH, jx_build_net_ev(lan->addr));
    EXPECT_EQ(screen(turn(), 0, 4),
              (Strs{"Peers list for network: 239.0.0.7", " No|" + pad(29) + "Username|" + pad(31) + "Address",
                    "  1|" + pad(27) + "bob?[2J?xy|" + pad(30) + "10.0.0.2",
                    "  2|" + pad(33) + "erin|" + pad(30) + "10.0.0.4", ""}));
    EXPECT_FALSE(std::filesystem::exists(root / "msg" / "070000ef"));
    // Enter opens the direct channel with the highlighted peer, the first on opening.
    turn(KEY_ENTER);
    expect_at(STATE_CHANNEL, bob_ch);
    show(STATE_PEER_LIST, {KEY_DOWN, KEY_ENTER});
    expect_at(STATE_CHANNEL, jx_channel_by_addr(lan->addr, ip("10.0.0.4")));

    // At 50x10 on a direct-IP network: its only channel is the one already open, where the
    // wide name takes 11 of the author's 15 columns.
    reset(50, 10);
    ctx_get()->channel = direct_ch;
    EXPECT_EQ(
        screen(show(STATE_PEER_LIST), 0, 2),
        (Strs{"Peers list for network: 192.168.100.200", " No|" + pad(14) + "Username|" + pad(16) + "Address",
              "  1|" + pad(11) + "abc日本語日|" + pad(8) + "192.168.100.200"}));
    store("c864a8c0", MSG_RECEIVED, "abc日本語日", "hi");
    EXPECT_EQ(screen_row(show(0, {KEY_DOWN, KEY_ENTER}), 7), "15:13:20|    abc日本語日 >>> hi");
    expect_at(STATE_CHANNEL, direct_ch);
    // No open channel: an empty list, drawn once.
    ctx_get()->channel = nullptr;
    EXPECT_EQ(screen_row(show(STATE_PEER_LIST), 0), "Peers");
    EXPECT_EQ(turn(), "");
}

TEST_F(ListScreens, LanListAt80x24And50x10)
{
    join("239.0.0.3", NET_OFFLINE);
    add_peer(ip("239.0.0.3"), "10.0.0.2", "bob");
    const Strs g = screen(show(STATE_LAN_LIST));
    EXPECT_EQ((Strs{g[0], g[1], g[2], g[5]}),
              (Strs{"Predefined LAN multicast addresses", " No|" + pad(46) + "Address|         Status| Peers",
                    "  1|" + pad(44) + "239.0.0.0|           Join|   N/A",
                    "  4|" + pad(44) + "239.0.0.3|   Open(Joined)|     1"}));
    // The first row is highlighted on opening; row 255 is reached by scrolling.
    EXPECT_TRUE(selected(show(0, {KEY_UP}), "  1|"));
    EXPECT_EQ(screen_row(show(0, std::vector<uint8_t>(255, KEY_DOWN)), 21),
              "255|" + pad(42) + "239.0.0.254|           Join|   N/A");

    // At 50x10: six rows.
    reset(50, 10);
    const Strs narrow = screen(show(STATE_LAN_LIST, std::vector<uint8_t>(6, KEY_DOWN)));
    EXPECT_EQ((Strs{narrow[1], narrow[2], narrow[7].substr(0, 4)}),
              (Strs{" No|" + pad(16) + "Address|         Status| Peers",
                    "  2|" + pad(14) + "239.0.0.1|           Join|   N/A", "  7|"}));
}
