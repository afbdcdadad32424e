// Screens and their switching: home layout, help paging, the state machine and the commands that
// are wired so far.
#include <cstring>
#include <string>

#include "screen_grid.hpp"
#include "terminal/cmd.hpp"
#include "terminal/screens/screens.hpp"
#include "terminal_fixture.hpp"

using Screens = TermTest;

namespace {

ScreenGrid draw(const std::string& out, int w, int h)
{
    ScreenGrid g(w, h);
    g.feed(out);
    return g;
}

int find_row(const ScreenGrid& g, const std::string& needle)
{
    for (int r = 0; r < g.h; r++)
        if (g.rows[r].find(needle) != std::string::npos)
            return r;
    return -1;
}

}  // namespace

TEST_F(Screens, HomeLayoutAt80x24)
{
    ScreenGrid g = draw(turn(), 80, 24);
    EXPECT_EQ(g.scrolls, 0) << "the drawing must fit the window exactly";
    EXPECT_EQ(g.text(0), JX_DOC_URL);
    // The five-line banner, 48 columns centred.
    EXPECT_EQ(g.rows[1].find('#'), 16u + 3u);
    EXPECT_EQ(g.text(1).size(), 16u + 48u);
    EXPECT_EQ(g.text(16), "Client Details");
    EXPECT_EQ(g.rows[17].substr(0, 25), "Client version:    v0.7.0");
    EXPECT_EQ(g.rows[17].substr(40, 13), "Compiled on: ");  // the right column starts at w / 2
    EXPECT_EQ(g.rows[18].substr(0, 25), "Username:           alice");
    EXPECT_EQ(g.rows[18].substr(40), "Joined networks:        0" + std::string(15, ' '));
    EXPECT_EQ(g.rows[19].substr(0, 25), "Active dloads:          0");
    EXPECT_EQ(g.rows[19].substr(40, 25), "Active uloads:          0");
    EXPECT_EQ(g.rows[20].substr(0, 25), "Finished dloads:        0");
    EXPECT_EQ(g.rows[20].substr(40, 25), "Finished uloads:        0");
    EXPECT_EQ(g.text(21), "Terminal size:      80x24");
    EXPECT_EQ(g.text(22).substr(0, 6), "F1Help");
    EXPECT_EQ(g.text(23), "[alice]");
    EXPECT_EQ(g.rows[6], std::string(80, ' '));
    EXPECT_EQ(g.rows[15], std::string(80, ' '));

    // Nothing changed: an idle screen writes nothing at all.
    EXPECT_EQ(turn(), "");
}

TEST_F(Screens, HomeLayoutAt14And15Rows)
{
    reset(80, 14);
    ScreenGrid small = draw(turn(), 80, 14);
    EXPECT_EQ(small.scrolls, 0);
    EXPECT_EQ(small.text(1), std::string(37, ' ') + "JEXLEY");
    EXPECT_EQ(find_row(small, "Client Details"), -1);
    EXPECT_EQ(find_row(small, "#"), -1);
    EXPECT_EQ(find_row(small, "Client version:"), 7);
    EXPECT_EQ(find_row(small, "Terminal size:"), 11);
    for (int r = 2; r < 7; r++)
        EXPECT_EQ(small.text(r), "") << r;

    reset(80, 15);
    ScreenGrid tall = draw(turn(), 80, 15);
    EXPECT_EQ(tall.scrolls, 0);
    for (int r = 1; r <= 5; r++)
        EXPECT_NE(tall.rows[r].find('#'), std::string::npos) << r;
    EXPECT_EQ(tall.text(6), "");
    EXPECT_EQ(tall.text(7), "Client Details");
    EXPECT_EQ(find_row(tall, "Client version:"), 8);
    EXPECT_EQ(find_row(tall, "Terminal size:"), 12);
    EXPECT_EQ(tall.text(12), "Terminal size:      80x15");

    // The smallest window: title, banner, one empty row, details, key bar, prompt.
    reset(50, 10);
    ScreenGrid least = draw(turn(), 50, 10);
    EXPECT_EQ(least.scrolls, 0);
    EXPECT_EQ(least.text(2), "");
    EXPECT_EQ(find_row(least, "Client version:"), 3);
    EXPECT_EQ(least.rows[3].substr(25, 13), "Compiled on: ");  // no pad at 50 columns
}

TEST_F(Screens, HomeShowsAHostileUsernameHarmlessly)
{
    strcpy(jx_comm_get()->username, "\x1b]0;pwn\x07\x1b[2J");
    std::string out = turn();
    EXPECT_EQ(out.find("\x1b]"), std::string::npos);
    EXPECT_EQ(out.find('\x07'), std::string::npos);
    ScreenGrid g = draw(out, 80, 24);
    EXPECT_EQ(g.rows[18].substr(0, 25), "Username:    ?]0;pwn??[2J");
    EXPECT_NE(g.text(23).find("[?]0;pwn??[2J]"), std::string::npos);
}

TEST_F(Screens, HomeKeys)
{
    turn();
    // Enter on an empty line does nothing.
    EXPECT_EQ(strip_csi(turn(KEY_ENTER)), "\r" + std::string(80, ' ') + "\r\r[alice] ");

    // Typed text stays on the home screen between keys.
    type("/he");
    turn();
    type("lp");
    EXPECT_STREQ(ctx_get()->input, "/help");

    // An unknown command is refused on the prompt row and the line is cleared.
    memset(ctx_get()->input, 0, sizeof ctx_get()->input);
    type("/helpme");
    std::string out = turn(KEY_ENTER);
    EXPECT_NE(out.find("Error: Unsupported command!"), std::string::npos);
    EXPECT_STREQ(ctx_get()->input, "");
    EXPECT_EQ(state_get(), static_cast<uint32_t>(STATE_START));
    // The next key clears the message.
    EXPECT_EQ(strip_csi(turn(KEY_LEFT)).find("Error"), std::string::npos);

    // /help opens the help page, drawn completely in the same turn.
    type("/help");
    ScreenGrid g = draw(turn(KEY_ENTER), 80, 24);
    EXPECT_EQ(state_get(), static_cast<uint32_t>(STATE_HELP));
    EXPECT_EQ(g.text(0), "Help");
    EXPECT_EQ(g.scrolls, 0);

    // Esc on help returns home; F1 opens help again; Esc on home ends the program.
    ScreenGrid home = draw(turn(KEY_ESC), 80, 24);
    EXPECT_EQ(state_get(), static_cast<uint32_t>(STATE_START));
    EXPECT_EQ(home.text(0), JX_DOC_URL);
    turn(KEY_F1);
    EXPECT_EQ(state_get(), static_cast<uint32_t>(STATE_HELP));
    turn(KEY_ESC);
    turn(KEY_ESC);
    EXPECT_EQ(state_get(), static_cast<uint32_t>(STATE_EXIT));
}

TEST_F(Screens, HelpPagingAt80x24)
{
    ctx_get()->key = KEY_F1;
    ScreenGrid g = draw(turn(), 80, 24);
    EXPECT_EQ(g.scrolls, 0);
    EXPECT_EQ(g.text(1), "");
    EXPECT_EQ(
        g.text(2),
        std::string("Jexley is a networking tool for messaging and data exchange between computers co"));
    EXPECT_EQ(g.text(3), "nnected through a LAN.");
    EXPECT_EQ(g.text(5), "Hotkeys");
    EXPECT_EQ(find_row(g, "For a complete documentation"), -1);

    // Up at the top: nothing, not even a redraw.
    EXPECT_EQ(turn(KEY_UP).find("Help"), std::string::npos);

    int redraws = 0;
    for (int i = 0; i < 10; i++) {
        std::string out = turn(KEY_DOWN);
        if (out.find("\x1b[2J") != std::string::npos) {
            redraws++;
            g = draw(out, 80, 24);
            EXPECT_EQ(g.scrolls, 0);
        }
    }
    EXPECT_EQ(redraws, 7);
    EXPECT_EQ(g.text(21), std::string("For a complete documentation check out ") + JX_DOC_URL);
    EXPECT_EQ(g.text(1), "F3 - List of predefined multicast IPs to join(LAN)");  // page row 7

    // Up once scrolls back and lets Down work again.
    EXPECT_NE(turn(KEY_UP).find("\x1b[2J"), std::string::npos);
    EXPECT_NE(turn(KEY_DOWN).find("\x1b[2J"), std::string::npos);
    EXPECT_EQ(turn(KEY_DOWN).find("\x1b[2J"), std::string::npos);

    // Leaving and coming back opens the page at its top.
    turn(KEY_ESC);
    g = draw(turn(KEY_F1), 80, 24);
    EXPECT_EQ(g.text(5), "Hotkeys");
}

TEST_F(Screens, HelpPagingAt50Columns)
{
    reset(50, 24);
    ctx_get()->key = KEY_F1;
    ScreenGrid g = draw(turn(), 50, 24);
    EXPECT_EQ(g.scrolls, 0);
    // The description takes three rows.
    EXPECT_EQ(g.text(2), "Jexley is a networking tool for messaging and data");
    EXPECT_EQ(g.text(3), " exchange between computers connected through a LA");
    EXPECT_EQ(g.text(4), "N.");
    EXPECT_EQ(g.text(6), "Hotkeys");
    // A line of exactly 50 characters takes one row.
    EXPECT_EQ(g.text(9), "F3 - List of predefined multicast IPs to join(LAN)");
    EXPECT_EQ(g.text(10), "F4 - List of channels with details (Main and DMs)");

    // 29 page rows; the 62-character documentation line needs two free rows, so it shows after
    // nine steps down, cut to one row.
    int redraws = 0;
    for (int i = 0; i < 12; i++) {
        std::string out = turn(KEY_DOWN);
        if (out.find("\x1b[2J") != std::string::npos) {
            redraws++;
            g = draw(out, 50, 24);
            EXPECT_EQ(g.scrolls, 0);
            if (redraws == 8) {
                EXPECT_EQ(find_row(g, "For a complete"), -1) << "one free row is not enough";
            }
        }
    }
    EXPECT_EQ(redraws, 9);
    int r = find_row(g, "For a complete");
    ASSERT_GE(r, 1);
    EXPECT_EQ(g.text(r), std::string("For a complete documentation check out https://jex"));
    EXPECT_EQ(g.text(r + 1), "");
    EXPECT_EQ(r, 20);
}

TEST_F(Screens, StateSetTwiceInOneTurnTakesTheLast)
{
    TermData* t = ctx_get();
    t->list_offset = 5;
    t->sel_peer = 9;
    state_set(STATE_CHANNEL_LIST);  // its init would reset the scroll position
    state_set(STATE_PEER_LIST);
    state_change();
    EXPECT_EQ(state_get(), static_cast<uint32_t>(STATE_PEER_LIST));
    EXPECT_EQ(state_get_previous(), static_cast<uint32_t>(STATE_START));
    EXPECT_EQ(t->list_offset, 5) << "the first requested screen's init must not run";
    EXPECT_EQ(t->sel_peer, 0u);

    // Nothing pending: nothing changes.
    state_change();
    EXPECT_EQ(state_get(), static_cast<uint32_t>(STATE_PEER_LIST));
    EXPECT_EQ(state_get_previous(), static_cast<uint32_t>(STATE_START));

    // An unknown state keeps the old screen's operations working.
    state_set(42);
    state_change();
    EXPECT_EQ(state_get(), 42u);
    ScreenGrid g = draw(turn(KEY_NONE, true), 80, 24);
    EXPECT_EQ(g.text(0), "Peers");
}

TEST_F(Screens, EveryScreenDrawsItsFrameAndEscLeaves)
{
    const uint32_t screens[] = {STATE_NETWORK_LIST, STATE_LAN_LIST, STATE_CHANNEL_LIST, STATE_PEER_LIST,
                                STATE_CHANNEL,      STATE_DL_LIST,  STATE_UL_LIST};
    for (uint32_t s : screens) {
        reset(60, 12);
        turn();
        state_set(s);
        type("abc");
        ScreenGrid g = draw(turn(), 60, 12);
        EXPECT_EQ(state_get(), s);
        EXPECT_EQ(g.scrolls, 0) << s;
        // The channel screen's header stays empty while no channel is open.
        EXPECT_EQ(g.text(0) != "", s != STATE_CHANNEL) << s;
        EXPECT_EQ(g.text(10).substr(0, 6), "F1Help") << s;
        // Idle: nothing written.
        EXPECT_EQ(turn(), "") << s;
        // A resize (refresh) redraws completely.
        EXPECT_NE(turn(KEY_NONE, true).find("\x1b[2J"), std::string::npos) << s;
        // Typed text is dropped on the list screens and kept on the channel screen.
        EXPECT_EQ(ctx_get()->input[0] != '\0', s == STATE_CHANNEL) << s;
        turn(KEY_ESC);
        EXPECT_EQ(state_get(), static_cast<uint32_t>(STATE_START)) << s;
    }
}

TEST_F(Screens, CommandsWiredSoFar)
{
    cmd_eval("/help", 5);
    state_change();
    EXPECT_EQ(state_get(), static_cast<uint32_t>(STATE_HELP));
    turn(KEY_ESC);

    const char* refused[] = {"/help ", "/helpx", "/HELP", "/", "/nosuch"};
    for (const char* line : refused) {
        ctx_get()->err_feedback[0] = '\0';
        cmd_eval(line, strlen(line));
        EXPECT_STREQ(ctx_get()->err_feedback, "Unsupported command!") << line;
        state_change();
        EXPECT_EQ(state_get(), static_cast<uint32_t>(STATE_START)) << line;
    }

    ctx_get()->err_feedback[0] = '\0';
    std::string longer(1471, 'a');
    cmd_eval(longer.c_str(), longer.size());
    EXPECT_STREQ(ctx_get()->err_feedback, "Command too long");

    // Only the first n characters count.
    ctx_get()->err_feedback[0] = '\0';
    cmd_eval("/helpme", 5);
    state_change();
    EXPECT_EQ(state_get(), static_cast<uint32_t>(STATE_HELP));
}
