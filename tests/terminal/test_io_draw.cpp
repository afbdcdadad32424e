// Common drawing: key bar, prompt row, size warning, list scrolling, file names, labels, and
// keeping hostile text from reaching the terminal as control sequences.
#include <arpa/inet.h>

#include <cstring>
#include <string>

#include "screen_grid.hpp"
#include "terminal_fixture.hpp"

using IoDraw = TermTest;

TEST_F(IoDraw, KeyBarShortAndLongLabels)
{
    reset(69, 24);
    ctx_get()->prompt_redraw = 0;
    io_key_bar();
    std::string narrow = io_capture_end();
    EXPECT_EQ(strip_csi(narrow), "\r" + std::string(69, ' ') + "\r" +
                                     "F1HelpF2JNsF3AddrsF4ChsF5PeersF6DlsF7UlsF8Ch" + std::string(25, ' ') +
                                     "\r\n");
    EXPECT_NE(narrow.find("\x1b[0;32m\x1b[40mF1\x1b[0;30m\x1b[42mHelp"), std::string::npos);
    EXPECT_EQ(narrow.substr(narrow.size() - 6), "\x1b[0m\r\n");
    EXPECT_EQ(ctx_get()->prompt_redraw, 1);

    reset(70, 24);
    io_key_bar();
    std::string wide = strip_csi(io_capture_end());
    EXPECT_EQ(wide, "\r" + std::string(70, ' ') + "\r" +
                        "F1HelpF2JoinedNetsF3AddrsF4ChannelsF5PeersF6DownloadsF7UploadsF8LastCh\r\n");
}

TEST_F(IoDraw, TitleBarFillsTheRow)
{
    io_top_bar_title("Channels", 8);
    std::string out = io_capture_end();
    EXPECT_EQ(out, "\x1b[0;30m\x1b[42m\r" + std::string(80, ' ') + "\rChannels" + std::string(72, ' ') +
                       "\x1b[0m\r\n");
}

TEST_F(IoDraw, PromptRow)
{
    // Home screen: green [user] and the input line.
    type("hello");
    io_prompt();
    std::string out = io_capture_end();
    EXPECT_EQ(out, "\x1b[0m\r" + std::string(80, ' ') + "\r\r\x1b[0;32m[alice]\x1b[0m hello");
    EXPECT_EQ(ctx_get()->prompt_redraw, 0);

    // Nothing to do: nothing written at all.
    io_capture_begin();
    io_prompt();
    EXPECT_EQ(io_capture_end(), "");

    // A 15-character name and a line longer than the row: the tail fills the row exactly.
    reset(50, 24);
    strcpy(jx_comm_get()->username, "abcdefghijklmno");
    std::string line;
    for (int i = 0; i < 60; i++)
        line += static_cast<char>('A' + i % 26);
    type(line.c_str());
    io_prompt();
    ScreenGrid g(50, 3);
    g.feed(io_capture_end());
    EXPECT_EQ(g.text(0), "[abcdefghijklmno] ..." + line.substr(60 - (50 - 21)));
    EXPECT_EQ(g.text(0).size(), 50u);
    EXPECT_EQ(g.scrolls, 0);

    // An error replaces the line until the next key.
    ctx_err_feedback("Unsupported command!");
    ctx_get()->prompt_redraw = 1;
    io_capture_begin();
    io_prompt();
    EXPECT_EQ(strip_csi(io_capture_end()), "\r" + std::string(50, ' ') + "\rError: Unsupported command!");

    // Screens that take no typed text show a red xxx.
    ctx_get()->err_feedback[0] = '\0';
    ctx_get()->prompt_redraw = 1;
    state_set(STATE_HELP);
    state_change();
    io_capture_begin();
    io_prompt();
    std::string xxx = io_capture_end();
    EXPECT_NE(xxx.find("\x1b[0;31mxxx\x1b[0m"), std::string::npos);
    EXPECT_EQ(xxx.find("alice"), std::string::npos);
}

TEST_F(IoDraw, MinimumSizeWarningDrawnOncePerSize)
{
    EXPECT_EQ(io_check_min_size(), 0);  // forgets a warning an earlier test may have left
    reset(49, 24);
    EXPECT_EQ(io_check_min_size(), 1);
    std::string out = io_capture_end();
    EXPECT_NE(out.find("\x1b[0;31m"), std::string::npos);
    EXPECT_NE(out.find("MIN WINDOW SIZE IS 50x10"), std::string::npos);

    // Still too small, same size: nothing more is written.
    io_capture_begin();
    EXPECT_EQ(io_check_min_size(), 1);
    EXPECT_EQ(io_capture_end(), "");

    ctx_get()->term_w = 50;
    ctx_get()->term_h = 9;
    io_capture_begin();
    EXPECT_EQ(io_check_min_size(), 1);
    EXPECT_NE(io_capture_end().find("MIN WINDOW SIZE IS 50x10"), std::string::npos);

    ctx_get()->term_h = 10;
    io_capture_begin();
    EXPECT_EQ(io_check_min_size(), 0);
    EXPECT_EQ(io_capture_end(), "");

    // Shrinking again after growing shows the warning again.
    ctx_get()->term_h = 9;
    io_capture_begin();
    EXPECT_EQ(io_check_min_size(), 1);
    EXPECT_NE(io_capture_end().find("MIN WINDOW"), std::string::npos);
}

TEST(IoListOffset, ScrollingRule)
{
    ctx_init();
    TermData* t = ctx_get();
    auto move = [&](uint16_t off, uint16_t sel, uint16_t rows) {
        t->list_offset = off;
        io_compute_list_offset(sel, rows);
        return t->list_offset;
    };
    // 30 rows, 10 visible.
    EXPECT_EQ(move(0, 10, 10), 0);   // last visible row stays
    EXPECT_EQ(move(0, 11, 10), 1);   // one below: scroll by one
    EXPECT_EQ(move(20, 1, 10), 0);   // wrap from 30 to 1
    EXPECT_EQ(move(0, 30, 10), 20);  // wrap from 1 to 30
    EXPECT_EQ(move(5, 0, 10), 0);    // nothing selected
    EXPECT_EQ(move(25, 0, 10), 0);
    EXPECT_EQ(move(5, 5, 10), 4);   // selection just above the window becomes its first row
    EXPECT_EQ(move(5, 6, 10), 5);   // first visible row
    EXPECT_EQ(move(5, 15, 10), 5);  // last visible row
    EXPECT_EQ(move(5, 16, 10), 6);
    // Far above the window with a selection past one window: it becomes the last visible row.
    EXPECT_EQ(move(40, 12, 10), 2);
    // Just above, within a window: the selection becomes the first visible row, never a
    // wrapped-around offset.
    EXPECT_EQ(move(5, 3, 10), 2);
    EXPECT_EQ(move(12, 4, 10), 3);
    EXPECT_EQ(move(0, 0, 10), 0);
}

TEST(IoLabels, ChannelFileNamesAndFinishedStates)
{
    EXPECT_STREQ(io_get_channel_fn(2, inet_addr("10.0.0.255"), inet_addr("10.0.0.7")), "ff00000a_0700000a");
    EXPECT_STREQ(io_get_channel_fn(1, inet_addr("10.0.0.255"), inet_addr("10.0.0.7")), "ff00000a");
    EXPECT_STREQ(io_get_channel_fn(3, inet_addr("192.168.1.10"), 0), "0a01a8c0");
    EXPECT_STREQ(io_get_channel_fn(0, inet_addr("239.0.0.1"), 0), "010000ef");

    EXPECT_STREQ(io_fin_state_str(6), "Done");
    EXPECT_STREQ(io_fin_state_str(9), "Chksum fail");
    EXPECT_STREQ(io_fin_state_str(10), "Chksum test");
    EXPECT_STREQ(io_fin_state_str(11), "Chksum OK");
    EXPECT_STREQ(io_fin_state_str(7), "Failed");
    EXPECT_STREQ(io_fin_state_str(0), "Failed");
}

TEST(IoSanitize, ControlBytesNeverPassThrough)
{
    auto safe = [](const std::string& s) { return io_safe(s.data(), s.size()); };
    EXPECT_EQ(safe("bob"), "bob");
    EXPECT_EQ(safe("a\x1b[2Jb"), "a?[2Jb");
    EXPECT_EQ(safe("\x1b]0;title\x07"), "?]0;title?");
    EXPECT_EQ(safe(std::string("\r\n\t\x7f", 4)), "????");
    EXPECT_EQ(safe("\xc2\x9b"
                   "31m"),
              "?31m");  // C1 CSI written as UTF-8
    EXPECT_EQ(safe("\x9b"
                   "31m"),
              "?31m");  // bare C1 byte
    EXPECT_EQ(safe("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"), "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80");
    EXPECT_EQ(safe("\xc0\xaf"), "??");       // overlong
    EXPECT_EQ(safe("\xed\xa0\x80"), "???");  // surrogate
    EXPECT_EQ(safe("x\xe2\x82"), "x??");     // cut short
    EXPECT_EQ(safe("\xff\xfe"), "??");
    // Stops at the first NUL and at n.
    EXPECT_EQ(io_safe("ab\0cd", 5), "ab");
    EXPECT_EQ(io_safe("abcdef", 3), "abc");

    // The output bound is kept; a multi-byte character that does not fit is left out whole.
    char out[5];
    EXPECT_EQ(io_sanitize("ab\xe2\x82\xac", 5, out, sizeof out), 2u);
    EXPECT_STREQ(out, "ab");
    EXPECT_EQ(io_sanitize("abcdefgh", 8, out, sizeof out), 4u);
    EXPECT_STREQ(out, "abcd");
}
