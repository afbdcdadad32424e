#include "fuzz/fuzz_harness.hpp"

#include <arpa/inet.h>
#include <ftw.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/comm.hpp"
#include "engine/crons.hpp"
#include "engine/events.hpp"
#include "engine/dispatcher.hpp"
#include "engine/texts.hpp"
#include "engine/registry.hpp"
#include "foundation/log.hpp"
#include "foundation/timer.hpp"
#include "storage/fso.hpp"
#include "support/netns.hpp"

namespace {

// A fixed start keeps time-dependent paths the same from run to run.
constexpr int64_t kEpoch = 1700000000;

std::string g_root;
uint32_t g_reset_every = 0;
bool g_running = false;
bool g_counting = false;  // events of the set-up are not the input's
uint64_t g_inputs = 0;
uint64_t g_event_counts[256] = {};

[[noreturn]] void die(const char* why)
{
    std::fprintf(stderr, "fuzz harness: %s\n", why);
    std::abort();
}

void inject(const uint8_t* dgram, size_t len, const JXFuzzHost& from)
{
    if (len > JX_DATAGRAM_MAX)
        len = JX_DATAGRAM_MAX;  // what the receive call would keep
    std::memset(comm.rcv_buf, 0, sizeof comm.rcv_buf);
    std::memcpy(comm.rcv_buf, dgram, len);
    comm.rcv_len = static_cast<int32_t>(len);
    comm.rcv_from = sockaddr_in{};
    comm.rcv_from.sin_family = AF_INET;
    comm.rcv_from.sin_port = htons(from.port);
    comm.rcv_from.sin_addr.s_addr = inet_addr(from.addr);
    jx_process_udp();
}

void inject_pkt(uint8_t type, uint32_t net_id, const uint8_t* payload, uint16_t len, const JXFuzzHost& from,
                const char* user)
{
    static uint32_t next_id = 1;
    uint8_t buf[JX_DATAGRAM_MAX];
    const uint32_t n = jx_serialize(buf, sizeof buf, type, net_id, next_id++, user, payload, len);
    inject(buf, n, from);
}

void inject_beacon(uint32_t net_id, const char* instance, const JXFuzzHost& from, const char* user)
{
    uint8_t pl[JX_BEACON_LEN] = {};
    jx_beacon_put(pl, 0, instance);
    inject_pkt(PKT_BEACON, net_id, pl, sizeof pl, from, user);
}

bool terminated(const char* s, size_t n)
{
    return std::memchr(s, '\0', n) != nullptr;
}

// Events must be well formed whatever a peer sent: a kind in range, strings that end in their room.
void drain_events()
{
    void* data = nullptr;
    while (jx_list_rem_next(&comm.events, nullptr, &data) == 0) {
        auto* ev = static_cast<JXEvent*>(data);
        if (ev->kind < EV_PEER_JOINED || ev->kind > EV_HASH_READY)
            die("event kind out of range");
        if (g_counting)
            g_event_counts[ev->kind]++;
        if (ev->payload != nullptr) {
            switch (jx_event_payload_type(ev->kind)) {
            case EVP_USER: {
                const auto* u = static_cast<const user_ev*>(ev->payload);
                if (!terminated(u->name1, sizeof u->name1) || !terminated(u->name2, sizeof u->name2))
                    die("user name in an event not terminated");
                break;
            }
            case EVP_MSG: {
                const auto* m = static_cast<const msg_ev*>(ev->payload);
                if (!terminated(m->text, sizeof m->text) || !terminated(m->username, sizeof m->username))
                    die("text event not terminated");
                break;
            }
            case EVP_FILE: {
                const auto* f = static_cast<const file_ev*>(ev->payload);
                if (!terminated(f->name, sizeof f->name))
                    die("file name in an event not terminated");
                break;
            }
            default:
                break;
            }
        }
        std::free(ev->payload);
        std::free(ev);
    }
}

// Texts on every channel that has someone to answer, so acknowledgements have records to match.
void send_texts()
{
    for (jx_list_elmt* e = jx_list_head(&comm.networks); e != nullptr; e = jx_list_next(e)) {
        auto* net = static_cast<JXNetwork*>(jx_list_data(e));
        for (jx_list_elmt* c = jx_list_head(&net->channels); c != nullptr; c = jx_list_next(c))
            (void)jx_snd_txt(static_cast<JXChannel*>(jx_list_data(c)), "fuzz");
    }
}

bool network_is(const char* addr, uint8_t type, uint8_t status, int32_t peers)
{
    const JXNetwork* n = jx_network_by_addr(inet_addr(addr));
    return n != nullptr && n->type == type && n->status == status && jx_set_size(&n->peers) == peers;
}

// Null, or what is wrong with the state the inputs are meant to meet.
const char* start_engine()
{
    g_counting = false;
    srand(1);
    jx_clock_set(kEpoch);
    const std::string program = g_root + "/fuzz_datagram";
    if (jx_comm_init(program.c_str()) != 0)
        return "jx_comm_init failed (ports 8855/8856 taken?)";
    g_running = true;
    char name[] = "fuzzhost";
    if (jx_comm_set_uname(name) != 0)
        return "user name refused";

    const uint32_t mc = inet_addr(JX_FZ_MCAST);
    const uint32_t bc = inet_addr(JX_FZ_BCAST);
    JXChannel* ch = nullptr;
    if (jx_join_network(JX_FZ_MCAST, 0, &ch) != 0)
        return "cannot join the multicast network";
    if (jx_join_network(JX_FZ_BCAST, 0, &ch) != 0)
        return "cannot join the broadcast network";
    if (jx_join_network(JX_FZ_HOSTS[JX_FZ_FROM_DIRECT_OUT].addr, 0, &ch) != 0)
        return "cannot join the direct host";

    // Our own beacons coming back put both group networks online and teach them our address.
    const JXFuzzHost& self = JX_FZ_HOSTS[JX_FZ_FROM_SELF];
    inject_beacon(mc, comm.instance_id, self, comm.username);
    inject_beacon(bc, comm.instance_id, self, comm.username);
    inject_beacon(mc, "PEER1xxxxxxxxxxxxxxxxxxxxxxxxxxx", JX_FZ_HOSTS[JX_FZ_FROM_PEER1], "peer1");
    inject_beacon(bc, "PEER1xxxxxxxxxxxxxxxxxxxxxxxxxxx", JX_FZ_HOSTS[JX_FZ_FROM_PEER1], "peer1");
    inject_beacon(mc, "PEER2xxxxxxxxxxxxxxxxxxxxxxxxxxx", JX_FZ_HOSTS[JX_FZ_FROM_PEER2], "peer2");
    inject_beacon(bc, "PEER2xxxxxxxxxxxxxxxxxxxxxxxxxxx", JX_FZ_HOSTS[JX_FZ_FROM_PEER2], "peer2");
    inject_beacon(mc, "PEER3xxxxxxxxxxxxxxxxxxxxxxxxxxx", JX_FZ_HOSTS[JX_FZ_FROM_PEER3_DATA], "peer3");
    // The queried host answers with a beacon (outgoing direct-IP); another host queries us (incoming).
    inject_beacon(0, "OUTHOSTxxxxxxxxxxxxxxxxxxxxxxxxx", JX_FZ_HOSTS[JX_FZ_FROM_DIRECT_OUT], "outhost");
    inject_pkt(PKT_QUERY, 0, nullptr, 0, JX_FZ_HOSTS[JX_FZ_FROM_DIRECT_IN], "inhost");
    if (jx_add_channel(mc, inet_addr(JX_FZ_HOSTS[JX_FZ_FROM_PEER1].addr), &ch) != 0)
        return "no Net DM channel";
    send_texts();
    (void)jx_crons_run();
    drain_events();
    if (!network_is(JX_FZ_MCAST, NET_MULTICAST, NET_ONLINE, 3) ||
        !network_is(JX_FZ_BCAST, NET_BROADCAST, NET_ONLINE, 2))
        return "group networks not online with their peers";
    if (!network_is(JX_FZ_HOSTS[JX_FZ_FROM_DIRECT_OUT].addr, NET_DIRECT_IP_OUTGOING, NET_ONLINE, 1) ||
        !network_is(JX_FZ_HOSTS[JX_FZ_FROM_DIRECT_IN].addr, NET_DIRECT_IP_INCOMING, NET_ONLINE, 1))
        return "direct-IP networks not open";
    g_counting = true;
    return nullptr;
}

void stop_engine()
{
    if (!g_running)
        return;
    drain_events();
    (void)jx_comm_close();
    jx_log_close();
    (void)jx_fso_close();
    jx_clock_set(0);
    g_running = false;
}

int rm_entry(const char* path, const struct stat*, int, FTW*)
{
    return remove(path);
}

}  // namespace

int jx_fuzz_enter_netns()
{
    return jx_test_enter_netns(nullptr) ? jx_fuzz_default_route(true) : 1;
}

int jx_fuzz_default_route(bool on)
{
    return jx_test_lo_route(on ? SIOCADDRT : SIOCDELRT, "0.0.0.0", "0.0.0.0") ? 0 : 1;
}

int jx_fuzz_init(uint32_t reset_every, bool quiet_log)
{
    char tmpl[] = "/tmp/jxfuzz.XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        return 1;
    g_root = tmpl;
    for (const char* sub : {"/jx_internal", "/msg", "/downloads"}) {
        if (mkdir((g_root + sub).c_str(), 0755) != 0)
            return 1;
    }
    // Logging every refused datagram to disk would dominate the run; /dev/null still formats it.
    if (quiet_log && symlink("/dev/null", (g_root + "/jx_internal/log").c_str()) != 0)
        return 1;
    g_reset_every = reset_every;
    g_inputs = 0;
    std::memset(g_event_counts, 0, sizeof g_event_counts);
    if (const char* why = start_engine()) {
        std::fprintf(stderr, "fuzz harness: %s\n", why);
        return 1;
    }
    return 0;
}

void jx_fuzz_input(const uint8_t* data, size_t size)
{
    if (size < 2)
        return;
    if (!g_running || (g_reset_every != 0 && g_inputs != 0 && g_inputs % g_reset_every == 0)) {
        stop_engine();
        if (const char* why = start_engine())
            die(why);
    }
    g_inputs++;
    const uint8_t ctl = data[0];
    jx_clock_advance(JX_FZ_CLOCK_STEPS[(ctl >> 3) & 7]);
    if ((ctl & 0x40) != 0)
        send_texts();
    inject(data + 1, size - 1, JX_FZ_HOSTS[ctl & 7]);
    (void)jx_crons_run();
    drain_events();
}

void jx_fuzz_fini()
{
    stop_engine();
    if (!g_root.empty())
        nftw(g_root.c_str(), rm_entry, 16, FTW_DEPTH | FTW_PHYS);
    g_root.clear();
}

uint64_t jx_fuzz_event_count(uint8_t kind)
{
    return g_event_counts[kind];
}
