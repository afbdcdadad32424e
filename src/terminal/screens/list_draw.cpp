#include "terminal/screens/list_draw.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/registry.hpp"
#include "foundation/utf8.hpp"
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

long list_keep_row(size_t n, long found)
{
    TermData* t = ctx_get();
    if (n == 0)
        return -1;
    const long row = found >= 0 ? found : std::min<long>(t->sel_row, static_cast<long>(n) - 1);
    t->sel_row = static_cast<uint16_t>(row);
    return row;
}

uint32_t list_keep_sel(const jx_list* list, list_addr_fn addr_of, uint32_t sel)
{
    std::vector<uint32_t> rows;
    for (jx_list_elmt* e = list != nullptr ? jx_list_head(list) : nullptr; e != nullptr; e = jx_list_next(e))
        rows.push_back(addr_of(jx_list_data(e)));
    const auto it = sel != 0 ? std::find(rows.begin(), rows.end(), sel) : rows.end();
    const long row = list_keep_row(rows.size(), it != rows.end() ? it - rows.begin() : -1);
    return row < 0 ? 0 : rows[static_cast<size_t>(row)];
}

void list_cell(const char* text, int c, bool bar, bool untrusted)
{
    const std::string shown = untrusted ? io_safe(text, strlen(text)) : std::string(text);
    const size_t width = c > 0 ? static_cast<size_t>(c) : 0;
    const char* tail = bar ? "|" : "";
    if (jx_str_cells(shown.c_str(), shown.size()) <= width) {
        io_printf("%s%s", io_rjust(shown, c).c_str(), tail);
        return;
    }
    // The first c - 3 cells and "...": cut between characters, a blank in front for half a wide
    // character that did not fit.
    const int keep = c > 3 ? c - 3 : 0;
    const std::string head =
        shown.substr(0, jx_str_head(shown.c_str(), shown.size(), static_cast<size_t>(keep), nullptr));
    io_printf("%s...%s", io_rjust(head, keep).c_str(), tail);
}

void list_name_cell(const char* username, int c)
{
    char name[sizeof(JXPeer::username)] = {};
    memcpy(name, username, strnlen(username, sizeof name - 1));
    list_cell(name, c, true, true);
}
