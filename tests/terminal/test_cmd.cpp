// Commands and function keys against a real engine: what each line does to the screen state, the
// open channel and the engine, and every refusal text byte for byte.
#include <string>

#include "chat_fixture.hpp"
#include "terminal/cmd.hpp"

using namespace chat_test;

namespace {

struct Outcome {
    uint32_t state;     // screen after the line (the state change applied)
    std::string error;  // what the prompt row would show after "Error: "
    bool operator==(const Outcome&) const = default;
};

void PrintTo(const Outcome& o, std::ostream* os)
{
    *os << "state " << o.state << ", error \"" << o.error << "\"";
}

// Runs one line (or, with key, a function key) from a known screen, as Enter would.
Outcome eval(const std::string& line, uint32_t from = STATE_START, uint8_t key = KEY_NONE)
{
    state_set(from);
    state_change();
    ctx_get()->err_feedback[0] = '\0';
    if (key != KEY_NONE)
        cmd_fkey_eval(key);
    else
        cmd_eval(line.data(), line.size());
    state_change();
    return {state_get(), ctx_get()->err_feedback};
}

Outcome fkey(uint8_t key, uint32_t from = STATE_START)
{
    return eval("", from, key);
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
    for (const char* nets : {"/nets", "/netsX", "/nets 1.2.3.4", "/networks"})
        EXPECT_EQ(eval(nets).state, STATE_NETWORK_LIST) << nets;

    for (const char* bad : {"/chsX", "/help ", "/HELP", "/dl ", "/ul2", "/addrs!", "/join", "/uname", "/snd",
                            "/rjx", "/peersX", "/", "/xyz", "/net", "/Nets", "/helpme"}) {
        EXPECT_EQ(eval(bad), (Outcome{STATE_START, "Unsupported command!"})) << bad;
    }

    // Length limits: nothing at all for an empty line; over 1470 refused before matching.
    EXPECT_EQ(eval("", STATE_HELP), (Outcome{STATE_HELP, ""}));
    EXPECT_EQ(eval("/" + std::string(1469, 'a')).error, "Unsupported command!");
    EXPECT_EQ(eval("/help" + std::string(1466, ' ')).error, "Command too long");
    EXPECT_EQ(eval(std::string(1471, 'x')).error, "Command too long");

    // Only the first n bytes count, whatever follows them.
    cmd_eval("/helpme", 5);
    state_change();
    EXPECT_EQ(state_get(), STATE_HELP);

    // A line not starting with "/" is a text, even when a command follows a blank.
    EXPECT_EQ(eval(" /help").error, "No network joined or selected!");
}

TEST_F(Cmd, FunctionKeysAndTheirRefusalsWithoutAChannel)
{
    EXPECT_EQ(fkey(KEY_F1).state, STATE_HELP);
    EXPECT_EQ(fkey(KEY_F2).state, STATE_NETWORK_LIST);
    EXPECT_EQ(fkey(KEY_F3).state, STATE_LAN_LIST);
    EXPECT_EQ(fkey(KEY_F4).state, STATE_CHANNEL_LIST);
    EXPECT_EQ(fkey(KEY_F6).state, STATE_DL_LIST);
    EXPECT_EQ(fkey(KEY_F7, STATE_HELP).state, STATE_UL_LIST);

    EXPECT_EQ(fkey(KEY_F5, STATE_HELP), (Outcome{STATE_HELP, "No network selected"}));
    EXPECT_EQ(fkey(KEY_F8), (Outcome{STATE_START, "No channel selected"}));

    const uint8_t others[] = {KEY_UP, KEY_ENTER, KEY_ESC, KEY_CTRL_T, 19, 200};
    for (uint8_t k : others) {
        EXPECT_EQ(fkey(k, STATE_HELP), (Outcome{STATE_HELP, ""})) << int(k);
    }

    // With a channel open, F5 shows its peers and F8 goes back to it.
    ctx_get()->channel = join("224.1.2.3");
    EXPECT_EQ(fkey(KEY_F5).state, STATE_PEER_LIST);
    EXPECT_EQ(eval("/peers").state, STATE_PEER_LIST);
    EXPECT_EQ(fkey(KEY_F8, STATE_DL_LIST), (Outcome{STATE_CHANNEL, ""}));
}

TEST_F(Cmd, JoinChecksTrimsAndOpensTheMainChannel)
{
    // 16 characters are refused before the engine is asked; blanks count before the trim.
    EXPECT_EQ(eval("/join 192.168.100.2001").error, "Invalid address input!");
    EXPECT_EQ(eval("/join 10.0.0.1" + std::string(8, ' ')).error, "Invalid address input!");
    // The engine's refusals carry its code.
    EXPECT_EQ(eval("/join abc").error, "Could not join network! err 1");
    EXPECT_EQ(eval("/join ").error, "Could not join network! err 1");
    EXPECT_EQ(eval("/join 127.0.0.1").error, "Could not join network! err 7");
    EXPECT_EQ(jx_set_size(&jx_comm_get()->networks), 0);
    EXPECT_EQ(ctx_get()->channel, nullptr);

    // A trailing blank is trimmed; the channel screen opens on the new main channel.
    EXPECT_EQ(eval("/join 10.0.0.1 "), (Outcome{STATE_CHANNEL, ""}));
    JXChannel* unspec = ctx_get()->channel;
    ASSERT_NE(unspec, nullptr);
    EXPECT_EQ(unspec, jx_channel_by_addr(ip("10.0.0.1"), 0));
    EXPECT_EQ(unspec->type, CH_UNSPEC);

    // Multicast, and the longest dotted quad; a leading blank is cut by the trim.
    EXPECT_EQ(eval("/join 224.1.2.3", STATE_HELP).state, STATE_CHANNEL);
    EXPECT_EQ(ctx_get()->channel->type, CH_MAIN);
    EXPECT_EQ(ctx_get()->channel->net_addr, ip("224.1.2.3"));
    EXPECT_EQ(eval("/join 192.168.100.200").state, STATE_CHANNEL);
    EXPECT_EQ(eval("/join  10.0.0.22").state, STATE_CHANNEL);
    EXPECT_EQ(ctx_get()->channel->net_addr, ip("10.0.0.22"));
    EXPECT_EQ(jx_set_size(&jx_comm_get()->networks), 4);

    // Joined but offline: the existing channel opens again.
    EXPECT_EQ(eval("/join 10.0.0.1"), (Outcome{STATE_CHANNEL, ""}));
    EXPECT_EQ(ctx_get()->channel, unspec);
    EXPECT_EQ(jx_set_size(&jx_comm_get()->networks), 4);

    // Joined and online: refused, nothing changes; from the address list it just opens.
    jx_set_network_status(jx_network_by_addr(ip("10.0.0.1")), NET_ONLINE);
    JXChannel* other = jx_channel_by_addr(ip("224.1.2.3"), 0);
    ctx_get()->channel = other;
    EXPECT_EQ(eval("/join 10.0.0.1", STATE_HELP),
              (Outcome{STATE_HELP, "Network is joined and online already"}));
    EXPECT_EQ(ctx_get()->channel, other);
    EXPECT_EQ(eval("/join 10.0.0.1", STATE_LAN_LIST), (Outcome{STATE_CHANNEL, ""}));
    EXPECT_EQ(ctx_get()->channel, unspec);
}

TEST_F(Cmd, RejoinOnlyForDirectIpAndReopensAClosedOne)
{
    EXPECT_EQ(eval("/rj").error, "Available only in DirectIP networks");
    ctx_get()->channel = join("224.1.2.3");
    EXPECT_EQ(eval("/rj", STATE_CHANNEL).error, "Available only in DirectIP networks");

    // A private network whose only peer left: closed, its channel still a DM (one that files may
    // be sent to). Before an answer its channel is unspecified: no rejoin.
    JXChannel* dm = join("10.1.2.3");
    ctx_get()->channel = dm;
    EXPECT_EQ(eval("/rj", STATE_CHANNEL).error, "Available only in DirectIP networks");
    JXNetwork* net = jx_network_by_addr(ip("10.1.2.3"));
    net->type = NET_DIRECT_IP_OUTGOING;
    dm->type = CH_DM;
    jx_set_network_status(net, NET_CLOSED);
    EXPECT_EQ(eval("/snd /nonexistent", STATE_CHANNEL).error, "File does not exist");
    EXPECT_EQ(eval("/rj", STATE_HELP), (Outcome{STATE_CHANNEL, ""}));
    EXPECT_EQ(ctx_get()->channel, dm);
    EXPECT_EQ(net->status, NET_OFFLINE);
    EXPECT_EQ(net->type, NET_UNSPEC);

    jx_set_network_status(net, NET_ONLINE);
    EXPECT_EQ(eval("/rj", STATE_CHANNEL).error, "Network is joined and online already");
}

TEST_F(Cmd, UnameIsTrimmedLimitedSavedAndLogged)
{
    JXComm* cc = jx_comm_get();
    EXPECT_EQ(eval("/uname   ").error, "Uname can't be blank");
    EXPECT_EQ(eval("/uname abcdefghijklmnop").error, "Uname too long (15 chars max)");
    EXPECT_EQ(eval("/uname  abcdefghijklmnop ").error, "Uname too long (15 chars max)");
    EXPECT_STREQ(cc->username, "alice");
    EXPECT_FALSE(std::filesystem::exists(root / "jx_internal" / "cfg"));

    EXPECT_EQ(eval("/uname  bob "), (Outcome{STATE_START, ""}));
    EXPECT_STREQ(cc->username, "bob");
    EXPECT_EQ(slurp("jx_internal/cfg"), std::string("bob\0\0\0\0\0\0\0\0\0\0\0\0", 15));
    EXPECT_NE(log_text().find("\tUname changed [bob]\r\n"), std::string::npos);

    // Fifteen characters, blanks inside kept; the saved field is overwritten whole.
    EXPECT_EQ(eval("/uname a b c d e f g h").error, "");
    EXPECT_STREQ(cc->username, "a b c d e f g h");
    EXPECT_EQ(slurp("jx_internal/cfg"), "a b c d e f g h");
}

TEST_F(Cmd, TextsAndFilesGoToTheOpenChannel)
{
    EXPECT_EQ(eval("hello").error, "No network joined or selected!");
    EXPECT_EQ(eval("/snd /etc/hostname").error, "Can send only to private channels");

    // An offline network; files go to direct channels only.
    ctx_get()->channel = join("224.1.2.3", NET_OFFLINE);
    EXPECT_EQ(eval("hello", STATE_CHANNEL).error, "Network offline");
    EXPECT_EQ(eval("/snd /etc/hostname", STATE_CHANNEL).error, "Can send only to private channels");

    jx_set_network_status(jx_network_by_addr(ip("224.1.2.3")), NET_ONLINE);
    add_peer(ip("224.1.2.3"), "10.0.0.7", "bob");
    ctx_get()->channel = add_ch(ip("224.1.2.3"), ip("10.0.0.7"));
    EXPECT_EQ(eval("/snd ", STATE_CHANNEL).error, "File does not exist");
    // The path is taken as typed, blanks included.
    std::ofstream(root / "a file.txt") << "x";
    EXPECT_EQ(eval("/snd  " + (root / "a file.txt").string(), STATE_CHANNEL).error, "File does not exist");
    // An existing file is offered; the engine reports it being prepared.
    EXPECT_EQ(eval("/snd " + (root / "a file.txt").string(), STATE_CHANNEL).error, "");
    EXPECT_EQ(queued_kinds(), std::vector<uint8_t>{EV_UL_PREPARING});
    io_proc_event();
    // The direct channel's peer gone: no text, no file.
    drop_peer(ip("224.1.2.3"), "10.0.0.7");
    EXPECT_EQ(eval("/snd " + (root / "a file.txt").string(), STATE_CHANNEL).error, "Failed to send file");
    EXPECT_EQ(eval("hello", STATE_CHANNEL).error, "Peer offline");
    EXPECT_TRUE(queued_kinds().empty());

    // An online network: the text goes out through the engine, which reports it sent.
    ctx_get()->channel = join("127.0.0.2");
    EXPECT_EQ(eval("hi there", STATE_CHANNEL).error, "");
    EXPECT_EQ(queued_kinds(), std::vector<uint8_t>{EV_TXT_SENT});
}
