// Common drawing: key bar, prompt row, size warning, list scrolling, file names, labels, and
// keeping hostile text from reaching the terminal as control sequences.
#include <cstring>
#include <string>

#include "terminal_fixture.hpp"

using IoDraw = TermTest;

TEST_F(IoDraw, KeyBarAndTitleBar)
{
    reset(69, 24);
    ctx_get()->prompt_redraw = 0;
    io_key_bar();
    EXPECT_EQ(strip_csi(io_capture_end()), "\r" + std::string(69, ' ') +
                                               "\rF1HelpF2JNsF3AddrsF4ChsF5PeersF6DlsF7UlsF8Ch" +
                                               std::string(25, ' ') + "\r\n");
    EXPECT_EQ(ctx_get()->prompt_redraw, 1);

    reset(70, 24);
    io_key_bar();
    EXPECT_EQ(strip_csi(io_capture_end()),
              "\r" + std::string(70, ' ') +
                  "\rF1HelpF2JoinedNetsF3AddrsF4ChannelsF5PeersF6DownloadsF7UploadsF8LastCh\r\n");

    reset(80, 24);
    io_top_bar_title("Channels", 8);
    EXPECT_EQ(io_capture_end(),
              IO_BAR "\r" + std::string(80, ' ') + "\rChannels" + std::string(72, ' ') + IO_RESET "\r\n");
}

TEST_F(IoDraw, PromptRow)
{
    // Home screen: green [user] and the input line; once drawn, nothing more until asked.
    type("hello");
    io_prompt();
    io_prompt();
    EXPECT_EQ(io_capture_end(),
              IO_RESET "\r" + std::string(80, ' ') + "\r\r" IO_GREEN "[alice]" IO_RESET " hello");
    EXPECT_EQ(ctx_get()->prompt_redraw, 0);

    // A 15-character name: a line of 31 shows whole; one more, and the tail fills the row exactly.
    reset(50, 24);
    strcpy(jx_comm_get()->username, "abcdefghijklmno");
    const std::string line = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcde";
    type(line.c_str());
    io_prompt();
    EXPECT_EQ(grid(io_capture_end()).text(0), "[abcdefghijklmno] " + line);
    type("f");
    io_capture_begin();
    io_prompt();
    EXPECT_EQ(grid(io_capture_end()).text(0), "[abcdefghijklmno] ..." + line.substr(3) + "f");

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
    EXPECT_EQ(io_capture_end(), IO_RESET "\r" + std::string(50, ' ') + "\r\r" IO_RED "xxx" IO_RESET);
}

TEST_F(IoDraw, MinimumSizeWarningDrawnOncePerSize)
{
    const struct {
        int w, h;
        bool warn;  // too small
        bool drawn;
    } steps[] = {
        {80, 24, false, false},                         // forgets a warning an earlier test may have left
        {49, 24, true, true},   {49, 24, true, false},  // same size again: nothing written
        {50, 9, true, true},    {50, 10, false, false}, {50, 9, true, true},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(std::to_string(s.w) + "x" + std::to_string(s.h));
        ctx_get()->term_w = s.w;
        ctx_get()->term_h = s.h;
        io_capture_begin();
        EXPECT_EQ(io_check_min_size(), s.warn ? 1 : 0);
        const std::string warning = "\r" + std::string(s.w, ' ') + "\rMIN WINDOW SIZE IS 50x10\r\n";
        EXPECT_EQ(strip_csi(io_capture_end()), s.drawn ? warning : "");
    }
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
    EXPECT_EQ(move(40, 10, 10), 0);
    // Just above, within a window: the first visible row, never a wrapped-around offset.
    EXPECT_EQ(move(5, 3, 10), 2);
    EXPECT_EQ(move(12, 4, 10), 3);
}

// Channel file names are checked through the files the event tests find.
TEST(IoLabels, FinishedTransferStates)
{
    EXPECT_STREQ(io_fin_state_str(6), "Done");
    EXPECT_STREQ(io_fin_state_str(9), "Chksum fail");
    EXPECT_STREQ(io_fin_state_str(10), "Chksum test");
    EXPECT_STREQ(io_fin_state_str(11), "Chksum OK");
    EXPECT_STREQ(io_fin_state_str(7), "Failed");
}
