// The terminal suite's scaffolding: the engine started on a temporary root (commands and screens
// call it), the terminal context on a chosen window size with local time in UTC, turns of the
// main loop with everything drawn captured, and a small terminal model that replays a drawing
// onto rows so that layouts are checked row by row.
#pragma once

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "engine/events.hpp"
#include "engine/registry.hpp"
#include "foundation/utf8.hpp"
#include "support/engine_root.hpp"
#include "terminal/ctx.hpp"
#include "terminal/io.hpp"
#include "terminal/state_machine.hpp"

extern bool g_own_netns;

namespace jxtest {

using Strs = std::vector<std::string>;

// 2025-06-15 15:13:20 UTC.
inline constexpr int64_t kNow = 1'750'000'400;

// A drawing replayed on a w x h terminal: characters (UTF-8, wide ones in two cells, combining
// marks on the character before), CR, LF (scrolling at the bottom), and of the CSI sequences only
// home (H) and clear (2J, 3J).
struct ScreenGrid {
    int w, h, row = 0, col = 0, scrolls = 0;  // scrolls: lines pushed off the top
    std::vector<Strs> rows;                   // one string per cell; "" behind a wide character
    ScreenGrid(int width, int height, const std::string& s)
        : w(width), h(height), rows(height, Strs(width, " "))
    {
        bool wrap = false;  // the last column was written: the next character goes to a new row
        auto line_feed = [&] {
            wrap = false;
            if (++row < h)
                return;
            row = h - 1;
            rows.erase(rows.begin());
            rows.emplace_back(w, " ");
            scrolls++;
        };
        for (size_t i = 0; i < s.size(); i++) {
            if (s[i] == '\x1b' && s.compare(i + 1, 1, "[") == 0) {
                size_t j = i + 2;
                while (j < s.size() && (s[j] < 0x40 || s[j] > 0x7e))
                    j++;
                if (j < s.size() && s[j] == 'H')
                    row = col = wrap = 0;
                if (j < s.size() && s[j] == 'J' && j == i + 3 && (s[j - 1] == '2' || s[j - 1] == '3'))
                    rows.assign(h, Strs(w, " "));
                i = j;
            } else if (s[i] == '\r') {
                col = wrap = 0;
            } else if (s[i] == '\n') {
                line_feed();
            } else if (static_cast<unsigned char>(s[i]) >= 0x20) {
                const size_t len = std::max<size_t>(jx_utf8_len(&s[i], s.size() - i), 1);
                const int cw = jx_char_cells(jx_utf8_decode(&s[i], len));
                const std::string ch = s.substr(i, len);
                i += len - 1;
                if (cw == 0) {  // after the character before it, so the row reads the same
                    rows[row][wrap ? col : std::max(col - 1, 0)] += ch;
                    continue;
                }
                if (wrap || col + cw > w)
                    line_feed(), col = 0;
                rows[row][col] = ch;
                if (cw == 2)
                    rows[row][col + 1] = "";
                wrap = col + cw == w;
                col += wrap ? cw - 1 : cw;
            }
        }
    }
    // Row r, and rows from..to, without trailing blanks.
    std::string text(int r) const
    {
        std::string t;
        for (const std::string& c : rows[r])
            t += c;
        return t.substr(0, t.find_last_not_of(' ') + 1);
    }
    Strs texts(int from, int to) const
    {
        Strs t;
        for (int r = from; r <= to; r++)
            t.push_back(text(r));
        return t;
    }
};

class TermTest : public EngineRootTest {
  public:
    void SetUp() override
    {
        if (!g_own_netns)
            GTEST_SKIP() << "needs a network namespace of its own (the engine binds 8855 and 8856)";
        setenv("TZ", "UTC", 1);
        tzset();
        start_engine(kNow);
        reset(80, 24);
    }

    void TearDown() override
    {
        io_capture_end();
        ctx_get()->channel = nullptr;
        EngineRootTest::TearDown();
    }

    // A fresh context of w x h on the home screen, user alice, drawing captured.
    void reset(int w, int h)
    {
        io_capture_end();
        ctx_init();
        ctx_get()->term_w = w;
        ctx_get()->term_h = h;
        snprintf(jx_comm_get()->username, sizeof jx_comm_get()->username, "alice");
        state_init();
        io_capture_begin();
    }

    // One turn of the loop after the engine's steps: events, a resize when asked, update, state
    // change, render; what it drew.
    static std::string turn(uint8_t key = KEY_NONE, bool resized = false)
    {
        TermData* t = ctx_get();
        io_capture_end();
        io_capture_begin();
        io_proc_event();
        t->refresh = resized ? 1 : t->refresh;
        if (key != KEY_NONE) {
            io_decode(nullptr, 0, t);  // what any read does: clear feedback, redraw the prompt
            t->key = key;
        }
        state_update();
        state_change();
        if (io_check_min_size() == 0)
            state_render();
        return io_capture_end();
    }

    // What was drawn, on a grid of the window's size; every drawing must fit the window.
    static ScreenGrid grid(const std::string& out)
    {
        ScreenGrid g(ctx_get()->term_w, ctx_get()->term_h, out);
        EXPECT_EQ(g.scrolls, 0) << "a drawing taller than the window";
        return g;
    }

    // Switches to screen s (when not 0), then one turn per key; the last drawing.
    static std::string show(uint32_t s, const std::vector<uint8_t>& keys = {})
    {
        if (s != 0)
            state_set(s);
        std::string out = turn();
        for (uint8_t k : keys)
            out = turn(k);
        return out;
    }

    // Types a line (UTF-8, no keys) into the input as keystrokes would.
    static void type(const char* s)
    {
        for (size_t n = strlen(s), u = 1; n > 0 && u > 0; s += u, n -= u)
            u = io_decode(reinterpret_cast<const uint8_t*>(s), static_cast<long>(n), ctx_get());
    }

    // bytes arrive on standard input at once (a paste, keys pressed quickly) and are taken in as
    // the loop does: keyboard check, read, then the turn; until nothing is left.
    static void burst(const std::string& bytes)
    {
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        const int saved = dup(STDIN_FILENO);
        dup2(p[0], STDIN_FILENO);
        EXPECT_EQ(write(p[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        for (int turns = 0; io_keyboard_check() && turns < 1000; turns++) {
            io_input();
            turn();
        }
        dup2(saved, STDIN_FILENO);
        for (int fd : {saved, p[0], p[1]})
            close(fd);
    }

    static void raise(uint8_t kind, void* payload) { ASSERT_EQ(jx_comm_add_event(kind, payload), 0); }
    static size_t queued() { return static_cast<size_t>(jx_list_size(&jx_comm_get()->events)); }

    // Joins a network through the engine, gives it a status and returns its main channel.
    static JXChannel* join(const char* dotted, uint8_t status = NET_ONLINE)
    {
        JXChannel* ch = nullptr;
        EXPECT_EQ(jx_join_network(dotted, 0, &ch), 0) << dotted;
        jx_set_network_status(jx_network_by_addr(ip(dotted)), status);
        drop_events();
        return ch;
    }

    // A peer as a beacon would have added it.
    static JXPeer* add_peer(uint32_t net, const char* dotted, const char* name)
    {
        auto* p = static_cast<JXPeer*>(calloc(1, sizeof(JXPeer)));
        p->addr = ip(dotted);
        p->alive = 1;
        p->last_seen = jx_clock_now();
        snprintf(p->username, sizeof p->username, "%s", name);
        EXPECT_EQ(jx_set_insert(&jx_network_by_addr(net)->peers, p), 0);
        return p;
    }

    static void drop_peer(uint32_t net, const char* dotted)
    {
        JXPeer key{};
        key.addr = ip(dotted);
        void* data = &key;
        ASSERT_EQ(jx_set_remove(&jx_network_by_addr(net)->peers, &data), 0);
        free(data);
    }

    // A direct channel with a peer (0: the network's main channel).
    static JXChannel* add_ch(uint32_t net, uint32_t peer)
    {
        JXChannel* ch = nullptr;
        EXPECT_EQ(jx_add_channel(net, peer, &ch), 0);
        drop_events();
        return ch;
    }

    // Stores one line in a channel file through the real store.
    static void store(const char* fn, uint8_t type, const char* user, const char* text, uint64_t id = 0,
                      uint64_t time = kNow)
    {
        static JXStoredMsg m;
        m = JXStoredMsg{};
        m.type = type;
        m.id = id;
        m.time = time;
        snprintf(m.username, sizeof m.username, "%s", user);
        snprintf(m.text, sizeof m.text, "%s", text);
        jx_fso_store_msg(&m, fn);
    }
};

}  // namespace jxtest
