#include "engine/comm.hpp"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "engine/downloads.hpp"
#include "engine/pacing.hpp"
#include "engine/quotas.hpp"
#include "engine/records.hpp"
#include "engine/registry.hpp"
#include "foundation/log.hpp"
#include "foundation/netif.hpp"
#include "foundation/utility.hpp"
#include "storage/fso.hpp"
#include "storage/stranger_files.hpp"

JXComm comm;

namespace {

// The zeroed record holds socket 0 (standard input) before init: only close what init opened.
bool sockets_owned = false;

void close_sock(int32_t* sock)
{
    if (sockets_owned && *sock >= 0)
        close(*sock);
    *sock = -1;
}

int bound_udp_socket(uint16_t port)
{
    const int s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s < 0)
        return -1;
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(port);
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(s, reinterpret_cast<const sockaddr*>(&any), sizeof(any)) != 0) {
        const int err = errno;
        close(s);
        errno = err;
        return -2;
    }
    return s;
}

uint8_t add_to(jx_list* queue, uint8_t kind, void* payload)
{
    auto* rec = static_cast<JXEvent*>(std::calloc(1, sizeof(JXEvent)));
    if (rec == nullptr) {
        jx_log("Can't allocate memory");
        return 1;
    }
    rec->kind = kind;
    rec->payload = payload;
    if (jx_list_ins_next(queue, jx_list_tail(queue), rec) != 0) {
        std::free(rec);
        return 1;
    }
    return 0;
}

}  // namespace

static_assert(sizeof(JXEvent) == sizeof(JXTask), "both queues hold the same two fields");

JXComm* jx_comm_get()
{
    return &comm;
}

uint8_t jx_comm_init(const char* program_path)
{
    // A fresh record each time so that a test can start the engine again after closing it.
    std::memset(&comm, 0, sizeof(comm));
    comm.rcv_sock = comm.snd_sock = comm.data_sock = -1;
    sockets_owned = true;

    // The root is claimed before its log is opened: a second instance must not write to it.
    if (jx_fso_init(program_path) != 0 || jx_fso_lock_root() != 0)
        return 1;
    jx_log("FSO initialized");
    // What strangers made is counted per storage root, and floods per engine.
    jx_stranger_files_reset();
    jx_refusals_reset();
    if (jx_log_init(jx_fso_get_logging_path()) == 0)
        jx_log("Logger initialized");
    if (const int err = jx_fso_unclaimed(); err != 0)
        jx_log("Storage root not claimed: its file system has no locks (errno %d)", err);
    // Without msg/ every text would be acknowledged to its sender and then lost.
    if (jx_fso_make_dirs() != 0) {
        const JXFsoFault* f = jx_fso_fault();
        jx_log("Storage directory %s unusable - %d", f->path, f->err);
        jx_log_errno(f->err);
        return 1;
    }

    comm.port = JX_PORT;
    jx_random_str(comm.instance_id, JX_INSTANCE_ID_LEN);
    comm.data_payload_max = JX_DATA_PAYLOAD_MAX;
    std::memset(comm.username, 0, sizeof(comm.username));
    jx_generate_random_username(comm.username, sizeof(comm.username));

    comm.snd_sock = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (comm.snd_sock < 0) {
        const int err = errno;
        jx_log("Socket() sender failed - %d", err);
        jx_log_errno(err);
        return 1;
    }
    const int rcv = bound_udp_socket(comm.port);
    if (rcv < 0) {
        const int err = errno;
        jx_log(rcv == -1 ? "Socket() receiver failed - %d" : "Bind() failed - %d", err);
        jx_log_errno(err);
        return 1;
    }
    comm.rcv_sock = rcv;
    const int data = bound_udp_socket(JX_DATA_PORT);
    if (data < 0)
        return 1;
    comm.data_sock = data;
    // Chunks arrive in bursts; a small buffer would drop them before the loop reads them. The
    // forced size needs privileges; without them the system's ceiling applies.
    const int rcvbuf = JX_DATA_RCVBUF;
    if (setsockopt(data, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf) != 0)
        (void)setsockopt(data, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);

    jx_pacing_load();
    jx_list_init(&comm.events, std::free);
    jx_list_init(&comm.tasks, std::free);
    jx_set_init(&comm.networks, jx_match_network, std::free);

    comm.running = 1;
    jx_log("Client listening on port %hu", comm.port);
    // Which addresses peers should see us with: the first thing to compare when one is missing.
    char addrs[1024];
    jx_netif_describe(addrs, sizeof addrs);
    jx_log("Host addresses: %s", addrs);
    return 0;
}

uint8_t jx_comm_close()
{
    // Leaving unlinks the network, so the next one is taken first.
    jx_list_elmt* el = jx_list_head(&comm.networks);
    while (el != nullptr) {
        jx_list_elmt* next = jx_list_next(el);
        jx_leave_network(static_cast<JXNetwork*>(jx_list_data(el)));
        el = next;
    }
    jx_set_destroy(&comm.networks);
    jx_list_destroy(&comm.events);
    jx_list_destroy(&comm.tasks);
    comm.running = 0;
    close_sock(&comm.rcv_sock);
    close_sock(&comm.snd_sock);
    close_sock(&comm.data_sock);
    sockets_owned = false;
    jx_log("Comms closed");
    return 0;
}

uint8_t jx_comm_set_uname(char* name)
{
    if (name == nullptr)
        return 2;
    jx_trim(name, nullptr);
    const size_t len = std::strlen(name);
    if (len > JX_USERNAME_MAX)
        return 1;
    if (len == 0)
        return 2;
    std::memset(comm.username, 0, sizeof(comm.username));
    std::memcpy(comm.username, name, len);
    return 0;
}

uint8_t jx_comm_add_event(uint8_t kind, void* payload)
{
    return add_to(&comm.events, kind, payload);
}

uint8_t jx_comm_add_task(uint8_t kind, void* payload)
{
    return add_to(&comm.tasks, kind, payload);
}

void jx_comm_raise(uint8_t kind, void* payload)
{
    if (jx_comm_add_event(kind, payload) != 0)
        std::free(payload);
}
