// The channel screen: header bar per channel type, status and width, each message type's colour
// and marker, the layout at 80x24 and 50x10 (wrapped lines, messages that do not fit, one taller
// than the area), paging through a ring file, hostile names and texts, and the typed line.
#include <string>

#include "terminal/screens/channel.hpp"
#include "terminal_fixture.hpp"

class ChannelScreen : public TermTest {
  protected:
    // ch_data_bar at width w draws left, type and status word (red: in red), filled to the width.
    static void expect_bar(int w, const std::string& left, const std::string& type, const std::string& word,
                           bool red = false)
    {
        ctx_get()->term_w = w;
        io_capture_begin();
        ch_data_bar();
        EXPECT_EQ(io_capture_end(), "\r" + pad(w) + "\r" IO_BAR + left + " | " + type + " | " +
                                        (red ? IO_BRED "\x1b[42m" : "") + word +
                                        pad(w - left.size() - type.size() - 6 - word.size()) +
                                        IO_RESET "\r\n");
    }
    // One-row messages "m<first>".."m<last>" from bob in 030201e0 (224.1.2.3's main channel).
    static void fill(int first, int last)
    {
        for (int i = first; i <= last; i++)
            store("030201e0", MSG_RECEIVED, "bob", ("m" + std::to_string(i)).c_str());
    }
    // The texts of the first and last messages on rows 1..20.
    static std::string span(const std::string& out)
    {
        const Strs m = screen(out, 1, 20);
        return m.front().substr(m.front().find(">>> ") + 4) + " " +
               m.back().substr(m.back().find(">>> ") + 4);
    }
};

TEST_F(ChannelScreen, HeaderBarByChannelTypeStatusAndWidth)
{
    const uint32_t n = (ctx_get()->channel = join("224.1.2.3", NET_OFFLINE))->net_addr;
    expect_bar(80, "224.1.2.3", "Main", "offline", true);
    // A direct channel names the peer from 67 columns on; it is online while the peer is listed,
    // also when just back (not heard twice yet). A name with escape sequences shows them as plain
    // characters and the bar keeps its width.
    add_peer(n, "10.0.0.7", "\x1b[2J\x1b]0;x\x07z")->alive = 0;
    ctx_get()->channel = add_ch(n, ip("10.0.0.7"));
    expect_bar(67, "?[2J?]0;x?z | 10.0.0.7@224.1.2.3", "Net DM", "online");
    expect_bar(66, "10.0.0.7@224.1.2.3", "Net DM", "online");
    drop_peer(n, "10.0.0.7");
    expect_bar(80, "10.0.0.7@224.1.2.3", "Net DM", "offline", true);
    // A private network: the remote host is the network; closed is offline but not red.
    (ctx_get()->channel = join("10.9.8.7"))->type = CH_DM;
    jx_network_by_addr(ip("10.9.8.7"))->type = NET_DIRECT_IP_OUTGOING;
    add_peer(ip("10.9.8.7"), "10.9.8.7", "carol");
    expect_bar(80, "carol | 10.9.8.7", "DM", "online");
    jx_set_network_status(jx_network_by_addr(ip("10.9.8.7")), NET_CLOSED);
    expect_bar(50, "10.9.8.7", "DM", "offline");
}

TEST_F(ChannelScreen, EveryMessageTypeAndTheTypedLineAt80x24)
{
    JXChannel* ch = ctx_get()->channel = join("224.1.2.3", NET_OFFLINE);
    // No file yet: an empty area, and none is made by looking. Typed text stays between turns;
    // Enter sends it and clears the line. Refused on an offline network: only the prompt row is
    // drawn again, with the error, until the next key.
    EXPECT_EQ(screen(show(STATE_CHANNEL), 1, 21), Strs(21, ""));
    strcpy(ctx_get()->input, "hi");
    turn();
    EXPECT_EQ(turn(KEY_ENTER), IO_RESET "\r" + pad(80) + "\r" IO_RED "Error: Network offline" IO_RESET);
    EXPECT_EQ(std::make_pair(ctx_get()->input[0], std::filesystem::exists(root / "msg" / "030201e0")),
              std::make_pair('\0', false));
    // Each kind of line has its colour and marker; names and texts from other hosts show control
    // bytes as '?', so none can act on the terminal.
    // clang-format off
    const std::tuple<uint8_t, const char*, const char*, const char*, const char*> lines[] = {
        {MSG_SENT, "alice", "waiting", IO_RESET, "15:13:20|          alice <<< waiting"},
        {MSG_NOTICE, "", "bob joined", IO_MAGENTA, "15:13:21|         System >>> bob joined"},
        {MSG_UNDELIVERED, "alice", "lost", IO_RED, "15:13:22|          alice xxx lost"},
        {MSG_PARTLY_UNDELIVERED, "alice", "some", IO_YELLOW, "15:13:23|          alice <x< some"},
        {MSG_DELIVERED, "abcdefghijklmno", "all", IO_GREEN, "15:13:24|abcdefghijklmno <<< all"},
        {MSG_RECEIVED, "\x1b[2J\x1b[H", "a\x1b[2Jb\x1b]0;t\x07" "c\r\nd\x9b" "1m\xc2\x9b", IO_CYAN,
         "15:13:25|        ?[2J?[H >>> a?[2Jb?]0;t?c??d?1m?"}};
    // clang-format on
    uint64_t i = 0;
    for (const auto& [type, user, text, colour, line] : lines)
        store("030201e0", type, user, text, kNow + i++);
    ch->unread = 5;
    const std::string out = turn(KEY_NONE, true);
    EXPECT_EQ(std::make_tuple(ctx_get()->shown_count, ch->unread, screen_row(out, 21)),
              std::make_tuple(uint16_t{6}, uint64_t{0}, std::get<4>(lines[5])));
    // In order: each row cleared, its colour, the line, reset.
    size_t pos = 0;
    for (const auto& [type, user, text, colour, line] : lines) {
        pos = out.find("\r" + pad(80) + "\r" + colour + line + IO_RESET "\r\n", pos);
        EXPECT_NE(pos, std::string::npos) << line;
    }
}

TEST_F(ChannelScreen, LayoutAt50x10AndPagingThroughARingThatWrapped)
{
    reset(50, 10);
    fill(0, 1);
    store("030201e0", MSG_SENT, "alice", "the quick brown fox jumps over");  // 29 + 30 = 59: two rows
    store("030201e0", MSG_RECEIVED, "bob", "123456789012345678901");         // 29 + 21 = 50: exactly one
    fill(4, 6);
    JXChannel* ch = ctx_get()->channel = join("224.1.2.3");
    // Seven rows for messages: m1, the line wrapped at its last blank that fits, four more; m0 does
    // not fit.
    EXPECT_EQ(screen(show(STATE_CHANNEL)),
              (Strs{"224.1.2.3 | Main | online", "15:13:20|            bob >>> m1",
                    "15:13:20|          alice <<< the quick brown fox", "jumps over",
                    "15:13:20|            bob >>> 123456789012345678901", "15:13:20|            bob >>> m4",
                    "15:13:20|            bob >>> m5", "15:13:20|            bob >>> m6",
                    "F1HelpF2JNsF3AddrsF4ChsF5PeersF6DlsF7UlsF8Ch", "[alice]"}));
    // A line taller than the area (21 + 6 * 50 + 1 characters: 8 rows) shows its last 7 rows and
    // counts as shown: paging goes past it and back.
    store("030201e0", MSG_RECEIVED, "bob", (std::string(321, 'x') + "y").c_str());
    Strs tall(6, std::string(50, 'x'));
    tall.push_back("y");
    EXPECT_EQ(screen(turn(KEY_NONE, true), 1, 7), tall);
    EXPECT_EQ(screen(turn(KEY_UP), 2, 7).back(), "15:13:20|            bob >>> m6");
    EXPECT_EQ(ctx_get()->list_offset, 1);
    EXPECT_EQ(screen(turn(KEY_DOWN), 1, 7), tall);
    EXPECT_EQ(ctx_get()->list_offset, 0);

    // 20 rows of messages; the ring holds m31..m130, the newest in slot 30. {key, offset after,
    // oldest message shown}: the oldest on screen stops Up, the newest Down; the page keys page too.
    reset(80, 23);
    ctx_get()->channel = ch;
    fill(8, 130);
    EXPECT_EQ(span(show(STATE_CHANNEL)), "m111 m130");
    // clang-format off
    const std::tuple<uint8_t, uint16_t, int> steps[] = {{KEY_UP, 20, 91}, {KEY_PGUP, 40, 71}, {KEY_UP, 60, 51},
        {KEY_UP, 80, 31}, {KEY_UP, 80, 31}, {KEY_DOWN, 60, 51}, {KEY_PGDN, 40, 71}, {KEY_DOWN, 20, 91},
        {KEY_DOWN, 0, 111}, {KEY_DOWN, 0, 111}};
    // clang-format on
    for (const auto& [key, offset, first] : steps) {
        EXPECT_EQ(span(turn(key)), "m" + std::to_string(first) + " m" + std::to_string(first + 19));
        EXPECT_EQ(ctx_get()->list_offset, offset) << first;
    }
    // Scrolled back, new messages do not pull the view: it stays as many messages back. A view
    // one message back: a page newer shows only the newest, nothing of the oldest after it.
    turn(KEY_UP);
    fill(131, 131);
    EXPECT_EQ(span(turn(KEY_NONE, true)), "m92 m111");
    ctx_get()->list_offset = ctx_get()->shown_count = 1;
    EXPECT_EQ(screen(turn(KEY_DOWN), 19, 20), (Strs{"", "15:13:20|            bob >>> m131"}));
    EXPECT_EQ(ctx_get()->list_offset, 0);
}
