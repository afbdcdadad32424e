// Switching screens, the frame every screen draws, and what the program does before its loop: the
// saved user name and why a start failed. (The e2e test draws the home and help screens.)
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "terminal/term.hpp"
#include "terminal_fixture.hpp"

using namespace jxtest;

namespace {

bool redrawn(const std::string& out)
{
    return out.find("\x1b[2J") != std::string::npos;
}

}  // namespace

using Screens = TermTest;

TEST_F(Screens, EveryScreenDrawsItsFrameOnceAndTheLastRequestedScreenWins)
{
    for (uint32_t s : {STATE_NETWORK_LIST, STATE_LAN_LIST, STATE_CHANNEL_LIST, STATE_PEER_LIST, STATE_CHANNEL,
                       STATE_DL_LIST, STATE_UL_LIST}) {
        SCOPED_TRACE(s);
        reset(60, 12);
        turn();
        state_set(s);
        type("abc");
        const ScreenGrid g = grid(turn());
        // The channel screen's header stays empty while no channel is open.
        EXPECT_EQ(g.text(0) != "", s != STATE_CHANNEL);
        EXPECT_EQ(g.text(10).substr(0, 6), "F1Help");
        // Idle: nothing written; a resize redraws completely. Typed text is dropped on the list
        // screens and kept on the channel screen.
        EXPECT_EQ(turn(), "");
        EXPECT_TRUE(redrawn(turn(KEY_NONE, true)));
        EXPECT_EQ(ctx_get()->input[0] != '\0', s == STATE_CHANNEL);
        turn(KEY_ESC);
        EXPECT_EQ(state_get(), STATE_START);
    }
    // Two requests in one turn: only the last screen's init runs (the first would reset the scroll).
    ctx_get()->list_offset = 5;
    ctx_get()->sel_peer = 9;
    state_set(STATE_CHANNEL_LIST);
    state_set(STATE_PEER_LIST);
    state_change();
    EXPECT_EQ(std::make_tuple(state_get(), ctx_get()->list_offset, ctx_get()->sel_peer),
              std::make_tuple(uint32_t{STATE_PEER_LIST}, uint16_t{5}, 0u));
}

TEST_F(Screens, SavedUserNameAndTheCauseOfAFailedStart)
{
    // The saved name: 15 characters at most, terminated; none (a first NUL) keeps the name.
    char* name = jx_comm_get()->username;
    for (const auto& [file, want] :
         {std::pair<std::string, const char*>{"abcdefghijklmnoEXTRA", "abcdefghijklmno"},
          {std::string(1, '\0') + "xxxxxxxxxxxxxx", "abcdefghijklmno"},
          {"bob", "bob"}}) {
        std::ofstream(root / "jx_internal" / "cfg", std::ios::binary) << file;
        term_load_cfg();
        EXPECT_STREQ(name, want);
    }
    // Nothing saved: the name in use is saved, so the next start keeps it.
    std::filesystem::remove(root / "jx_internal" / "cfg");
    term_load_cfg();
    EXPECT_EQ(slurp("jx_internal/cfg"), std::string("bob\0\0\0\0\0\0\0\0\0\0\0\0", 15));
    // The running engine holds both ports: it got 8855 itself, so 8856 is the one named. Without
    // its data socket nothing is busy and the reason is in the log.
    auto explain = [] {
        char buf[512] = {};
        FILE* f = fmemopen(buf, sizeof buf - 1, "w");
        term_explain_start_failure("jexley", f);
        fclose(f);
        return std::string(buf);
    };
    EXPECT_EQ(explain(), "UDP port 8856 is in use by another program (is Jexley already running?)\n");
    close(jx_comm_get()->data_sock);
    jx_comm_get()->data_sock = -1;
    EXPECT_EQ(explain(), "Could not open the UDP sockets on ports 8855 and 8856 (see jx_internal/log)\n");
}
