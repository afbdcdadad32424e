#include "fuzz/fuzz_harness.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <utility>

#include "engine/comm.hpp"
#include "engine/crons.hpp"
#include "engine/dispatcher.hpp"
#include "engine/downloads.hpp"
#include "engine/registry.hpp"
#include "foundation/random.hpp"
#include "engine/texts.hpp"
#include "engine/transfers.hpp"
#include "engine/upload_passes.hpp"
#include "engine/uploads.hpp"
#include "engine/pacing.hpp"
#include "foundation/log.hpp"
#include "protocol/data_protocol.hpp"
#include "storage/fso.hpp"
#include "support/netns.hpp"

namespace fs = std::filesystem;

namespace {

// Addresses and ports (host order) of the senders, indexed by JX_FZ_FROM_*. Ours is one of lo's:
// only an address of this host can be our own.
constexpr std::pair<const char*, uint16_t> k_hosts[8] = {
    {"10.9.8.1", 8855}, {"10.9.8.2", 8855}, {"10.9.8.3", 8856},   {"10.9.8.6", 40000},
    {"10.9.8.7", 8855}, {"10.9.8.9", 8855}, {"127.0.0.1", 8855},  {"10.9.8.1", 8856}};
constexpr int64_t k_steps[8] = {0, 0, 1, 1, 2, 3, 11, 61};

std::string g_root;
uint32_t g_reset_every = 0;
bool g_running = false, g_route = false, g_quiet = false;
uint64_t g_inputs = 0;

// Aborts, telling why, unless ok.
void check(bool ok, const char* why)
{
    if (!ok) {
        std::fprintf(stderr, "fuzz harness: %s\n", why);
        std::abort();
    }
}

void inject(const uint8_t* dgram, size_t len, uint8_t from)
{
    len = len < JX_DATAGRAM_MAX ? len : JX_DATAGRAM_MAX;  // what the receive call would keep
    std::memset(comm.rcv_buf, 0, sizeof comm.rcv_buf);
    std::memcpy(comm.rcv_buf, dgram, len);
    comm.rcv_len = static_cast<int32_t>(len);
    comm.rcv_from = sockaddr_in{AF_INET, htons(k_hosts[from].second), {inet_addr(k_hosts[from].first)}, {}};
    jx_process_udp();
}

// A datagram from `from` under its user name, with the next message id.
void inject_pkt(uint8_t type, const char* net, uint8_t from, const uint8_t* pl = nullptr, uint16_t len = 0)
{
    static uint32_t id = 0;
    uint8_t buf[JX_DATAGRAM_MAX];
    inject(buf, jx_serialize(buf, sizeof buf, type, inet_addr(net), ++id, JX_FZ_USERS[from], pl, len), from);
}

// A transfer packet from peer 1 (its data port unless `meta_port`).
void from_peer1(uint8_t type, const uint8_t* pl, uint16_t len, bool meta_port = false)
{
    inject_pkt(type, JX_FZ_MCAST, meta_port ? JX_FZ_FROM_PEER1 : JX_FZ_FROM_PEER1_DATA, pl, len);
}

// A periodic pass, then what the rate-based pacing lets go, on the frozen clock: repeatable.
void engine_steps()
{
    (void)jx_crons_run();
    for (jx_list_elmt* el = jx_list_head(&comm.networks); el != nullptr; el = jx_list_next(el))
        jx_pace_uploads(static_cast<JXNetwork*>(jx_list_data(el)), jx_pacing_now_us());
}

// Uploads to peer 1 in four states and downloads from peer 1 in two, plus a verification running.
void start_transfers(JXChannel* dm)
{
    JXNetwork* net = jx_network_by_addr(inet_addr(JX_FZ_MCAST));
    uint8_t pl[JX_PAYLOAD_MAX], id[8], missing[JX_BITMAP_LEN] = {0x01};
    for (uint8_t last = 0x79; last <= 0x7c; last++) {
        check(jx_add_upload(dm, (g_root + "/up.bin").c_str()) == 0, "no upload");
        jx_put_be64(id, 0x0213243546576800 | last);  // the upload goes when a step below ends it
        std::memcpy(static_cast<JXTransfer*>(jx_list_data(jx_list_head(&net->uploads)))->id, id, 8);
        (void)jx_crons_run();  // hashed: offered
        if (last >= 0x7a)
            from_peer1(PKT_META_ACK, pl, jx_data_serialize_meta_ack(pl, sizeof pl, id, 8856), true);
        if (last >= 0x7b) {
            JXSegmentReq req{{}, 1, 1370, 2};
            std::memcpy(req.id, id, 8);
            from_peer1(PKT_GET_SEGMENT, pl, jx_data_serialize_segment(pl, sizeof pl, &req));
            jx_clock_advance(1);  // the pacing lets a millisecond's worth go
            engine_steps();       // sent: batch done
        }
        if (last == 0x7c)
            from_peer1(PKT_GET_SKIPPED, pl, jx_data_serialize_skipped(pl, sizeof pl, id, 1, missing));
    }
    JXOffer offer{{}, {}, 3000, 1370, 8856, 0, {}};  // size, chunk size, data port
    for (uint8_t last : {0x77, 0x79}) {
        jx_put_be64(offer.id, 0x0112233445566700 | last);
        std::snprintf(offer.name, sizeof offer.name, "offer%02x", last);
        from_peer1(PKT_FILE_META, pl, jx_data_serialize_meta(pl, sizeof pl, &offer), true);
    }
    check(jx_accept_download(offer.id) == 0, "no download");
    // A finished download whose check is queued: the next turn runs it.
    JXTransfer done{};
    jx_put_be64(done.id, 0x0112233445566770);
    std::snprintf(done.meta.dir, sizeof done.meta.dir, "%s/downloads/", g_root.c_str());
    std::snprintf(done.meta.name, sizeof done.meta.name, "done.bin");
    std::ofstream(g_root + "/downloads/done.bin") << std::string(4096, '\0');
    check(jx_verify_download(jx_make_fin(&done, &net->fin_downloads, FIN_COMPLETED)) == 0, "no verification");
}

template <size_t N>
bool terminated(const char (&s)[N])
{
    return std::memchr(s, '\0', N) != nullptr;
}

// Whatever a peer sent: a kind that exists, strings that end in their room (null: builder failed).
bool well_formed(const JXEvent& ev)
{
    const uint8_t type = jx_event_payload_type(ev.kind);
    if (type == EVP_NONE || ev.payload == nullptr)
        return type != EVP_NONE;
    const auto* u = static_cast<const user_ev*>(ev.payload);
    const auto* m = static_cast<const msg_ev*>(ev.payload);
    if (type == EVP_USER)
        return terminated(u->name1) && terminated(u->name2);
    if (type == EVP_MSG)
        return terminated(m->text) && terminated(m->username);
    return type != EVP_FILE || terminated(static_cast<const file_ev*>(ev.payload)->name);
}

// Frees every queued event; a malformed one aborts. `count`: the input's, not the set-up's.
void drain_events(bool count)
{
    void* data = nullptr;
    while (jx_list_rem_next(&comm.events, nullptr, &data) == 0) {
        auto* ev = static_cast<JXEvent*>(data);
        check(well_formed(*ev), "malformed event");
        jx_fuzz_events[ev->kind] += count ? 1 : 0;
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
    jx_random_repeatable(1);  // the same ids every run, so a crash replays
    jx_clock_set(1700000000);  // a fixed start keeps time-dependent paths alike run to run
    char name[] = "fuzzhost";
    JXChannel* ch = nullptr;
    check(jx_comm_init((g_root + "/fuzz_datagram").c_str()) == 0 && jx_comm_set_uname(name) == 0 &&
              jx_join_network(JX_FZ_MCAST, 0, &ch) == 0 && jx_join_network(JX_FZ_BCAST, 0, &ch) == 0 &&
              jx_join_network(k_hosts[JX_FZ_FROM_DIRECT_OUT].first, 0, &ch) == 0,
          "cannot start the engine and join its networks (ports 8855/8856 taken?)");
    g_running = true;
    // Logging every refused datagram to disk would dominate the run; /dev/null still formats it.
    if (g_quiet && logger != nullptr) {
        std::fclose(logger);
        logger = std::fopen("/dev/null", "a");
    }
    // Our own group beacons coming back put both networks online; the peers' fill them; the host
    // we queried answers (outgoing direct-IP); another host queries us (incoming).
    const std::pair<const char*, uint8_t> beacons[] = {
        {JX_FZ_MCAST, JX_FZ_FROM_SELF},       {JX_FZ_BCAST, JX_FZ_FROM_SELF},
        {JX_FZ_MCAST, JX_FZ_FROM_PEER1},      {JX_FZ_BCAST, JX_FZ_FROM_PEER1},
        {JX_FZ_MCAST, JX_FZ_FROM_PEER2},      {JX_FZ_BCAST, JX_FZ_FROM_PEER2},
        {JX_FZ_MCAST, JX_FZ_FROM_PEER3_DATA}, {"0.0.0.0", JX_FZ_FROM_DIRECT_OUT}};
    for (const auto& [net, from] : beacons) {
        const std::string id = from == JX_FZ_FROM_SELF ? comm.instance_id : std::string(32, char('a' + from));
        uint8_t pl[JX_BEACON_LEN];
        jx_beacon_put(pl, 0, id.c_str());
        inject_pkt(PKT_BEACON, net, from, pl, sizeof pl);
    }
    inject_pkt(PKT_QUERY, "0.0.0.0", JX_FZ_FROM_DIRECT_IN);
    check(jx_add_channel(inet_addr(JX_FZ_MCAST), inet_addr(k_hosts[JX_FZ_FROM_PEER1].first), &ch) == 0,
          "no Net DM channel");
    start_transfers(ch);
    send_texts();
    (void)jx_crons_run();
    drain_events(false);
}

void stop_engine()
{
    if (!std::exchange(g_running, false))
        return;
    drain_events(false);
    (void)jx_comm_close();
    // Files that arrived whole stay behind the engine; a fresh start must find the names free.
    for (const auto& e : fs::directory_iterator(g_root + "/downloads"))
        fs::remove(e.path());
    jx_log_close();
    (void)jx_fso_close();
    jx_clock_set(0);
}

}  // namespace

uint64_t jx_fuzz_events[256];

void jx_fuzz_root_init(bool quiet_log)
{
    // In memory when there is one: a store syncs every channel file it creates.
    char shm[] = "/dev/shm/jxfuzz.XXXXXX", tmp[] = "/tmp/jxfuzz.XXXXXX";
    g_root = mkdtemp(shm) != nullptr ? shm : mkdtemp(tmp) != nullptr ? tmp : "";
    check(!g_root.empty(), "no temporary storage root");
    for (const char* sub : {"/jx_internal", "/msg", "/downloads"})
        fs::create_directory(g_root + sub);
    std::ofstream(g_root + "/up.bin") << std::string(3000, 'u');
    g_quiet = quiet_log;
    std::snprintf(fso.root_path, sizeof fso.root_path, "%s", g_root.c_str());
}

void jx_fuzz_init(uint32_t reset_every, bool standalone)
{
    check(!standalone || jx_test_enter_netns(nullptr), "cannot enter a network namespace of its own");
    jx_fuzz_root_init(standalone);
    check(g_route = jx_test_lo_route(SIOCADDRT, "0.0.0.0", "0.0.0.0"), "cannot add a default route via lo");
    g_reset_every = reset_every;
    g_inputs = 0;
    std::memset(jx_fuzz_events, 0, sizeof jx_fuzz_events);
    start_engine();
}

void jx_fuzz_input(const uint8_t* data, size_t size)
{
    if (size < 2)
        return;
    jx_clock_advance(k_steps[(data[0] >> 3) & 7]);
    if ((data[0] & 0x40) != 0)
        send_texts();
    inject(data + 1, size - 1, data[0] & 7);
    engine_steps();
    drain_events(true);
    if (g_reset_every != 0 && ++g_inputs % g_reset_every == 0) {  // afresh for the next input
        stop_engine();
        start_engine();
    }
}

void jx_fuzz_fini()
{
    stop_engine();
    if (std::exchange(g_route, false))
        (void)jx_test_lo_route(SIOCDELRT, "0.0.0.0", "0.0.0.0");
    std::error_code ec;  // no root when the harness never started
    fs::remove_all(std::exchange(g_root, ""), ec);
}

bool jx_fuzz_msgfile(const uint8_t* data, size_t size)
{
    const char name[] = "0100a8c0";
    std::ofstream(g_root + "/msg/" + name)
        .write(reinterpret_cast<const char*>(data), static_cast<long>(size));
    uint64_t hdr[3] = {};
    JXStoredMsg m{};
    const bool valid = jx_fso_read_file_header(hdr, name) == 0;
    for (uint64_t pos = 0; valid && pos <= hdr[2] + 1 && pos <= 300; pos++)
        (void)jx_fso_read_msg(static_cast<uint16_t>(pos), name, &m);
    m = JXStoredMsg{MSG_DELIVERED, 7, 0, 0, {}, {}};
    (void)jx_fso_update_msg(name, &m);
    // Whatever the file held, a text that was acknowledged is stored.
    m = JXStoredMsg{MSG_RECEIVED, 99, 0, 1, {}, "kept"};
    jx_fso_store_msg(&m, name);
    const bool kept = jx_fso_read_file_header(hdr, name) == 0 && hdr[0] != 0 && hdr[0] <= 65535 &&
                      jx_fso_read_msg(static_cast<uint16_t>(hdr[0]), name, &m) == 0 && m.id == 99 &&
                      std::strcmp(m.text, "kept") == 0;
    for (const auto& e : fs::directory_iterator(g_root + "/msg"))
        fs::remove(e.path());
    return kept;
}
