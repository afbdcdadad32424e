// Shared set-up for the terminal tests: a fresh context of a chosen window size, the home screen
// installed, and everything drawn captured.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/comm.hpp"
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
        memset(jx_comm_get()->username, 0, sizeof jx_comm_get()->username);
        strcpy(jx_comm_get()->username, "alice");
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

    // Types a line into the input as keystrokes would.
    void type(const char* s)
    {
        for (const char* p = s; *p; p++) {
            uint8_t b = static_cast<uint8_t>(*p);
            io_decode(&b, 1, ctx_get());
        }
    }
};
