// Screens and their switching: home layout, help paging and the state machine.
#include <cstring>
#include <string>

#include "terminal/screens/screens.hpp"
#include "terminal_fixture.hpp"

using Screens = TermTest;

namespace {

int find_row(const ScreenGrid& g, const std::string& needle)
{
    for (int r = 0; r < g.h; r++)
        if (g.rows[r].find(needle) != std::string::npos)
            return r;
    return -1;
}

bool redrawn(const std::string& out)
{
    return out.find("\x1b[2J") != std::string::npos;
}

}  // namespace

TEST_F(Screens, HomeLayoutAt80x24)
{
    // A username with control bytes shows them as '?', one column each.
    strcpy(jx_comm_get()->username, "\x1b]0;pwn\x07\x1b[2J");
    ScreenGrid g = grid(turn());
    EXPECT_EQ(g.text(0), JX_DOC_URL);
    // The five-line banner, 48 columns centred.
    EXPECT_EQ(g.rows[1].find('#'), 16u + 3u);
    EXPECT_EQ(g.text(1).size(), 16u + 48u);
    EXPECT_EQ(g.rows[6], std::string(80, ' '));
    EXPECT_EQ(g.rows[15], std::string(80, ' '));
    EXPECT_EQ(g.text(16), "Client Details");
    EXPECT_EQ(g.rows[17].substr(0, 25), "Client version:    v0.7.0");
    EXPECT_EQ(g.rows[17].substr(40, 13), "Compiled on: ");  // the right column starts at w / 2
    EXPECT_EQ(g.rows[18], "Username:    ?]0;pwn??[2J" + std::string(15, ' ') + "Joined networks:        0" +
                              std::string(15, ' '));
    EXPECT_EQ(g.rows[19].substr(0, 25), "Active dloads:          0");
    EXPECT_EQ(g.rows[19].substr(40, 25), "Active uloads:          0");
    EXPECT_EQ(g.rows[20].substr(0, 25), "Finished dloads:        0");
    EXPECT_EQ(g.rows[20].substr(40, 25), "Finished uloads:        0");
    EXPECT_EQ(g.text(21), "Terminal size:      80x24");
    EXPECT_EQ(g.text(22).substr(0, 6), "F1Help");
    EXPECT_EQ(g.text(23), "[?]0;pwn??[2J]");

    // Nothing changed: an idle screen writes nothing at all.
    EXPECT_EQ(turn(), "");
}

TEST_F(Screens, HomeLayoutAt14And15Rows)
{
    reset(80, 14);
    ScreenGrid small = grid(turn());
    EXPECT_EQ(small.text(1), std::string(37, ' ') + "JEXLEY");
    EXPECT_EQ(find_row(small, "Client Details"), -1);
    EXPECT_EQ(find_row(small, "#"), -1);
    EXPECT_EQ(find_row(small, "Client version:"), 7);
    EXPECT_EQ(find_row(small, "Terminal size:"), 11);
    for (int r = 2; r < 7; r++)
        EXPECT_EQ(small.text(r), "") << r;

    reset(80, 15);
    ScreenGrid tall = grid(turn());
    for (int r = 1; r <= 5; r++)
        EXPECT_NE(tall.rows[r].find('#'), std::string::npos) << r;
    EXPECT_EQ(tall.text(6), "");
    EXPECT_EQ(tall.text(7), "Client Details");
    EXPECT_EQ(find_row(tall, "Client version:"), 8);
    EXPECT_EQ(tall.text(12), "Terminal size:      80x15");

    // The smallest window: title, banner, one empty row, details, key bar, prompt.
    reset(50, 10);
    ScreenGrid least = grid(turn());
    EXPECT_EQ(least.text(2), "");
    EXPECT_EQ(find_row(least, "Client version:"), 3);
    EXPECT_EQ(least.rows[3].substr(25, 13), "Compiled on: ");  // no pad at 50 columns
}

TEST_F(Screens, HomeKeys)
{
    turn();
    // Enter on an empty line does nothing; typed text stays between keys.
    EXPECT_EQ(strip_csi(turn(KEY_ENTER)), "\r" + std::string(80, ' ') + "\r\r[alice] ");
    type("/he");
    turn();
    type("lpme");
    // An unknown command is refused on the prompt row and the line is cleared; the next key
    // clears the message.
    EXPECT_EQ(strip_csi(turn(KEY_ENTER)), "\r" + std::string(80, ' ') + "\rError: Unsupported command!");
    EXPECT_STREQ(ctx_get()->input, "");
    EXPECT_EQ(state_get(), STATE_START);
    EXPECT_EQ(strip_csi(turn(KEY_LEFT)), "\r" + std::string(80, ' ') + "\r\r[alice] ");

    // /help opens the help page, drawn completely in the same turn.
    type("/help");
    ScreenGrid g = grid(turn(KEY_ENTER));
    EXPECT_EQ(state_get(), STATE_HELP);
    EXPECT_EQ(g.text(0), "Help");

    // Esc on help returns home; Esc on home ends the program.
    EXPECT_EQ(grid(turn(KEY_ESC)).text(0), JX_DOC_URL);
    turn(KEY_ESC);
    EXPECT_EQ(state_get(), STATE_EXIT);
}

TEST_F(Screens, HelpPagingAt80x24)
{
    ScreenGrid g = grid(show(STATE_HELP));
    EXPECT_EQ(g.text(1), "");
    EXPECT_EQ(g.text(2), "Jexley is a networking tool for messaging and data exchange between computers co");
    EXPECT_EQ(g.text(3), "nnected through a LAN.");
    EXPECT_EQ(g.text(5), "Hotkeys");
    EXPECT_EQ(find_row(g, "For a complete documentation"), -1);

    // Up at the top: not even a redraw.
    EXPECT_FALSE(redrawn(turn(KEY_UP)));
    int redraws = 0;
    for (int i = 0; i < 10; i++) {
        std::string out = turn(KEY_DOWN);
        if (redrawn(out)) {
            redraws++;
            g = grid(out);
        }
    }
    EXPECT_EQ(redraws, 7);
    EXPECT_EQ(g.text(21), std::string("For a complete documentation check out ") + JX_DOC_URL);
    EXPECT_EQ(g.text(1), "F3 - List of predefined multicast IPs to join(LAN)");  // page row 7

    // Up once scrolls back and lets Down work again.
    EXPECT_TRUE(redrawn(turn(KEY_UP)));
    EXPECT_TRUE(redrawn(turn(KEY_DOWN)));
    EXPECT_FALSE(redrawn(turn(KEY_DOWN)));

    // Leaving and coming back opens the page at its top.
    turn(KEY_ESC);
    EXPECT_EQ(grid(turn(KEY_F1)).text(5), "Hotkeys");
}

TEST_F(Screens, HelpPagingAt50Columns)
{
    reset(50, 24);
    ScreenGrid g = grid(show(STATE_HELP));
    // The description takes three rows; a line of exactly 50 characters takes one.
    EXPECT_EQ(g.text(2), "Jexley is a networking tool for messaging and data");
    EXPECT_EQ(g.text(3), " exchange between computers connected through a LA");
    EXPECT_EQ(g.text(4), "N.");
    EXPECT_EQ(g.text(6), "Hotkeys");
    EXPECT_EQ(g.text(9), "F3 - List of predefined multicast IPs to join(LAN)");
    EXPECT_EQ(g.text(10), "F4 - List of channels with details (Main and DMs)");

    // 29 page rows; the 62-character documentation line needs two free rows, so it shows after
    // nine steps down, cut to one row.
    int redraws = 0;
    for (int i = 0; i < 12; i++) {
        std::string out = turn(KEY_DOWN);
        if (redrawn(out)) {
            redraws++;
            g = grid(out);
            EXPECT_EQ(find_row(g, "For a complete") != -1, redraws == 9) << redraws;
        }
    }
    EXPECT_EQ(redraws, 9);
    EXPECT_EQ(g.text(20), "For a complete documentation check out https://jex");
    EXPECT_EQ(g.text(21), "");
}

TEST_F(Screens, StateSetTwiceInOneTurnTakesTheLast)
{
    TermData* t = ctx_get();
    t->list_offset = 5;
    t->sel_peer = 9;
    state_set(STATE_CHANNEL_LIST);  // its init would reset the scroll position
    state_set(STATE_PEER_LIST);
    state_change();
    EXPECT_EQ(state_get(), STATE_PEER_LIST);
    EXPECT_EQ(t->list_offset, 5) << "the first requested screen's init must not run";
    EXPECT_EQ(t->sel_peer, 0u);

    // Nothing pending: nothing changes.
    state_change();
    EXPECT_EQ(state_get(), STATE_PEER_LIST);
    EXPECT_EQ(state_get_previous(), STATE_START);

    // An unknown state keeps the old screen's operations working.
    state_set(42);
    state_change();
    EXPECT_EQ(state_get(), 42u);
    EXPECT_EQ(grid(turn(KEY_NONE, true)).text(0), "Peers");
}

TEST_F(Screens, EveryScreenDrawsItsFrameAndEscLeaves)
{
    for (uint32_t s : {STATE_NETWORK_LIST, STATE_LAN_LIST, STATE_CHANNEL_LIST, STATE_PEER_LIST, STATE_CHANNEL,
                       STATE_DL_LIST, STATE_UL_LIST}) {
        SCOPED_TRACE(s);
        reset(60, 12);
        turn();
        state_set(s);
        type("abc");
        ScreenGrid g = grid(turn());
        EXPECT_EQ(state_get(), s);
        // The channel screen's header stays empty while no channel is open.
        EXPECT_EQ(g.text(0) != "", s != STATE_CHANNEL);
        EXPECT_EQ(g.text(10).substr(0, 6), "F1Help");
        // Idle: nothing written; a resize (refresh) redraws completely.
        EXPECT_EQ(turn(), "");
        EXPECT_TRUE(redrawn(turn(KEY_NONE, true)));
        // Typed text is dropped on the list screens and kept on the channel screen.
        EXPECT_EQ(ctx_get()->input[0] != '\0', s == STATE_CHANNEL);
        turn(KEY_ESC);
        EXPECT_EQ(state_get(), STATE_START);
    }
}
