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
#include <regex>
#include <string>
#include <vector>

#include "engine/events.hpp"
#include "engine/registry.hpp"
#include "foundation/utf8.hpp"
#include "support/engine_root.hpp"
#include "terminal/cmd.hpp"
#include "terminal/ctx.hpp"
#include "terminal/io.hpp"
#include "terminal/keys.hpp"
#include "terminal/remember.hpp"
#include "terminal/state_machine.hpp"
#include "terminal/term.hpp"

extern bool g_own_netns;

using namespace jxtest;  // ip(), drop_events() and the storage-root fixture, shared with the engine suite

using Strs = std::vector<std::string>;

// 2025-06-15 15:13:20 UTC.
inline constexpr int64_t kNow = 1'750'000'400;

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
        remember_load(cmd_join_refused);  // as at start: nothing remembered on a fresh root
    }

    // A fresh context of w x h on the home screen, user alice, drawing captured.
    static void reset(int w, int h)
    {
        io_capture_end();
        ctx_init();
        ctx_get()->term_w = w;
        ctx_get()->term_h = h;
        snprintf(jx_comm_get()->username, sizeof jx_comm_get()->username, "alice");
        state_init();
        io_capture_begin();
    }

    // One turn of the loop after the engine's steps: events, a resize when asked, then the key (if
    // any) through the screens; what it drew.
    static std::string turn(uint8_t key = KEY_NONE, bool resized = false)
    {
        std::vector<KeyEvent> typed;
        if (key != KEY_NONE)
            typed.push_back(KeyEvent{key, 0, {}});
        return turn_typed(typed, resized);
    }
    static std::string turn_typed(const std::vector<KeyEvent>& typed, bool resized = false)
    {
        io_capture_end();
        io_capture_begin();
        term_turn(typed, resized);
        return io_capture_end();
    }

    // The rows (without trailing blanks) that a terminal of the window's size shows after a drawing:
    // what follows the last clear, without CSI sequences; a row per LF, drawn again from its start
    // after CR, wrapped at the window's width (wide characters take two cells). Rows from..to (to
    // -1: the last); every drawing must fit the window.
    static Strs screen(const std::string& out, int from = 0, int to = -1)
    {
        const int w = ctx_get()->term_w, h = ctx_get()->term_h;
        const size_t clear = out.rfind("\x1b[2J");
        const std::string s = std::regex_replace(out.substr(clear == std::string::npos ? 0 : clear),
                                                 std::regex("\x1b\\[[0-9;?]*[@-~]"), "");
        Strs rows(1);
        bool cr = false;
        for (size_t i = 0, len = 1, cells = 0; i < s.size(); i += len) {
            len = std::max<size_t>(jx_utf8_len(&s[i], s.size() - i), 1);
            const size_t cw = static_cast<size_t>(std::max(jx_char_cells(jx_utf8_decode(&s[i], len)), 1));
            if (s[i] == '\r')
                cr = true;
            else if (s[i] == '\n')
                rows.emplace_back(), cells = 0, cr = false;
            else if (cr)  // the row drawn again from its start
                rows.back() = s.substr(i, len), cells = cw, cr = false;
            else if (cells + cw > static_cast<size_t>(w))
                rows.push_back(s.substr(i, len)), cells = cw;
            else
                rows.back() += s.substr(i, len), cells += cw;
        }
        EXPECT_LE(rows.size(), static_cast<size_t>(h)) << "a drawing taller than the window";
        rows.resize(h);
        for (std::string& r : rows)
            r.erase(r.find_last_not_of(' ') + 1);
        return Strs(rows.begin() + from, rows.begin() + (to < 0 ? h : to + 1));
    }
    static std::string screen_row(const std::string& s, int r) { return screen(s, r, r)[0]; }
    // Whether the row starting with r is drawn highlighted: the selection colours before it.
    static bool selected(const std::string& o, const char* r)
    {
        return o.find(IO_SEL + std::string(r)) != o.npos;
    }
    static std::string pad(size_t n) { return std::string(n, ' '); }
    // The screen shown and the open channel.
    static void expect_at(uint32_t state, const JXChannel* ch)
    {
        EXPECT_EQ(state_get(), state);
        EXPECT_EQ(ctx_get()->channel, ch);
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

    // bytes arrive on standard input in one write (a paste, keys pressed together) and are taken in
    // as the loop does: one read, then one turn; with pause, nothing follows them for long enough
    // that a lone Esc counts. The decoder lives on between bursts, as a sequence may be split.
    static std::string burst(const std::string& bytes, bool pause = false)
    {
        static KeyDecoder keys;
        static int64_t now = 0;
        int p[2];
        EXPECT_EQ(pipe(p), 0);
        EXPECT_EQ(write(p[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        close(p[1]);
        std::vector<KeyEvent> typed;
        now += KEYS_ESC_WAIT_US / 10;
        EXPECT_EQ(keys_read(p[0], &keys, now, &typed), static_cast<long>(bytes.size()));
        close(p[0]);
        if (pause)
            keys_expire(&keys, now += KEYS_ESC_WAIT_US, &typed);
        return turn_typed(typed);
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

    // A direct channel with a peer.
    static JXChannel* add_ch(uint32_t net, uint32_t peer)
    {
        JXChannel* ch = nullptr;
        EXPECT_EQ(jx_add_channel(net, peer, &ch), 0);
        drop_events();
        return ch;
    }

    // Stores one line in a channel file through the real store.
    static void store(const char* fn, uint8_t type, const char* user, const char* text, uint64_t time = kNow)
    {
        JXStoredMsg m{};
        m.type = type;
        m.time = time;
        snprintf(m.username, sizeof m.username, "%s", user);
        snprintf(m.text, sizeof m.text, "%s", text);
        jx_fso_store_msg(&m, fn);
    }
};
