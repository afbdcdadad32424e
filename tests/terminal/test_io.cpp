// The real input path, the drawing every screen shares (the key bar, the prompt row, the size
// warning), and what the program does before its loop: the user name it keeps and why a start
// failed. (The e2e tests draw the home and help screens and run the doctor on real hosts.)
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/cli.hpp"
#include "terminal/screens/screens.hpp"
#include "terminal/term.hpp"
#include "terminal_fixture.hpp"

using IoDraw = TermTest;

TEST_F(IoDraw, PastedLinesAndKeysPressedAtOnceGoThroughTheRealInputPath)
{
    ctx_get()->channel = join("127.0.0.2");
    show(STATE_CHANNEL);
    // One read: lines ended by CR, CR LF and LF are sent one by one.
    burst("Grüße aus Köln — 日本語\rpasted line two\r\nthree\n");
    EXPECT_EQ(screen(turn(KEY_NONE, true), 19, 21),
              (Strs{"15:13:20|          alice <<< Grüße aus Köln — 日本語",
                    "15:13:20|          alice <<< pasted line two", "15:13:20|          alice <<< three"}));
    // 1500 bytes at once: the line takes 1370 and says so; the next key clears the message.
    EXPECT_EQ(screen_row(burst(std::string(1500, 'p')), 0),
              "Error: Line full (1370 bytes): the rest was not taken");
    EXPECT_EQ(strlen(ctx_get()->input), TERM_INPUT_MAX);
    EXPECT_EQ(screen_row(burst("\x7f"), 0).substr(0, 11), "[alice] ...");
    // Keys pressed together act one by one: Down then Enter on a list opens the first network,
    // and of the two whole drawings only the last is written. An Esc waits for what follows:
    // another sequence (it was Esc, then F1), or nothing in time.
    show(STATE_NETWORK_LIST);
    const std::string out = burst("\x1b[B\r");
    const size_t clear = out.find("\x1b[2J");
    EXPECT_TRUE(clear != std::string::npos && clear == out.rfind("\x1b[2J")) << "one screen written";
    expect_at(STATE_CHANNEL, jx_channel_by_addr(ip("127.0.0.2"), 0));
    burst("\x1b");
    EXPECT_EQ(state_get(), STATE_CHANNEL);
    burst("\x1bOP");
    EXPECT_EQ(state_get(), STATE_HELP);
    burst("\x1b", true);
    EXPECT_EQ(state_get(), STATE_START);
}

TEST_F(IoDraw, KeyBarPromptRowAndSizeWarning)
{
    auto row = [](void (*draw)()) {
        io_capture_begin();
        ctx_get()->prompt_redraw = 1;
        draw();
        return screen_row(io_capture_end(), 0);
    };
    // Short labels below 70 columns.
    reset(69, 24);
    EXPECT_EQ(row(io_key_bar), "F1HelpF2JNsF3AddrsF4ChsF5PeersF6DlsF7UlsF8Ch");
    ctx_get()->term_w = 70;
    EXPECT_EQ(row(io_key_bar), "F1HelpF2JoinedNetsF3AddrsF4ChannelsF5PeersF6DownloadsF7UploadsF8LastCh");
    // A 15-character name: a line of 31 shows whole; one more, and the tail fills the row exactly.
    // Wide characters take two columns: 15 show whole; of 16 the tail is 14 and a blank for the
    // half that does not fit.
    reset(50, 24);
    strcpy(jx_comm_get()->username, "abcdefghijklmno");
    const std::string line = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcde", wide = "日日日日日日日日日日日日日日日";
    // clang-format off
    for (const auto& [typed, shown] : {std::pair{line, line}, {line + "f", "..." + line.substr(3) + "f"},
                                       {wide, wide}, {wide + "日", "... " + wide.substr(3)}}) {
        // clang-format on
        strcpy(ctx_get()->input, typed.c_str());
        EXPECT_EQ(row(io_prompt), "[abcdefghijklmno] " + shown);
    }
    // The cursor inside the line: the row shows the part around it, and the cursor goes back there
    // (columns counted from the row's start).
    for (const auto& [back, shown, col] : {std::tuple{30, line + "f", 20}, {2, "..." + line.substr(3) + "f", 48}}) {
        strcpy(ctx_get()->input, (line + "f").c_str());
        ctx_get()->input_back = static_cast<uint16_t>(back);
        io_capture_begin();
        ctx_get()->prompt_redraw = 1;
        io_prompt();
        const std::string out = io_capture_end();
        EXPECT_EQ(screen_row(out, 0), "[abcdefghijklmno] " + shown);
        EXPECT_EQ(out.substr(out.rfind('\r')), "\r\x1b[" + std::to_string(col) + "C");
    }

    // The home screen at 50x10: the right-hand column keeps a blank from the left one.
    reset(50, 10);
    const Strs home = screen(show(STATE_START), 3, 4);
    // The version is the build's (from the project's one version), right-aligned in 9 columns.
    const std::string version = std::string(9 - strlen(JX_VERSION), ' ') + JX_VERSION;
    EXPECT_EQ(home[0].substr(0, 39) + std::to_string(home[0].size()),
              "Client version: " + version + " Compiled on: 50");
    EXPECT_EQ(home[1], "Username:           alice Joined networks:       0");

    // Below 50x10 a warning instead of the screen, drawn once per size. {w, h, warned, drawn}; the
    // first step forgets a warning an earlier test may have left.
    // clang-format off
    const std::tuple<int, int, bool, bool> steps[] = {{80, 24, false, false}, {49, 24, true, true},
        {49, 24, true, false}, {50, 9, true, true}, {50, 10, false, false}, {50, 9, true, true}};
    // clang-format on
    for (const auto& [w, h, warn, drawn] : steps) {
        reset(w, h);
        EXPECT_EQ(io_check_min_size(), warn ? 1 : 0) << w << "x" << h;
        EXPECT_EQ(screen_row(io_capture_end(), 0), drawn ? "MIN WINDOW SIZE IS 50x10" : "") << w << "x" << h;
    }
}

TEST_F(IoDraw, TheNameInUseIsSavedAndTheCauseOfAFailedStart)
{
    // Nothing saved: the name in use is saved, so the next start keeps it.
    cli_load_username();
    EXPECT_STREQ(slurp("jx_internal/cfg").c_str(), "alice");
    // The running engine holds both ports: it got 8855 itself, so 8856 is the one named. Without
    // its data socket nothing is busy and the reason is in the log.
    auto explain = [] {
        char buf[512] = {};
        FILE* f = fmemopen(buf, sizeof buf - 1, "w");
        term_explain_start_failure("jexley", f);
        fclose(f);
        return std::string(buf);
    };
    EXPECT_EQ(explain(), "UDP port 8856 is in use by another program (is Jexley already running?)\n");
    close(jx_comm_get()->data_sock);
    jx_comm_get()->data_sock = -1;
    EXPECT_EQ(explain(), "Could not open the UDP sockets on ports 8855 and 8856 (see jx_internal/log)\n");
}
