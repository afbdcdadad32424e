#include "terminal/cmd.hpp"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/job.hpp"
#include "doctor/doctor.hpp"
#include "engine/comm.hpp"
#include "engine/registry.hpp"
#include "engine/texts.hpp"
#include "engine/uploads.hpp"
#include "foundation/ipv4.hpp"
#include "foundation/log.hpp"
#include "foundation/utility.hpp"
#include "storage/fso.hpp"
#include "storage/transfer_files.hpp"
#include "terminal/ctx.hpp"
#include "terminal/io.hpp"
#include "terminal/keys.hpp"
#include "terminal/line.hpp"
#include "terminal/remember.hpp"
#include "terminal/state.hpp"

namespace {

// How a command word matches a line: the whole line, or its start (the rest is the argument).
enum CmdMatch : uint8_t {
    CMD_EXACT = 0,
    CMD_PREFIX = 1,
};

struct CmdEntry {
    const char* word;
    CmdMatch match;
    size_t min_n;       // a prefix entry needs a line at least this long
    const char* usage;  // what a command that takes an argument needs after its word
    // Gets the text after the command word and its length.
    void (*run)(const char* arg, size_t n);
};

void run_join(const char* arg, size_t n)
{
    cmd_join(arg, n);
}
void run_nets(const char*, size_t)
{
    cmd_display_networks();
}
void run_peers(const char*, size_t)
{
    cmd_disp_peers();
}
void run_chs(const char*, size_t)
{
    cmd_disp_channels();
}
void run_uname(const char* arg, size_t n)
{
    cmd_change_username(arg, n);
}
void run_snd(const char* arg, size_t n)
{
    cmd_send_file(arg, n);
}
void run_dl(const char*, size_t)
{
    cmd_disp_dl();
}
void run_ul(const char*, size_t)
{
    cmd_disp_ul();
}
void run_addrs(const char*, size_t)
{
    cmd_disp_lans();
}
void run_help(const char*, size_t)
{
    cmd_disp_help();
}
void run_rj(const char*, size_t)
{
    cmd_rejoin();
}

// Matched in order; the first entry that matches runs. The argument commands carry their blank,
// so "/join" and "/uname" alone are unsupported. The network list answers to any line of five or
// more characters that begins with "/net", so "/nets", "/netsX" and "/networks" all open it.
constexpr CmdEntry commands[] = {
    {"/join ", CMD_PREFIX, 6, "<ip addr>", run_join},
    {"/net", CMD_PREFIX, 5, nullptr, run_nets},
    {"/peers", CMD_EXACT, 0, nullptr, run_peers},
    {"/chs", CMD_EXACT, 0, nullptr, run_chs},
    {"/uname ", CMD_PREFIX, 7, "<username>", run_uname},
    {"/snd ", CMD_PREFIX, 5, "<path to file>", run_snd},
    {"/dl", CMD_EXACT, 0, nullptr, run_dl},
    {"/ul", CMD_EXACT, 0, nullptr, run_ul},
    {"/addrs", CMD_EXACT, 0, nullptr, run_addrs},
    {"/help", CMD_EXACT, 0, nullptr, run_help},
    {"/rj", CMD_EXACT, 0, nullptr, run_rj},
};

// A folder sent with /snd is packed by a job of its own; what it refuses comes to the prompt row
// as "<name>: <reason>".
void folder_refused(void*, const CtlRecord& r)
{
    if (r.kind != CTL_ERR)
        return;
    const size_t colon = r.text.find(": ");
    ctx_err_feedback("Failed to send file: %s", r.text.substr(colon == std::string::npos ? 0 : colon + 2).c_str());
}

// The argument as a terminated string: lines handed to cmd_eval are not always terminated at n.
struct ArgBuf {
    char s[TERM_INPUT_SIZE];
};

void copy_arg(ArgBuf* b, const char* arg, size_t n)
{
    memset(b->s, 0, sizeof b->s);
    if (n > TERM_INPUT_MAX)
        n = TERM_INPUT_MAX;
    memcpy(b->s, arg, n);
}

}  // namespace

void cmd_eval(const char* line, size_t n)
{
    if (n == 0 || line == nullptr)
        return;
    if (line[0] != '/') {
        static ArgBuf text;
        copy_arg(&text, line, n);
        cmd_send_msg(text.s);
        return;
    }
    for (const CmdEntry& c : commands) {
        size_t wl = strlen(c.word);
        if (c.usage != nullptr && n == wl - 1 && memcmp(line, c.word, n) == 0) {
            ctx_err_feedback("Unsupported command! Usage: %s%s", c.word, c.usage);
            return;
        }
        bool hit = c.match == CMD_EXACT ? (n == wl && memcmp(line, c.word, wl) == 0)
                                        : (n >= c.min_n && memcmp(line, c.word, wl) == 0);
        if (hit) {
            // The argument starts after the whole command word ("/nets" takes none).
            size_t skip = c.match == CMD_EXACT ? wl : c.min_n;
            c.run(line + skip, n - skip);
            return;
        }
    }
    ctx_err_feedback("Unsupported command!");
}

void cmd_eval_input()
{
    TermData* t = ctx_get();
    if (t->input[0] == '\0')
        return;
    cmd_eval(t->input, strnlen(t->input, sizeof t->input));
    line_clear(t);
}

void cmd_fkey_eval(uint8_t key)
{
    switch (key) {
    case KEY_F1:
        cmd_eval("/help", 5);
        break;
    case KEY_F2:
        cmd_eval("/nets", 5);
        break;
    case KEY_F3:
        cmd_eval("/addrs", 6);
        break;
    case KEY_F4:
        cmd_eval("/chs", 4);
        break;
    case KEY_F5:
        cmd_eval("/peers", 6);
        break;
    case KEY_F6:
        cmd_eval("/dl", 3);
        break;
    case KEY_F7:
        cmd_eval("/ul", 3);
        break;
    case KEY_F8:
        if (!remember_reopen())
            break;
        if (ctx_get()->channel != nullptr)
            state_set(STATE_CHANNEL);
        else
            ctx_err_feedback("No channel selected");
        break;
    default:
        break;
    }
}

uint16_t cmd_transfers_moving()
{
    size_t n = 0;
    for (jx_list_elmt* e = jx_list_head(&jx_comm_get()->networks); e != nullptr; e = jx_list_next(e)) {
        const auto* net = static_cast<const JXNetwork*>(jx_list_data(e));
        n += static_cast<size_t>(jx_list_size(&net->uploads));
        for (jx_list_elmt* d = jx_list_head(&net->downloads); d != nullptr; d = jx_list_next(d))
            n += static_cast<const JXTransfer*>(jx_list_data(d))->state != DL_PENDING ? 1 : 0;
    }
    return static_cast<uint16_t>(std::min<size_t>(n, UINT16_MAX));
}

void cmd_quit()
{
    const uint16_t moving = cmd_transfers_moving();
    if (moving == 0)
        state_set(STATE_EXIT);
    else
        ctx_get()->quit_ask = moving;
}

void cmd_join(const char* address, size_t n)
{
    if (n > CMD_ADDR_MAX) {
        ctx_err_feedback("Invalid address input!");
        return;
    }
    char buf[CMD_ADDR_MAX + 1] = {};
    memcpy(buf, address, n);
    jx_trim(buf, nullptr);
    JXChannel* channel = nullptr;
    const uint8_t rc = jx_join_network(buf, 0, &channel);
    // Only a join hands out a channel: codes 2 and 4 are also failures to make the network.
    if (channel == nullptr) {
        cmd_join_refused(rc, buf);
        return;
    }
    // Picking a joined network on the address list just opens it.
    if (rc == JX_JOIN_ONLINE && state_get() != STATE_LAN_LIST) {
        ctx_err_feedback("Network is joined and online already");
        return;
    }
    ctx_get()->channel = channel;
    state_set(STATE_CHANNEL);
    remember_join(channel->net_addr);
    // Joined, yet nothing can be sent there: say why it will stay offline.
    if (const int err = doctor_route_err(inet_addr(buf)); err != 0)
        ctx_err_feedback("No route for %s (%s): it stays offline", buf, strerror(err));
}

void cmd_join_refused(uint8_t rc, const char* addr)
{
    ctx_err_feedback("Could not join network! err %hu: %s", static_cast<unsigned short>(rc), cli_join_refusal(rc, addr));
}

void cmd_rejoin()
{
    const JXChannel* ch = ctx_get()->channel;
    if (ch == nullptr || ch->type != CH_DM) {
        ctx_err_feedback("Available only in DirectIP networks");
        return;
    }
    char addr[16] = {};
    snprintf(addr, sizeof addr, "%s", jx_ip_str(ch->net_addr).s);
    cmd_join(addr, strlen(addr));
}

void cmd_change_username(const char* name, size_t n)
{
    ArgBuf b;
    copy_arg(&b, name, n);
    switch (jx_comm_set_uname(b.s)) {
    case 0:
        break;
    case 1:
        ctx_err_feedback("Uname too long (15 chars max)");
        return;
    default:
        ctx_err_feedback("Uname can't be blank");
        return;
    }
    JXComm* cc = jx_comm_get();
    jx_log("Uname changed [%s]", cc->username);
    jx_fso_store_cfg(0, cc->username, JX_USERNAME_MAX);
}

void cmd_send_file(const char* path, size_t n)
{
    const JXChannel* ch = ctx_get()->channel;
    if (ch == nullptr || (ch->type != CH_NET_DM && ch->type != CH_DM)) {
        ctx_err_feedback("Can send only to private channels");
        return;
    }
    ArgBuf b;
    copy_arg(&b, path, n);
    if (jx_fso_file_exists(b.s) != 0) {
        // The path is taken as typed: the usual surprises get a word.
        char cwd[JX_FSO_PATH_SIZE] = {};
        const int err = access(b.s, F_OK) == 0 ? EACCES : errno;
        if (b.s[0] == '~')
            ctx_err_feedback("File does not exist (a leading ~ is not expanded)");
        else if (b.s[0] == '\0')
            ctx_err_feedback("File does not exist (no path given)");
        else if (err != ENOENT)
            ctx_err_feedback("File does not exist (%s)", strerror(err));
        else if (b.s[0] != '/' && getcwd(cwd, sizeof cwd) != nullptr)
            ctx_err_feedback("File does not exist (relative to %s)", cwd);
        else
            ctx_err_feedback("File does not exist");
        return;
    }
    // A folder goes as one archive, packed in steps while the loop goes on.
    struct stat st {};
    if (stat(b.s, &st) == 0 && S_ISDIR(st.st_mode)) {
        // Refused at once, as a file would be, rather than after packing.
        const JXNetwork* net = jx_network_by_addr(ch->net_addr);
        if (net == nullptr || net->status != NET_ONLINE)
            ctx_err_feedback("Failed to send file: %s", cli_upload_refusal(JX_UL_OFFLINE, b.s).c_str());
        else
            cli_job_send_folder(ch->net_addr, ch->peer_addr, b.s, CliSink{folder_refused, nullptr});
        return;
    }
    // On success the engine reports progress through events.
    if (const uint8_t rc = jx_add_upload(ctx_get()->channel, b.s); rc != JX_UL_OK)
        ctx_err_feedback("Failed to send file: %s", cli_upload_refusal(rc, b.s).c_str());
}

void cmd_send_msg(const char* text)
{
    JXChannel* ch = ctx_get()->channel;
    if (ch == nullptr) {
        ctx_err_feedback("No network joined or selected!");
        return;
    }
    switch (jx_snd_txt(ch, text)) {
    case JX_TXT_OK:
        break;  // the line appears through EV_TXT_SENT
    case JX_TXT_NO_NETWORK:
    case JX_TXT_OFFLINE:
        ctx_err_feedback("Network offline");
        break;
    case JX_TXT_NO_PEER:
        ctx_err_feedback("Peer offline");
        break;
    default:
        ctx_err_feedback("Message not sent");
        break;
    }
}

void cmd_disp_peers()
{
    if (ctx_get()->channel == nullptr) {
        ctx_err_feedback("No network selected");
        return;
    }
    state_set(STATE_PEER_LIST);
}

void cmd_display_networks()
{
    state_set(STATE_NETWORK_LIST);
}
void cmd_disp_channels()
{
    state_set(STATE_CHANNEL_LIST);
}
void cmd_disp_dl()
{
    state_set(STATE_DL_LIST);
}
void cmd_disp_ul()
{
    state_set(STATE_UL_LIST);
}
void cmd_disp_lans()
{
    state_set(STATE_LAN_LIST);
}
void cmd_disp_help()
{
    state_set(STATE_HELP);
}
