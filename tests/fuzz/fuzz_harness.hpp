// fuzz_harness (library jx_fuzz_harness): drives the real datagram dispatcher with arbitrary bytes,
// for the libFuzzer target fuzz_datagram and for the corpus replay of the ordinary test run.
//
// One input = a control byte, then the datagram as it would sit in the receive buffer. The control
// byte: bits 0..2 the sender (JX_FZ_FROM_*), bits 3..5 how far the fake clock moves first, bit 6
// send fresh texts on every channel first so that acknowledgements find something to match.
// After the datagram the periodic tasks run once and every queued event is checked (a kind that
// exists, strings terminated in their room); a malformed one aborts.
//
// The engine starts with a multicast and the broadcast network online with peers, a Net DM
// channel, an outgoing direct-IP network (we queried, the host answered) and an incoming one, and
// transfers with peer 1 in every state: uploads 0213243546576879 offered, ...7a answered, ...7b
// sending segment 1, ...7c re-sending it; downloads 0112233445566777 offered and
// 0112233445566779 accepted (3000 bytes: segment 1 is 2 chunks of 1370); a finished download
// being verified.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr char JX_FZ_MCAST[] = "239.1.2.3";
inline constexpr char JX_FZ_BCAST[] = "255.255.255.255";

// Senders (JX_FZ_FROM_*): peers 1 and 2 of both group networks, peer 3 of the multicast network
// from its data port, the host that queried us, the host we queried, a host known on no network,
// our own address (as our group beacons come back), and peer 1 from its data port; and the user
// name each goes by.
inline constexpr uint8_t JX_FZ_FROM_PEER1 = 0, JX_FZ_FROM_PEER2 = 1, JX_FZ_FROM_PEER3_DATA = 2,
                         JX_FZ_FROM_DIRECT_IN = 3, JX_FZ_FROM_DIRECT_OUT = 4, JX_FZ_FROM_STRANGER = 5,
                         JX_FZ_FROM_SELF = 6, JX_FZ_FROM_PEER1_DATA = 7;
inline constexpr const char* JX_FZ_USERS[8] = {"peer1",   "peer2",    "peer3",    "inhost",
                                               "outhost", "stranger", "fuzzhost", "peer1"};

// step: index into the clock steps 0, 0, 1, 1, 2, 3, 11 and 61 seconds.
inline constexpr uint8_t jx_fz_ctl(uint8_t from, uint8_t step, bool texts = false)
{
    return static_cast<uint8_t>((from & 7) | ((step & 7) << 3) | (texts ? 0x40 : 0));
}

// Makes a temporary storage root (with a file to upload) and points the store at it.
void jx_fuzz_root_init(bool quiet_log);
// Makes the temporary storage root and starts the engine in the state above (aborting when it
// cannot), afresh every `reset_every` inputs (1: every input stands alone; 0: never). Texts to the
// made-up peers leave by a default route via lo, added here and removed by jx_fuzz_fini, so it runs
// in a network namespace of the process's own: `standalone` (the libFuzzer target) enters one and
// sends the log to /dev/null; otherwise the caller is in one already.
void jx_fuzz_init(uint32_t reset_every, bool standalone);
// One input; shorter than 2 bytes is ignored.
void jx_fuzz_input(const uint8_t* data, size_t size);
// Stops the engine, removes the route and the storage root.
void jx_fuzz_fini();
// Events drained since jx_fuzz_init by kind, so that a replay can tell an input took effect.
extern uint64_t jx_fuzz_events[256];

// A channel message file as found on disk (any bytes: it may be damaged) goes through every reader
// of the store and then takes a new message; true when that message reads back from the newest
// slot. Needs jx_fuzz_root_init (or jx_fuzz_init) first.
bool jx_fuzz_msgfile(const uint8_t* data, size_t size);
