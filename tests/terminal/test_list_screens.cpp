// The channel, network, peer and LAN address lists: their tables at 80x24 and 50x10, the highlight
// and scrolling, and what Enter and Delete do to the engine's registry and the open channel.
#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "engine/comm.hpp"
#include "engine/matchers.hpp"
#include "engine/utils.hpp"
#include "foundation/utility.hpp"
#include "screen_grid.hpp"
#include "terminal/cmd.hpp"
#include "terminal/screens/screens.hpp"
#include "terminal_fixture.hpp"

namespace {

uint32_t ip(const char* dotted)
{
    return inet_addr(dotted);
}

ScreenGrid draw(const std::string& out, int w, int h)
{
    ScreenGrid g(w, h);
    g.feed(out);
    return g;
}

// What a row looks like when highlighted: the selection colours right before its number.
bool highlighted(const std::string& out, const char* row_start)
{
    return out.find(std::string(IO_SEL) + row_start) != std::string::npos;
}

}  // namespace

// A registry built by hand (no sockets): networks, peers and channels as the engine keeps them.
class ListScreens : public TermTest {
  protected:
    int32_t saved_socks[3] = {};

    void SetUp() override
    {
        TermTest::SetUp();
        JXComm* c = jx_comm_get();
        saved_socks[0] = c->rcv_sock;
        saved_socks[1] = c->snd_sock;
        saved_socks[2] = c->data_sock;
        c->rcv_sock = c->snd_sock = c->data_sock = -1;  // leave packets go nowhere
        jx_list_init(&c->events, free);
        jx_set_init(&c->networks, jx_match_network, free);
    }

    void TearDown() override
    {
        JXComm* c = jx_comm_get();
        while (jx_list_head(&c->networks) != nullptr)
            jx_leave_network(static_cast<JXNetwork*>(jx_list_data(jx_list_head(&c->networks))));
        jx_set_destroy(&c->networks);
        drop_events();
        jx_list_destroy(&c->events);
        c->rcv_sock = saved_socks[0];
        c->snd_sock = saved_socks[1];
        c->data_sock = saved_socks[2];
        ctx_get()->channel = nullptr;
        TermTest::TearDown();
    }

    // Channel-added events are the event handler's business, not the lists'.
    static void drop_events()
    {
        void* data = nullptr;
        while (jx_list_rem_next(&jx_comm_get()->events, nullptr, &data) == 0) {
            auto* ev = static_cast<JXEvent*>(data);
            free(ev->payload);
            free(ev);
        }
    }

    static JXNetwork* add_net(const char* dotted, uint8_t type, uint8_t status)
    {
        auto* n = static_cast<JXNetwork*>(calloc(1, sizeof(JXNetwork)));
        n->addr = ip(dotted);
        n->type = type;
        n->status = status;
        jx_list_init(&n->downloads, free);
        jx_list_init(&n->uploads, free);
        jx_list_init(&n->fin_downloads, free);
        jx_list_init(&n->fin_uploads, free);
        jx_set_init(&n->peers, jx_match_peer, free);
        jx_set_init(&n->channels, jx_match_channel, free);
        EXPECT_EQ(jx_set_insert(&jx_comm_get()->networks, n), 0);
        return n;
    }

    static JXPeer* add_peer(JXNetwork* n, const char* dotted, const char* name)
    {
        auto* p = static_cast<JXPeer*>(calloc(1, sizeof(JXPeer)));
        p->addr = ip(dotted);
        p->alive = 1;
        strncpy(p->username, name, sizeof p->username - 1);
        EXPECT_EQ(jx_set_insert(&n->peers, p), 0);
        return p;
    }

    static void drop_peer(JXNetwork* n, const char* dotted)
    {
        JXPeer key{};
        key.addr = ip(dotted);
        void* data = &key;
        ASSERT_EQ(jx_set_remove(&n->peers, &data), 0);
        free(data);
    }

    static JXChannel* add_ch(const JXNetwork* n, const char* peer)
    {
        JXChannel* ch = nullptr;
        EXPECT_EQ(jx_add_channel(n->addr, peer != nullptr ? ip(peer) : 0, &ch), 0);
        drop_events();
        return ch;
    }

    // 239.0.0.7 (main, a direct channel with bob, one with a peer gone) and a direct-IP network.
    void two_networks()
    {
        lan = add_net("239.0.0.7", NET_MULTICAST, NET_ONLINE);
        add_peer(lan, "10.0.0.2", "bob");
        add_peer(lan, "10.0.0.3", "carol");
        main_ch = add_ch(lan, nullptr);
        bob_ch = add_ch(lan, "10.0.0.2");
        gone_ch = add_ch(lan, "10.0.0.3");
        drop_peer(lan, "10.0.0.3");
        bob_ch->unread = 3;
        gone_ch->unread = 12;
        direct = add_net("192.168.100.200", NET_DIRECT_IP_INCOMING, NET_ONLINE);
        add_peer(direct, "192.168.100.200", "dave");
        direct_ch = add_ch(direct, nullptr);
    }

    std::string open(uint32_t s)
    {
        turn();
        state_set(s);
        return turn();
    }

    JXNetwork* lan = nullptr;
    JXNetwork* direct = nullptr;
    JXChannel* main_ch = nullptr;
    JXChannel* bob_ch = nullptr;
    JXChannel* gone_ch = nullptr;
    JXChannel* direct_ch = nullptr;
};

TEST_F(ListScreens, ChannelListAt80x24)
{
    two_networks();
    std::string out = open(STATE_CHANNEL_LIST);
    ScreenGrid g = draw(out, 80, 24);
    EXPECT_EQ(g.scrolls, 0);
    EXPECT_EQ(g.text(0), "Channels");
    EXPECT_EQ(g.text(1), " No|            Channel|Ch. type|           Network|Net. type|          Activity");
    EXPECT_EQ(g.text(2), "  1|       Main channel|    Main|         239.0.0.7|Multicast|               N/A");
    EXPECT_EQ(g.text(3), "  2|                bob|  Net DM|         239.0.0.7|Multicast|          3 unread");
    EXPECT_EQ(g.text(4), "  3|      N/A (Offline)|  Net DM|         239.0.0.7|Multicast|         12 unread");
    EXPECT_EQ(g.text(5), "  4|               dave|      DM|   192.168.100.200| DirectIP|               N/A");
    for (int r = 6; r < 22; r++)
        EXPECT_EQ(g.text(r), "") << r;
    EXPECT_EQ(g.text(22).substr(0, 6), "F1Help");
    EXPECT_NE(out.find(IO_RESET IO_YELLOW " No|"), std::string::npos);
    EXPECT_NE(out.find(IO_GREEN "  1|"), std::string::npos);
    EXPECT_FALSE(highlighted(out, "  1|"));

    // Up right after entering highlights the last channel; Up again the one before it, across
    // the network boundary.
    out = turn(KEY_UP);
    EXPECT_TRUE(highlighted(out, "  4|"));
    EXPECT_EQ(ctx_get()->sel_addr, ip("192.168.100.200"));
    EXPECT_EQ(ctx_get()->sel_peer, 0u);
    out = turn(KEY_UP);
    EXPECT_TRUE(highlighted(out, "  3|"));
    EXPECT_EQ(ctx_get()->sel_addr, ip("239.0.0.7"));
    EXPECT_EQ(ctx_get()->sel_peer, ip("10.0.0.3"));
    turn(KEY_DOWN);
    out = turn(KEY_DOWN);
    EXPECT_TRUE(highlighted(out, "  4|")) << "Down on the last channel keeps it";
    EXPECT_EQ(ctx_get()->sel_addr, ip("192.168.100.200"));
    for (int i = 0; i < 4; i++)
        turn(KEY_UP);
    EXPECT_EQ(ctx_get()->sel_addr, ip("239.0.0.7"));
    EXPECT_EQ(ctx_get()->sel_peer, 0u) << "Up on the first channel keeps it";

    // An idle turn draws nothing; Enter opens the highlighted channel and keeps the selection.
    EXPECT_EQ(turn(), "");
    turn(KEY_DOWN);
    turn(KEY_ENTER);
    EXPECT_EQ(state_get(), static_cast<uint32_t>(STATE_CHANNEL));
    EXPECT_EQ(ctx_get()->channel, bob_ch);
    EXPECT_EQ(ctx_get()->sel_peer, ip("10.0.0.2"));
}

TEST_F(ListScreens, ChannelListAt50x10CutsAndScrolls)
{
    reset(50, 10);
    two_networks();
    ScreenGrid g = draw(open(STATE_CHANNEL_LIST), 50, 10);
    EXPECT_EQ(g.scrolls, 0);
    EXPECT_EQ(g.text(1), " No|  Channel|Ch. type| Network|Net. type|Activity");
    EXPECT_EQ(g.text(2), "  1|Main c...|    Main|239.0...|Multicast|     N/A");
    EXPECT_EQ(g.text(3), "  2|      bob|  Net DM|239.0...|Multicast|3 unread");
    EXPECT_EQ(g.text(4), "  3|N/A (O...|  Net DM|239.0...|Multicast|12 un...");
    EXPECT_EQ(g.text(5), "  4|     dave|      DM|192.1...| DirectIP|     N/A");
    EXPECT_EQ(g.text(6), "");
    EXPECT_EQ(g.text(8).substr(0, 6), "F1Help");

    // Five more networks of one channel each: nine channels, six rows.
    const char* more[] = {"10.1.0.1", "10.1.0.2", "10.1.0.3", "10.1.0.4", "10.1.0.5"};
    for (const char* a : more)
        add_ch(add_net(a, NET_UNSPEC, NET_OFFLINE), nullptr);
    for (int i = 0; i < 6; i++)
        turn(KEY_DOWN);
    EXPECT_EQ(ctx_get()->list_offset, 0);
    std::string out = turn(KEY_DOWN);  // row 7: one row down
    g = draw(out, 50, 10);
    EXPECT_EQ(g.scrolls, 0);
    EXPECT_EQ(ctx_get()->list_offset, 1);
    EXPECT_EQ(g.text(2).substr(0, 4), "  2|");
    EXPECT_EQ(g.text(7), "  7|N/A (O...|  Unspec|10.1.0.3|   Unspec|     N/A");
    EXPECT_TRUE(highlighted(out, "  7|"));
    EXPECT_EQ(out.find("  8|"), std::string::npos) << "rows beyond the area are never drawn";

    // Up from nothing goes to the last channel and scrolls it into view.
    turn(KEY_ESC);
    g = draw(open(STATE_CHANNEL_LIST), 50, 10);
    EXPECT_EQ(g.text(2).substr(0, 4), "  1|");
    g = draw(turn(KEY_UP), 50, 10);
    EXPECT_EQ(ctx_get()->list_offset, 3);
    EXPECT_EQ(g.text(7).substr(0, 4), "  9|");
}

TEST_F(ListScreens, ChannelListHighlightOfAChannelThatIsGone)
{
    two_networks();
    open(STATE_CHANNEL_LIST);
    turn(KEY_UP);  // the direct-IP channel
    JXNetwork* n = jx_network_by_addr(ip("192.168.100.200"));
    jx_leave_network(n);
    direct = nullptr;
    // Enter on a channel that no longer exists does nothing.
    turn(KEY_ENTER);
    EXPECT_EQ(state_get(), static_cast<uint32_t>(STATE_CHANNEL_LIST));
    // Still drawn without it; Down clears the highlight, Up then takes the last channel.
    ScreenGrid g = draw(turn(KEY_NONE, true), 80, 24);
    EXPECT_EQ(g.text(5), "");
    turn(KEY_DOWN);
    EXPECT_EQ(ctx_get()->sel_addr, 0u);
    EXPECT_EQ(ctx_get()->sel_peer, 0u);
    turn(KEY_ESC);
    open(STATE_CHANNEL_LIST);
    turn(KEY_UP);
    EXPECT_EQ(ctx_get()->sel_peer, ip("10.0.0.3"));
    // With no network at all Up clears the highlight and the area is empty.
    jx_leave_network(lan);
    lan = nullptr;
    turn(KEY_UP);
    EXPECT_EQ(ctx_get()->sel_addr, 0u);
    g = draw(turn(KEY_NONE, true), 80, 24);
    for (int r = 2; r < 22; r++)
        EXPECT_EQ(g.text(r), "") << r;
}

TEST_F(ListScreens, HostileUserNamesAreDrawnHarmlessly)
{
    JXNetwork* n = add_net("239.0.0.9", NET_MULTICAST, NET_ONLINE);
    add_peer(n, "10.0.0.5", "\x1b]0;pwn\x07\x1b[2J");
    add_ch(n, nullptr);
    add_ch(n, "10.0.0.5");
    std::string out = open(STATE_CHANNEL_LIST);
    EXPECT_EQ(out.find("\x1b]"), std::string::npos);
    EXPECT_EQ(out.find('\x07'), std::string::npos);
    EXPECT_EQ(draw(out, 80, 24).text(3).substr(0, 24), "  2|" + std::string(7, ' ') + "?]0;pwn??[2J|");

    ctx_get()->channel = jx_channel_by_addr(n->addr, 0);
    turn(KEY_ESC);
    out = open(STATE_PEER_LIST);
    EXPECT_EQ(out.find("\x1b]"), std::string::npos);
    EXPECT_EQ(out.find('\x07'), std::string::npos);
    EXPECT_EQ(draw(out, 80, 24).text(2),
              "  1|" + std::string(25, ' ') + "?]0;pwn??[2J|" + std::string(30, ' ') + "10.0.0.5");
}

TEST_F(ListScreens, NetworkListAt80x24)
{
    two_networks();
    lan->own_addr = ip("10.0.0.1");
    struct tm when = {};
    when.tm_year = 126;
    when.tm_mon = 11;
    when.tm_mday = 6;
    when.tm_hour = 9;
    when.tm_min = 8;
    when.tm_sec = 7;
    when.tm_isdst = -1;
    lan->last_heard = mktime(&when);
    JXNetwork* closed = add_net("10.9.9.9", NET_UNSPEC, NET_CLOSED);

    std::string out = open(STATE_NETWORK_LIST);
    ScreenGrid g = draw(out, 80, 24);
    EXPECT_EQ(g.scrolls, 0);
    EXPECT_EQ(g.text(0), "Networks");
    EXPECT_EQ(g.text(1), " No|" + std::string(43, ' ') + "Address|       Type|Status| Peers");
    EXPECT_EQ(g.text(2), "  1|" + std::string(41, ' ') + "239.0.0.7|  Multicast|    Up|     1");
    EXPECT_EQ(g.text(3), "  2|" + std::string(35, ' ') + "192.168.100.200|   DirectIP|    Up|     1");
    EXPECT_EQ(g.text(4), "  3|" + std::string(42, ' ') + "10.9.9.9|     Unspec|  Down|     0");
    EXPECT_EQ(g.text(16), "");  // 15 rows: 2..16
    EXPECT_EQ(g.text(17), "Network details");
    for (int r = 18; r < 22; r++)
        EXPECT_EQ(g.text(r), "") << "no highlight, no details: " << r;
    EXPECT_EQ(g.text(22).substr(0, 6), "F1Help");

    out = turn(KEY_DOWN);
    g = draw(out, 80, 24);
    EXPECT_TRUE(highlighted(out, "  1|"));
    EXPECT_EQ(g.text(18), "Self IP: 10.0.0.1");
    EXPECT_EQ(g.text(19), "Last update: 09:08:07");
    EXPECT_NE(out.find(IO_YELLOW "Self IP: " IO_MAGENTA "10.0.0.1"), std::string::npos);
    g = draw(turn(KEY_DOWN), 80, 24);
    EXPECT_EQ(g.text(18), "Self IP: N/A");
    turn(KEY_DOWN);
    g = draw(turn(KEY_DOWN), 80, 24);
    EXPECT_EQ(ctx_get()->sel_addr, closed->addr) << "Down on the last network keeps it";
    EXPECT_EQ(g.text(4).substr(0, 3), "  3");

    // Enter opens the main channel, creating it when the network has none yet.
    EXPECT_EQ(jx_set_size(&closed->channels), 0);
    turn(KEY_ENTER);
    EXPECT_EQ(state_get(), static_cast<uint32_t>(STATE_CHANNEL));
    ASSERT_NE(ctx_get()->channel, nullptr);
    EXPECT_EQ(ctx_get()->channel->net_addr, closed->addr);
    EXPECT_EQ(ctx_get()->channel->peer_addr, 0u);
    EXPECT_EQ(ctx_get()->channel->type, CH_UNSPEC);

    // An existing main channel is the one opened.
    turn(KEY_ESC);
    open(STATE_NETWORK_LIST);
    turn(KEY_DOWN);
    turn(KEY_ENTER);
    EXPECT_EQ(ctx_get()->channel, main_ch);

    // Enter with nothing highlighted does nothing.
    turn(KEY_ESC);
    open(STATE_NETWORK_LIST);
    turn(KEY_ENTER);
    EXPECT_EQ(state_get(), static_cast<uint32_t>(STATE_NETWORK_LIST));
    EXPECT_EQ(ctx_get()->channel, main_ch);
}

TEST_F(ListScreens, NetworkListDeleteLeavesAndDropsTheOpenChannel)
{
    two_networks();
    ctx_get()->channel = main_ch;
    open(STATE_NETWORK_LIST);
    turn(KEY_DOWN);
    turn(KEY_DOWN);  // the direct-IP network, not the open channel's
    std::string out = turn(KEY_DEL);
    EXPECT_EQ(jx_network_by_addr(ip("192.168.100.200")), nullptr);
    direct = nullptr;
    EXPECT_EQ(ctx_get()->channel, nullptr) << "the open channel never outlives a leave";
    EXPECT_EQ(ctx_get()->sel_addr, ip("192.168.100.200"));
    ScreenGrid g = draw(out, 80, 24);
    EXPECT_EQ(g.text(2).substr(0, 4), "  1|");
    EXPECT_EQ(g.text(3), "");
    EXPECT_EQ(g.text(18), "") << "the highlight is gone with its network";

    // Nothing highlighted: Delete leaves nothing but still drops the channel.
    ctx_get()->channel = main_ch;
    turn(KEY_ESC);
    open(STATE_NETWORK_LIST);
    turn(KEY_DEL);
    EXPECT_NE(jx_network_by_addr(ip("239.0.0.7")), nullptr);
    EXPECT_EQ(ctx_get()->channel, nullptr);

    // F5 afterwards has no channel to list peers for.
    turn(KEY_F5);
    EXPECT_EQ(state_get(), static_cast<uint32_t>(STATE_NETWORK_LIST));
}

TEST_F(ListScreens, NetworkListAt50x10ShowsOneRow)
{
    reset(50, 10);
    two_networks();
    ScreenGrid g = draw(open(STATE_NETWORK_LIST), 50, 10);
    EXPECT_EQ(g.scrolls, 0);
    EXPECT_EQ(g.text(1), " No|             Address|       Type|Status| Peers");
    EXPECT_EQ(g.text(2), "  1|           239.0.0.7|  Multicast|    Up|     1");
    EXPECT_EQ(g.text(3), "Network details");
    EXPECT_EQ(g.text(8).substr(0, 6), "F1Help");
    turn(KEY_DOWN);
    g = draw(turn(KEY_DOWN), 50, 10);
    EXPECT_EQ(ctx_get()->list_offset, 1);
    EXPECT_EQ(g.text(2), "  2|     192.168.100.200|   DirectIP|    Up|     1");
    EXPECT_EQ(g.text(4), "Self IP: N/A");
    // Up from nothing: the last network.
    turn(KEY_ESC);
    open(STATE_NETWORK_LIST);
    turn(KEY_UP);
    EXPECT_EQ(ctx_get()->sel_addr, ip("192.168.100.200"));
}

TEST_F(ListScreens, PeerListShowsTheOpenChannelsNetwork)
{
    two_networks();
    add_peer(lan, "10.0.0.4", "erin");
    ctx_get()->channel = main_ch;
    std::string out = open(STATE_PEER_LIST);
    ScreenGrid g = draw(out, 80, 24);
    EXPECT_EQ(g.scrolls, 0);
    EXPECT_EQ(g.text(0), "Peers list for network: 239.0.0.7");
    EXPECT_NE(out.find("Peers list for network: 239.0.0.7" + std::string(80 - 33, ' ')), std::string::npos);
    EXPECT_EQ(g.text(1), " No|" + std::string(29, ' ') + "Username|" + std::string(31, ' ') + "Address");
    EXPECT_EQ(g.text(2), "  1|" + std::string(34, ' ') + "bob|" + std::string(30, ' ') + "10.0.0.2");
    EXPECT_EQ(g.text(3), "  2|" + std::string(33, ' ') + "erin|" + std::string(30, ' ') + "10.0.0.4");
    EXPECT_EQ(g.text(4), "");
    EXPECT_EQ(g.text(22).substr(0, 6), "F1Help");

    // Enter with nothing highlighted does nothing, and the key is consumed.
    turn(KEY_ENTER);
    EXPECT_EQ(state_get(), static_cast<uint32_t>(STATE_PEER_LIST));
    EXPECT_EQ(ctx_get()->key, KEY_NONE);

    // Up from nothing: the last peer; Enter opens a new direct channel with it.
    out = turn(KEY_UP);
    EXPECT_TRUE(highlighted(out, "  2|"));
    EXPECT_EQ(ctx_get()->sel_peer, ip("10.0.0.4"));
    EXPECT_EQ(jx_channel_by_addr(lan->addr, ip("10.0.0.4")), nullptr);
    turn(KEY_ENTER);
    EXPECT_EQ(state_get(), static_cast<uint32_t>(STATE_CHANNEL));
    ASSERT_NE(ctx_get()->channel, nullptr);
    EXPECT_EQ(ctx_get()->channel, jx_channel_by_addr(lan->addr, ip("10.0.0.4")));
    EXPECT_EQ(ctx_get()->channel->type, CH_NET_DM);

    // From that direct channel the same network's peers are listed; an existing channel opens.
    turn(KEY_ESC);
    ctx_get()->channel = bob_ch;
    open(STATE_PEER_LIST);
    turn(KEY_DOWN);
    turn(KEY_ENTER);
    EXPECT_EQ(ctx_get()->channel, bob_ch);

    // A peer that left meanwhile: the engine refuses, back to the home screen.
    turn(KEY_ESC);
    add_peer(lan, "10.0.0.6", "frank");
    ctx_get()->channel = main_ch;
    open(STATE_PEER_LIST);
    turn(KEY_UP);
    drop_peer(lan, "10.0.0.6");
    turn(KEY_ENTER);
    EXPECT_EQ(state_get(), static_cast<uint32_t>(STATE_START));
    EXPECT_EQ(ctx_get()->channel, main_ch);
}

TEST_F(ListScreens, PeerListOfADirectNetworkAndWithoutANetwork)
{
    reset(50, 10);
    two_networks();
    ctx_get()->channel = direct_ch;
    ScreenGrid g = draw(open(STATE_PEER_LIST), 50, 10);
    EXPECT_EQ(g.text(0), "Peers list for network: 192.168.100.200");
    EXPECT_EQ(g.text(1), " No|" + std::string(14, ' ') + "Username|" + std::string(16, ' ') + "Address");
    EXPECT_EQ(g.text(2), "  1|" + std::string(18, ' ') + "dave|" + std::string(8, ' ') + "192.168.100.200");
    // The only channel of a direct-IP network is the one already open.
    turn(KEY_DOWN);
    turn(KEY_ENTER);
    EXPECT_EQ(state_get(), static_cast<uint32_t>(STATE_CHANNEL));
    EXPECT_EQ(ctx_get()->channel, direct_ch);

    // No open channel any more (its network was left): an empty list, drawn once.
    turn(KEY_ESC);
    open(STATE_PEER_LIST);
    jx_leave_network(direct);
    direct = nullptr;
    ctx_get()->channel = nullptr;
    g = draw(turn(KEY_NONE, true), 50, 10);
    EXPECT_EQ(g.scrolls, 0);
    EXPECT_EQ(g.text(0), "Peers");
    EXPECT_EQ(g.text(1), " No|" + std::string(14, ' ') + "Username|" + std::string(16, ' ') + "Address");
    EXPECT_EQ(g.text(2), "");
    EXPECT_EQ(g.text(8).substr(0, 6), "F1Help");
    EXPECT_EQ(turn(), "");
    turn(KEY_DOWN);
    EXPECT_EQ(ctx_get()->sel_peer, 0u);
    turn(KEY_ENTER);
    EXPECT_EQ(state_get(), static_cast<uint32_t>(STATE_PEER_LIST));
}

TEST_F(ListScreens, LanListAt80x24)
{
    JXNetwork* joined = add_net("239.0.0.3", NET_MULTICAST, NET_OFFLINE);
    add_peer(joined, "10.0.0.2", "bob");
    add_peer(joined, "10.0.0.3", "carol");
    JXChannel* joined_main = add_ch(joined, nullptr);

    std::string out = open(STATE_LAN_LIST);
    ScreenGrid g = draw(out, 80, 24);
    EXPECT_EQ(g.scrolls, 0);
    EXPECT_EQ(g.text(0), "Predefined LAN multicast addresses");
    EXPECT_EQ(g.text(1), " No|" + std::string(46, ' ') + "Address|         Status| Peers");
    EXPECT_EQ(g.text(2), "  1|" + std::string(44, ' ') + "239.0.0.0|           Join|   N/A");
    EXPECT_EQ(g.text(5), "  4|" + std::string(44, ' ') + "239.0.0.3|   Open(Joined)|     2");
    EXPECT_EQ(g.text(21), " 20|" + std::string(43, ' ') + "239.0.0.19|           Join|   N/A");
    EXPECT_EQ(g.text(22).substr(0, 6), "F1Help");

    // Up from nothing: row 255 at the bottom of the area.
    out = turn(KEY_UP);
    g = draw(out, 80, 24);
    EXPECT_EQ(ctx_get()->sel_addr, ip("239.0.0.254"));
    EXPECT_EQ(ctx_get()->list_offset, 235);
    EXPECT_EQ(g.text(2).substr(0, 4), "236|");
    EXPECT_EQ(g.text(21), "255|" + std::string(42, ' ') + "239.0.0.254|           Join|   N/A");
    EXPECT_TRUE(highlighted(out, "255|"));
    turn(KEY_DOWN);
    EXPECT_EQ(ctx_get()->sel_addr, ip("239.0.0.254")) << "never above 239.0.0.254";
    turn(KEY_UP);
    EXPECT_EQ(ctx_get()->sel_addr, ip("239.0.0.253"));

    turn(KEY_ESC);
    open(STATE_LAN_LIST);
    turn(KEY_DOWN);
    EXPECT_EQ(ctx_get()->sel_addr, ip("239.0.0.0"));
    turn(KEY_UP);
    EXPECT_EQ(ctx_get()->sel_addr, ip("239.0.0.0")) << "never below 239.0.0.0";
    for (int i = 0; i < 3; i++)
        turn(KEY_DOWN);
    EXPECT_EQ(ctx_get()->sel_addr, ip("239.0.0.3"));

    // Enter joins through the command line; an address joined already opens its channel.
    turn(KEY_ENTER);
    EXPECT_EQ(state_get(), static_cast<uint32_t>(STATE_CHANNEL));
    EXPECT_EQ(ctx_get()->channel, joined_main);
}

TEST_F(ListScreens, LanListAt50x10)
{
    reset(50, 10);
    ScreenGrid g = draw(open(STATE_LAN_LIST), 50, 10);
    EXPECT_EQ(g.scrolls, 0);
    EXPECT_EQ(g.text(1), " No|" + std::string(16, ' ') + "Address|         Status| Peers");
    EXPECT_EQ(g.text(2), "  1|" + std::string(14, ' ') + "239.0.0.0|           Join|   N/A");
    EXPECT_EQ(g.text(7), "  6|" + std::string(14, ' ') + "239.0.0.5|           Join|   N/A");
    EXPECT_EQ(g.text(8).substr(0, 6), "F1Help");
    for (int i = 0; i < 7; i++)
        turn(KEY_DOWN);
    g = draw(turn(KEY_NONE, true), 50, 10);
    EXPECT_EQ(ctx_get()->list_offset, 1);
    EXPECT_EQ(g.text(7).substr(0, 4), "  7|");

    // Enter with nothing highlighted asks to join 0.0.0.0, which is refused.
    turn(KEY_ESC);
    open(STATE_LAN_LIST);
    turn(KEY_ENTER);
    EXPECT_EQ(state_get(), static_cast<uint32_t>(STATE_LAN_LIST));
    EXPECT_EQ(jx_list_size(&jx_comm_get()->networks), 0);
    EXPECT_STRNE(ctx_get()->err_feedback, "");
}
