// The key decoder on an injected clock: every key of a burst in order, sequences split anywhere,
// the lone Esc only once its wait is over, LF and CR LF as Enter; and the input line's editing.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "terminal/ctx.hpp"
#include "terminal/keys.hpp"
#include "terminal/line.hpp"

namespace {

// What was decoded: characters as themselves, keys as <NAME>.
std::string shown(const std::vector<KeyEvent>& evs)
{
    static const std::pair<uint8_t, const char*> names[] = {
        {KEY_ESC, "ESC"},   {KEY_ENTER, "ENTER"}, {KEY_TAB, "TAB"},      {KEY_PGUP, "PGUP"},
        {KEY_PGDN, "PGDN"}, {KEY_DEL, "DEL"},     {KEY_UP, "UP"},        {KEY_DOWN, "DOWN"},
        {KEY_LEFT, "LEFT"}, {KEY_RIGHT, "RIGHT"}, {KEY_F1, "F1"},        {KEY_F2, "F2"},
        {KEY_F3, "F3"},     {KEY_F4, "F4"},       {KEY_F5, "F5"},        {KEY_F6, "F6"},
        {KEY_F8, "F8"},     {KEY_CTRL_T, "^T"},   {KEY_HOME, "HOME"},    {KEY_END, "END"},
        {KEY_BACKSPACE, "BS"}, {KEY_CTRL_C, "^C"}, {KEY_CTRL_U, "^U"},   {KEY_CTRL_W, "^W"}};
    std::string s;
    for (const KeyEvent& e : evs) {
        if (e.key == KEY_NONE) {
            s.append(e.ch, e.len);
            continue;
        }
        s += "<?>";
        for (const auto& [k, n] : names)
            if (k == e.key)
                s.replace(s.size() - 2, 1, n);
    }
    return s;
}

// bytes fed in the given reads at one instant, then (pause) nothing for the Esc wait.
std::string decode(const std::vector<std::string>& reads, bool pause = false)
{
    KeyDecoder d{};
    std::vector<KeyEvent> out;
    for (const std::string& r : reads)
        keys_feed(&d, reinterpret_cast<const uint8_t*>(r.data()), r.size(), 1000, &out);
    keys_expire(&d, pause ? 1000 + KEYS_ESC_WAIT_US : 1000 + KEYS_ESC_WAIT_US - 1, &out);
    return shown(out);
}

}  // namespace

TEST(Keys, EveryKeyOfABurstInOrderHoweverItIsSplit)
{
    // {bytes, decoded}: all of it arrives together; then again split at every byte.
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {
        {"\x1b[B\x1b[B\x1b[B\x1b[B", "<DOWN><DOWN><DOWN><DOWN>"},
        {"\x1b[A\x1b[C\x1b[D\x1bOA\x1bOB", "<UP><RIGHT><LEFT><UP><DOWN>"},
        {"\x1bOP\x1bOS\x1b[11~\x1b[15~\x1b[17~\r", "<F1><F4><F1><F5><F6><ENTER>"},
        {"\x1b[19~\x1b[5~\x1b[6~\x1b[3~", "<F8><PGUP><PGDN><DEL>"},
        // The Linux console's F1..F5.
        {"\x1b[[A\x1b[[B\x1b[[C\x1b[[D\x1b[[E\x1b[[Fx", "<F1><F2><F3><F4><F5>x"},
        {"\x1b[H\x1b[F\x1bOH\x1bOF\x1b[1~\x1b[4~\x1b[7~\x1b[8~", "<HOME><END><HOME><END><HOME><END><HOME><END>"},
        // Controls: Tab, Ctrl-T, Backspace both ways, Ctrl-C/U/W; others ignored.
        {"\t\x14\x7f\x08\x03\x15\x17\x01\x1c", "<TAB><^T><BS><BS><^C><^U><^W>"},
        // LF is Enter, CR LF one Enter, LF CR two.
        {"a\nb\r\nc\r\rd\n\n\n\r", "a<ENTER>b<ENTER>c<ENTER><ENTER>d<ENTER><ENTER><ENTER><ENTER>"},
        // Unknown complete sequences and longer ones are dropped whole, not typed.
        {"\x1b[16~x\x1b[3;5~y\x1b[Zz\x1bOTw\x1b[1;5A!", "xyzw!"},
        {"\x1b[" + std::string(40, '1') + "~k", "k"},
        // Esc with anything but '[' or 'O' after it is Esc; ESC ESC is one Esc then a sequence.
        {"\x1bq\x1b\x1b[A", "<ESC>q<ESC><UP>"},
        // A sequence broken by another byte is dropped, the byte decoded.
        {"\x1b[1\x1b[Ae", "<UP>e"},
        // UTF-8 whole; C1 controls, stray and broken bytes ignored.
        {"é日😀\xc2\x85\xff\x80\xed\xa0\x80x\xe6\x97y", "é日😀xy"},
    };
    // clang-format on
    for (const auto& [bytes, want] : cases) {
        SCOPED_TRACE(testing::PrintToString(bytes));
        EXPECT_EQ(decode({bytes}), want);
        for (size_t k = 1; k < bytes.size(); k++)
            ASSERT_EQ(decode({bytes.substr(0, k), bytes.substr(k)}), want) << "split at " << k;
    }
}

TEST(Keys, ALoneEscCountsOnlyOnceNothingFollowedInTime)
{
    // {reads, pause, decoded}: an Esc alone waits; after the wait it is Esc, and what was held
    // after it is typed. A character cut short by the wait is dropped.
    // clang-format off
    const std::tuple<std::vector<std::string>, bool, std::string> cases[] = {
        {{"\x1b"}, false, ""}, {{"\x1b"}, true, "<ESC>"}, {{"a\x1b"}, true, "a<ESC>"},
        {{"\x1b", "[A"}, false, "<UP>"}, {{"\x1b["}, true, "<ESC>["}, {{"\x1bO"}, true, "<ESC>O"},
        {{"\x1b[1"}, true, "<ESC>[1"}, {{"\xe6\x97"}, true, ""}, {{"\xe6\x97", "\xa5"}, false, "日"},
    };
    // clang-format on
    for (const auto& [reads, pause, want] : cases)
        EXPECT_EQ(decode(reads, pause), want) << testing::PrintToString(reads) << pause;

    // The deadline runs from the Esc; bytes in a later read before it complete the sequence; a
    // clock set back expires at once.
    KeyDecoder d{};
    std::vector<KeyEvent> out;
    EXPECT_EQ(keys_deadline(&d), -1);
    keys_feed(&d, reinterpret_cast<const uint8_t*>("\x1b"), 1, 5000, &out);
    EXPECT_EQ(keys_deadline(&d), 5000 + KEYS_ESC_WAIT_US);
    keys_expire(&d, 5000 + KEYS_ESC_WAIT_US - 1, &out);
    keys_feed(&d, reinterpret_cast<const uint8_t*>("[B"), 2, 5000 + KEYS_ESC_WAIT_US - 1, &out);
    keys_feed(&d, reinterpret_cast<const uint8_t*>("\x1b"), 1, 9000, &out);
    keys_expire(&d, 8999, &out);
    EXPECT_EQ(std::make_pair(shown(out), keys_deadline(&d)), std::make_pair(std::string("<DOWN><ESC>"), -1l));
}

TEST(Keys, TheInputLineEditsWholeCharactersAtTheCursor)
{
    // {bytes typed into an empty line, the line, the cursor's byte offset}
    // clang-format off
    const std::tuple<std::string, std::string, size_t> cases[] = {
        {"abc\x1b[D\x1b[DX", "aXbc", 2}, {"a日b\x1b[D\x1b[D\x7f", "日b", 0},
        {"a日b\x1b[D\x1b[D\x1b[C", "a日b", 4}, {"abc\x1b[H>\x1b[F<", ">abc<", 5},
        {"one two  three\x15", "", 0}, {"one two\x1b[D\x1b[D\x1b[D\x15", "two", 0},
        {"one two  three\x17", "one two  ", 9}, {"one two  three\x17\x17", "one ", 4},
        {"ab\x1b[Dé\x1b[H\x17\x7f\x1b[D\x1b[C\x1b[C\x1b[C\x1b[C", "aéb", 4},
    };
    // clang-format on
    for (const auto& [bytes, line, cursor] : cases) {
        SCOPED_TRACE(testing::PrintToString(bytes));
        TermData t{};
        KeyDecoder d{};
        std::vector<KeyEvent> evs;
        keys_feed(&d, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), 0, &evs);
        for (const KeyEvent& e : evs)
            EXPECT_TRUE(e.key == KEY_NONE ? line_insert(&t, e.ch, e.len) : line_edit(&t, e.key));
        EXPECT_EQ(std::make_pair(std::string(t.input), line_cursor(&t)), std::make_pair(line, cursor));
    }
    // A full line takes no more, not even half of a character; other keys are no edits.
    TermData t{};
    memset(t.input, 'x', TERM_INPUT_MAX - 1);
    EXPECT_FALSE(line_insert(&t, "é", 2));
    EXPECT_TRUE(line_insert(&t, "y", 1));
    EXPECT_FALSE(line_insert(&t, "z", 1));
    EXPECT_EQ(std::string(t.input), std::string(TERM_INPUT_MAX - 1, 'x') + "y");
    EXPECT_FALSE(line_edit(&t, KEY_ENTER));
}
