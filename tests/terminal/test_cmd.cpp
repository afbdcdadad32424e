// Commands and function keys against a real engine: what each line does to the screen state, the
// open channel and the engine, and every refusal text byte for byte.
#include <poll.h>

#include <string>

#include "chat_fixture.hpp"
#include "protocol/protocol.hpp"
#include "terminal/cmd.hpp"

using namespace chat_test;

namespace {

struct Outcome {
    uint32_t state;     // screen after the line (the state change applied)
    std::string error;  // what the prompt row would show after "Error: "
};

// Runs one line from a known screen, as Enter would.
Outcome eval(const std::string& line, uint32_t from = STATE_START)
{
    state_set(from);
    state_change();
    memset(ctx_get()->err_feedback, 0, sizeof ctx_get()->err_feedback);
    cmd_eval(line.data(), line.size());
    state_change();
    return {state_get(), ctx_get()->err_feedback};
}

Outcome fkey(uint8_t key, uint32_t from = STATE_START)
{
    state_set(from);
    state_change();
    memset(ctx_get()->err_feedback, 0, sizeof ctx_get()->err_feedback);
    cmd_fkey_eval(key);
    state_change();
    return {state_get(), ctx_get()->err_feedback};
}

size_t network_count()
{
    return static_cast<size_t>(jx_set_size(&jx_comm_get()->networks));
}

}  // namespace

using Cmd = ChatTest;

TEST_F(Cmd, MatchingIsExactCaseSensitiveAndUntrimmed)
{
    EXPECT_EQ(eval("/help").state, STATE_HELP);
    EXPECT_EQ(eval("/chs").state, STATE_CHANNEL_LIST);
    EXPECT_EQ(eval("/dl").state, STATE_DL_LIST);
    EXPECT_EQ(eval("/ul").state, STATE_UL_LIST);
    EXPECT_EQ(eval("/addrs").state, STATE_LAN_LIST);
    // The network list takes any tail, and "/networks" too.
    EXPECT_EQ(eval("/nets").state, STATE_NETWORK_LIST);
    EXPECT_EQ(eval("/netsX").state, STATE_NETWORK_LIST);
    EXPECT_EQ(eval("/nets 1.2.3.4").state, STATE_NETWORK_LIST);
    EXPECT_EQ(eval("/networks").state, STATE_NETWORK_LIST);

    for (const char* bad : {"/chsX", "/help ", "/HELP", "/dl ", "/ul2", "/addrs!", "/join", "/uname", "/snd",
                            "/rjx", "/peersX", "/", "/xyz", "/net", "/Nets"}) {
        Outcome o = eval(bad);
        EXPECT_EQ(o.state, STATE_START) << bad;
        EXPECT_EQ(o.error, "Unsupported command!") << bad;
    }

    // Length limits: nothing at all for an empty line; over 1470 refused before matching.
    Outcome empty = eval("");
    EXPECT_EQ(empty.state, STATE_START);
    EXPECT_EQ(empty.error, "");
    EXPECT_EQ(eval("/" + std::string(1469, 'a')).error, "Unsupported command!");
    EXPECT_EQ(eval("/help" + std::string(1466, ' ')).error, "Command too long");
    EXPECT_EQ(eval(std::string(1471, 'x')).error, "Command too long");

    // Only the first n bytes count, whatever follows them.
    state_set(STATE_START);
    state_change();
    cmd_eval("/helpme", 5);
    state_change();
    EXPECT_EQ(state_get(), STATE_HELP);

    // A line not starting with "/" is a text, even when a command follows a blank.
    EXPECT_EQ(eval(" /help").error, "No network joined or selected!");
    EXPECT_EQ(eval("hello").error, "No network joined or selected!");
}

TEST_F(Cmd, FunctionKeysAndTheirRefusalsWithoutAChannel)
{
    EXPECT_EQ(fkey(KEY_F1).state, STATE_HELP);
    EXPECT_EQ(fkey(KEY_F2).state, STATE_NETWORK_LIST);
    EXPECT_EQ(fkey(KEY_F3).state, STATE_LAN_LIST);
    EXPECT_EQ(fkey(KEY_F4).state, STATE_CHANNEL_LIST);
    EXPECT_EQ(fkey(KEY_F6).state, STATE_DL_LIST);
    EXPECT_EQ(fkey(KEY_F7, STATE_HELP).state, STATE_UL_LIST);

    Outcome f5 = fkey(KEY_F5, STATE_HELP);
    EXPECT_EQ(f5.state, STATE_HELP);
    EXPECT_EQ(f5.error, "No network selected");
    EXPECT_EQ(eval("/peers").error, "No network selected");
    Outcome f8 = fkey(KEY_F8);
    EXPECT_EQ(f8.state, STATE_START);
    EXPECT_EQ(f8.error, "No channel selected");

    const uint8_t others[] = {KEY_UP, KEY_ENTER, KEY_ESC, KEY_CTRL_T, 19, 200};
    for (uint8_t k : others) {
        Outcome o = fkey(k, STATE_HELP);
        EXPECT_EQ(o.state, STATE_HELP) << int(k);
        EXPECT_EQ(o.error, "") << int(k);
    }

    // With a channel open, F5 shows its peers and F8 goes back to it.
    ctx_get()->channel = join("224.1.2.3");
    EXPECT_EQ(fkey(KEY_F5).state, STATE_PEER_LIST);
    EXPECT_EQ(eval("/peers").state, STATE_PEER_LIST);
    Outcome back = fkey(KEY_F8, STATE_DL_LIST);
    EXPECT_EQ(back.state, STATE_CHANNEL);
    EXPECT_EQ(back.error, "");
}

TEST_F(Cmd, JoinChecksTrimsAndOpensTheMainChannel)
{
    // 16 characters are refused before the engine is asked.
    Outcome o = eval("/join 192.168.100.2001");
    EXPECT_EQ(o.error, "Invalid address input!");
    EXPECT_EQ(network_count(), 0u);
    // Blanks count before the trim.
    EXPECT_EQ(eval("/join 10.0.0.1" + std::string(8, ' ')).error, "Invalid address input!");

    // The engine's refusals carry its code.
    EXPECT_EQ(eval("/join abc").error, "Could not join network! err 1");
    EXPECT_EQ(eval("/join ").error, "Could not join network! err 1");
    EXPECT_EQ(eval("/join 10.0.0").error, "Could not join network! err 1");
    EXPECT_EQ(eval("/join 127.0.0.1").error, "Could not join network! err 7");
    EXPECT_EQ(eval("/join 0.0.0.0").error, "Could not join network! err 7");
    EXPECT_EQ(network_count(), 0u);
    EXPECT_EQ(ctx_get()->channel, nullptr);

    // A trailing blank is trimmed; the channel screen opens on the new main channel.
    o = eval("/join 10.0.0.1 ");
    EXPECT_EQ(o.error, "");
    EXPECT_EQ(o.state, STATE_CHANNEL);
    JXChannel* unspec = ctx_get()->channel;
    ASSERT_NE(unspec, nullptr);
    EXPECT_EQ(unspec, jx_channel_by_addr(ip("10.0.0.1"), 0));
    EXPECT_EQ(unspec->type, CH_UNSPEC);

    // Multicast, and the longest dotted quad with a leading blank cut by the trim.
    o = eval("/join 224.1.2.3", STATE_HELP);
    EXPECT_EQ(o.state, STATE_CHANNEL);
    ASSERT_NE(ctx_get()->channel, nullptr);
    EXPECT_EQ(ctx_get()->channel->type, CH_MAIN);
    EXPECT_EQ(ctx_get()->channel->net_addr, ip("224.1.2.3"));
    EXPECT_EQ(eval("/join 192.168.100.200").state, STATE_CHANNEL);
    EXPECT_EQ(eval("/join  10.0.0.22").state, STATE_CHANNEL);
    EXPECT_EQ(ctx_get()->channel->net_addr, ip("10.0.0.22"));
    EXPECT_EQ(network_count(), 4u);

    // Joined but offline: the existing channel opens again.
    o = eval("/join 10.0.0.1");
    EXPECT_EQ(o.error, "");
    EXPECT_EQ(o.state, STATE_CHANNEL);
    EXPECT_EQ(ctx_get()->channel, unspec);
    EXPECT_EQ(network_count(), 4u);

    // Joined and online: refused, nothing changes; from the address list it just opens.
    jx_set_network_status(jx_network_by_addr(ip("10.0.0.1")), NET_ONLINE);
    JXChannel* other = jx_channel_by_addr(ip("224.1.2.3"), 0);
    ctx_get()->channel = other;
    o = eval("/join 10.0.0.1", STATE_HELP);
    EXPECT_EQ(o.error, "Network is joined and online already");
    EXPECT_EQ(o.state, STATE_HELP);
    EXPECT_EQ(ctx_get()->channel, other);
    o = eval("/join 10.0.0.1", STATE_LAN_LIST);
    EXPECT_EQ(o.error, "");
    EXPECT_EQ(o.state, STATE_CHANNEL);
    EXPECT_EQ(ctx_get()->channel, unspec);
}

TEST_F(Cmd, RejoinOnlyForDirectIpAndReopensAClosedOne)
{
    EXPECT_EQ(eval("/rj").error, "Available only in DirectIP networks");
    ctx_get()->channel = join("224.1.2.3");
    Outcome o = eval("/rj", STATE_CHANNEL);
    EXPECT_EQ(o.error, "Available only in DirectIP networks");

    // A private network whose only peer left: closed, its channel still a DM.
    JXChannel* dm = join("10.1.2.3");
    JXNetwork* net = jx_network_by_addr(ip("10.1.2.3"));
    ASSERT_NE(net, nullptr);
    net->type = NET_DIRECT_IP_OUTGOING;
    dm->type = CH_DM;
    jx_set_network_status(net, NET_CLOSED);
    ASSERT_EQ(net->status, NET_CLOSED);
    ctx_get()->channel = dm;
    o = eval("/rj", STATE_HELP);
    EXPECT_EQ(o.error, "");
    EXPECT_EQ(o.state, STATE_CHANNEL);
    EXPECT_EQ(ctx_get()->channel, dm);
    EXPECT_EQ(net->status, NET_OFFLINE);
    EXPECT_EQ(net->type, NET_UNSPEC);

    jx_set_network_status(net, NET_ONLINE);
    o = eval("/rj", STATE_CHANNEL);
    EXPECT_EQ(o.error, "Network is joined and online already");
}

TEST_F(Cmd, UnameIsTrimmedLimitedSavedAndLogged)
{
    JXComm* cc = jx_comm_get();
    EXPECT_EQ(eval("/uname   ").error, "Uname can't be blank");
    EXPECT_STREQ(cc->username, "alice");
    EXPECT_EQ(eval("/uname abcdefghijklmnop").error, "Uname too long (15 chars max)");
    EXPECT_EQ(eval("/uname  abcdefghijklmnop ").error, "Uname too long (15 chars max)");
    EXPECT_STREQ(cc->username, "alice");
    EXPECT_FALSE(std::filesystem::exists(root / "jx_internal" / "cfg"));

    Outcome o = eval("/uname  bob ");
    EXPECT_EQ(o.error, "");
    EXPECT_EQ(o.state, STATE_START);
    EXPECT_STREQ(cc->username, "bob");
    std::ifstream f(root / "jx_internal" / "cfg", std::ios::binary);
    std::string cfg((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_EQ(cfg, std::string("bob\0\0\0\0\0\0\0\0\0\0\0\0", 15));
    EXPECT_NE(log_text().find("\tUname changed [bob]\r\n"), std::string::npos);

    // Fifteen characters, blanks inside kept; the saved field is overwritten whole.
    EXPECT_EQ(eval("/uname a b c d e f g h").error, "");
    EXPECT_STREQ(cc->username, "a b c d e f g h");
    std::ifstream f2(root / "jx_internal" / "cfg", std::ios::binary);
    std::string cfg2((std::istreambuf_iterator<char>(f2)), std::istreambuf_iterator<char>());
    EXPECT_EQ(cfg2, "a b c d e f g h");
}

TEST_F(Cmd, SendFileRefusals)
{
    EXPECT_EQ(eval("/snd /etc/hostname").error, "Can send only to private channels");
    JXChannel* main_ch = join("224.1.2.3");
    ctx_get()->channel = main_ch;
    EXPECT_EQ(eval("/snd /etc/hostname", STATE_CHANNEL).error, "Can send only to private channels");

    add_peer(ip("224.1.2.3"), "10.0.0.7", "bob");
    ctx_get()->channel = net_dm(ip("224.1.2.3"), ip("10.0.0.7"));
    EXPECT_EQ(eval("/snd ", STATE_CHANNEL).error, "File does not exist");
    EXPECT_EQ(eval("/snd " + (root / "jexley").string(), STATE_CHANNEL).error, "File does not exist");
    // The path is taken as typed, blanks included.
    std::ofstream(root / "a file.txt") << "x";
    EXPECT_EQ(eval("/snd  " + (root / "a file.txt").string(), STATE_CHANNEL).error, "File does not exist");
    // No uploads in this engine: an existing file is refused as the engine refuses an offer.
    EXPECT_EQ(eval("/snd " + (root / "a file.txt").string(), STATE_CHANNEL).error, "Failed to send file");
}

TEST_F(Cmd, PlainLinesAreSentAsTextsOnTheOpenChannel)
{
    EXPECT_EQ(eval("hello").error, "No network joined or selected!");

    // Offline network, and a direct channel whose peer is gone.
    JXChannel* off = join("224.1.2.3", NET_OFFLINE);
    ctx_get()->channel = off;
    EXPECT_EQ(eval("hello", STATE_CHANNEL).error, "Network offline");
    jx_set_network_status(jx_network_by_addr(ip("224.1.2.3")), NET_ONLINE);
    add_peer(ip("224.1.2.3"), "10.0.0.7", "bob");
    JXChannel* dm = net_dm(ip("224.1.2.3"), ip("10.0.0.7"));
    JXPeer key{};
    key.addr = ip("10.0.0.7");
    void* data = &key;
    ASSERT_EQ(jx_set_remove(&jx_network_by_addr(ip("224.1.2.3"))->peers, &data), 0);
    free(data);
    ctx_get()->channel = dm;
    EXPECT_EQ(eval("hello", STATE_CHANNEL).error, "Peer offline");
    EXPECT_TRUE(queued_kinds().empty());

    // An online network on this host's loopback: the text really goes out, to our own socket.
    ctx_get()->channel = join("127.0.0.2");
    EXPECT_EQ(eval("hi there", STATE_CHANNEL).error, "");
    EXPECT_EQ(queued_kinds(), std::vector<uint8_t>{EV_TXT_SENT});
    pollfd pfd{jx_comm_get()->rcv_sock, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 500), 1);
    uint8_t buf[JX_DATAGRAM_MAX];
    ssize_t n = recv(jx_comm_get()->rcv_sock, buf, sizeof buf, 0);
    ASSERT_EQ(n, static_cast<ssize_t>(JX_HEADER_LEN + 8));
    static JXPacket pkt;
    ASSERT_EQ(jx_unserialize(buf, static_cast<size_t>(n), ip("127.0.0.1"), 0, &pkt), 0);
    EXPECT_EQ(pkt.type, PKT_TXT_GROUP);
    EXPECT_STREQ(pkt.username, "alice");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(pkt.payload), pkt.payload_len), "hi there");

    // Typed on the home screen and confirmed with Enter, a line goes to the selected channel too.
    drop_events();
    state_set(STATE_START);
    state_change();
    type("again");
    turn(KEY_ENTER);
    EXPECT_EQ(ctx_get()->input[0], '\0');
    EXPECT_EQ(queued_kinds(), std::vector<uint8_t>{EV_TXT_SENT});
}
