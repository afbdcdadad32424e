// jx_engine_driver: the engine's main loop without a screen, for the multi-host tests and the
// benchmarks. Runs the same engine turn as the program (jx_engine_turn: it sleeps until something
// is due), then takes what came on stdin, one command per line, and prints every event as one
// line on stdout. JEXLEY_PACING and JEXLEY_MAX_RATE choose the pacing as for the program.
//
// Usage: jx_engine_driver STORAGE_ROOT
// The root and its jx_internal/, msg/ and downloads/ are created when missing.
//
// Commands (one per line):
//   join ADDR              jx_join_network(ADDR, 0)            -> "OK join <code>"
//   leave ADDR             jx_leave_network                    -> "OK leave <code>"
//   txt NET PEER TEXT...   jx_snd_txt on the channel (NET, PEER); PEER 0 is the main channel
//                          or a direct-IP network's channel    -> "OK txt <code>" (the message
//                          id comes with the EV_TXT_SENT line that follows)
//   chan NET PEER          jx_add_channel (a Net DM channel with a peer)  -> "OK chan <code>"
//   uname NAME             jx_comm_set_uname                   -> "OK uname <code>"
//   offer NET PEER PATH    jx_add_upload on the channel (NET, PEER) -> "OK offer <code>"
//   accept ID              jx_accept_download (ID: 16 hex digits)   -> "OK accept <code>"
//   verify ID              jx_verify_download of a finished download -> "OK verify <code>"
//   transfers              one line per transfer, then "TRANSFERS_END":
//                          "UL|DL id=<hex> net=<a> peer=<a> state=<s> size=<n> left=<n> seg=<n> name=<name>"
//                          "FINUL|FINDL id=<hex> net=<a> peer=<a> state=<s> size=<n> name=<name> path=<dir+name>"
//   peers NET              one "PEER <net> <addr> port=<p> name=<name>" per peer
//   echo WORDS             "ECHO WORDS" (a marker to synchronise on)
//   quit                   jx_comm_close (leaves every network) and exit 0
// SIGTERM and SIGINT act like quit.
//
// Event lines: "<EV_NAME> us=<wall clock microseconds> <fields>"; texts come last and have
// control characters replaced by '?', so every event stays on one line.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "engine/comm.hpp"
#include "engine/downloads.hpp"
#include "engine/events.hpp"
#include "engine/texts.hpp"
#include "engine/transfers.hpp"
#include "engine/turn.hpp"
#include "engine/uploads.hpp"
#include "engine/registry.hpp"
#include "foundation/timer.hpp"
#include "foundation/utility.hpp"

namespace {

// Event stamps are compared with `date` in the scripts, so they are wall-clock microseconds.
long long wall_us()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

volatile sig_atomic_t g_stop = 0;

void on_signal(int)
{
    g_stop = 1;
}

// Peer-controlled bytes must not break the one-line-per-event format.
std::string clean(const char* s, size_t max)
{
    std::string out(max + 1, '\0');
    out.resize(jx_str_sanitize(s, max, out.data(), out.size()));
    return out;
}

std::string hex_id(const uint8_t* id);

void print_event(uint8_t kind, const void* payload)
{
    const char* name = jx_event_name(kind);
    if (name == nullptr || payload == nullptr) {
        std::printf("EV_UNKNOWN us=%lld kind=%u null=%d\n", wall_us(), kind,
                    payload == nullptr ? 1 : 0);
        return;
    }
    std::printf("%s us=%lld", name, wall_us());
    switch (jx_event_payload_type(kind)) {
    case EVP_USER: {
        const auto* e = static_cast<const user_ev*>(payload);
        std::printf(" net=%s peer=%s name=%s old=%s\n", jx_ip_str(e->net_addr).s, jx_ip_str(e->peer_addr).s,
                    clean(e->name1, 16).c_str(), clean(e->name2, 16).c_str());
        break;
    }
    case EVP_NET:
        std::printf(" net=%s\n", jx_ip_str(static_cast<const net_ev*>(payload)->net_addr).s);
        break;
    case EVP_CH: {
        const auto* e = static_cast<const ch_ev*>(payload);
        std::printf(" net=%s peer=%s\n", jx_ip_str(e->net_addr).s, jx_ip_str(e->peer_addr).s);
        break;
    }
    case EVP_MSG: {
        const auto* e = static_cast<const msg_ev*>(payload);
        std::printf(" ch=%u id=%llu a=%s b=%s time=%lld user=%s text=%s\n", e->ch_type,
                    static_cast<unsigned long long>(e->msg_id), jx_ip_str(e->addr_a).s,
                    jx_ip_str(e->addr_b).s, static_cast<long long>(e->time), clean(e->username, 16).c_str(),
                    clean(e->text, sizeof e->text).c_str());
        break;
    }
    case EVP_HASH: {
        const auto* e = static_cast<const hash_ev*>(payload);
        std::printf(" id=%s digest=", hex_id(e->id).c_str());
        for (uint8_t b : e->digest)
            std::printf("%02x", b);
        std::printf("\n");
        break;
    }
    default: {
        const auto* e = static_cast<const file_ev*>(payload);
        std::printf(" ch=%u net=%s peer=%s name=%s\n", e->ch_type, jx_ip_str(e->net_addr).s,
                    jx_ip_str(e->peer_addr).s, clean(e->name, sizeof e->name).c_str());
        break;
    }
    }
}

void drain_events()
{
    void* data = nullptr;
    while (jx_list_rem_next(&comm.events, nullptr, &data) == 0) {
        auto* ev = static_cast<JXEvent*>(data);
        print_event(ev->kind, ev->payload);
        std::free(ev->payload);
        std::free(ev);
    }
}

uint32_t parse_addr(const std::string& s)
{
    if (s == "0")
        return 0;
    in_addr a{};
    if (inet_pton(AF_INET, s.c_str(), &a) != 1)
        return 0xffffffffu;
    return a.s_addr;
}

// Splits off the first word of `rest`.
std::string word(std::string& rest)
{
    const size_t b = rest.find_first_not_of(' ');
    if (b == std::string::npos) {
        rest.clear();
        return {};
    }
    const size_t e = rest.find(' ', b);
    std::string w = rest.substr(b, e == std::string::npos ? std::string::npos : e - b);
    rest = e == std::string::npos ? std::string() : rest.substr(e + 1);
    return w;
}

void list_peers(uint32_t net)
{
    JXNetwork* n = jx_network_by_addr(net);
    if (n != nullptr) {
        for (jx_list_elmt* e = jx_list_head(&n->peers); e != nullptr; e = jx_list_next(e)) {
            const auto* p = static_cast<const JXPeer*>(jx_list_data(e));
            std::printf("PEER %s %s port=%u name=%s\n", jx_ip_str(net).s, jx_ip_str(p->addr).s, p->port,
                        clean(p->username, 16).c_str());
        }
    }
    std::printf("PEERS_END\n");
}

// 16 hex digits to a transfer id; false when the text is not one.
bool parse_id(const std::string& s, uint8_t* id)
{
    if (s.size() != 2 * JX_TRANSFER_ID_LEN)
        return false;
    for (size_t i = 0; i < JX_TRANSFER_ID_LEN; i++) {
        char* end = nullptr;
        const std::string byte = s.substr(2 * i, 2);
        id[i] = static_cast<uint8_t>(std::strtoul(byte.c_str(), &end, 16));
        if (end != byte.c_str() + 2)
            return false;
    }
    return true;
}

std::string hex_id(const uint8_t* id)
{
    char out[2 * JX_TRANSFER_ID_LEN + 1];
    jx_bytes_to_string(id, JX_TRANSFER_ID_LEN, out, sizeof out);
    return out;
}

void list_transfers()
{
    for (jx_list_elmt* e = jx_list_head(&comm.networks); e != nullptr; e = jx_list_next(e)) {
        const auto* n = static_cast<const JXNetwork*>(jx_list_data(e));
        const std::string net = jx_ip_str(n->addr).s;
        const jx_list* live[2] = {&n->uploads, &n->downloads};
        for (int k = 0; k < 2; k++) {
            for (jx_list_elmt* t = jx_list_head(live[k]); t != nullptr; t = jx_list_next(t)) {
                const auto* x = static_cast<const JXTransfer*>(jx_list_data(t));
                std::printf("%s id=%s net=%s peer=%s state=%u size=%llu left=%llu seg=%llu name=%s\n",
                            k == 0 ? "UL" : "DL", hex_id(x->id).c_str(), net.c_str(), jx_ip_str(x->addr).s,
                            x->state, static_cast<unsigned long long>(x->meta.size),
                            static_cast<unsigned long long>(x->bytes_left),
                            static_cast<unsigned long long>(x->segment),
                            clean(x->meta.name, sizeof x->meta.name).c_str());
            }
        }
        const jx_list* fins[2] = {&n->fin_uploads, &n->fin_downloads};
        for (int k = 0; k < 2; k++) {
            for (jx_list_elmt* t = jx_list_head(fins[k]); t != nullptr; t = jx_list_next(t)) {
                const auto* f = static_cast<const JXTransferFin*>(jx_list_data(t));
                std::printf("%s id=%s net=%s peer=%s state=%u size=%llu name=%s path=%s%s\n",
                            k == 0 ? "FINUL" : "FINDL", hex_id(f->id).c_str(), net.c_str(),
                            jx_ip_str(f->addr).s, f->state, static_cast<unsigned long long>(f->meta.size),
                            clean(f->meta.name, sizeof f->meta.name).c_str(),
                            clean(f->meta.dir, sizeof f->meta.dir).c_str(),
                            clean(f->meta.name, sizeof f->meta.name).c_str());
            }
        }
    }
    std::printf("TRANSFERS_END\n");
}

JXTransferFin* finished_download(const uint8_t* id)
{
    for (jx_list_elmt* e = jx_list_head(&comm.networks); e != nullptr; e = jx_list_next(e)) {
        auto* n = static_cast<JXNetwork*>(jx_list_data(e));
        if (JXTransferFin* f = jx_get_fin(&n->fin_downloads, id); f != nullptr)
            return f;
    }
    return nullptr;
}

// Returns false when the driver should stop.
bool run_command(std::string line)
{
    std::string cmd = word(line);
    if (cmd.empty())
        return true;
    if (cmd == "quit")
        return false;
    if (cmd == "echo") {
        std::printf("ECHO %s\n", line.c_str());
    } else if (cmd == "join") {
        const std::string a = word(line);
        JXChannel* ch = nullptr;
        std::printf("OK join %u\n", jx_join_network(a.c_str(), 0, &ch));
    } else if (cmd == "leave") {
        JXNetwork* n = jx_network_by_addr(parse_addr(word(line)));
        std::printf("OK leave %u\n", n == nullptr ? 1u : jx_leave_network(n));
    } else if (cmd == "txt") {
        const uint32_t net = parse_addr(word(line));
        const uint32_t peer = parse_addr(word(line));
        JXChannel* ch = jx_channel_by_addr(net, peer);
        if (ch == nullptr) {
            std::printf("ERR txt nochannel\n");
        } else {
            std::printf("OK txt %u\n", jx_snd_txt(ch, line.c_str()));
        }
    } else if (cmd == "chan") {
        const uint32_t net = parse_addr(word(line));
        const uint32_t peer = parse_addr(word(line));
        JXChannel* ch = nullptr;
        std::printf("OK chan %u\n", jx_add_channel(net, peer, &ch));
    } else if (cmd == "uname") {
        char name[64] = {};
        std::snprintf(name, sizeof name, "%s", line.c_str());
        std::printf("OK uname %u\n", jx_comm_set_uname(name));
    } else if (cmd == "offer") {
        const uint32_t net = parse_addr(word(line));
        const uint32_t peer = parse_addr(word(line));
        JXChannel* ch = jx_channel_by_addr(net, peer);
        std::printf("OK offer %u\n", ch == nullptr ? 255u : jx_add_upload(ch, line.c_str()));
    } else if (cmd == "accept") {
        uint8_t id[JX_TRANSFER_ID_LEN];
        std::printf("OK accept %u\n", parse_id(word(line), id) ? jx_accept_download(id) : 255u);
    } else if (cmd == "verify") {
        uint8_t id[JX_TRANSFER_ID_LEN];
        std::printf("OK verify %u\n",
                    parse_id(word(line), id) ? jx_verify_download(finished_download(id)) : 255u);
    } else if (cmd == "transfers") {
        list_transfers();
    } else if (cmd == "peers") {
        list_peers(parse_addr(word(line)));
    } else {
        std::printf("ERR unknown %s\n", cmd.c_str());
    }
    return true;
}

bool make_dir(const std::string& p)
{
    return mkdir(p.c_str(), 0755) == 0 || errno == EEXIST;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s STORAGE_ROOT\n", argv[0]);
        return 2;
    }
    const std::string root = argv[1];
    if (!make_dir(root) || !make_dir(root + "/jx_internal") || !make_dir(root + "/msg") ||
        !make_dir(root + "/downloads")) {
        std::fprintf(stderr, "cannot create the storage root %s\n", root.c_str());
        return 1;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // As the program does at start-up: the instance id, user name and message ids come from rand(),
    // and hosts started in the same second must still differ.
    jx_random_seed();
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
    std::signal(SIGPIPE, SIG_IGN);

    // The root search starts with the directory of the program path.
    const std::string program = root + "/jx_engine_driver";
    if (jx_comm_init(program.c_str()) != 0) {
        std::fprintf(stderr, "jx_comm_init failed\n");
        return 1;
    }
    std::printf("READY us=%lld instance=%s user=%s\n", wall_us(),
                comm.instance_id, comm.username);

    const int fl = fcntl(STDIN_FILENO, F_GETFL);
    fcntl(STDIN_FILENO, F_SETFL, fl | O_NONBLOCK);
    bool stdin_open = true;
    std::string pending;
    bool go = true;
    while (go && g_stop == 0) {
        // As the program does: the turn sleeps until something is due or a command line arrives.
        (void)jx_engine_turn(stdin_open ? STDIN_FILENO : -1, -1);
        if (stdin_open) {
            char buf[4096];
            for (;;) {
                const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
                if (n > 0) {
                    pending.append(buf, static_cast<size_t>(n));
                    continue;
                }
                // End of input: keep running until a signal, so a driver can be left alone.
                if (n == 0)
                    stdin_open = false;
                break;
            }
            size_t nl;
            while (go && (nl = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                go = run_command(line);
            }
        }
        drain_events();
        // A dead select must not turn the loop into a spin.
        if (comm.running == 0)
            usleep(10000);
    }
    drain_events();
    (void)jx_comm_close();
    std::printf("BYE\n");
    return 0;
}
