// records: the engine's records and who owns them, how members of their sets are told apart,
// finding a member of a network, how each record is destroyed, and the display names of their
// type values.
//
// Ownership: comm.networks owns every JXNetwork. A network owns its peers, its channels and its
// four transfer lists; a channel owns its sent texts; a sent text owns its addressee set; a
// transfer owns its open file and its segment buffer; comm.tasks owns the verification tasks,
// which borrow a finished download. Each container is given the destroy function of its records,
// so destroying a container releases everything below it: files are closed, a partly received
// file is deleted, a folder's archive sent from the outbox is removed, and a verification of a
// finished record that goes away is cancelled.
// May call: foundation, storage (transfer files, the outbox), engine context (the task queue),
// pacing (the rate record of an upload).
#pragma once

#include <cstdint>
#include <cstdio>

#include "foundation/llist.hpp"
#include "foundation/set.hpp"
#include "foundation/timer.hpp"
#include "engine/pacing.hpp"
#include "protocol/data_protocol.hpp"
#include "protocol/protocol.hpp"
#include "storage/transfer_files.hpp"

// Network types.
enum : uint8_t {
    NET_UNSPEC = 0,              // joined with a unicast or subnet-broadcast address; no answer yet
    NET_MULTICAST = 1,           // 224.0.0.0/4
    NET_BROADCAST = 2,           // 255.255.255.255
    NET_DIRECT_IP_INCOMING = 3,  // opened here because a remote host's query arrived
    NET_DIRECT_IP_OUTGOING = 4,  // a NET_UNSPEC network whose remote host answered
};

// Network status.
enum : uint8_t {
    NET_OFFLINE = 0,
    NET_ONLINE = 1,
    NET_CLOSED = 2,  // a direct-IP network whose only peer left or timed out
};

// Channel types.
enum : uint8_t {
    CH_UNSPEC = 0,  // channel of a NET_UNSPEC network
    CH_MAIN = 1,    // multicast or broadcast network, peer address 0
    CH_NET_DM = 2,  // multicast or broadcast network, one peer
    CH_DM = 3,      // direct-IP network, peer address 0
};

// A resend can come 15 s after the first copy of a text (five passes 3 s apart), and its id must
// still be in the window then, or the text is shown twice. 100 ids covered that only below about
// 7 texts a second on a network; 1024 cover it up to 68.
inline constexpr int JX_RECENT_IDS = 1024;

struct JXNetwork {
    uint8_t type;
    uint8_t status;
    uint16_t recent_idx;                 // next slot of recent_ids, 0..JX_RECENT_IDS - 1
    uint64_t recent_ids[JX_RECENT_IDS];  // ids of the last accepted texts and leaves, a ring
    int64_t last_beacon;                 // last beacon or query sent; 0 at creation
    int64_t last_heard;                  // last proof that the network is alive
    int64_t online_since;                // 0 while not online
    int64_t last_retry;                  // last text retry pass
    uint32_t own_addr;                   // own address seen in echoed beacons; 0 until then
    uint32_t addr;                       // network order; unique within comm.networks
    jx_set peers;                        // of JXPeer
    jx_set channels;                     // of JXChannel
    jx_list downloads;                   // of JXTransfer, newest first
    jx_list uploads;                     // of JXTransfer, newest first
    jx_list fin_downloads;               // of JXTransferFin, newest first
    jx_list fin_uploads;                 // of JXTransferFin, newest first
    uint8_t stranger;                    // 1: a private network a query opened, not yet opened here
};

struct JXChannel {
    uint8_t type;
    uint32_t net_addr;
    uint32_t peer_addr;  // the peer of a CH_NET_DM channel, else 0
    uint64_t unread;
    jx_list sent_txts;  // of JXSentTxt, newest first
    uint8_t stranger;   // 1: made by received traffic, not yet opened or written in here
};

struct JXPeer {
    uint8_t alive;  // 0 when added, 1 once heard again
    uint16_t port;  // host order: source port of its packets
    uint32_t addr;  // network order; unique within a network
    int64_t last_seen;
    uint8_t beacon_head[32];  // first 32 payload bytes of the packet that added/refreshed it
    char username[16];
};

inline constexpr int JX_TXT_RETRIES = 5;

// A sent text waiting for acknowledgements. The message id is read back from the datagram.
struct JXSentTxt {
    uint8_t retries;  // 5 when created; one less per resend pass
    uint16_t len;     // bytes of dgram
    uint16_t acks;    // acknowledgements received (repeats count)
    uint8_t dgram[JX_DATAGRAM_MAX];
    jx_set addressees;  // of separately allocated uint32_t addresses not yet acknowledged
};

// Upload states.
enum : uint8_t {
    UL_HASHING = 0,     // the file is being hashed
    UL_SEND_META = 1,   // the offer goes out every turn until it is answered
    UL_PENDING = 2,     // answered; waiting without time limit for the first segment request
    UL_SEND_BATCH = 3,  // the chunks of the current segment are being sent
    UL_BATCH_DONE = 4,  // segment sent; PKT_BATCH_DONE goes out every turn until the next request
};

// Download states.
enum : uint8_t {
    DL_PENDING = 0,    // offered, not accepted: no file, no time-out
    DL_REQUESTED = 1,  // a segment or its missing chunks asked for, every turn until a chunk arrives
    DL_WAIT = 2,       // chunks of the current segment are arriving
};

// Results of a finished transfer.
enum : uint8_t {
    FIN_NONE = 0,  // ended by a PKT_FILE_FIN_OTHER
    FIN_COMPLETED = 6,
    FIN_FAILED = 8,
    FIN_HASH_BAD = 9,        // verification found another digest
    FIN_HASH_CHECKING = 10,  // verification running
    FIN_HASH_OK = 11,        // verification found the offered digest
};

// A transfer in progress, upload or download (the field meanings differ a little by side).
struct JXTransfer {
    uint8_t state;
    uint16_t port;   // the other side's data port (host order); 0 before an upload is answered
    uint16_t limit;  // upload: chunks per sending pass; download: the offered chunk size
    FILE* stream;    // the file; null while a download is pending
    uint32_t addr;   // the other side (network order)
    uint64_t start_time;
    uint64_t eta;            // seconds left, for the screens
    uint64_t last_activity;  // drives the 15 s time-out
    uint64_t bytes_left;     // upload: bytes still to send once; download: bytes not yet requested
    double speed;            // bytes per microsecond of the last segment, for the screens
    uint8_t id[JX_TRANSFER_ID_LEN];
    JXFileMeta meta;
    uint16_t chunk_size;  // of the current segment
    uint64_t chunks_left;
    uint64_t chunk_count;  // of the current segment, 1..512
    uint64_t seg_offset;   // upload: bytes of the segment already sent in order
    uint64_t segment;      // number of the current segment; 0 before the first
    JXTimer seg_timer;
    uint8_t bitmap[JX_BITMAP_LEN];  // chunks of the segment sent (upload) or arrived (download)
    uint8_t skipped;                // 1 while missing chunks are being asked for / re-sent
    uint8_t* seg_buf;               // the current segment's bytes
    size_t seg_buf_size;            // bytes allocated for seg_buf
    JXRate pace;                    // upload, rate-based pacing: how fast chunks may go
    int64_t repeat_us;              // rate-based pacing: when the offer, batch-done or request last went out
};

// The one way an upload changes state. 0 changed; 1 refused (logged): UL_PENDING only from
// UL_SEND_META, UL_BATCH_DONE only from UL_SEND_BATCH, nothing above UL_BATCH_DONE.
uint8_t jx_set_ul_state(JXTransfer* upload, uint8_t state);

// A finished transfer, kept for the transfer screens.
struct JXTransferFin {
    uint8_t state;  // FIN_*
    uint64_t start_time;
    uint64_t end_time;
    uint32_t addr;
    uint8_t id[JX_TRANSFER_ID_LEN];
    JXFileMeta meta;
    // The fin type the peer is told, fixed when the record is made: a later verification from
    // disk changes the state shown, never what a repeated fin says.
    uint8_t told;
};

// The payload of a TASK_VERIFY_DOWNLOAD task: the finished download, the hashing state (bytes
// hashed so far in hash.size) and the file open for reading.
struct JXVerifyTask {
    JXTransferFin* fin;
    JXFileMeta hash;
    FILE* stream;
};

struct JXTask;
// Whether a queued task is the verification of `fin`.
bool jx_task_verifies(const JXTask* task, const JXTransferFin* fin);
// Closes a verification's file and frees it (null: nothing).
void jx_verify_task_free(JXVerifyTask* task);

// Match callbacks: (key or member of the first set, member being scanned); nonzero when equal.
int jx_match_network(const void* key, const void* member);         // by address
int jx_match_channel(const void* key, const void* member);         // by network and peer address
int jx_match_peer(const void* key, const void* member);            // by address
int jx_match_sent_text_addr(const void* key, const void* member);  // 4-byte addresses

// The member of a network with this peer address (0: the main or private channel), or null;
// null for a null network too.
JXChannel* jx_ch_from_network(const JXNetwork* network, uint32_t peer_addr);
JXPeer* jx_peer_from_network(uint32_t addr, const JXNetwork* network);

// Empty containers of a new record, each with its records' destroy function.
void jx_network_init_lists(JXNetwork* network);
void jx_channel_init_lists(JXChannel* channel);
void jx_sent_txt_init_lists(JXSentTxt* sent);

// Destroy functions, also the containers' destroy callbacks. Each takes a record that is no
// longer linked anywhere and releases it with everything it owns.
void jx_network_destroy_lists(JXNetwork* network);  // the containers only; the record stays
void jx_channel_destroy(void* channel);
void jx_sent_txt_destroy(void* sent);
// Closes the file and frees the segment buffer. For a download whose file is still open the
// file is partial and is deleted: a download that did not finish leaves nothing behind.
void jx_upload_destroy(void* upload);
void jx_download_destroy(void* download);
// What both destroy functions do first, and what a download that ends does with its complete file:
// closes it (without deleting it) and frees the segment buffer. False when the file's last bytes
// could not be written.
bool jx_transfer_release(JXTransfer* transfer);
// Cancels any verification of the record (closing its file) before freeing it.
void jx_fin_destroy(void* fin);

// Static 40-byte buffers, one per function, overwritten by the next call.
const char* jx_channel_type_str(uint8_t type);
const char* jx_network_type_str(uint8_t type);

// Private networks with one remote host, opened by either side.
inline bool jx_is_direct_ip(uint8_t type)
{
    return type == NET_DIRECT_IP_INCOMING || type == NET_DIRECT_IP_OUTGOING;
}
// Multicast and broadcast networks, where this host hears its own traffic back.
inline bool jx_is_group(uint8_t type)
{
    return type == NET_MULTICAST || type == NET_BROADCAST;
}
