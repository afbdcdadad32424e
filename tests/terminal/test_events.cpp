// Engine events in the terminal: the lines they leave in the channel files (byte images through the
// real message store), delivery marks, which screens they redraw, and the open channel let go when
// the engine drops its network.
#include <algorithm>
#include <cstring>
#include <string>

#include "protocol/protocol.hpp"
#include "terminal_fixture.hpp"

using namespace jxtest;

namespace {

// The image of slot n of a channel file.
std::string slot(const std::string& file, size_t n)
{
    return file.substr(std::min(file.size(), n * JX_MSG_SLOT_SIZE), JX_MSG_SLOT_SIZE);
}

std::string le32(uint32_t v)
{
    return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
            static_cast<char>(v >> 24)};
}

// The slot image a line must have: every byte not named here is zero. addr: 4 bytes as stored.
std::string image(int64_t time, uint32_t id, const char* addr, uint8_t type, const std::string& user,
                  const std::string& text)
{
    std::string s =
        le32(static_cast<uint32_t>(time)) + std::string(4, '\0') + le32(id) + std::string(addr, 4);
    s.resize(JX_MSG_SLOT_SIZE);
    s[17] = static_cast<char>(type);
    return s.replace(18, user.size(), user).replace(100, text.size(), text);
}

const uint32_t kNet = ip("224.1.2.3");
const uint32_t kBob = ip("10.0.0.7");
// 10.0.0.7 is stored least significant byte first of its host-order value.
const char kBobAddr[] = "\x07\0\0\x0a";

}  // namespace

using Events = TermTest;

TEST_F(Events, NoticesAndTextsAreStoredInTheirChannelFiles)
{
    // Fifteen characters, hostile ones among them: stored as received, the screen makes them harmless.
    const char* h = "\x1b]0;x\x07\x1b[2Jabcde";
    raise(EV_PEER_JOINED, jx_build_user_ev(kNet, kBob, h, ""));
    raise(EV_PEER_RENAMED, jx_build_user_ev(kNet, kBob, "robert", h));
    raise(EV_PEER_LEFT, jx_build_user_ev(kNet, kBob, h, ""));
    raise(EV_PEER_DROPPED, jx_build_user_ev(kNet, kBob, h, ""));
    const std::string hostile = "hi\x1b[31m\r\nthere\t!";
    const std::string longest(JX_PAYLOAD_MAX, 'z');
    raise(EV_TXT_RECEIVED, jx_build_msg_ev(hostile.data(), hostile.size(), CH_MAIN, 0x11223344, kNet, kBob,
                                           kNow - 5, "abcdefghijklmno"));
    raise(EV_TXT_RECEIVED,
          jx_build_msg_ev(longest.data(), longest.size(), CH_MAIN, 9, kNet, kBob, kNow, "bob"));
    raise(EV_TXT_SENT, jx_build_msg_ev("yo", 2, CH_NET_DM, 0xA0B0C0D0, kNet, kBob, kNow, "alice"));
    // A direct-IP network: both addresses are the remote host, the file the network's.
    raise(EV_TXT_RECEIVED, jx_build_msg_ev("dm", 2, CH_DM, 7, ip("10.9.8.7"), ip("10.9.8.7"), kNow, "carol"));
    // Notices carry the time they are written, not when the event was raised.
    jx_clock_advance(3);
    io_proc_event();
    EXPECT_EQ(queued(), 0u);

    const std::string f = slurp("msg/030201e0");
    ASSERT_EQ(f.size(), JX_MSG_FILE_SIZE);
    EXPECT_EQ(f.substr(0, 12), le32(6) + le32(6) + le32(100));  // last, count, capacity
    const std::string notices[] = {
        std::string(h) + "(10.0.0.7) joined", "Username " + std::string(h) + " changed to robert(10.0.0.7)",
        std::string(h) + "(10.0.0.7) left", std::string(h) + "(10.0.0.7) dropped (timed out)"};
    for (size_t i = 0; i < 4; i++)
        EXPECT_EQ(slot(f, i + 1), image(kNow + 3, 0, "\0\0\0\0", MSG_NOTICE, "", notices[i])) << i;
    EXPECT_EQ(slot(f, 5), image(kNow - 5, 0x11223344, kBobAddr, MSG_RECEIVED, "abcdefghijklmno", hostile));
    EXPECT_EQ(slot(f, 6), image(kNow, 9, kBobAddr, MSG_RECEIVED, "bob", longest));
    EXPECT_EQ(slot(slurp("msg/030201e0_0700000a"), 1),
              image(kNow, 0xA0B0C0D0, kBobAddr, MSG_SENT, "alice", "yo"));
    EXPECT_EQ(slot(slurp("msg/0708090a"), 1),
              image(kNow, 7, "\x07\x08\x09\x0a", MSG_RECEIVED, "carol", "dm"));
}

TEST_F(Events, DeliveryReportsMarkTheNewestLineOfTheirId)
{
    const std::pair<const char*, uint32_t> sent[] = {
        {"one", 5}, {"two", 6}, {"three", 5}, {"four", 7}, {"five", 8}};
    for (const auto& [text, id] : sent)
        raise(EV_TXT_SENT, jx_build_msg_ev(text, strlen(text), CH_MAIN, id, kNet, kNet, kNow, "alice"));
    io_proc_event();
    const std::string before = slurp("msg/030201e0");
    raise(EV_TXT_DELIVERED, jx_build_msg_ev("", 0, CH_MAIN, 5, kNet, kBob, 0, ""));
    raise(EV_TXT_UNDELIVERED, jx_build_msg_ev("", 0, CH_MAIN, 7, kNet, kNet, 0, ""));
    raise(EV_TXT_PARTLY_UNDELIVERED, jx_build_msg_ev("", 0, CH_MAIN, 8, kNet, kNet, 0, ""));
    // An id that is not stored changes nothing; a channel that has no file gets none.
    raise(EV_TXT_DELIVERED, jx_build_msg_ev("", 0, CH_MAIN, 99, kNet, kNet, 0, ""));
    raise(EV_TXT_DELIVERED, jx_build_msg_ev("", 0, CH_NET_DM, 5, kNet, ip("10.0.0.8"), 0, ""));
    io_proc_event();
    EXPECT_FALSE(std::filesystem::exists(root / "msg" / "030201e0_0800000a"));
    // Only the type bytes of slots 3 (the newer id 5), 4 and 5 change.
    std::string want = before;
    want[3 * JX_MSG_SLOT_SIZE + 17] = MSG_DELIVERED;
    want[4 * JX_MSG_SLOT_SIZE + 17] = MSG_UNDELIVERED;
    want[5 * JX_MSG_SLOT_SIZE + 17] = MSG_PARTLY_UNDELIVERED;
    EXPECT_TRUE(slurp("msg/030201e0") == want);
    EXPECT_TRUE(log_line("Message undelivered dst: [224.1.2.3], ch: [030201e0], id: [7]"));
    EXPECT_TRUE(log_line("Message partly undelivered dst: [224.1.2.3], ch: [030201e0], id: [8]"));
    EXPECT_EQ(log_count("id: [5]"), 0u);
}

TEST_F(Events, RedrawOnlyTheScreenAnEventConcerns)
{
    const uint32_t other = ip("224.9.9.9");
    const uint32_t eve = ip("10.0.0.8");
    JXChannel* main_ch = join("224.1.2.3");
    add_peer(kNet, "10.0.0.7", "bob");
    JXChannel* dm = add_ch(kNet, kBob);
    JXChannel* dip = join("10.9.8.7");  // a private network's only channel
    dip->type = CH_DM;
    auto txt = [](uint8_t type, uint32_t a, uint32_t b) {
        return jx_build_msg_ev("x", 1, type, 1, a, b, kNow, "u");
    };
    auto user = [&](uint32_t net) { return jx_build_user_ev(net, eve, "e", "eve"); };
    const struct {
        uint32_t state;
        JXChannel* open;
        uint8_t kind;
        void* payload;
        bool refresh;
    } cases[] = {// The open channel screen: texts of its own channel and news of its network only.
                 {STATE_CHANNEL, main_ch, EV_TXT_RECEIVED, txt(CH_NET_DM, kNet, eve), false},
                 {STATE_CHANNEL, main_ch, EV_TXT_RECEIVED, txt(CH_MAIN, kNet, eve), true},
                 {STATE_CHANNEL, dm, EV_TXT_DELIVERED, txt(CH_NET_DM, kNet, kBob), true},
                 {STATE_CHANNEL, dm, EV_TXT_RECEIVED, txt(CH_NET_DM, kNet, eve), false},
                 {STATE_CHANNEL, dip, EV_TXT_RECEIVED, txt(CH_DM, dip->net_addr, dip->net_addr), true},
                 {STATE_CHANNEL, dm, EV_PEER_JOINED, user(kNet), true},
                 {STATE_CHANNEL, main_ch, EV_NET_REFRESH, jx_build_net_ev(other), false},
                 // Other screens by what they list; an unknown kind redraws nothing.
                 {STATE_HELP, main_ch, EV_TXT_RECEIVED, txt(CH_MAIN, kNet, kBob), false},
                 {STATE_CHANNEL_LIST, nullptr, EV_TXT_RECEIVED, txt(CH_NET_DM, kNet, kBob), true},
                 {STATE_NETWORK_LIST, nullptr, EV_PEER_DROPPED, user(kNet), true},
                 {STATE_PEER_LIST, main_ch, EV_PEER_RENAMED, user(kNet), true},
                 {STATE_START, nullptr, EV_NET_CHANGED, jx_build_net_ev(other), true},
                 {STATE_CHANNEL_LIST, nullptr, 42, jx_build_net_ev(kNet), false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        state_set(c.state);
        state_change();
        ctx_get()->channel = c.open;
        ctx_get()->refresh = 1;  // whatever was left from the last turn is cleared
        raise(c.kind, c.payload);
        io_proc_event();
        EXPECT_EQ(ctx_get()->refresh, c.refresh ? 1 : 0);
    }
    // A null payload is only dropped; texts received are counted unread by the engine, not here.
    raise(EV_TXT_RECEIVED, nullptr);
    io_proc_event();
    EXPECT_EQ(std::make_tuple(queued(), dm->unread), std::make_tuple(0ul, uint64_t{0}));
}

TEST_F(Events, TheOpenChannelIsLetGoWhenTheEngineDropsItsNetwork)
{
    JXChannel* kept = join("10.4.4.4");
    ctx_get()->channel = join("10.5.5.5");
    show(STATE_CHANNEL);
    // A private network closed by its peer keeps its channel.
    jx_set_network_status(jx_network_by_addr(ip("10.5.5.5")), NET_CLOSED);
    io_proc_event();
    EXPECT_EQ(std::make_tuple(ctx_get()->channel, ctx_get()->refresh),
              std::make_tuple(jx_channel_by_addr(ip("10.5.5.5"), 0), uint8_t{0}));
    // The engine removes the network on its own (as when adding a private network's peer fails).
    // The next turn lets the channel go and redraws the screen at once: no header, no lines.
    ASSERT_EQ(jx_leave_network(jx_network_by_addr(ip("10.5.5.5"))), 0);
    const ScreenGrid g = grid(turn());
    EXPECT_EQ(ctx_get()->channel, nullptr);
    EXPECT_TRUE(log_line("Open channel is gone, deselected"));
    EXPECT_EQ(g.texts(0, 21), Strs(22, ""));
    EXPECT_EQ(g.text(23), "[alice]");
    // Another channel stays selected while its network lives.
    ctx_get()->channel = kept;
    io_proc_event();
    EXPECT_EQ(ctx_get()->channel, kept);
}
