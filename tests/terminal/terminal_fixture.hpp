// Shared set-up for the terminal tests: a fresh context of a chosen window size, the home screen
// installed, and everything drawn captured.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/comm.hpp"
#include "screen_grid.hpp"
#include "terminal/ctx.hpp"
#include "terminal/io.hpp"
#include "terminal/state_machine.hpp"

extern bool g_own_netns;

class TermTest : public testing::Test {
  protected:
    void SetUp() override { reset(80, 24); }
    void TearDown() override { io_capture_end(); }

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
    // change, render.
    std::string turn(uint8_t key = KEY_NONE, bool resized = false)
    {
        TermData* t = ctx_get();
        io_capture_end();
        io_capture_begin();
        io_proc_event();
        if (resized)
            t->refresh = 1;
        if (key != KEY_NONE) {
            const uint8_t none[1] = {0};
            io_decode(none, 0, t);  // what any read does: clear feedback, redraw the prompt
            t->key = key;
        }
        state_update();
        state_change();
        if (io_check_min_size() == 0)
            state_render();
        return io_capture_end();
    }

    // What was drawn, replayed on a grid of the window's size; every drawing must fit the window.
    static ScreenGrid grid(const std::string& out)
    {
        ScreenGrid g(ctx_get()->term_w, ctx_get()->term_h);
        g.feed(out);
        EXPECT_EQ(g.scrolls, 0) << "a drawing taller than the window";
        return g;
    }

    // One turn per key; the last drawing.
    std::string press(const std::vector<uint8_t>& keys)
    {
        std::string out;
        for (uint8_t k : keys)
            out = turn(k);
        return out;
    }

    // Switches to screen s, then presses keys; the last drawing.
    std::string show(uint32_t s, const std::vector<uint8_t>& keys = {})
    {
        state_set(s);
        std::string out = turn();
        return keys.empty() ? out : press(keys);
    }

    // Types a line into the input as keystrokes would.
    void type(const char* s)
    {
        for (const char* p = s; *p; p++) {
            uint8_t b = static_cast<uint8_t>(*p);
            io_decode(&b, 1, ctx_get());
        }
    }
};
