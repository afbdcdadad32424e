// Keyboard decoding: every key sequence, the input line's edits and its limit.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "terminal/ctx.hpp"
#include "terminal/io.hpp"

namespace {

struct Decoded {
    uint8_t key;
    std::string input;
};

Decoded decode(const std::string& bytes, const char* start_input = "")
{
    TermData t{};
    strcpy(t.input, start_input);
    io_decode(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<long>(bytes.size()), &t);
    return {t.key, t.input};
}

}  // namespace

TEST(IoDecode, EscapeSequencesGiveTheirKeys)
{
    struct {
        const char* seq;
        uint8_t key;
    } cases[] = {
        {"\x1b[A", KEY_UP},
        {"\x1b[B", KEY_DOWN},
        {"\x1b[D", KEY_LEFT},
        {"\x1b[C", KEY_RIGHT},
        {"\x1bOP", KEY_F1},
        {"\x1bOQ", KEY_F2},
        {"\x1bOR", KEY_F3},
        {"\x1bOS", KEY_F4},
        {"\x1b[5~", KEY_PGUP},
        {"\x1b[6~", KEY_PGDN},
        {"\x1b[3~", KEY_DEL},
        {"\x1b[15~", KEY_F5},
        {"\x1b[17~", KEY_F6},
        {"\x1b[18~", KEY_F7},
        {"\x1b[19~", KEY_F8},
        // Only the third byte of a four-byte sequence counts.
        {"\x1b[3x", KEY_DEL},
        {"\x1b[5\x01", KEY_PGUP},
    };
    for (const auto& c : cases) {
        Decoded d = decode(c.seq, "ab");
        EXPECT_EQ(d.key, c.key) << "sequence " << (c.seq + 1);
        EXPECT_EQ(d.input, "ab") << "a sequence never edits the input: " << (c.seq + 1);
    }
}

TEST(IoDecode, UnknownAndLongSequencesAreDroppedWhole)
{
    const char* dropped[] = {
        "\x1b[16~",  // F5..F8 only: 16 is no key
        "\x1b[1x~", "\x1b[15x", "\x1b[Z", "\x1bOT", "\x1b[4~", "\x1b[21~x", "\x1b[15~ab", "\x1bxyz",
    };
    for (const char* s : dropped) {
        Decoded d = decode(s, "q");
        EXPECT_EQ(d.key, KEY_NONE) << (s + 1);
        EXPECT_EQ(d.input, "q") << (s + 1);
    }
}

TEST(IoDecode, SingleBytesAndBursts)
{
    EXPECT_EQ(decode("\x1b").key, KEY_ESC);
    EXPECT_EQ(decode("\t").key, KEY_TAB);
    EXPECT_EQ(decode("\r").key, KEY_ENTER);
    EXPECT_EQ(decode("\x14").key, KEY_CTRL_T);
    // Ctrl-C and other control bytes are ignored.
    Decoded ctl = decode("\x03\x01", "x");
    EXPECT_EQ(ctl.key, KEY_NONE);
    EXPECT_EQ(ctl.input, "x");

    // Letters and Enter typed quickly arrive together and are both taken.
    Decoded burst = decode("ab\r");
    EXPECT_EQ(burst.key, KEY_ENTER);
    EXPECT_EQ(burst.input, "ab");

    // The later key wins; an ESC inside a burst of 1-2 bytes is a key, not a sequence start.
    EXPECT_EQ(decode("\t\r").key, KEY_ENTER);
    Decoded alt = decode("\x1bq");
    EXPECT_EQ(alt.key, KEY_ESC);
    EXPECT_EQ(alt.input, "q");

    // A burst that does not start with ESC is taken byte by byte, whatever its length.
    Decoded seven = decode("abc\x1b[Ad");
    EXPECT_EQ(seven.key, KEY_ESC);
    EXPECT_EQ(seven.input, "abc[Ad");

    // Non-ASCII bytes never enter the input line.
    EXPECT_EQ(decode("\xc3\xa9").input, "");
}

TEST(IoDecode, BackspaceAndLimit)
{
    EXPECT_EQ(decode("\x7f", "abc").input, "ab");
    EXPECT_EQ(decode("\x08\x08", "abc").input, "a");
    EXPECT_EQ(decode("\x7f\x7f", "a").input, "");

    // Backspace on an empty line still clears a shown error and asks for the prompt row.
    TermData t{};
    strcpy(t.err_feedback, "Unsupported command!");
    const uint8_t bs = 0x7f;
    io_decode(&bs, 1, &t);
    EXPECT_EQ(t.input[0], '\0');
    EXPECT_EQ(t.err_feedback[0], '\0');
    EXPECT_EQ(t.prompt_redraw, 1);

    // Same for a read of nothing or an error.
    strcpy(t.err_feedback, "x");
    t.prompt_redraw = 0;
    io_decode(&bs, -1, &t);
    EXPECT_EQ(t.err_feedback[0], '\0');
    EXPECT_EQ(t.prompt_redraw, 1);

    std::string full(TERM_INPUT_MAX - 1, 'x');
    Decoded d = decode("yz", full.c_str());
    EXPECT_EQ(d.input.size(), TERM_INPUT_MAX);
    EXPECT_EQ(d.input.back(), 'y');
    // Backspace still works at the limit.
    EXPECT_EQ(decode("\x7fk", d.input.c_str()).input.size(), TERM_INPUT_MAX);
}

TEST(IoDecode, ErrorFeedbackIsCutAt100)
{
    ctx_init();
    std::string longer(150, 'e');
    ctx_err_feedback("%s", longer.c_str());
    EXPECT_EQ(strlen(ctx_get()->err_feedback), 100u);
    ctx_err_feedback("Could not join network! err %hu", static_cast<unsigned short>(1));
    EXPECT_STREQ(ctx_get()->err_feedback, "Could not join network! err 1");
    // The rest of the field is cleared, not left from the longer message.
    EXPECT_EQ(ctx_get()->err_feedback[40], '\0');
}
