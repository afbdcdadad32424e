// The channel screen: header bar per channel type, status and width, each message type's colour
// and marker, the layout at 80x24 and 50x10 (wrapped lines, messages that do not fit), paging
// through a ring file, hostile names and texts, and its keys.
#include <string>

#include "terminal/screens/channel.hpp"
#include "terminal_fixture.hpp"

using namespace jxtest;

namespace {

// The header bar as drawn at width w; red: the status word in red.
std::string header(int w, const std::string& left, const std::string& type, const std::string& word, bool red)
{
    const size_t fill = static_cast<size_t>(w) - left.size() - type.size() - 6 - word.size();
    return "\r" + std::string(static_cast<size_t>(w), ' ') + "\r" IO_BAR + left + " | " + type + " | " +
           (red ? IO_BRED "\x1b[42m" : "") + word + std::string(fill, ' ') + IO_RESET "\r\n";
}

// What ch_data_bar draws for the open channel at width w.
std::string bar(int w)
{
    ctx_get()->term_w = w;
    io_capture_begin();
    ch_data_bar();
    return io_capture_end();
}

// One-row messages "m<first>".."m<last>" from bob in the channel file fn.
void fill(const char* fn, int first, int last)
{
    for (int i = first; i <= last; i++)
        TermTest::store(fn, MSG_RECEIVED, "bob", ("m" + std::to_string(i)).c_str(), static_cast<uint64_t>(i));
}

// The message texts on rows from..to ("m17", or "" for a row without a message).
Strs msgs(const ScreenGrid& g, int from, int to)
{
    Strs m;
    for (const std::string& row : g.texts(from, to))
        m.push_back(row.find(" >>> ") == std::string::npos ? "" : row.substr(row.find(" >>> ") + 5));
    return m;
}

}  // namespace

using ChannelScreen = TermTest;

TEST_F(ChannelScreen, HeaderBarByChannelTypeStatusAndWidth)
{
    const uint32_t n = ip("224.1.2.3");
    ctx_get()->channel = join("224.1.2.3", NET_OFFLINE);
    EXPECT_EQ(bar(80), header(80, "224.1.2.3", "Main", "offline", true));
    // A direct channel names the peer from 67 columns on; its status is the peer's. A name with
    // escape sequences shows them as plain characters and the bar keeps its width.
    JXPeer* bob = add_peer(n, "10.0.0.7", "\x1b[2J\x1b]0;x\x07z");
    ctx_get()->channel = add_ch(n, ip("10.0.0.7"));
    EXPECT_EQ(bar(67), header(67, "?[2J?]0;x?z | 10.0.0.7@224.1.2.3", "Net DM", "online", false));
    EXPECT_EQ(bar(66), header(66, "10.0.0.7@224.1.2.3", "Net DM", "online", false));
    bob->alive = 0;
    EXPECT_EQ(bar(80), header(80, "?[2J?]0;x?z | 10.0.0.7@224.1.2.3", "Net DM", "offline", true));
    drop_peer(n, "10.0.0.7");
    EXPECT_EQ(bar(80), header(80, "10.0.0.7@224.1.2.3", "Net DM", "offline", true));
    // A private network: the remote host is the network; closed is offline but not red.
    JXChannel* dm = ctx_get()->channel = join("10.9.8.7");
    JXNetwork* dnet = jx_network_by_addr(ip("10.9.8.7"));
    EXPECT_EQ(bar(50), header(50, "10.9.8.7", "Unspec", "online", false));
    dnet->type = NET_DIRECT_IP_OUTGOING;
    dm->type = CH_DM;
    add_peer(ip("10.9.8.7"), "10.9.8.7", "carol");
    EXPECT_EQ(bar(80), header(80, "carol | 10.9.8.7", "DM", "online", false));
    jx_set_network_status(dnet, NET_CLOSED);
    EXPECT_EQ(bar(50), header(50, "10.9.8.7", "DM", "offline", false));
}

TEST_F(ChannelScreen, EveryMessageTypeAt80x24)
{
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
    JXChannel* ch = ctx_get()->channel = join("224.1.2.3");
    ch->unread = 5;
    const std::string out = show(STATE_CHANNEL);
    const ScreenGrid g = grid(out);
    EXPECT_EQ(g.texts(1, 14), Strs(14, ""));
    EXPECT_EQ(g.text(22).substr(0, 16), "F1HelpF2JoinedNe");
    EXPECT_EQ(g.text(23), "[alice]");
    EXPECT_EQ(std::make_tuple(ctx_get()->shown_count, ch->unread), std::make_tuple(uint16_t{7}, uint64_t{0}));
    // Each line: row cleared, its colour, the line, reset.
    const std::pair<const char*, const char*> lines[] = {
        {IO_CYAN, "15:13:20|            bob >>> hello"},
        {IO_RESET, "15:13:21|          alice <<< waiting"},
        {IO_MAGENTA, "15:13:22|         System >>> bob(10.0.0.7) joined"},
        {IO_RED, "15:13:23|          alice xxx lost"},
        {IO_YELLOW, "15:13:24|          alice <x< some"},
        {IO_GREEN, "15:14:25|abcdefghijklmno <<< all"},
        {IO_CYAN, "15:14:26|        ?[2J?[H >>> a?[2Jb?]0;t?c??d?1m?"}};
    for (int i = 0; i < 7; i++) {
        const auto& [colour, line] = lines[i];
        EXPECT_EQ(g.text(15 + i), line);
        EXPECT_NE(out.find("\r" + std::string(80, ' ') + "\r" + colour + line + IO_RESET "\r\n"),
                  std::string::npos)
            << i;
    }
}

TEST_F(ChannelScreen, LayoutAt50x10WithWrappedAndOversizedLines)
{
    reset(50, 10);
    const char* fn = "030201e0";
    fill(fn, 0, 1);
    store(fn, MSG_SENT, "alice", "abcdefghijklmnopqrstuvwxyz0123");  // 29 + 30 = 59 columns: two rows
    store(fn, MSG_RECEIVED, "bob", "123456789012345678901");         // 29 + 21 = 50: exactly one
    fill(fn, 4, 6);
    ctx_get()->channel = join("224.1.2.3");
    ScreenGrid g = grid(show(STATE_CHANNEL));
    // Seven rows for messages: m1, the wrapped line on two rows, then four more; m0 does not fit.
    EXPECT_EQ(g.texts(0, 9),
              (Strs{"224.1.2.3 | Main | online", "15:13:20|            bob >>> m1",
                    "15:13:20|          alice <<< abcdefghijklmnopqrstu", "vwxyz0123",
                    "15:13:20|            bob >>> 123456789012345678901", "15:13:20|            bob >>> m4",
                    "15:13:20|            bob >>> m5", "15:13:20|            bob >>> m6",
                    "F1HelpF2JNsF3AddrsF4ChsF5PeersF6DlsF7UlsF8Ch", "[alice]"}));
    EXPECT_EQ(ctx_get()->shown_count, 6);
    // A line that needs h - 2 rows or more is never shown: as the newest, the area stays empty
    // and paging back does not move past it. (29 + 322) / 50 rounds up to 8 rows.
    store(fn, MSG_RECEIVED, "bob", std::string(322, 'x').c_str());
    EXPECT_EQ(grid(turn(KEY_NONE, true)).texts(1, 7), Strs(7, ""));
    EXPECT_EQ(ctx_get()->shown_count, 0);
    EXPECT_EQ(grid(turn(KEY_UP)).texts(1, 7), Strs(7, ""));
    EXPECT_EQ(ctx_get()->list_offset, 0);
}

TEST_F(ChannelScreen, PagingThroughARingThatWrapped)
{
    reset(80, 23);             // 20 rows of messages
    fill("030201e0", 1, 130);  // the ring holds m31..m130, the newest in slot 30
    ctx_get()->channel = join("224.1.2.3");
    ScreenGrid g = grid(show(STATE_CHANNEL));
    EXPECT_EQ(msgs(g, 1, 20).front() + " " + msgs(g, 1, 20).back(), "m111 m130");
    // {key, offset after, oldest message shown}: the oldest on screen stops Up, the newest Down.
    const struct {
        uint8_t key;
        uint16_t offset;
        int first;
    } steps[] = {{KEY_UP, 20, 91},   {KEY_UP, 40, 71},   {KEY_UP, 60, 51},   {KEY_UP, 80, 31},
                 {KEY_UP, 80, 31},   {KEY_DOWN, 60, 51}, {KEY_DOWN, 40, 71}, {KEY_DOWN, 20, 91},
                 {KEY_DOWN, 0, 111}, {KEY_DOWN, 0, 111}};
    for (const auto& s : steps) {
        SCOPED_TRACE(s.first);
        const Strs m = msgs(grid(turn(s.key)), 1, 20);
        EXPECT_EQ(ctx_get()->list_offset, s.offset);
        EXPECT_EQ(m.front() + " " + m.back(),
                  "m" + std::to_string(s.first) + " m" + std::to_string(s.first + 19));
    }
    // Scrolled back, new messages do not pull the view: it stays as many messages back.
    turn(KEY_UP);
    fill("030201e0", 131, 131);
    Strs m = msgs(grid(turn(KEY_NONE, true)), 1, 20);
    EXPECT_EQ(std::make_tuple(ctx_get()->list_offset, m.front(), m.back()),
              std::make_tuple(uint16_t{20}, "m92", "m111"));
    // A view one message back: a page newer shows only the newest, nothing of the oldest after it.
    ctx_get()->list_offset = 1;
    ctx_get()->shown_count = 1;
    m = msgs(grid(turn(KEY_DOWN)), 19, 20);
    EXPECT_EQ(std::make_tuple(ctx_get()->list_offset, m[0], m[1]), std::make_tuple(uint16_t{0}, "", "m131"));
    // Reopening the screen starts at the newest again.
    EXPECT_EQ(msgs(grid(show(STATE_CHANNEL)), 20, 20), Strs{"m131"});
}

TEST_F(ChannelScreen, KeysTypedLinesAndEvents)
{
    const uint32_t n = ip("224.1.2.3");
    JXChannel* ch = ctx_get()->channel = join("224.1.2.3", NET_OFFLINE);
    // No file yet: an empty area, and none is made by looking.
    EXPECT_EQ(grid(show(STATE_CHANNEL)).texts(1, 21), Strs(21, ""));
    EXPECT_FALSE(std::filesystem::exists(root / "msg" / "030201e0"));
    // Typed text stays between turns; Enter sends it and clears the line. Refused on an offline
    // network: only the prompt row is drawn again, with the error, until the next key.
    type("hi");
    turn();
    EXPECT_EQ(turn(KEY_ENTER),
              IO_RESET "\r" + std::string(80, ' ') + "\r" IO_RED "Error: Network offline" IO_RESET);
    EXPECT_EQ(ctx_get()->input[0], '\0');
    // A text received on this channel redraws it in the same turn.
    jx_set_network_status(jx_network_by_addr(n), NET_ONLINE);
    raise(EV_TXT_RECEIVED, jx_build_msg_ev("yo", 2, CH_MAIN, 3, n, ip("10.0.0.7"), kNow, "bob"));
    EXPECT_EQ(grid(turn()).text(21), "15:13:20|            bob >>> yo");
    // Escape goes home and forgets the line and the selections, not the channel.
    type("draft");
    ctx_get()->sel_addr = n;
    ctx_get()->sel_peer = 1;
    turn(KEY_ESC);
    EXPECT_EQ(std::make_tuple(state_get(), ctx_get()->input[0], ctx_get()->sel_addr, ctx_get()->sel_peer,
                              ctx_get()->channel),
              std::make_tuple(uint32_t{STATE_START}, '\0', 0u, 0u, ch));
}
