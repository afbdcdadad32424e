// context: the engine context (sockets, receive buffer, identity, the set of joined networks) and
// the two queues that link engine and terminal: tasks (terminal -> engine) and events (engine ->
// terminal). Every engine module reads it; starting and stopping it is comm's.
// May call: foundation (llist, set, utility, log), protocol, engine events.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "engine/events.hpp"
#include "foundation/llist.hpp"
#include "foundation/set.hpp"
#include "protocol/protocol.hpp"

inline constexpr size_t JX_USERNAME_MAX = 15;

struct JXComm {
    uint8_t running;                   // 1 between a successful init and close; 0 after a select failure
    uint16_t port;                     // host order: 8855
    uint16_t data_payload_max;         // 1370
    int32_t rcv_sock;                  // bound to 0.0.0.0:8855
    int32_t snd_sock;                  // never bound: ephemeral port on first send
    int32_t data_sock;                 // bound to 0.0.0.0:8856
    int32_t rcv_len;                   // bytes of the last receive; 1470 after a receive error
    sockaddr_in rcv_from;              // sender of the last datagram (network order)
    uint8_t rcv_buf[JX_DATAGRAM_MAX];  // zero-filled before each receive
    char username[16];                 // at most 15 characters, always NUL-terminated
    char instance_id[JX_INSTANCE_ID_LEN + 1];  // 32 random characters: recognises own beacons
    jx_list events;                            // of JXEvent, destroy free
    jx_list tasks;                             // of JXTask, destroy free
    jx_set networks;                           // of JXNetwork, in order of joining
};

extern JXComm comm;

enum : uint8_t {
    TASK_VERIFY_DOWNLOAD = 1,
};

// The queue owns the record; whoever takes it from the queue frees the payload and then the
// record (JXEvent, with its kinds, is in events.hpp).
struct JXTask {
    uint8_t kind;
    void* payload;
};

JXComm* jx_comm_get();

// Trims `name` in place; 1 when longer than 15 characters, 2 when empty, else stores it and 0.
[[nodiscard]] uint8_t jx_comm_set_uname(char* name);

// Append at the tail. 0, or 1 when the record cannot be allocated or linked (the payload is then
// neither freed nor queued).
[[nodiscard]] uint8_t jx_comm_add_event(uint8_t kind, void* payload);
// Producers' form of jx_comm_add_event: when the queue cannot take the event its payload is freed,
// so a failed allocation never leaks.
void jx_comm_raise(uint8_t kind, void* payload);
[[nodiscard]] uint8_t jx_comm_add_task(uint8_t kind, void* payload);
