// The channel screen: header bar per channel type and width, each message type's colour and
// marker, the layout at 80x24 and 50x10 (wrapped lines, messages that do not fit), paging through
// a ring file, hostile names and texts, and its keys.
#include <string>

#include "chat_fixture.hpp"
#include "terminal/screens/channel.hpp"

using namespace chat_test;

namespace {

// The header bar as drawn at width w; red: the status word in red.
std::string header(int w, const std::string& left, const std::string& type, const std::string& word, bool red)
{
    const size_t fill = static_cast<size_t>(w) - left.size() - type.size() - 6 - word.size();
    return "\r" + std::string(static_cast<size_t>(w), ' ') + "\r" IO_BAR + left + " | " + type + " | " +
           (red ? IO_BRED "\x1b[42m" : "") + word + std::string(fill, ' ') + IO_RESET "\r\n";
}

// The text of the message drawn on row r ("m17"), or the row itself when it holds none.
std::string msg_at(const ScreenGrid& g, int r)
{
    std::string row = g.text(r);
    size_t at = row.find(" >>> ");
    return at == std::string::npos ? row : row.substr(at + 5);
}

}  // namespace

class ChannelScreen : public ChatTest {
  protected:
    // What ch_data_bar draws for the open channel at width w.
    std::string bar(int w)
    {
        ctx_get()->term_w = w;
        io_capture_begin();
        ch_data_bar();
        return io_capture_end();
    }
    // Opens the channel screen on ch and returns the grid of the full drawing.
    ScreenGrid open(JXChannel* ch)
    {
        ctx_get()->channel = ch;
        return grid(show(STATE_CHANNEL));
    }
    // One-row messages "m<first>".."m<last>" in the channel file fn.
    static void fill(const char* fn, int first, int last)
    {
        for (int i = first; i <= last; i++)
            store(fn, MSG_RECEIVED, "bob", ("m" + std::to_string(i)).c_str(), static_cast<uint64_t>(i));
    }
};

TEST_F(ChannelScreen, HeaderBarByChannelTypeStatusAndWidth)
{
    const uint32_t n = ip("224.1.2.3");
    ctx_get()->channel = join("224.1.2.3");
    EXPECT_EQ(bar(80), header(80, "224.1.2.3", "Main", "online", false));
    jx_set_network_status(jx_network_by_addr(n), NET_OFFLINE);
    EXPECT_EQ(bar(80), header(80, "224.1.2.3", "Main", "offline", true));
    jx_set_network_status(jx_network_by_addr(n), NET_ONLINE);

    // A direct channel names the peer from 67 columns on; its status is the peer's.
    JXPeer* bob = add_peer(n, "10.0.0.7", "bob");
    ctx_get()->channel = add_ch(n, ip("10.0.0.7"));
    EXPECT_EQ(bar(67), header(67, "bob | 10.0.0.7@224.1.2.3", "Net DM", "online", false));
    EXPECT_EQ(bar(66), header(66, "10.0.0.7@224.1.2.3", "Net DM", "online", false));
    bob->alive = 0;
    EXPECT_EQ(bar(80), header(80, "bob | 10.0.0.7@224.1.2.3", "Net DM", "offline", true));
    // A name with escape sequences shows them as plain characters; the bar keeps its width.
    snprintf(bob->username, sizeof bob->username, "\x1b[2J\x1b]0;x\x07z");
    bob->alive = 1;
    EXPECT_EQ(bar(80), header(80, "?[2J?]0;x?z | 10.0.0.7@224.1.2.3", "Net DM", "online", false));
    // The peer gone: offline, and no name to show.
    drop_peer(n, "10.0.0.7");
    EXPECT_EQ(bar(80), header(80, "10.0.0.7@224.1.2.3", "Net DM", "offline", true));

    // A private network: the remote host is the network; closed is offline but not red.
    JXChannel* dm = join("10.9.8.7");
    JXNetwork* dnet = jx_network_by_addr(ip("10.9.8.7"));
    dnet->type = NET_DIRECT_IP_OUTGOING;
    dm->type = CH_DM;
    add_peer(ip("10.9.8.7"), "10.9.8.7", "carol");
    ctx_get()->channel = dm;
    EXPECT_EQ(bar(80), header(80, "carol | 10.9.8.7", "DM", "online", false));
    EXPECT_EQ(bar(50), header(50, "10.9.8.7", "DM", "online", false));
    jx_set_network_status(dnet, NET_CLOSED);
    EXPECT_EQ(bar(50), header(50, "10.9.8.7", "DM", "offline", false));

    // A network that never answered.
    ctx_get()->channel = join("10.0.0.1", NET_OFFLINE);
    EXPECT_EQ(bar(50), header(50, "10.0.0.1", "Unspec", "offline", true));
}

TEST_F(ChannelScreen, EveryMessageTypeAt80x24)
{
    JXChannel* ch = join("224.1.2.3");
    const char* fn = "030201e0";
    store(fn, MSG_RECEIVED, "bob", "hello", 1, kNow);
    store(fn, MSG_SENT, "alice", "waiting", 2, kNow + 1);
    store(fn, MSG_NOTICE, "", "bob(10.0.0.7) joined", 0, kNow + 2);
    store(fn, MSG_UNDELIVERED, "alice", "lost", 3, kNow + 3);
    store(fn, MSG_PARTLY_UNDELIVERED, "alice", "some", 4, kNow + 4);
    store(fn, MSG_DELIVERED, "abcdefghijklmno", "all", 5, kNow + 65);
    // Names and texts from other hosts show control bytes as '?', so none can act on the terminal.
    store(fn, MSG_RECEIVED, "\x1b[2J\x1b[H",
          "a\x1b[2Jb\x1b]0;t\x07"
          "c\r\nd\x9b"
          "1m\xc2\x9b",
          6, kNow + 66);
    ch->unread = 5;

    ctx_get()->channel = ch;
    const std::string out = show(STATE_CHANNEL);
    ScreenGrid g = grid(out);
    for (int r = 1; r < 15; r++)
        EXPECT_EQ(g.text(r), "") << r;
    EXPECT_EQ(g.text(22).substr(0, 16), "F1HelpF2JoinedNe");
    EXPECT_EQ(g.text(23), "[alice]");
    EXPECT_EQ(ctx_get()->shown_count, 7);
    EXPECT_EQ(ch->unread, 0u);

    // Each line: row cleared, its colour, the line, reset.
    const std::string lines[] = {IO_CYAN "15:13:20|            bob >>> hello",
                                 IO_RESET "15:13:21|          alice <<< waiting",
                                 IO_MAGENTA "15:13:22|         System >>> bob(10.0.0.7) joined",
                                 IO_RED "15:13:23|          alice xxx lost",
                                 IO_YELLOW "15:13:24|          alice <x< some",
                                 IO_GREEN "15:14:25|abcdefghijklmno <<< all",
                                 IO_CYAN "15:14:26|        ?[2J?[H >>> a?[2Jb?]0;t?c??d?1m?"};
    for (int i = 0; i < 7; i++) {
        EXPECT_EQ(g.text(15 + i), strip_csi(lines[i]));
        EXPECT_NE(out.find("\r" + std::string(80, ' ') + "\r" + lines[i] + IO_RESET "\r\n"),
                  std::string::npos)
            << lines[i];
    }
}

TEST_F(ChannelScreen, LayoutAt50x10WithWrappedAndOversizedLines)
{
    reset(50, 10);
    const uint32_t n = ip("224.1.2.3");
    join("224.1.2.3");
    add_peer(n, "10.0.0.7", "bob");
    JXChannel* dm = add_ch(n, ip("10.0.0.7"));
    const char* fn = "030201e0_0700000a";
    fill(fn, 0, 1);
    store(fn, MSG_SENT, "alice", "abcdefghijklmnopqrstuvwxyz0123");  // 29 + 30 = 59 columns: two rows
    store(fn, MSG_RECEIVED, "bob", "123456789012345678901");         // 29 + 21 = 50: exactly one
    fill(fn, 4, 6);

    ScreenGrid g = open(dm);
    EXPECT_EQ(g.text(0), "10.0.0.7@224.1.2.3 | Net DM | online");
    // Seven rows for messages: m1, the wrapped line on two rows, then four more; m0 does not fit.
    EXPECT_EQ(g.text(1), "15:13:20|            bob >>> m1");
    EXPECT_EQ(g.text(2), "15:13:20|          alice <<< abcdefghijklmnopqrstu");
    EXPECT_EQ(g.text(3), "vwxyz0123");
    EXPECT_EQ(g.text(4), "15:13:20|            bob >>> 123456789012345678901");
    EXPECT_EQ(g.text(5), "15:13:20|            bob >>> m4");
    EXPECT_EQ(g.text(7), "15:13:20|            bob >>> m6");
    EXPECT_EQ(g.text(8), "F1HelpF2JNsF3AddrsF4ChsF5PeersF6DlsF7UlsF8Ch");
    EXPECT_EQ(g.text(9), "[alice]");
    EXPECT_EQ(ctx_get()->shown_count, 6);

    // A line that needs h - 2 rows or more is never shown: as the newest, the area stays empty
    // and paging back does not move past it. (29 + 322) / 50 rounds up to 8 rows.
    store(fn, MSG_RECEIVED, "bob", std::string(322, 'x').c_str());
    g = grid(turn(KEY_NONE, true));
    for (int r = 1; r < 8; r++)
        EXPECT_EQ(g.text(r), "") << r;
    EXPECT_EQ(ctx_get()->shown_count, 0);
    g = grid(turn(KEY_UP));
    EXPECT_EQ(g.text(7), "");
    EXPECT_EQ(ctx_get()->list_offset, 0);
}

TEST_F(ChannelScreen, PagingThroughAHundredMessages)
{
    reset(80, 23);  // 20 rows of messages
    JXChannel* ch = join("224.1.2.3");
    fill("030201e0", 1, 100);

    ScreenGrid g = open(ch);
    EXPECT_EQ(msg_at(g, 1), "m81");
    EXPECT_EQ(msg_at(g, 20), "m100");
    EXPECT_EQ(ctx_get()->shown_count, 20);

    const struct {
        uint8_t key;
        uint16_t offset;
        int first;
    } steps[] = {
        {KEY_UP, 20, 61},   {KEY_UP, 40, 41},   {KEY_UP, 60, 21},
        {KEY_UP, 80, 1},    {KEY_UP, 80, 1},  // the oldest is on screen: no move
        {KEY_DOWN, 60, 21}, {KEY_DOWN, 40, 41}, {KEY_DOWN, 20, 61},
        {KEY_DOWN, 0, 81},  {KEY_DOWN, 0, 81},  // the newest is at the bottom: no move
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.first);
        g = grid(turn(s.key));
        EXPECT_EQ(ctx_get()->list_offset, s.offset);
        EXPECT_EQ(msg_at(g, 1), "m" + std::to_string(s.first));
        EXPECT_EQ(msg_at(g, 20), "m" + std::to_string(s.first + 19));
        EXPECT_EQ(ctx_get()->scroll_req, 0);
    }

    // Scrolled back, new messages do not pull the view: it stays as many messages back.
    turn(KEY_UP);
    fill("030201e0", 101, 101);
    g = grid(turn(KEY_NONE, true));
    EXPECT_EQ(ctx_get()->list_offset, 20);
    EXPECT_EQ(msg_at(g, 1), "m62");
    EXPECT_EQ(msg_at(g, 20), "m81");

    // Reopening the screen starts at the newest again.
    g = grid(show(STATE_CHANNEL));
    EXPECT_EQ(ctx_get()->list_offset, 0);
    EXPECT_EQ(msg_at(g, 20), "m101");
}

TEST_F(ChannelScreen, PagingAcrossTheRingsWrap)
{
    reset(80, 23);
    JXChannel* ch = join("224.1.2.3");
    fill("030201e0", 1, 130);  // the ring holds m31..m130, the newest in slot 30

    ScreenGrid g = open(ch);
    EXPECT_EQ(msg_at(g, 1), "m111");
    EXPECT_EQ(msg_at(g, 20), "m130");
    g = grid(press(std::vector<uint8_t>(5, KEY_UP)));
    EXPECT_EQ(ctx_get()->list_offset, 80);
    EXPECT_EQ(msg_at(g, 1), "m31");
    EXPECT_EQ(msg_at(g, 20), "m50");
    // Three pages newer: slots 91..100 and 1..10.
    g = grid(press({KEY_DOWN, KEY_DOWN, KEY_DOWN}));
    EXPECT_EQ(msg_at(g, 1), "m91");
    EXPECT_EQ(msg_at(g, 20), "m110");

    // A view one message back: a page newer shows only the newest, nothing of the oldest after it.
    ctx_get()->list_offset = 1;
    ctx_get()->shown_count = 1;
    g = grid(turn(KEY_DOWN));
    EXPECT_EQ(ctx_get()->list_offset, 0);
    EXPECT_EQ(ctx_get()->shown_count, 1);
    EXPECT_EQ(msg_at(g, 19), "");
    EXPECT_EQ(msg_at(g, 20), "m130");
}

TEST_F(ChannelScreen, KeysTypedLinesAndEvents)
{
    const uint32_t n = ip("224.1.2.3");
    JXChannel* ch = join("224.1.2.3", NET_OFFLINE);
    // No file yet: an empty area, and none is made by looking.
    ScreenGrid g = open(ch);
    for (int r = 1; r < 22; r++)
        EXPECT_EQ(g.text(r), "") << r;
    EXPECT_FALSE(msg_exists("030201e0"));

    // Typed text stays between turns; Enter sends it and clears the line. Refused on an offline
    // network: only the prompt row is drawn again, with the error, until the next key.
    type("hi");
    turn();
    EXPECT_STREQ(ctx_get()->input, "hi");
    EXPECT_EQ(turn(KEY_ENTER),
              IO_RESET "\r" + std::string(80, ' ') + "\r" IO_RED "Error: Network offline" IO_RESET);
    EXPECT_EQ(ctx_get()->input[0], '\0');

    // A text received on this channel redraws it in the same turn.
    jx_set_network_status(jx_network_by_addr(n), NET_ONLINE);
    raise(EV_TXT_RECEIVED, jx_build_msg_ev("yo", 2, CH_MAIN, 3, n, ip("10.0.0.7"), kNow, "bob"));
    EXPECT_EQ(grid(turn()).text(21), "15:13:20|            bob >>> yo");

    // Function keys work here; Escape goes home and forgets the line and selections.
    turn(KEY_F4);
    EXPECT_EQ(state_get(), STATE_CHANNEL_LIST);
    turn(KEY_F8);
    EXPECT_EQ(state_get(), STATE_CHANNEL);
    type("draft");
    ctx_get()->sel_addr = n;
    ctx_get()->sel_peer = 1;
    turn(KEY_ESC);
    EXPECT_EQ(state_get(), STATE_START);
    EXPECT_EQ(ctx_get()->input[0], '\0');
    EXPECT_EQ(ctx_get()->sel_addr, 0u);
    EXPECT_EQ(ctx_get()->sel_peer, 0u);
    EXPECT_EQ(ctx_get()->channel, ch);
}
