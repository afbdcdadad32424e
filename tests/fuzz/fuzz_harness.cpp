#include "fuzz/fuzz_harness.hpp"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine/comm.hpp"
#include "engine/crons.hpp"
#include "engine/dispatcher.hpp"
#include "engine/downloads.hpp"
#include "engine/events.hpp"
#include "engine/registry.hpp"
#include "engine/texts.hpp"
#include "engine/transfers.hpp"
#include "engine/uploads.hpp"
#include "protocol/data_protocol.hpp"
#include "foundation/log.hpp"
#include "foundation/timer.hpp"
#include "storage/fso.hpp"
#include "support/netns.hpp"

namespace {

// Senders, indexed by JX_FZ_FROM_*; ports in host order.
constexpr struct {
    const char* addr;
    uint16_t port;
} k_hosts[8] = {{"10.9.8.1", 8855}, {"10.9.8.2", 8855}, {"10.9.8.3", 8856},   {"10.9.8.6", 40000},
                {"10.9.8.7", 8855}, {"10.9.8.9", 8855}, {"10.9.8.100", 8855}, {"10.9.8.1", 8856}};
constexpr int64_t k_steps[8] = {0, 0, 1, 1, 2, 3, 11, 61};
constexpr int64_t k_epoch = 1700000000;  // a fixed start keeps time-dependent paths alike run to run

std::string g_root;
uint32_t g_reset_every = 0;
bool g_running = false;
uint64_t g_inputs = 0;
uint64_t g_events[256] = {};

[[noreturn]] void die(const char* why)
{
    std::fprintf(stderr, "fuzz harness: %s\n", why);
    std::abort();
}

void inject(const uint8_t* dgram, size_t len, uint8_t from)
{
    len = std::min(len, JX_DATAGRAM_MAX);  // what the receive call would keep
    std::memset(comm.rcv_buf, 0, sizeof comm.rcv_buf);
    std::memcpy(comm.rcv_buf, dgram, len);
    comm.rcv_len = static_cast<int32_t>(len);
    comm.rcv_from = sockaddr_in{};
    comm.rcv_from.sin_family = AF_INET;
    comm.rcv_from.sin_port = htons(k_hosts[from].port);
    comm.rcv_from.sin_addr.s_addr = inet_addr(k_hosts[from].addr);
    jx_process_udp();
}

void inject_payload(uint8_t type, const char* net, const char* user, uint8_t from, const uint8_t* pl,
                    size_t len)
{
    static uint32_t msg_id = 0;
    uint8_t buf[JX_DATAGRAM_MAX];
    inject(
        buf,
        jx_serialize(buf, sizeof buf, type, inet_addr(net), ++msg_id, user, pl, static_cast<uint16_t>(len)),
        from);
}

// A beacon when instance is set, else a header-only packet.
void inject_pkt(uint8_t type, const char* net, const char* user, uint8_t from, const char* instance)
{
    uint8_t pl[JX_BEACON_LEN];
    if (instance != nullptr)
        jx_beacon_put(pl, 0, instance);
    inject_payload(type, net, user, from, pl, instance != nullptr ? JX_BEACON_LEN : 0);
}

// A transfer packet from peer 1 (its data port unless `meta_port`).
void from_peer1(uint8_t type, const uint8_t* pl, size_t len, bool meta_port = false)
{
    inject_payload(type, JX_FZ_MCAST, "peer1", meta_port ? JX_FZ_FROM_PEER1 : JX_FZ_FROM_PEER1_DATA, pl, len);
}

// first, first + 0x11, ... then last: 0213243546576879 for (0x02, 0x79).
void transfer_id(uint8_t* id, uint8_t first, uint8_t last)
{
    for (int i = 0; i < 7; i++)
        id[i] = static_cast<uint8_t>(first + 0x11 * i);
    id[7] = last;
}

// Uploads to peer 1 in four states and downloads from peer 1 in two, plus a verification running.
void start_transfers(JXChannel* dm)
{
    JXNetwork* net = jx_network_by_addr(inet_addr(JX_FZ_MCAST));
    const std::string file = g_root + "/up.bin";
    uint8_t pl[JX_PAYLOAD_MAX];
    for (uint8_t last = 0x79; last <= 0x7c; last++) {
        if (jx_add_upload(dm, file.c_str()) != 0)
            die("no upload");
        auto* u = static_cast<JXTransfer*>(jx_list_data(jx_list_head(&net->uploads)));
        transfer_id(u->id, 0x02, last);
        uint8_t id[8];
        std::memcpy(id, u->id, 8);  // u goes when a step below ends the upload
        (void)jx_crons_run();       // hashed: offered
        if (last >= 0x7a)
            from_peer1(PKT_META_ACK, pl, jx_data_serialize_meta_ack(pl, sizeof pl, id, 8856), true);
        if (last >= 0x7b) {
            JXSegmentReq req{{}, 1, 1370, 2};
            std::memcpy(req.id, id, 8);
            from_peer1(PKT_GET_SEGMENT, pl, jx_data_serialize_segment(pl, sizeof pl, &req));
            (void)jx_crons_run();  // sent: batch done
        }
        const uint8_t missing[JX_BITMAP_LEN] = {0x01};
        if (last == 0x7c)
            from_peer1(PKT_GET_SKIPPED, pl, jx_data_serialize_skipped(pl, sizeof pl, id, 1, missing));
    }
    JXOffer offer{};
    offer.size = 3000, offer.chunk_size = 1370, offer.data_port = 8856;
    for (uint8_t last : {0x77, 0x79}) {
        transfer_id(offer.id, 0x01, last);
        std::snprintf(offer.name, sizeof offer.name, "offer%02x", last);
        from_peer1(PKT_FILE_META, pl, jx_data_serialize_meta(pl, sizeof pl, &offer), true);
    }
    if (jx_accept_download(offer.id) != 0)
        die("no download");
    // A finished download whose check is queued: the next turn runs it.
    JXTransfer done{};
    transfer_id(done.id, 0x01, 0x70);
    std::snprintf(done.meta.dir, sizeof done.meta.dir, "%s/downloads/", g_root.c_str());
    std::snprintf(done.meta.name, sizeof done.meta.name, "done.bin");
    std::ofstream(std::filesystem::path(done.meta.dir) / done.meta.name).close();
    std::filesystem::resize_file(std::filesystem::path(done.meta.dir) / done.meta.name, 4096);
    if (jx_verify_download(jx_make_fin(&done, &net->fin_downloads, FIN_COMPLETED)) != 0)
        die("no verification");
}

template <size_t N>
bool terminated(const char (&s)[N])
{
    return std::memchr(s, '\0', N) != nullptr;
}

// Whatever a peer sent: a kind that exists, strings that end in their room (null: builder failed).
bool well_formed(const JXEvent& ev)
{
    const void* p = ev.payload;
    switch (jx_event_payload_type(ev.kind)) {
    case EVP_NONE:
        return false;
    case EVP_USER:
        return p == nullptr || (terminated(static_cast<const user_ev*>(p)->name1) &&
                                terminated(static_cast<const user_ev*>(p)->name2));
    case EVP_MSG:
        return p == nullptr || (terminated(static_cast<const msg_ev*>(p)->text) &&
                                terminated(static_cast<const msg_ev*>(p)->username));
    case EVP_FILE:
        return p == nullptr || terminated(static_cast<const file_ev*>(p)->name);
    default:
        return true;
    }
}

// Frees every queued event; a malformed one aborts. `count`: the input's, not the set-up's.
void drain_events(bool count)
{
    void* data = nullptr;
    while (jx_list_rem_next(&comm.events, nullptr, &data) == 0) {
        auto* ev = static_cast<JXEvent*>(data);
        if (!well_formed(*ev))
            die("malformed event");
        g_events[ev->kind] += count ? 1 : 0;
        std::free(ev->payload);
        std::free(ev);
    }
}

// Texts on every channel, so that acknowledgements have records to match.
void send_texts()
{
    for (jx_list_elmt* e = jx_list_head(&comm.networks); e != nullptr; e = jx_list_next(e)) {
        auto* net = static_cast<JXNetwork*>(jx_list_data(e));
        for (jx_list_elmt* c = jx_list_head(&net->channels); c != nullptr; c = jx_list_next(c))
            (void)jx_snd_txt(static_cast<JXChannel*>(jx_list_data(c)), "fuzz");
    }
}

void start_engine()
{
    std::srand(1);
    jx_clock_set(k_epoch);
    char name[] = "fuzzhost";
    JXChannel* ch = nullptr;
    if (jx_comm_init((g_root + "/fuzz_datagram").c_str()) != 0 || jx_comm_set_uname(name) != 0 ||
        jx_join_network(JX_FZ_MCAST, 0, &ch) != 0 || jx_join_network(JX_FZ_BCAST, 0, &ch) != 0 ||
        jx_join_network(k_hosts[JX_FZ_FROM_DIRECT_OUT].addr, 0, &ch) != 0)
        die("cannot start the engine and join its networks (ports 8855/8856 taken?)");
    g_running = true;
    // Our own group beacons coming back put both networks online; the peers' fill them; the host
    // we queried answers (outgoing direct-IP); another host queries us (incoming).
    const struct {
        const char* net;
        uint8_t from;
        const char* user;
    } beacons[] = {
        {JX_FZ_MCAST, JX_FZ_FROM_SELF, nullptr},       {JX_FZ_BCAST, JX_FZ_FROM_SELF, nullptr},
        {JX_FZ_MCAST, JX_FZ_FROM_PEER1, "peer1"},      {JX_FZ_BCAST, JX_FZ_FROM_PEER1, "peer1"},
        {JX_FZ_MCAST, JX_FZ_FROM_PEER2, "peer2"},      {JX_FZ_BCAST, JX_FZ_FROM_PEER2, "peer2"},
        {JX_FZ_MCAST, JX_FZ_FROM_PEER3_DATA, "peer3"}, {"0.0.0.0", JX_FZ_FROM_DIRECT_OUT, "outhost"}};
    for (const auto& b : beacons) {
        const std::string id = b.user != nullptr ? std::string(b.user).append(32, 'x') : comm.instance_id;
        inject_pkt(PKT_BEACON, b.net, b.user != nullptr ? b.user : comm.username, b.from, id.c_str());
    }
    inject_pkt(PKT_QUERY, "0.0.0.0", "inhost", JX_FZ_FROM_DIRECT_IN, nullptr);
    if (jx_add_channel(inet_addr(JX_FZ_MCAST), inet_addr(k_hosts[JX_FZ_FROM_PEER1].addr), &ch) != 0)
        die("no Net DM channel");
    start_transfers(ch);
    send_texts();
    (void)jx_crons_run();
    drain_events(false);
}

void stop_engine()
{
    if (!g_running)
        return;
    drain_events(false);
    (void)jx_comm_close();
    // Files that arrived whole stay behind the engine; a fresh start must find the names free.
    for (const auto& e : std::filesystem::directory_iterator(g_root + "/downloads"))
        std::filesystem::remove(e.path());
    jx_log_close();
    (void)jx_fso_close();
    jx_clock_set(0);
    g_running = false;
}

}  // namespace

int jx_fuzz_default_route(bool on)
{
    return jx_test_lo_route(on ? SIOCADDRT : SIOCDELRT, "0.0.0.0", "0.0.0.0") ? 0 : 1;
}

void jx_fuzz_root_init(bool quiet_log)
{
    // In memory when there is one: a store syncs every channel file it creates.
    char shm[] = "/dev/shm/jxfuzz.XXXXXX";
    char tmp[] = "/tmp/jxfuzz.XXXXXX";
    const char* made = mkdtemp(shm);
    if (made == nullptr && (made = mkdtemp(tmp)) == nullptr)
        die("no temporary storage root");
    g_root = made;
    for (const char* sub : {"/jx_internal", "/msg", "/downloads"})
        std::filesystem::create_directory(g_root + sub);
    std::string content(3000, '\0');
    for (size_t i = 0; i < content.size(); i++)
        content[i] = static_cast<char>(i * 7);
    FILE* up = std::fopen((g_root + "/up.bin").c_str(), "wb");
    if (up == nullptr || std::fwrite(content.data(), 1, content.size(), up) != content.size() ||
        std::fclose(up) != 0)
        die("cannot write the file to upload");
    // Logging every refused datagram to disk would dominate the run; /dev/null still formats it.
    if (quiet_log && symlink("/dev/null", (g_root + "/jx_internal/log").c_str()) != 0)
        die("cannot send the log to /dev/null");
    std::snprintf(fso.root_path, sizeof fso.root_path, "%s", g_root.c_str());
}

void jx_fuzz_init(uint32_t reset_every, bool quiet_log)
{
    jx_fuzz_root_init(quiet_log);
    g_reset_every = reset_every;
    g_inputs = 0;
    std::fill(std::begin(g_events), std::end(g_events), 0);
    start_engine();
}

void jx_fuzz_input(const uint8_t* data, size_t size)
{
    if (size < 2)
        return;
    if (!g_running || (g_reset_every != 0 && g_inputs != 0 && g_inputs % g_reset_every == 0)) {
        stop_engine();
        start_engine();
    }
    g_inputs++;
    jx_clock_advance(k_steps[(data[0] >> 3) & 7]);
    if ((data[0] & 0x40) != 0)
        send_texts();
    inject(data + 1, size - 1, data[0] & 7);
    (void)jx_crons_run();
    drain_events(true);
}

void jx_fuzz_fini()
{
    stop_engine();
    if (!g_root.empty())
        std::filesystem::remove_all(g_root);
    g_root.clear();
}

uint64_t jx_fuzz_event_count(uint8_t kind)
{
    return g_events[kind];
}

bool jx_fuzz_msgfile(const uint8_t* data, size_t size)
{
    const std::string dir = g_root + "/msg";
    const char name[] = "0100a8c0";
    FILE* f = std::fopen((dir + "/" + name).c_str(), "wb");
    if (f == nullptr || (size > 0 && std::fwrite(data, 1, size, f) != size) || std::fclose(f) != 0)
        die("cannot write the message file");
    uint64_t hdr[3] = {};
    JXStoredMsg m{};
    if (jx_fso_read_file_header(hdr, name) == 0) {
        for (uint64_t pos = 0; pos <= hdr[2] + 1 && pos <= 300; pos++)
            (void)jx_fso_read_msg(static_cast<uint16_t>(pos), name, &m);
    }
    m = JXStoredMsg{};
    m.type = MSG_DELIVERED;
    m.id = 7;
    (void)jx_fso_update_msg(name, &m);
    // Whatever the file held, a text that was acknowledged is stored.
    m = JXStoredMsg{};
    m.type = MSG_RECEIVED, m.id = 99, m.time = 1;
    std::snprintf(m.text, sizeof m.text, "kept");
    jx_fso_store_msg(&m, name);
    JXStoredMsg back{};
    const bool kept = jx_fso_read_file_header(hdr, name) == 0 && hdr[0] != 0 && hdr[0] <= 65535 &&
                      jx_fso_read_msg(static_cast<uint16_t>(hdr[0]), name, &back) == 0 && back.id == 99 &&
                      std::strcmp(back.text, "kept") == 0;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        std::filesystem::remove(e.path());
    return kept;
}
