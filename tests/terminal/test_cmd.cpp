// Commands and function keys against the real engine: what each line does to the screen state, the
// open channel and the engine, and every refusal text byte for byte.
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>

#include "cli/job.hpp"
#include "support/netns.hpp"
#include "terminal/cmd.hpp"
#include "terminal_fixture.hpp"

class Cmd : public TermTest {
  protected:
    // The screen shown and the error the prompt row would show after "Error: ".
    static std::string at(uint32_t state, const std::string& error = "")
    {
        return std::to_string(state) + ":" + error;
    }
    // Runs one line (or, with key, a function key) from a known screen, as Enter would.
    static std::string eval(const std::string& line, uint32_t from = STATE_START, uint8_t key = KEY_NONE)
    {
        state_set(from);
        state_change();
        ctx_get()->err_feedback[0] = '\0';
        key != KEY_NONE ? cmd_fkey_eval(key) : cmd_eval(line.data(), line.size());
        state_change();
        return at(state_get(), ctx_get()->err_feedback);
    }
};

TEST_F(Cmd, LinesAndFunctionKeysMatchExactlyCaseSensitiveAndUntrimmed)
{
    // clang-format off
    const std::pair<const char*, uint32_t> opens[] = {
        {"/help", STATE_HELP}, {"/chs", STATE_CHANNEL_LIST}, {"/dl", STATE_DL_LIST}, {"/ul", STATE_UL_LIST},
        {"/addrs", STATE_LAN_LIST}, {"/nets", STATE_NETWORK_LIST}, {"/netsX", STATE_NETWORK_LIST},
        {"/nets 1.2", STATE_NETWORK_LIST}, {"/networks", STATE_NETWORK_LIST}};
    // clang-format on
    for (const auto& [line, state] : opens)
        EXPECT_EQ(eval(line), at(state)) << line;
    for (const std::string& bad :
         Strs{"/chsX", "/help ", "/HELP", "/dl ", "/ul2", "/addrs!", "/joinx", "/rjx", "/peersX", "/", "/net",
              "/Nets", "/" + std::string(TERM_INPUT_MAX - 1, 'a')})
        EXPECT_EQ(eval(bad), at(STATE_START, "Unsupported command!")) << bad;
    for (const char* usage : {"/join <ip addr>", "/uname <username>", "/snd <path to file>"})
        EXPECT_EQ(eval(std::string(usage, strchr(usage, ' '))),
                  at(STATE_START, std::string("Unsupported command! Usage: ") + usage));
    // clang-format off
    const std::tuple<uint8_t, uint32_t, std::string> keys[] = {
        {KEY_F1, STATE_START, at(STATE_HELP)}, {KEY_F2, STATE_START, at(STATE_NETWORK_LIST)},
        {KEY_F3, STATE_START, at(STATE_LAN_LIST)}, {KEY_F4, STATE_START, at(STATE_CHANNEL_LIST)},
        {KEY_F5, STATE_HELP, at(STATE_HELP, "No network selected")}, {KEY_F6, STATE_START, at(STATE_DL_LIST)},
        {KEY_F7, STATE_HELP, at(STATE_UL_LIST)}, {KEY_UP, STATE_HELP, at(STATE_HELP)},
        {KEY_F8, STATE_START, at(STATE_START, "No channel selected")}};
    // clang-format on
    for (const auto& [key, from, want] : keys)
        EXPECT_EQ(eval("", from, key), want) << int{key};
    // With a channel open, F5 shows its peers and F8 goes back to it.
    ctx_get()->channel = join("224.1.2.3");
    EXPECT_EQ(eval("", STATE_START, KEY_F5) + eval("/peers") + eval("", STATE_DL_LIST, KEY_F8),
              at(STATE_PEER_LIST) + at(STATE_PEER_LIST) + at(STATE_CHANNEL));

    // A name is trimmed, 15 characters at most, saved whole and logged.
    EXPECT_EQ(eval("/uname   ") + eval("/uname  abcdefghijklmnop "),
              at(STATE_START, "Uname can't be blank") + at(STATE_START, "Uname too long (15 chars max)"));
    EXPECT_EQ(eval("/uname  bob "), at(STATE_START));
    EXPECT_EQ(slurp("jx_internal/cfg"), std::string("bob\0\0\0\0\0\0\0\0\0\0\0\0", 15));
    EXPECT_TRUE(log_line("Uname changed [bob]"));
}

TEST_F(Cmd, JoinRejoinTextsAndFiles)
{
    // 16 characters are refused before the engine is asked; blanks count before the trim. The
    // engine's refusals carry its code. A blank after the address is trimmed; the channel screen
    // opens on the new main channel.
    EXPECT_EQ(eval("/join 192.168.100.2001"), at(STATE_START, "Invalid address input!"));
    EXPECT_EQ(eval("/join 10.0.0.1" + std::string(8, ' ')), at(STATE_START, "Invalid address input!"));
    EXPECT_EQ(eval("/join abc"), at(STATE_START, "Could not join network! err 1: not an IPv4 address (like 239.0.0.1)"));
    // Joined where nothing can be sent: the channel opens, and the prompt says why it stays offline.
    EXPECT_EQ(eval("/join 10.0.0.1 "), at(STATE_CHANNEL, "No route for 10.0.0.1 (Network is unreachable): it stays offline"));
    struct Routed {  // the other addresses are routed (to lo)
        Routed() { EXPECT_TRUE(jx_test_lo_route(SIOCADDRT, "0.0.0.0", "0.0.0.0")); }
        ~Routed() { jx_test_lo_route(SIOCDELRT, "0.0.0.0", "0.0.0.0"); }
    } routed;
    JXChannel* unspec = ctx_get()->channel;
    EXPECT_EQ(eval("/join 192.168.100.200"), at(STATE_CHANNEL)) << "15 characters";
    // Joined but offline: the existing channel opens again. Online: refused, but from the address
    // list it just opens.
    ctx_get()->channel = nullptr;
    EXPECT_EQ(eval("/join 10.0.0.1"), at(STATE_CHANNEL));
    EXPECT_EQ(std::make_pair(ctx_get()->channel, jx_comm_get()->networks.size), std::make_pair(unspec, 2));
    jx_set_network_status(jx_network_by_addr(ip("10.0.0.1")), NET_ONLINE);
    ctx_get()->channel = nullptr;
    EXPECT_EQ(eval("/join 10.0.0.1", STATE_HELP), at(STATE_HELP, "Network is joined and online already"));
    EXPECT_EQ(eval("/join 10.0.0.1", STATE_LAN_LIST), at(STATE_CHANNEL));
    EXPECT_EQ(ctx_get()->channel, unspec);
    // Rejoin: not for a host that never answered; a closed private network opens again.
    EXPECT_EQ(eval("/rj", STATE_CHANNEL), at(STATE_CHANNEL, "Available only in DirectIP networks"));
    JXNetwork* net = jx_network_by_addr(ip("10.0.0.1"));
    net->type = NET_DIRECT_IP_OUTGOING;
    unspec->type = CH_DM;
    EXPECT_EQ(eval("/rj", STATE_HELP), at(STATE_HELP, "Network is joined and online already"));
    jx_set_network_status(net, NET_CLOSED);
    EXPECT_EQ(eval("/rj", STATE_HELP), at(STATE_CHANNEL));
    EXPECT_EQ(std::make_tuple(ctx_get()->channel, net->status, net->type),
              std::make_tuple(unspec, uint8_t{NET_OFFLINE}, uint8_t{NET_UNSPEC}));

    // Texts and files go to the open channel; files to direct channels only, by the path as typed.
    ctx_get()->channel = nullptr;
    EXPECT_EQ(eval("hello") + eval("/snd /etc/hostname"),
              at(STATE_START, "No network joined or selected!") +
                  at(STATE_START, "Can send only to private channels"));
    ctx_get()->channel = join("224.1.2.3", NET_OFFLINE);
    EXPECT_EQ(eval("hello", STATE_CHANNEL), at(STATE_CHANNEL, "Network offline"));
    jx_set_network_status(jx_network_by_addr(ip("224.1.2.3")), NET_ONLINE);
    add_peer(ip("224.1.2.3"), "10.0.0.7", "bob");
    ctx_get()->channel = add_ch(ip("224.1.2.3"), ip("10.0.0.7"));
    const std::string file = (root / "a file.txt").string();
    std::ofstream(file) << "x";
    // Paths that are not files: the message says why.
    char cwd[1025];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    // clang-format off
    const std::pair<std::string, std::string> refused[] = {
        {"", "File does not exist (no path given)"}, {"~/a", "File does not exist (a leading ~ is not expanded)"},
        {" " + file, "File does not exist (relative to " + std::string(cwd) + ")"},
        {"/nonexistent/x", "File does not exist"},
        {"/dev/null", "Failed to send file: /dev/null is not a regular file"}};
    // clang-format on
    for (const auto& [path, error] : refused)
        EXPECT_EQ(eval("/snd " + path, STATE_CHANNEL), at(STATE_CHANNEL, error.substr(0, 100))) << path;
    EXPECT_EQ(eval("/snd " + file, STATE_CHANNEL), at(STATE_CHANNEL));
    EXPECT_EQ(queued(), 1u) << "offered: EV_UL_PREPARING";
    io_proc_event();
    // A folder is packed into the outbox in steps, announced once while packed and hashed, offered
    // as folder.tar, and its archive goes with its upload.
    std::filesystem::create_directory(root / "folder");
    std::ofstream(root / "folder" / "f") << "y";
    EXPECT_EQ(eval("/snd " + (root / "folder").string(), STATE_CHANNEL), at(STATE_CHANNEL));
    for (int i = 0; i < 50 && queued() < 2; i++)
        cli_jobs_step();
    EXPECT_EQ(queued(), 2u) << "EV_UL_PREPARING when packing starts, and when the archive is hashed";
    io_proc_event();
    char dm[JX_CHANNEL_NAME_SIZE];
    jx_channel_file_name(CH_NET_DM, ip("224.1.2.3"), ip("10.0.0.7"), dm);
    uint64_t hdr[3] = {};
    JXStoredMsg last{};
    ASSERT_EQ(jx_fso_read_file_header(hdr, dm), 0);
    ASSERT_EQ(jx_fso_read_msg(static_cast<uint16_t>(hdr[0]), dm, &last), 0);
    EXPECT_EQ(std::make_tuple(hdr[1], std::string(last.text)),
              std::make_tuple(uint64_t{2}, std::string("Preparing to send file [folder.tar]")));
    const std::filesystem::path tar = std::string(fso.internal_path) + "outbox/folder.tar";
    EXPECT_TRUE(std::filesystem::exists(tar));
    cli_jobs_close();
    JXNetwork* group = jx_network_by_addr(ip("224.1.2.3"));
    EXPECT_EQ(jx_list_size(&group->uploads), 1) << "the folder's upload ended";
    EXPECT_FALSE(std::filesystem::exists(tar));
    jx_set_network_status(group, NET_OFFLINE);
    EXPECT_EQ(eval("/snd " + (root / "folder").string(), STATE_CHANNEL),
              at(STATE_CHANNEL, "Failed to send file: the network is offline"));
    jx_set_network_status(group, NET_ONLINE);
    drop_peer(ip("224.1.2.3"), "10.0.0.7");
    EXPECT_EQ(eval("/snd " + file, STATE_CHANNEL), at(STATE_CHANNEL, "Failed to send file: the peer is offline"));
    EXPECT_EQ(eval("hello", STATE_CHANNEL), at(STATE_CHANNEL, "Peer offline"));
    EXPECT_EQ(queued(), 0u);
    // Online: the text goes out through the engine, which reports it sent.
    ctx_get()->channel = join("127.0.0.2");
    EXPECT_EQ(eval("hi there", STATE_CHANNEL), at(STATE_CHANNEL));
    EXPECT_EQ(queued(), 1u);
}

TEST_F(Cmd, JoinedNetworksAndTheLastChannelAreKeptForTheNextStart)
{
    // Each join and each channel opened is written at once; Delete on the networks screen forgets.
    eval("/join 239.0.0.9"), eval("/join 239.0.0.8"), eval("/join 239.0.0.7");
    add_peer(ip("239.0.0.9"), "10.0.0.7", "bob");
    ctx_get()->channel = add_ch(ip("239.0.0.9"), ip("10.0.0.7"));
    EXPECT_EQ(eval("", STATE_START, KEY_F8), at(STATE_CHANNEL));
    show(STATE_NETWORK_LIST, {KEY_DOWN, KEY_DEL});
    EXPECT_EQ(slurp("jx_internal/networks"), "net 239.0.0.9\nnet 239.0.0.7\nlast 239.0.0.9 10.0.0.7\n");
    // The next start joins them again; F8 waits for bob to be heard, then opens his channel. Until
    // then nothing is selected, so a line meant for bob never goes to the whole group.
    jx_leave_networks();
    ctx_get()->channel = nullptr;
    remember_load(cmd_join_refused);
    EXPECT_EQ(jx_comm_get()->networks.size, 2);
    EXPECT_EQ(ctx_get()->channel, nullptr);
    EXPECT_EQ(eval("for bob only"), at(STATE_START, "No network joined or selected!"));
    EXPECT_EQ(eval("", STATE_START, KEY_F8), at(STATE_START, "Peer offline: 10.0.0.7 not heard from since the start"));
    add_peer(ip("239.0.0.9"), "10.0.0.7", "bob");
    EXPECT_EQ(eval("", STATE_START, KEY_F8), at(STATE_CHANNEL));
    EXPECT_EQ(ctx_get()->channel, jx_channel_by_addr(ip("239.0.0.9"), ip("10.0.0.7")));
}
