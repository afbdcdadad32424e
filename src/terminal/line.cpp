#include "terminal/line.hpp"

#include <cstring>

#include "foundation/utf8.hpp"
#include "terminal/ctx.hpp"
#include "terminal/keys.hpp"

namespace {

size_t line_len(const TermData* t)
{
    return strnlen(t->input, TERM_INPUT_MAX);
}

void set_cursor(TermData* t, size_t pos)
{
    t->input_back = static_cast<uint16_t>(line_len(t) - pos);
}

// Removes the bytes [from, to) of the line; the cursor keeps its place after them.
void cut(TermData* t, size_t from, size_t to)
{
    const size_t len = line_len(t);
    memmove(t->input + from, t->input + to, len - to);
    memset(t->input + len - (to - from), 0, to - from);
}

bool blank(char c)
{
    return c == ' ' || c == '\t';
}

}  // namespace

size_t line_cursor(const TermData* t)
{
    const size_t len = line_len(t);
    return t->input_back < len ? len - t->input_back : 0;
}

bool line_insert(TermData* t, const char* ch, size_t len)
{
    const size_t n = line_len(t);
    if (len == 0 || n + len > TERM_INPUT_MAX)
        return false;
    const size_t cur = line_cursor(t);
    memmove(t->input + cur + len, t->input + cur, n - cur + 1);
    memcpy(t->input + cur, ch, len);
    return true;
}

bool line_edit(TermData* t, uint8_t key)
{
    const size_t len = line_len(t);
    const size_t cur = line_cursor(t);
    switch (key) {
    case KEY_BACKSPACE:
        cut(t, cur - jx_utf8_last_len(t->input, cur), cur);
        break;
    case KEY_LEFT:
        set_cursor(t, cur - jx_utf8_last_len(t->input, cur));
        break;
    case KEY_RIGHT:
        if (cur < len) {
            const size_t k = jx_utf8_len(t->input + cur, len - cur);
            set_cursor(t, cur + (k != 0 ? k : 1));
        }
        break;
    case KEY_HOME:
        set_cursor(t, 0);
        break;
    case KEY_END:
        t->input_back = 0;
        break;
    case KEY_CTRL_U:
        cut(t, 0, cur);
        break;
    case KEY_CTRL_W: {
        size_t p = cur;
        while (p > 0 && blank(t->input[p - 1]))
            p--;
        while (p > 0 && !blank(t->input[p - 1]))
            p--;
        cut(t, p, cur);
        break;
    }
    default:
        return false;
    }
    return true;
}

void line_clear(TermData* t)
{
    memset(t->input, 0, sizeof t->input);
    t->input_back = 0;
}
