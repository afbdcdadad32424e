// Engine events in the terminal: the lines they leave in the channel files (byte images through the
// real message store), delivery marks, which screens they redraw, and the open channel let go when
// the engine drops its network.
#include <cstring>
#include <string>

#include "protocol/protocol.hpp"
#include "terminal_fixture.hpp"

const uint32_t kNet = ip("224.1.2.3");
const uint32_t kBob = ip("10.0.0.7");

class Events : public TermTest {
  protected:
    static std::string le32(uint32_t v) { return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }
    // The image of a stored line: every byte not named is zero. 10.0.0.7 is stored least
    // significant byte first of its host-order value.
    static std::string image(int64_t time, uint32_t id, uint8_t type, const std::string& user,
                             const std::string& text,
                             const std::string& addr = std::string("\x07\0\0\x0a", 4))
    {
        std::string s = le32(static_cast<uint32_t>(time)) + std::string(4, '\0') + le32(id) + addr;
        s.resize(JX_MSG_SLOT_SIZE);
        s[17] = static_cast<char>(type);
        return s.replace(18, user.size(), user).replace(100, text.size(), text);
    }
    // Slot n of a channel file.
    std::string slot(const char* file, size_t n) const
    {
        return slurp(file).substr(n * JX_MSG_SLOT_SIZE, JX_MSG_SLOT_SIZE);
    }
};

TEST_F(Events, NoticesTextsAndDeliveryMarksAreStoredInTheirChannelFiles)
{
    // Fifteen characters, hostile ones among them: stored as received, the screen makes them harmless.
    const std::string h = "\x1b]0;x\x07\x1b[2Jabcde", hostile = "hi\x1b[31m\r\nthere\t!",
                      longest(JX_PAYLOAD_MAX, 'z');
    raise(EV_PEER_JOINED, jx_build_user_ev(kNet, kBob, h.c_str(), ""));
    raise(EV_PEER_RENAMED, jx_build_user_ev(kNet, kBob, "robert", h.c_str()));
    raise(EV_PEER_LEFT, jx_build_user_ev(kNet, kBob, h.c_str(), ""));
    raise(EV_PEER_DROPPED, jx_build_user_ev(kNet, kBob, h.c_str(), ""));
    raise(EV_TXT_RECEIVED, jx_build_msg_ev(hostile.data(), hostile.size(), CH_MAIN, 0x11223344, kNet, kBob,
                                           kNow - 5, "abcdefghijklmno"));
    raise(EV_TXT_RECEIVED,
          jx_build_msg_ev(longest.data(), longest.size(), CH_MAIN, 9, kNet, kBob, kNow, "bob"));
    raise(EV_TXT_SENT, jx_build_msg_ev("yo", 2, CH_NET_DM, 0xA0B0C0D0, kNet, kBob, kNow, "alice"));
    // Notices carry the time they are written, not when the event was raised.
    jx_clock_advance(3);
    io_proc_event();
    EXPECT_EQ(slurp("msg/030201e0").substr(0, 12), le32(6) + le32(6) + le32(100));  // last, count, capacity
    const std::string notices[] = {h + "(10.0.0.7) joined", "Username " + h + " changed to robert(10.0.0.7)",
                                   h + "(10.0.0.7) left", h + "(10.0.0.7) dropped (timed out)"};
    for (size_t i = 0; i < 4; i++)
        EXPECT_EQ(slot("msg/030201e0", i + 1),
                  image(kNow + 3, 0, MSG_NOTICE, "", notices[i], std::string(4, '\0')));
    EXPECT_EQ(slot("msg/030201e0", 5), image(kNow - 5, 0x11223344, MSG_RECEIVED, "abcdefghijklmno", hostile));
    EXPECT_EQ(slot("msg/030201e0", 6), image(kNow, 9, MSG_RECEIVED, "bob", longest));
    EXPECT_EQ(slot("msg/030201e0_0700000a", 1), image(kNow, 0xA0B0C0D0, MSG_SENT, "alice", "yo"));

    // Delivery reports mark the newest line of their id: only its type byte changes. An id that is
    // not stored changes nothing.
    for (const auto& [text, id] : {std::pair{"one", 5}, {"two", 6}, {"three", 5}, {"four", 7}, {"five", 8}})
        raise(EV_TXT_SENT, jx_build_msg_ev(text, strlen(text), CH_MAIN, id, kNet, kNet, kNow, "alice"));
    io_proc_event();
    std::string want = slurp("msg/030201e0");
    raise(EV_TXT_DELIVERED, jx_build_msg_ev("", 0, CH_MAIN, 5, kNet, kBob, 0, ""));
    raise(EV_TXT_UNDELIVERED, jx_build_msg_ev("", 0, CH_MAIN, 7, kNet, kNet, 0, ""));
    raise(EV_TXT_PARTLY_UNDELIVERED, jx_build_msg_ev("", 0, CH_MAIN, 8, kNet, kNet, 0, ""));
    raise(EV_TXT_DELIVERED, jx_build_msg_ev("", 0, CH_MAIN, 99, kNet, kNet, 0, ""));
    io_proc_event();
    want[9 * JX_MSG_SLOT_SIZE + 17] = MSG_DELIVERED;
    want[10 * JX_MSG_SLOT_SIZE + 17] = MSG_UNDELIVERED;
    want[11 * JX_MSG_SLOT_SIZE + 17] = MSG_PARTLY_UNDELIVERED;
    EXPECT_TRUE(slurp("msg/030201e0") == want);
    EXPECT_TRUE(log_line("Message undelivered dst: [224.1.2.3], ch: [030201e0], id: [7]"));
    EXPECT_TRUE(log_line("Message partly undelivered dst: [224.1.2.3], ch: [030201e0], id: [8]"));
    EXPECT_EQ(log_count("id: [5]"), 0u);
}

TEST_F(Events, RedrawOnlyTheScreenAnEventConcernsAndLetTheOpenChannelGo)
{
    JXChannel* main_ch = join("224.1.2.3");
    add_peer(kNet, "10.0.0.7", "bob");
    JXChannel* dm = add_ch(kNet, kBob);
    JXChannel* dip = join("10.9.8.7");  // a private network's only channel
    dip->type = CH_DM;
    auto txt = [](uint8_t type, uint32_t a, uint32_t b) {
        return jx_build_msg_ev("x", 1, type, 1, a, b, kNow, "u");
    };
    auto user = [](uint32_t net) { return jx_build_user_ev(net, kBob, "e", "eve"); };
    // The open channel screen: texts of its own channel and news of its network only. Other screens
    // by what they list; an unknown kind redraws nothing.
    // clang-format off
    const std::tuple<uint32_t, JXChannel*, uint8_t, void*, bool> cases[] = {
        {STATE_CHANNEL, main_ch, EV_TXT_RECEIVED, txt(CH_NET_DM, kNet, kBob), false},
        {STATE_CHANNEL, main_ch, EV_TXT_RECEIVED, txt(CH_MAIN, kNet, kBob), true},
        {STATE_CHANNEL, dm, EV_TXT_DELIVERED, txt(CH_NET_DM, kNet, kBob), true},
        {STATE_CHANNEL, dip, EV_TXT_RECEIVED, txt(CH_DM, dip->net_addr, dip->net_addr), true},
        {STATE_CHANNEL, dm, EV_PEER_JOINED, user(kNet), true},
        {STATE_CHANNEL, main_ch, EV_NET_REFRESH, jx_build_net_ev(ip("224.9.9.9")), false},
        {STATE_HELP, main_ch, EV_TXT_RECEIVED, txt(CH_MAIN, kNet, kBob), false},
        {STATE_CHANNEL_LIST, nullptr, EV_TXT_RECEIVED, txt(CH_NET_DM, kNet, kBob), true},
        {STATE_NETWORK_LIST, nullptr, EV_PEER_DROPPED, user(kNet), true},
        {STATE_PEER_LIST, main_ch, EV_PEER_RENAMED, user(kNet), true},
        {STATE_START, nullptr, EV_NET_CHANGED, jx_build_net_ev(kNet), true},
        {STATE_CHANNEL_LIST, nullptr, 42, jx_build_net_ev(kNet), false}};
    // clang-format on
    for (size_t i = 0; i < std::size(cases); i++) {
        const auto& [state, open, kind, payload, refresh] = cases[i];
        state_set(state);
        state_change();
        ctx_get()->channel = open;
        ctx_get()->refresh = 1;  // whatever was left from the last turn is cleared
        raise(kind, payload);
        io_proc_event();
        EXPECT_EQ(ctx_get()->refresh, refresh ? 1 : 0) << i;
    }

    // When the engine removes a network on its own (as when adding a private network's peer
    // fails), the next turn lets the open channel go and redraws the screen at once: no header, no
    // lines.
    ctx_get()->channel = dip;
    show(STATE_CHANNEL);
    ASSERT_EQ(jx_leave_network(jx_network_by_addr(dip->net_addr)), 0);
    const std::string out = turn();
    EXPECT_EQ(screen(out, 0, 21), Strs(22, ""));
    EXPECT_EQ(std::make_pair(screen_row(out, 23), ctx_get()->channel),
              std::make_pair(std::string("[alice]"), static_cast<JXChannel*>(nullptr)));
    EXPECT_TRUE(log_line("Open channel is gone, deselected"));
}
