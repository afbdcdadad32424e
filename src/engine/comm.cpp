#include "engine/comm.hpp"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "engine/pacing.hpp"
#include "engine/records.hpp"
#include "engine/quotas.hpp"
#include "engine/refusals.hpp"
#include "engine/registry.hpp"
#include "foundation/log.hpp"
#include "foundation/netif.hpp"
#include "foundation/utility.hpp"
#include "protocol/data_protocol.hpp"
#include "storage/archive.hpp"
#include "storage/fso.hpp"
#include "storage/stranger_files.hpp"

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

}  // namespace

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
    // A folder's archive lives as long as its upload; uploads do not outlive their program.
    if (jx_fso_unclaimed() == 0) {
        if (const int n = jx_outbox_sweep(); n > 0)
            jx_log("Removed %d archives an earlier run left in the outbox", n);
    }

    comm.port = JX_PORT;
    jx_random_str(comm.instance_id, JX_INSTANCE_ID_LEN);
    comm.data_payload_max = JX_CHUNK_SIZE_MAX;
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
    flush_stranger_files();
    jx_leave_networks();
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
