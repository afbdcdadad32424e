#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

#include "foundation/utf8.hpp"

TEST(Utf8, CellsCutsAndRowsAsATerminalShowsThem)
{
    // Wide and fullwidth 2, combining marks and zero-width 0, half-width kana 1, and a byte that
    // is no character (shown as '?') or a control 1.
    const std::pair<const char*, size_t> widths[] = {
        {"Grüße", 5}, {"日本語", 6}, {"한글", 4},          {"😀✅", 4},
        {"ＡＢ", 4},  {"ｱｲ", 2},     {"e\u0301\u200b", 1}, {"\xff\x1b\xe2\x82", 4}};
    for (const auto& [s, cells] : widths)
        EXPECT_EQ(jx_str_cells(s, strlen(s)), cells) << s;
    // {text, head kept, tail kept, max cells}: never half a character; marks stay with their base
    // at the end of a head and are dropped at the start of a tail.
    const struct {
        const char *s, *head, *tail;
        size_t max;
    } cuts[] = {{"ab日本", "ab", "本", 3},
                {"ab日本", "ab日", "日本", 4},
                {"xe\u0301a\u0301b", "xe\u0301", "a\u0301b", 2}};
    for (const auto& c : cuts) {
        const size_t n = strlen(c.s);
        EXPECT_EQ(std::string(c.s, jx_str_head(c.s, n, c.max, nullptr)), c.head) << c.s;
        EXPECT_EQ(std::string(c.s + jx_str_tail(c.s, n, c.max, nullptr)), c.tail) << c.s;
    }
    // A wide character that does not fit the rest of a row goes to the next one whole.
    EXPECT_EQ(jx_str_rows("日日日", 9, 0, 3), 3u);
    EXPECT_EQ(jx_str_rows("日日日日日日日日日日", 30, 29, 50), 1u);
    EXPECT_EQ(jx_str_rows(std::string(22, 'x').c_str(), 22, 29, 50), 2u);
}
