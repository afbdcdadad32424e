// fuzz_harness: drives the real datagram dispatcher with arbitrary bytes. Shared by the libFuzzer
// target (fuzz_datagram) and the corpus replay in the engine tests.
//
// One input = one control byte followed by the datagram as it would sit in the receive buffer:
//   bits 0..2  which host sent it (JX_FZ_FROM_*: known peers, direct-IP hosts, a stranger, ourselves)
//   bits 3..5  how far the fake clock moves before it is handled (jx_fz_clock_step)
//   bit 6      send fresh texts on every channel first, so acknowledgements find something to match
//   bit 7      unused
// After the datagram the periodic tasks run once and the event queue is drained; every event is
// checked for a kind in range and terminated strings.
//
// The engine is set up with: a multicast network, the broadcast network (both online, with peers),
// a Net DM channel, an outgoing direct-IP network (we queried, the host answered) and an incoming
// one (a host queried us), and texts waiting for acknowledgements.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr char JX_FZ_MCAST[] = "239.1.2.3";
inline constexpr char JX_FZ_BCAST[] = "255.255.255.255";

struct JXFuzzHost {
    const char* addr;
    uint16_t port;  // host order
};

enum : uint8_t {
    JX_FZ_FROM_PEER1 = 0,       // peer of both group networks
    JX_FZ_FROM_PEER2 = 1,       // peer of both group networks
    JX_FZ_FROM_PEER3_DATA = 2,  // peer of the multicast network, from its data port
    JX_FZ_FROM_DIRECT_IN = 3,   // the host that queried us (incoming direct-IP network)
    JX_FZ_FROM_DIRECT_OUT = 4,  // the host we queried (outgoing direct-IP network)
    JX_FZ_FROM_STRANGER = 5,    // known on no network
    JX_FZ_FROM_SELF = 6,        // our own address, as our group beacons come back
    JX_FZ_FROM_PEER1_DATA = 7,  // peer 1 from its data port
};

inline constexpr JXFuzzHost JX_FZ_HOSTS[8] = {
    {"10.9.8.1", 8855}, {"10.9.8.2", 8855}, {"10.9.8.3", 8856},   {"10.9.8.6", 40000},
    {"10.9.8.7", 8855}, {"10.9.8.9", 8855}, {"10.9.8.100", 8855}, {"10.9.8.1", 8856},
};

inline constexpr int64_t JX_FZ_CLOCK_STEPS[8] = {0, 0, 1, 1, 2, 3, 11, 61};

inline constexpr uint8_t jx_fz_ctl(uint8_t from, uint8_t step_idx, bool prime = false)
{
    return static_cast<uint8_t>((from & 7) | ((step_idx & 7) << 3) | (prime ? 0x40 : 0));
}

// Puts the process into a network namespace of its own with lo up, multicast on, and routes for
// 224.0.0.0/4 and everything else via lo: as root a new network namespace, otherwise a user
// namespace first. 0 on success.
int jx_fuzz_enter_netns();

// Adds (on) or removes (off) a default route via lo in the current namespace, so that texts to the
// made-up peers leave without an error and are tracked. 0 on success (an existing route counts).
int jx_fuzz_default_route(bool on);

// Creates a temporary storage root and starts the engine with the state above. `reset_every`:
// the engine is started afresh every that many inputs (1 = every input, fully reproducible;
// 0 = never). With `quiet_log` the log goes to /dev/null. 0 on success.
int jx_fuzz_init(uint32_t reset_every, bool quiet_log);

// One input as described above. Inputs shorter than 2 bytes are ignored.
void jx_fuzz_input(const uint8_t* data, size_t size);

// Stops the engine and removes the storage root.
void jx_fuzz_fini();

// Events of `kind` drained since jx_fuzz_init (so a replay can tell that an input took effect).
uint64_t jx_fuzz_event_count(uint8_t kind);
