// Keyboard decoding, the drawing every screen shares (the key bar, the prompt row, the size
// warning), and what the program does before its loop: the user name it keeps, why a start failed,
// and the doctor's reading of a firewall. (The e2e tests draw the home and help screens and run
// the doctor on real hosts.)
#include <cstdio>
#include <cstring>
#include <string>

#include "terminal/doctor.hpp"
#include "terminal/term.hpp"
#include "terminal_fixture.hpp"

TEST(IoDecode, EveryReadGivesItsKeyAndInput)
{
    // {bytes, key of the first read, line after every read, line before, key of the last}
    // clang-format off
    const struct {
        const char* bytes; uint8_t key; const char *after = "", *before = ""; uint8_t next = KEY_NONE;
    } cases[] = {
        // A sequence never edits the input; only the third byte of a four-byte one counts.
        {"\x1b[A", KEY_UP, "ab", "ab"}, {"\x1b[B", KEY_DOWN}, {"\x1b[D", KEY_LEFT}, {"\x1b[C", KEY_RIGHT},
        {"\x1bOP", KEY_F1}, {"\x1bOQ", KEY_F2}, {"\x1bOR", KEY_F3}, {"\x1bOS", KEY_F4}, {"\x1b[5~", KEY_PGUP},
        {"\x1b[6~", KEY_PGDN}, {"\x1b[3~", KEY_DEL}, {"\x1b[15~", KEY_F5}, {"\x1b[17~", KEY_F6},
        {"\x1b[18~", KEY_F7}, {"\x1b[19~", KEY_F8}, {"\x1b[3x", KEY_DEL}, {"\x1b[5\x01", KEY_PGUP},
        // Unknown and long sequences are dropped whole (F5..F8 only: 16 is no key).
        {"\x1b[16~", KEY_NONE}, {"\x1b[15x", KEY_NONE}, {"\x1b[Z", KEY_NONE}, {"\x1bOT", KEY_NONE},
        {"\x1b[4~", KEY_NONE}, {"\x1b[21~x", KEY_NONE}, {"\x1bxyz", KEY_NONE}, {"\x1b[3;5~", KEY_NONE},
        // One key per read: what follows it waits for the next turn (Down then Enter, F5 then
        // letters, a pasted line and the next); ESC after letters starts a sequence of its own.
        {"\x1b", KEY_ESC}, {"\t", KEY_TAB}, {"\r", KEY_ENTER}, {"\x14", KEY_CTRL_T}, {"\x03\x01", KEY_NONE},
        {"ab\r", KEY_ENTER, "ab"}, {"\t\r", KEY_TAB, "", "", KEY_ENTER}, {"\x1bq", KEY_ESC, "q"},
        {"\x1b[B\r", KEY_DOWN, "", "", KEY_ENTER}, {"\x1b[15~ab", KEY_F5, "qab", "q"},
        {"abc\x1b[Ad", KEY_NONE, "abcd", "", KEY_UP},
        // UTF-8: whole characters in, whole characters out; C1 controls and bad bytes are ignored.
        {"é日", KEY_NONE, "é日"}, {"\x7f", KEY_NONE, "a", "a😀"}, {"\x7f\x7f", KEY_NONE, "a", "abé"},
        {"\xc2\x85\xff\xed\xa0\x80\x80x", KEY_NONE, "x"}, {"\x08\x08", KEY_NONE, "a", "abc"},
        {"\x7f\x7f", KEY_NONE, "", "a"}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.bytes)));
        TermData t{};
        strcpy(t.input, c.before);
        strcpy(t.err_feedback, "Unsupported command!");
        const auto* b = reinterpret_cast<const uint8_t*>(c.bytes);
        size_t n = strlen(c.bytes), used = io_decode(b, static_cast<long>(n), &t);
        // Every read clears the error and redraws the prompt row.
        EXPECT_EQ(std::make_tuple(t.key, t.err_feedback[0], t.prompt_redraw),
                  std::make_tuple(c.key, '\0', uint8_t{1}));
        t.key = KEY_NONE;
        for (size_t u = 1; used < n && u > 0; used += u)
            u = io_decode(b + used, static_cast<long>(n - used), &t);
        EXPECT_EQ(std::make_tuple(std::string(t.input), t.key),
                  std::make_tuple(std::string(c.after), c.next));
    }
    // The line stops at its limit in bytes, where Backspace still works; a character that does not
    // fit whole is dropped. A character cut short by the read waits for the rest.
    TermData t{};
    memset(t.input, 'x', TERM_INPUT_MAX - 1);
    io_decode(reinterpret_cast<const uint8_t*>("yz\x7fk"), 4, &t);
    EXPECT_EQ(std::string(t.input), std::string(TERM_INPUT_MAX - 1, 'x') + "k");
    io_decode(reinterpret_cast<const uint8_t*>("\x7f\x7féé"), 6, &t);
    EXPECT_EQ(std::string(t.input), std::string(TERM_INPUT_MAX - 2, 'x') + "é");
    EXPECT_EQ(io_decode(reinterpret_cast<const uint8_t*>("\xe6\x97"), 2, &t), 0u);
}

using IoDraw = TermTest;

TEST_F(IoDraw, PastedLinesAndKeysPressedAtOnceGoThroughTheRealInputPath)
{
    ctx_get()->channel = join("127.0.0.2");
    show(STATE_CHANNEL);
    // Read 7 bytes at a time: Enter falls mid-read and characters are split between reads.
    burst("Grüße aus Köln — 日本語\rpasted line two\r");
    EXPECT_EQ(screen(turn(KEY_NONE, true), 20, 21),
              (Strs{"15:13:20|          alice <<< Grüße aus Köln — 日本語",
                    "15:13:20|          alice <<< pasted line two"}));
    // Down and Enter at once on a list: the first network is highlighted, then opened.
    show(STATE_NETWORK_LIST);
    burst("\x1b[B\r");
    expect_at(STATE_CHANNEL, jx_channel_by_addr(ip("127.0.0.2"), 0));
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
    term_load_cfg();
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

// A rule that stops one of our ports counts ("!=", ranges); a comment and the forward hook do not.
TEST(Doctor, FirewallRulesThatStopOurPorts)
{
    EXPECT_EQ(doctor_nft_drops(
                  "table ip t {\n chain in {\n type filter hook input priority 0;\n udp dport != 53 drop\n"
                  " udp dport 8856-8860 reject\n udp dport 8855 counter comment \"a drop here\"\n }\n"
                  " chain f {\n type filter hook forward priority 0;\n udp dport 8855 drop\n }\n}\n"),
              (Strs{"table ip t, chain in (input): udp dport != 53 drop",
                    "table ip t, chain in (input): udp dport 8856-8860 reject"}));
}
