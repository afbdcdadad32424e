#include "terminal/screens/list_draw.hpp"

#include <cstdio>
#include <cstring>
#include <string>

#include "engine/registry.hpp"
#include "terminal/ctx.hpp"
#include "terminal/io.hpp"

uint32_t list_move_sel(const jx_list* list, list_addr_fn addr_of, uint32_t sel, bool down)
{
    if (list == nullptr || jx_list_head(list) == nullptr)
        return 0;
    uint32_t first = addr_of(jx_list_data(jx_list_head(list)));
    uint32_t last = addr_of(jx_list_data(jx_list_tail(list)));
    if (down && sel == 0)
        return first;
    uint32_t prev = 0;
    for (jx_list_elmt* e = jx_list_head(list); e != nullptr; e = jx_list_next(e)) {
        uint32_t a = addr_of(jx_list_data(e));
        if (a != sel) {
            prev = a;
            continue;
        }
        if (down)
            return jx_list_next(e) != nullptr ? addr_of(jx_list_data(jx_list_next(e))) : sel;
        return jx_list_is_head(list, e) ? sel : prev;
    }
    return down ? 0 : last;
}

uint16_t list_sel_pos(const jx_list* list, list_addr_fn addr_of, uint32_t sel)
{
    if (list == nullptr || jx_list_head(list) == nullptr)
        return 0;
    if (sel == 0)
        return 1;
    uint16_t i = 0;
    for (jx_list_elmt* e = jx_list_head(list); e != nullptr; e = jx_list_next(e)) {
        i++;
        if (addr_of(jx_list_data(e)) == sel)
            return i;
    }
    return i;
}

void list_cell(const char* text, int c, bool bar, bool untrusted)
{
    size_t len = strlen(text);
    const char* tail = bar ? "|" : "";
    if (len <= static_cast<size_t>(c > 0 ? c : 0)) {
        if (untrusted)
            io_printf("%*s%s", c, io_safe(text, len).c_str(), tail);
        else
            io_printf("%*s%s", c, text, tail);
        return;
    }
    int keep = c > 3 ? c - 3 : 0;
    // Cut before sanitizing: a multi-byte character split by the cut becomes '?' instead of a
    // broken sequence.
    std::string head =
        untrusted ? io_safe(text, static_cast<size_t>(keep)) : std::string(text, static_cast<size_t>(keep));
    io_printf("%*.*s...%s", keep, keep, head.c_str(), tail);
}

void list_name_cell(const char* username, int c)
{
    char name[sizeof(JXPeer::username)] = {};
    memcpy(name, username, strnlen(username, sizeof name - 1));
    list_cell(name, c, true, true);
}
