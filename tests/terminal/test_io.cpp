// Keyboard decoding and the drawing every screen shares: the key bar, the prompt row, the size
// warning and the list scrolling rule.
#include <cstring>
#include <string>

#include "terminal_fixture.hpp"

using namespace jxtest;

TEST(IoDecode, EveryReadGivesItsKeyAndInput)
{
    // clang-format off
    const struct {
        const char* bytes;
        const char* before;
        uint8_t key;
        // The line after all bytes were decoded, and the key of what followed the first key.
        const char* after;
        uint8_t next = KEY_NONE;
    } cases[] = {
        // A sequence never edits the input; only the third byte of a four-byte one counts.
        {"\x1b[A", "ab", KEY_UP, "ab"}, {"\x1b[B", "ab", KEY_DOWN, "ab"}, {"\x1b[D", "ab", KEY_LEFT, "ab"},
        {"\x1b[C", "ab", KEY_RIGHT, "ab"}, {"\x1bOP", "ab", KEY_F1, "ab"}, {"\x1bOQ", "ab", KEY_F2, "ab"},
        {"\x1bOR", "ab", KEY_F3, "ab"}, {"\x1bOS", "ab", KEY_F4, "ab"}, {"\x1b[5~", "ab", KEY_PGUP, "ab"},
        {"\x1b[6~", "ab", KEY_PGDN, "ab"}, {"\x1b[3~", "ab", KEY_DEL, "ab"}, {"\x1b[15~", "ab", KEY_F5, "ab"},
        {"\x1b[17~", "ab", KEY_F6, "ab"}, {"\x1b[18~", "ab", KEY_F7, "ab"}, {"\x1b[19~", "ab", KEY_F8, "ab"},
        {"\x1b[3x", "ab", KEY_DEL, "ab"}, {"\x1b[5\x01", "ab", KEY_PGUP, "ab"},
        // Unknown and long sequences are dropped whole (F5..F8 only: 16 is no key).
        {"\x1b[16~", "q", KEY_NONE, "q"}, {"\x1b[15x", "q", KEY_NONE, "q"}, {"\x1b[Z", "q", KEY_NONE, "q"},
        {"\x1bOT", "q", KEY_NONE, "q"}, {"\x1b[4~", "q", KEY_NONE, "q"}, {"\x1b[21~x", "q", KEY_NONE, "q"},
        {"\x1bxyz", "q", KEY_NONE, "q"}, {"\x1b[3;5~", "q", KEY_NONE, "q"},
        // One key per read: what follows it waits for the next turn (Down then Enter, F5 then
        // letters, a pasted line and the next); ESC after letters starts a sequence of its own.
        {"\x1b", "", KEY_ESC, ""}, {"\t", "", KEY_TAB, ""}, {"\r", "", KEY_ENTER, ""},
        {"\x14", "", KEY_CTRL_T, ""}, {"\x03\x01", "x", KEY_NONE, "x"}, {"ab\r", "", KEY_ENTER, "ab"},
        {"\t\r", "", KEY_TAB, "", KEY_ENTER}, {"\x1b[B\r", "", KEY_DOWN, "", KEY_ENTER},
        {"\x1b[15~ab", "q", KEY_F5, "qab"}, {"\x1bq", "", KEY_ESC, "q"}, {"abc\x1b[Ad", "", KEY_NONE, "abcd", KEY_UP},
        // UTF-8: whole characters in, whole characters out; C1 controls and bad bytes are ignored.
        {"é日", "", KEY_NONE, "é日"}, {"\x7f", "a😀", KEY_NONE, "a"}, {"\x7f\x7f", "abé", KEY_NONE, "a"},
        {"\xc2\x85\xff\xed\xa0\x80\x80x", "", KEY_NONE, "x"}, {"\x08\x08", "abc", KEY_NONE, "a"},
        {"\x7f\x7f", "a", KEY_NONE, ""}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.bytes)));
        TermData t{};
        strcpy(t.input, c.before);
        strcpy(t.err_feedback, "Unsupported command!");
        const auto* b = reinterpret_cast<const uint8_t*>(c.bytes);
        size_t n = strlen(c.bytes), used = io_decode(b, static_cast<long>(n), &t);
        EXPECT_EQ(t.key, c.key);
        EXPECT_EQ(std::make_tuple(t.err_feedback[0], t.prompt_redraw), std::make_tuple('\0', uint8_t{1}));
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
    const ScreenGrid g = grid(turn(KEY_NONE, true));
    EXPECT_EQ(g.texts(20, 21), (Strs{"15:13:20|          alice <<< Grüße aus Köln — 日本語",
                                     "15:13:20|          alice <<< pasted line two"}));
    // Down and Enter at once on a list: the first network is highlighted, then opened.
    show(STATE_NETWORK_LIST);
    burst("\x1b[B\r");
    EXPECT_EQ(std::make_tuple(state_get(), ctx_get()->channel),
              std::make_tuple(uint32_t{STATE_CHANNEL}, jx_channel_by_addr(ip("127.0.0.2"), 0)));
}

TEST_F(IoDraw, KeyBarLabelsAndPromptRow)
{
    // Short labels below 70 columns.
    for (int w : {69, 70}) {
        reset(w, 24);
        io_key_bar();
        EXPECT_EQ(grid(io_capture_end()).text(0), w == 69
                                                      ? "F1HelpF2JNsF3AddrsF4ChsF5PeersF6DlsF7UlsF8Ch"
                                                      : "F1HelpF2JoinedNetsF3AddrsF4ChannelsF5PeersF6Downlo"
                                                        "adsF7UploadsF8LastCh");
    }
    // Home screen: green [user] and the line; once drawn, nothing more until asked.
    reset(80, 24);
    type("hello");
    io_prompt();
    io_prompt();
    EXPECT_EQ(io_capture_end(),
              IO_RESET "\r" + std::string(80, ' ') + "\r\r" IO_GREEN "[alice]" IO_RESET " hello");

    // A 15-character name: a line of 31 shows whole; one more, and the tail fills the row exactly.
    // Wide characters take two columns: 15 show whole; of 16 the tail is 14 and a blank for the
    // half that does not fit.
    reset(50, 24);
    strcpy(jx_comm_get()->username, "abcdefghijklmno");
    const std::string line = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcde";
    const std::string wide = "日日日日日日日日日日日日日日日";
    const std::pair<std::string, std::string> rows[] = {{line, line},
                                                        {line + "f", "..." + line.substr(3) + "f"},
                                                        {wide, wide},
                                                        {wide + "日", "... " + wide.substr(3)}};
    for (const auto& [typed, shown] : rows) {
        ctx_get()->input[0] = '\0';
        type(typed.c_str());
        io_capture_begin();
        io_prompt();
        EXPECT_EQ(grid(io_capture_end()).text(0), "[abcdefghijklmno] " + shown);
    }
    // An error (cut at 100 characters) replaces the line until the next key; screens that take no
    // text show a red xxx.
    ctx_err_feedback("%s", std::string(150, 'e').c_str());
    EXPECT_EQ(strlen(ctx_get()->err_feedback), 100u);
    ctx_err_feedback("Unsupported command!");
    ctx_get()->prompt_redraw = 1;
    io_capture_begin();
    io_prompt();
    EXPECT_EQ(grid(io_capture_end()).text(0), "Error: Unsupported command!");
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
    // The first step forgets a warning an earlier test may have left.
    const struct {
        int w, h;
        bool warn, drawn;
    } steps[] = {{80, 24, false, false}, {49, 24, true, true},   {49, 24, true, false},
                 {50, 9, true, true},    {50, 10, false, false}, {50, 9, true, true}};
    for (const auto& s : steps) {
        SCOPED_TRACE(std::to_string(s.w) + "x" + std::to_string(s.h));
        ctx_get()->term_w = s.w;
        ctx_get()->term_h = s.h;
        io_capture_begin();
        EXPECT_EQ(io_check_min_size(), s.warn ? 1 : 0);
        const std::string out = io_capture_end();
        EXPECT_EQ(out.empty() ? "nothing" : grid(out).text(0),
                  s.drawn ? "MIN WINDOW SIZE IS 50x10" : "nothing");
    }
}

TEST(IoListOffset, ScrollingRule)
{
    ctx_init();
    // {offset before, selected row (1-based, 0: none), offset after} with 10 visible rows.
    // clang-format off
    const uint16_t rows[][3] = {{0, 10, 0}, {0, 11, 1}, {20, 1, 0}, {0, 30, 20}, {5, 0, 0}, {25, 0, 0},
                                {5, 5, 4},  {5, 6, 5},  {5, 15, 5}, {5, 16, 6},  {40, 12, 2}, {40, 10, 0},
                                {5, 3, 2},  {12, 4, 3}};
    // clang-format on
    for (const auto& r : rows) {
        ctx_get()->list_offset = r[0];
        io_compute_list_offset(r[1], 10);
        EXPECT_EQ(ctx_get()->list_offset, r[2]) << r[0] << " " << r[1];
    }
}
