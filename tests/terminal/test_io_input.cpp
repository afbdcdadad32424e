// Keyboard decoding: every key sequence, the input line's edits and its limit.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "terminal/ctx.hpp"
#include "terminal/io.hpp"

namespace {

// One read of bytes onto an input line; err_feedback starts set to show that it gets cleared.
TermData decode(const std::string& bytes, const char* input = "")
{
    TermData t{};
    strcpy(t.input, input);
    strcpy(t.err_feedback, "Unsupported command!");
    io_decode(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<long>(bytes.size()), &t);
    return t;
}

}  // namespace

TEST(IoDecode, EveryReadGivesItsKeyAndInput)
{
    const struct {
        const char* bytes;
        const char* before;
        uint8_t key;
        const char* after;
    } cases[] = {
        // A sequence never edits the input.
        {"\x1b[A", "ab", KEY_UP, "ab"},
        {"\x1b[B", "ab", KEY_DOWN, "ab"},
        {"\x1b[D", "ab", KEY_LEFT, "ab"},
        {"\x1b[C", "ab", KEY_RIGHT, "ab"},
        {"\x1bOP", "ab", KEY_F1, "ab"},
        {"\x1bOQ", "ab", KEY_F2, "ab"},
        {"\x1bOR", "ab", KEY_F3, "ab"},
        {"\x1bOS", "ab", KEY_F4, "ab"},
        {"\x1b[5~", "ab", KEY_PGUP, "ab"},
        {"\x1b[6~", "ab", KEY_PGDN, "ab"},
        {"\x1b[3~", "ab", KEY_DEL, "ab"},
        {"\x1b[15~", "ab", KEY_F5, "ab"},
        {"\x1b[17~", "ab", KEY_F6, "ab"},
        {"\x1b[18~", "ab", KEY_F7, "ab"},
        {"\x1b[19~", "ab", KEY_F8, "ab"},
        // Only the third byte of a four-byte sequence counts.
        {"\x1b[3x", "ab", KEY_DEL, "ab"},
        {"\x1b[5\x01", "ab", KEY_PGUP, "ab"},
        // Unknown and long sequences are dropped whole (F5..F8 only: 16 is no key).
        {"\x1b[16~", "q", KEY_NONE, "q"},
        {"\x1b[15x", "q", KEY_NONE, "q"},
        {"\x1b[Z", "q", KEY_NONE, "q"},
        {"\x1bOT", "q", KEY_NONE, "q"},
        {"\x1b[4~", "q", KEY_NONE, "q"},
        {"\x1b[21~x", "q", KEY_NONE, "q"},  // six bytes and more
        {"\x1b[15~ab", "q", KEY_NONE, "q"},
        {"\x1bxyz", "q", KEY_NONE, "q"},
        {"\x1b", "", KEY_ESC, ""},
        {"\t", "", KEY_TAB, ""},
        {"\r", "", KEY_ENTER, ""},
        {"\x14", "", KEY_CTRL_T, ""},
        {"\x03\x01", "x", KEY_NONE, "x"},       // Ctrl-C and other control bytes are ignored
        {"ab\r", "", KEY_ENTER, "ab"},          // typed quickly, letters and Enter arrive together
        {"\t\r", "", KEY_ENTER, ""},            // the later key wins
        {"\x1bq", "", KEY_ESC, "q"},            // ESC in a burst of 1-2 bytes is a key
        {"abc\x1b[Ad", "", KEY_ESC, "abc[Ad"},  // not starting with ESC: byte by byte
        {"\xc3\xa9", "", KEY_NONE, ""},         // non-ASCII never enters the line
        {"\x08\x08", "abc", KEY_NONE, "a"},
        {"\x7f\x7f", "a", KEY_NONE, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.bytes)));
        TermData t = decode(c.bytes, c.before);
        EXPECT_EQ(t.key, c.key);
        EXPECT_STREQ(t.input, c.after);
        EXPECT_EQ(t.err_feedback[0], '\0');
        EXPECT_EQ(t.prompt_redraw, 1);
    }
}

TEST(IoDecode, EmptyReadLineLimitAndErrorCut)
{
    // A read of nothing or an error still clears a shown error and asks for the prompt row.
    TermData t{};
    strcpy(t.err_feedback, "x");
    const uint8_t bs = 0x7f;
    io_decode(&bs, -1, &t);
    EXPECT_EQ(t.err_feedback[0], '\0');
    EXPECT_EQ(t.prompt_redraw, 1);

    std::string full(TERM_INPUT_MAX - 1, 'x');
    std::string at_limit = decode("yz", full.c_str()).input;
    EXPECT_EQ(at_limit, full + "y");
    // Backspace still works at the limit.
    EXPECT_EQ(decode("\x7fk", at_limit.c_str()).input, full + "k");

    // A shown error is cut at 100 characters; a shorter one clears the rest of the field.
    ctx_init();
    ctx_err_feedback("%s", std::string(150, 'e').c_str());
    EXPECT_EQ(strlen(ctx_get()->err_feedback), 100u);
    ctx_err_feedback("Could not join network! err %hu", static_cast<unsigned short>(1));
    EXPECT_STREQ(ctx_get()->err_feedback, "Could not join network! err 1");
    EXPECT_EQ(ctx_get()->err_feedback[40], '\0');
}
