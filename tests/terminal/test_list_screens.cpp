// The channel, network, peer and LAN address lists: their tables at 80x24 and 50x10, the highlight
// and scrolling, and what Enter and Delete do to the engine's registry and the open channel.
#include <filesystem>
#include <string>

#include "terminal_fixture.hpp"

using namespace jxtest;

namespace {

// Whether the row starting with row_start is drawn highlighted: the selection colours before it.
bool highlighted(const std::string& out, const char* row_start)
{
    return out.find(std::string(IO_SEL) + row_start) != std::string::npos;
}

std::string pad(size_t n)
{
    return std::string(n, ' ');
}

}  // namespace

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
        bob_ch->unread = 3;
        direct_ch = join("192.168.100.200");
        direct_ch->type = CH_DM;
        direct = jx_network_by_addr(ip("192.168.100.200"));
        direct->type = NET_DIRECT_IP_INCOMING;
        add_peer(direct->addr, "192.168.100.200", "abc日本語日");
    }
    JXNetwork* lan = nullptr;
    JXNetwork* direct = nullptr;
    JXChannel* main_ch = nullptr;
    JXChannel* bob_ch = nullptr;
    JXChannel* direct_ch = nullptr;
};

TEST_F(ListScreens, HighlightMovesOnEveryList)
{
    JXNetwork* closed = nullptr;
    ASSERT_EQ(jx_add_network(ip("10.9.9.9"), 0, &closed), 0);
    jx_set_network_status(closed, NET_CLOSED);
    add_peer(lan->addr, "10.0.0.4", "erin");
    ctx_get()->channel = main_ch;
    const struct {
        uint32_t screen;
        const char* keys;  // u: Up, d: Down
        const char* addr;  // expected sel_addr and sel_peer ("": none)
        const char* peer;
    } cases[] = {
        // Up from nothing: the last; across the network boundary; the last and first keep it.
        {STATE_CHANNEL_LIST, "d", "239.0.0.7", ""},
        {STATE_CHANNEL_LIST, "u", "192.168.100.200", ""},
        {STATE_CHANNEL_LIST, "uu", "239.0.0.7", "10.0.0.3"},
        {STATE_CHANNEL_LIST, "uudd", "192.168.100.200", ""},
        {STATE_CHANNEL_LIST, "uuuuuu", "239.0.0.7", ""},
        {STATE_NETWORK_LIST, "dd", "192.168.100.200", ""},
        {STATE_NETWORK_LIST, "dddd", "10.9.9.9", ""},
        {STATE_NETWORK_LIST, "u", "10.9.9.9", ""},
        {STATE_NETWORK_LIST, "uuuu", "239.0.0.7", ""},
        {STATE_PEER_LIST, "d", "", "10.0.0.2"},
        {STATE_PEER_LIST, "u", "", "10.0.0.4"},
        {STATE_PEER_LIST, "ddd", "", "10.0.0.4"},
        {STATE_PEER_LIST, "uuu", "", "10.0.0.2"},
        {STATE_LAN_LIST, "ud", "239.0.0.254", ""},
        {STATE_LAN_LIST, "uu", "239.0.0.253", ""},
        {STATE_LAN_LIST, "du", "239.0.0.0", ""},
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

TEST_F(ListScreens, ChannelListAt80x24AndAt50x10WithScrolling)
{
    std::string out = show(STATE_CHANNEL_LIST);
    EXPECT_EQ(
        grid(out).texts(0, 6),
        (Strs{"Channels", " No|            Channel|Ch. type|           Network|Net. type|          Activity",
              "  1|       Main channel|    Main|         239.0.0.7|Multicast|               N/A",
              "  2|         bob?[2J?xy|  Net DM|         239.0.0.7|Multicast|          3 unread",
              "  3|      N/A (Offline)|  Net DM|         239.0.0.7|Multicast|         12 unread",
              "  4|        abc日本語日|      DM|   192.168.100.200| DirectIP|               N/A", ""}));
    EXPECT_FALSE(highlighted(out, "  1|"));
    EXPECT_TRUE(highlighted(turn(KEY_UP), "  4|"));
    // Enter opens the highlighted channel and keeps the selection.
    show(STATE_CHANNEL_LIST, {KEY_DOWN, KEY_DOWN, KEY_ENTER});
    EXPECT_EQ(std::make_tuple(state_get(), ctx_get()->channel, ctx_get()->sel_peer),
              std::make_tuple(uint32_t{STATE_CHANNEL}, bob_ch, ip("10.0.0.2")));

    // At 50 columns the cells are cut with "..."; nine channels scroll in six rows.
    reset(50, 10);
    bob_ch->unread = 3;
    for (const char* a : {"10.1.0.1", "10.1.0.2", "10.1.0.3", "10.1.0.4", "10.1.0.5"})
        join(a, NET_OFFLINE);
    EXPECT_EQ(grid(show(STATE_CHANNEL_LIST)).texts(1, 5),
              (Strs{" No|  Channel|Ch. type| Network|Net. type|Activity",
                    "  1|Main c...|    Main|239.0...|Multicast|     N/A",
                    "  2|bob?[2...|  Net DM|239.0...|Multicast|3 unread",
                    "  3|N/A (O...|  Net DM|239.0...|Multicast|12 un...",
                    "  4| abc日...|      DM|192.1...| DirectIP|     N/A"}));
    show(0, std::vector<uint8_t>(6, KEY_DOWN));
    EXPECT_EQ(ctx_get()->list_offset, 0);
    out = turn(KEY_DOWN);  // row 7: one row down
    EXPECT_EQ(ctx_get()->list_offset, 1);
    EXPECT_EQ(grid(out).text(7), "  7|N/A (O...|  Unspec|10.1.0.3|   Unspec|     N/A");
    EXPECT_TRUE(highlighted(out, "  7|"));
    EXPECT_EQ(out.find("  8|"), std::string::npos) << "rows beyond the area are never drawn";
    // Up from nothing goes to the last channel and scrolls it into view.
    show(STATE_CHANNEL_LIST);
    EXPECT_EQ(grid(turn(KEY_UP)).text(7).substr(0, 4), "  9|");
    EXPECT_EQ(ctx_get()->list_offset, 3);

    // A highlighted channel that is gone: Enter does nothing, Down clears the highlight; with no
    // network at all the area is empty.
    jx_leave_network(jx_network_by_addr(ip("10.1.0.5")));
    turn(KEY_ENTER);
    EXPECT_EQ(state_get(), STATE_CHANNEL_LIST);
    turn(KEY_DOWN);
    EXPECT_EQ(std::make_tuple(ctx_get()->sel_addr, ctx_get()->sel_peer), std::make_tuple(0u, 0u));
    while (jx_list_head(&jx_comm_get()->networks) != nullptr)
        jx_leave_network(static_cast<JXNetwork*>(jx_list_data(jx_list_head(&jx_comm_get()->networks))));
    turn(KEY_UP);
    EXPECT_EQ(ctx_get()->sel_addr, 0u);
    EXPECT_EQ(grid(turn(KEY_NONE, true)).texts(2, 7), Strs(6, ""));
}

TEST_F(ListScreens, NetworkListAt80x24And50x10EnterAndDelete)
{
    lan->own_addr = ip("10.0.0.1");
    lan->last_heard = kNow - 3661;
    JXNetwork* closed = nullptr;
    ASSERT_EQ(jx_add_network(ip("10.9.9.9"), 0, &closed), 0);
    jx_set_network_status(closed, NET_CLOSED);
    EXPECT_EQ(grid(show(STATE_NETWORK_LIST)).texts(0, 4),
              (Strs{"Networks", " No|" + pad(43) + "Address|       Type|Status| Peers",
                    "  1|" + pad(41) + "239.0.0.7|  Multicast|    Up|     1",
                    "  2|" + pad(35) + "192.168.100.200|   DirectIP|    Up|     1",
                    "  3|" + pad(42) + "10.9.9.9|     Unspec|  Down|     0"}));
    // 15 rows (2..16), then the details of the highlighted network.
    const std::string out = turn(KEY_DOWN);
    EXPECT_TRUE(highlighted(out, "  1|"));
    EXPECT_EQ(grid(out).texts(16, 21),
              (Strs{"", "Network details", "Self IP: 10.0.0.1", "Last update: 14:12:19", "", ""}));
    EXPECT_EQ(grid(turn(KEY_DOWN)).text(18), "Self IP: N/A");
    // Enter opens the main channel, creating it when the network has none yet.
    show(0, {KEY_DOWN, KEY_ENTER});
    ASSERT_EQ(state_get(), STATE_CHANNEL);
    EXPECT_EQ(ctx_get()->channel, jx_channel_by_addr(closed->addr, 0));
    show(STATE_NETWORK_LIST, {KEY_DOWN, KEY_ENTER});
    EXPECT_EQ(ctx_get()->channel, main_ch);
    show(STATE_NETWORK_LIST, {KEY_ENTER});
    EXPECT_EQ(std::make_tuple(state_get(), ctx_get()->channel),
              std::make_tuple(uint32_t{STATE_NETWORK_LIST}, main_ch));

    // At 50x10 one row fits, and it scrolls. Delete leaves the highlighted network (not the open
    // channel's) and drops the open channel.
    reset(50, 10);
    ctx_get()->channel = main_ch;
    ScreenGrid g = grid(show(STATE_NETWORK_LIST, {KEY_DOWN, KEY_DOWN}));
    EXPECT_EQ(ctx_get()->list_offset, 1);
    EXPECT_EQ(g.texts(1, 4), (Strs{" No|             Address|       Type|Status| Peers",
                                   "  2|     192.168.100.200|   DirectIP|    Up|     1", "Network details",
                                   "Self IP: N/A"}));
    g = grid(turn(KEY_DEL));
    EXPECT_EQ(jx_network_by_addr(ip("192.168.100.200")), nullptr);
    EXPECT_EQ(ctx_get()->channel, nullptr) << "the open channel never outlives a leave";
    EXPECT_EQ(g.texts(2, 4),
              (Strs{"  2|            10.9.9.9|     Unspec|  Down|     0", "Network details", ""}));
    turn(KEY_DOWN);
    EXPECT_EQ(ctx_get()->sel_addr, 0u) << "Down from a highlight no longer listed: none";
}

TEST_F(ListScreens, PeerListShowsTheOpenChannelsNetworkAndEnterOpensADirectChannel)
{
    ctx_get()->channel = bob_ch;
    show(STATE_PEER_LIST);
    // erin was online before we joined: added without a notice, yet the open list shows her at once.
    JXPacket erin{};
    erin.src_addr = ip("10.0.0.4");
    strcpy(erin.username, "erin");
    jx_beacon_put(erin.payload, 100000, std::string(32, 'z').c_str());
    ASSERT_EQ(jx_add_peer(lan, &erin), JX_PEER_ADDED);
    std::string out = turn();
    EXPECT_FALSE(std::filesystem::exists(root / "msg" / "070000ef"));
    EXPECT_EQ(grid(out).texts(0, 4),
              (Strs{"Peers list for network: 239.0.0.7", " No|" + pad(29) + "Username|" + pad(31) + "Address",
                    "  1|" + pad(27) + "bob?[2J?xy|" + pad(30) + "10.0.0.2",
                    "  2|" + pad(33) + "erin|" + pad(30) + "10.0.0.4", ""}));
    // Enter with nothing highlighted does nothing. Up from nothing: the last peer; Enter opens a
    // new direct channel with it; an existing channel opens as it is.
    turn(KEY_ENTER);
    EXPECT_EQ(state_get(), STATE_PEER_LIST);
    EXPECT_TRUE(highlighted(turn(KEY_UP), "  2|"));
    turn(KEY_ENTER);
    ASSERT_EQ(state_get(), STATE_CHANNEL);
    EXPECT_EQ(ctx_get()->channel, jx_channel_by_addr(lan->addr, ip("10.0.0.4")));
    EXPECT_EQ(ctx_get()->channel->type, CH_NET_DM);
    show(STATE_PEER_LIST, {KEY_DOWN, KEY_ENTER});
    EXPECT_EQ(ctx_get()->channel, bob_ch);
    // A peer that left meanwhile: the engine refuses, back to the home screen.
    add_peer(lan->addr, "10.0.0.6", "frank");
    show(STATE_PEER_LIST, {KEY_UP});
    drop_peer(lan->addr, "10.0.0.6");
    turn(KEY_ENTER);
    EXPECT_EQ(std::make_tuple(state_get(), ctx_get()->channel),
              std::make_tuple(uint32_t{STATE_START}, bob_ch));

    // At 50x10 on a direct-IP network: its only channel is the one already open, where the
    // wide name takes 11 of the author's 15 columns.
    reset(50, 10);
    ctx_get()->channel = direct_ch;
    EXPECT_EQ(
        grid(show(STATE_PEER_LIST)).texts(0, 2),
        (Strs{"Peers list for network: 192.168.100.200", " No|" + pad(14) + "Username|" + pad(16) + "Address",
              "  1|" + pad(11) + "abc日本語日|" + pad(8) + "192.168.100.200"}));
    store("c864a8c0", MSG_RECEIVED, "abc日本語日", "hi");
    EXPECT_EQ(grid(show(0, {KEY_DOWN, KEY_ENTER})).text(7), "15:13:20|    abc日本語日 >>> hi");
    EXPECT_EQ(std::make_tuple(state_get(), ctx_get()->channel),
              std::make_tuple(uint32_t{STATE_CHANNEL}, direct_ch));
    // No open channel any more (its network was left): an empty list, drawn once.
    show(STATE_PEER_LIST);
    jx_leave_network(direct);
    ctx_get()->channel = nullptr;
    EXPECT_EQ(grid(turn(KEY_NONE, true)).texts(0, 2),
              (Strs{"Peers", " No|" + pad(14) + "Username|" + pad(16) + "Address", ""}));
    EXPECT_EQ(turn(), "");
    turn(KEY_DOWN);
    turn(KEY_ENTER);
    EXPECT_EQ(std::make_tuple(state_get(), ctx_get()->sel_peer),
              std::make_tuple(uint32_t{STATE_PEER_LIST}, 0u));
}

TEST_F(ListScreens, LanListAt80x24And50x10)
{
    JXChannel* joined = join("239.0.0.3", NET_OFFLINE);
    add_peer(ip("239.0.0.3"), "10.0.0.2", "bob");
    ScreenGrid g = grid(show(STATE_LAN_LIST));
    EXPECT_EQ(g.texts(0, 2),
              (Strs{"Predefined LAN multicast addresses", " No|" + pad(46) + "Address|         Status| Peers",
                    "  1|" + pad(44) + "239.0.0.0|           Join|   N/A"}));
    EXPECT_EQ(g.text(5), "  4|" + pad(44) + "239.0.0.3|   Open(Joined)|     1");
    EXPECT_EQ(g.text(21), " 20|" + pad(43) + "239.0.0.19|           Join|   N/A");
    // Up from nothing: row 255 at the bottom of the area.
    const std::string out = turn(KEY_UP);
    EXPECT_EQ(ctx_get()->list_offset, 235);
    EXPECT_EQ(grid(out).text(21), "255|" + pad(42) + "239.0.0.254|           Join|   N/A");
    EXPECT_TRUE(highlighted(out, "255|"));
    // Enter joins through the command line; an address joined already opens its channel.
    show(STATE_LAN_LIST, {KEY_DOWN, KEY_DOWN, KEY_DOWN, KEY_DOWN, KEY_ENTER});
    EXPECT_EQ(std::make_tuple(state_get(), ctx_get()->channel),
              std::make_tuple(uint32_t{STATE_CHANNEL}, joined));

    // At 50x10: six rows; Enter with nothing highlighted asks to join 0.0.0.0, which is refused.
    reset(50, 10);
    g = grid(show(STATE_LAN_LIST, std::vector<uint8_t>(7, KEY_DOWN)));
    EXPECT_EQ(ctx_get()->list_offset, 1);
    EXPECT_EQ(g.texts(1, 2), (Strs{" No|" + pad(16) + "Address|         Status| Peers",
                                   "  2|" + pad(14) + "239.0.0.1|           Join|   N/A"}));
    EXPECT_EQ(g.text(7).substr(0, 4), "  7|");
    show(STATE_LAN_LIST, {KEY_ENTER});
    EXPECT_EQ(std::make_tuple(state_get(), std::string(ctx_get()->err_feedback)),
              std::make_tuple(uint32_t{STATE_LAN_LIST}, std::string("Could not join network! err 7")));
}
