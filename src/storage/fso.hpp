// fso: everything the program keeps on disk. Owns the global `fso` (storage root and the paths
// derived from it), the root search, the configuration file, path-level file operations and the
// per-channel ring message store under msg/. Every file under the root is opened relative to the
// directories held open here, through safe_file. One header, several files: fso.cpp (the root and
// its directories), fso_search.cpp (the root's candidates), fso_claim.cpp (claiming the root,
// making msg/ and downloads/), fso_files.cpp (files and the configuration), fso_msg.cpp (the
// message store), fso_networks.cpp (networks to join again). May call foundation only (log,
// bit_utils, utility, safe_file).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "foundation/safe_file.hpp"

// A path is at most 1024 characters and its NUL; anything longer is refused, never cut.
inline constexpr size_t JX_FSO_PATH_SIZE = 1025;
inline constexpr size_t JX_FSO_PATH_MAX = JX_FSO_PATH_SIZE - 1;

struct JXFso {
    char root_path[JX_FSO_PATH_SIZE];      // no trailing "/"; "" is the top directory (or not found)
    char internal_path[JX_FSO_PATH_SIZE];  // root_path + "/jx_internal/", also the logging dir
    char cfg_path[JX_FSO_PATH_SIZE];       // root_path + "/jx_internal/cfg"
};
extern JXFso fso;

// ---- Storage root -------------------------------------------------------------------------------

// A candidate qualifies when its jx_internal is a directory of this user (or root) that no one else
// may write, is no symbolic link, and takes a probe file (created exclusively, then deleted).

// $JEXLEY_HOME, when set, is the only candidate; otherwise the program's directory, PATH and its
// link target are searched, and the data directory ($XDG_DATA_HOME/jexley, ~/.local/share/jexley)
// comes last, so an installed program with no jx_internal beside it still has a root. With make,
// a JEXLEY_HOME or data directory root gets what is missing of it and of its jx_internal (0700,
// through safe_file); a directory that cannot be made is the fault (FSO_FAULT_NO_DIR, with its
// errno and path) the failed start names. Without make (the doctor) nothing is made.

// 0 when a root was found and all three paths are set; 1 when none qualifies (root_path left empty).
[[nodiscard]] uint8_t jx_fso_init(const char* argv0, bool make = true);
// The root search alone: 0 with root_path set, 1 with root_path empty.
[[nodiscard]] uint8_t jx_fso_chk_root(const char* argv0, bool make = true);
// The root a start would make when it is missing (JEXLEY_HOME's, else the data directory's) into
// dir (JX_FSO_PATH_SIZE bytes), true; false when there is none to make.
bool jx_fso_first_use_root(const char* argv0, char* dir);
// $JEXLEY_HOME when it names the root (set and not empty), else null.
const char* jx_fso_home_env();
// 0 when a probe file can be created (and is deleted again) in dir, or in dir/sub when sub is
// given and qualifies as above; 1 otherwise, also when dir exceeds 1024 characters.
[[nodiscard]] uint8_t fso_test_dir(const char* dir, const char* sub);
// Clears every byte of fso, closes the directories and gives up the claim on the root; returns 0.
uint8_t jx_fso_close();

// The directories held open for the run (opened on first use when jx_fso_make_dirs did not run,
// also under a root_path set by hand); -1 when there is no usable one.
enum : uint8_t { FSO_DIR_INTERNAL = 0, FSO_DIR_MSG = 1, FSO_DIR_DOWNLOADS = 2 };
int jx_fso_dir_fd(uint8_t which);
// internal_path; the directory the log lives in.
const char* jx_fso_get_logging_path();

// Where a root-search candidate came from.
enum : uint8_t {
    FSO_FROM_EXEC = 1,  // directory of the invocation path
    FSO_FROM_PATH = 2,  // one element of PATH, as written
    FSO_FROM_LINK = 3,  // directory of the invocation path's symbolic-link target
    FSO_FROM_HOME = 4,  // $JEXLEY_HOME, made absolute
    FSO_FROM_DATA = 5,  // the data directory's jexley/
};
// Whether a candidate could be formed at all; one that cannot is never tested.
enum : uint8_t {
    FSO_CAND_OK = 0,
    FSO_CAND_TOO_LONG = 1,  // more than 1024 characters
    FSO_CAND_NO_DIR = 2,    // link target without "/": no directory part
    FSO_CAND_NO_HOME = 3,   // no data directory: neither an absolute XDG_DATA_HOME nor HOME
};
// Gets each candidate in search order: dir is the directory to test (null unless status is
// FSO_CAND_OK). Returning nonzero ends the walk.
using jx_fso_candidate_fn = int (*)(const char* dir, uint8_t from, uint8_t status, void* arg);
// The one walk over the root candidates that both the search and its description use.
// 0 when fn ended the walk, 1 when the candidates ran out.
uint8_t jx_fso_walk_roots(const char* argv0, jx_fso_candidate_fn fn, void* arg);
// Writes the search's candidates, in order, one per line ("  <dir>/jx_internal\n", with " (made
// when missing)" for a root made on first use, or a note in brackets for a candidate that could
// not be formed), so a failed start can tell the user where
// jx_internal was looked for. Control characters are shown as "?". Always NUL-terminates out
// (when n > 0); returns the length the whole text needs, so a result >= n means it was cut.
size_t jx_fso_describe_search(const char* argv0, char* out, size_t n);

// ---- Claiming the root ---------------------------------------------------------------------------
// One process per root: two would write the same log and message files. The claim is a lock on
// jx_internal/lock, which records the holder as "<pid> <host name>\n"; the system drops the lock
// when the holder ends, however it ends. A lock file that cannot be opened refuses the start; a
// file system without locks runs unclaimed, and the start says so.

// Why the root found could not be used; what is FSO_FAULT_NONE after a good start.
enum : uint8_t {
    FSO_FAULT_NONE = 0,
    FSO_FAULT_LOCKED = 1,    // another process holds the root
    FSO_FAULT_NO_DIR = 2,    // a directory the program needs could not be made
    FSO_FAULT_NO_WRITE = 3,  // a directory the program needs cannot be written
    FSO_FAULT_UNSAFE = 4,    // a directory or kept file (path) fails the checks: why
    FSO_FAULT_NO_LOCK = 5,   // the lock file cannot be opened or locked: why
};
struct JXFsoHolder {
    long pid;        // 0 when the holder has not recorded itself yet
    char host[256];  // "" when unknown
};
struct JXFsoFault {
    uint8_t what;
    int err;                      // errno of the failed step
    char path[JX_FSO_PATH_SIZE];  // the directory concerned
    JXFsoHolder holder;           // FSO_FAULT_LOCKED
    JXSafeWhy why;                // FSO_FAULT_UNSAFE, FSO_FAULT_NO_LOCK
};
const JXFsoFault* jx_fso_fault();
// The errno with which the file system refused the lock when the root runs unclaimed; else 0.
int jx_fso_unclaimed();

// After jx_fso_init: takes the root for this process (a claim held before is given up first), and
// checks that jx_internal/log, when present, is a file this process may append to. 0, or
// FSO_FAULT_LOCKED with the holder, FSO_FAULT_NO_LOCK, FSO_FAULT_UNSAFE (the log) in jx_fso_fault().
[[nodiscard]] uint8_t jx_fso_lock_root();
// Whether another process holds the root of fso (true, with its record) without taking it.
bool jx_fso_lock_holder(JXFsoHolder* holder);
// Makes msg/ and downloads/ (0700) when missing, so a text that was acknowledged is also stored,
// and holds them open. 0, or FSO_FAULT_NO_DIR / FSO_FAULT_NO_WRITE / FSO_FAULT_UNSAFE with the
// directory in jx_fso_fault().
[[nodiscard]] uint8_t jx_fso_make_dirs();
// The state of root/<sub>: JX_SAFE_OK when it is a directory of ours files can be created in; else
// why not (JX_SAFE_ERRNO with ENOENT missing, EACCES, EROFS..., or a failed check).
JXSafeWhy jx_fso_dir_state(const char* sub);
// The first root candidate whose jx_internal exists but does not qualify: its directory into dir
// (JX_FSO_PATH_SIZE bytes) and why (JX_SAFE_ERRNO: it cannot be written), true; false when none.
bool jx_fso_unusable_root(const char* argv0, char* dir, JXSafeWhy* why);

// ---- Files and configuration --------------------------------------------------------------------

// 0 when the file can be opened for reading (it exists), 1 otherwise.
[[nodiscard]] uint8_t jx_fso_file_exists(const char* path);
// Deletes dir + name (no separator is added; dir ends with "/"). A joined path of 1024 characters
// or more is refused and nothing is deleted. Success is not reported.
void jx_fso_remove_file(const char* name, const char* dir);
// Reads n bytes of a configuration field (0: username at offset 0, 1: offset 15) into dst, but
// only when the first byte read is not NUL; a missing file or field leaves dst unchanged. A cfg
// that is not a regular file of ours with one name is not read ("Config file refused: ...").
void jx_fso_read_cfg(uint8_t field, void* dst, size_t n);
// Writes n bytes into a field in place, keeping the rest of the file (made 0600 when missing);
// logs when it cannot open, and why when the file was refused.
void jx_fso_store_cfg(uint8_t field, const void* src, size_t n);

// ---- Channel message store ----------------------------------------------------------------------

// A channel file: header block, then JX_MSG_CAPACITY slots of one block each; numbers LSB first.
inline constexpr size_t JX_MSG_SLOT_SIZE = 1600;
inline constexpr uint32_t JX_MSG_CAPACITY = 100;
inline constexpr size_t JX_MSG_FILE_SIZE = JX_MSG_SLOT_SIZE * (1 + JX_MSG_CAPACITY);
inline constexpr size_t JX_MSG_HEADER_BYTES = 12;  // last, count, capacity
// Slot layout.
inline constexpr size_t JX_MSG_OFF_TIME = 0;
inline constexpr size_t JX_MSG_OFF_ID = 8;
inline constexpr size_t JX_MSG_OFF_ADDR = 12;
inline constexpr size_t JX_MSG_OFF_TYPE = 17;
inline constexpr size_t JX_MSG_OFF_UNAME = 18;
inline constexpr size_t JX_MSG_OFF_TEXT = 100;
inline constexpr size_t JX_MSG_TEXT_MAX = JX_MSG_SLOT_SIZE - JX_MSG_OFF_TEXT;  // room for a text
inline constexpr size_t JX_MSG_TEXT_READ = 1470;  // a text comes back cut to one datagram
inline constexpr size_t JX_MSG_UNAME_READ = 15;
static_assert(JX_MSG_FILE_SIZE == 161600);
static_assert(JX_MSG_TEXT_MAX == 1500);
static_assert(JX_MSG_OFF_UNAME + 82 == JX_MSG_OFF_TEXT);
static_assert(JX_MSG_OFF_TEXT + JX_MSG_TEXT_READ <= JX_MSG_SLOT_SIZE);

// The message file of a channel under msg/: "%08lx_%08lx" of network and peer for a Net DM channel
// (type 2), else "%08lx" of the network, each address as held (network order).
inline constexpr size_t JX_CHANNEL_NAME_SIZE = 18;
void jx_channel_file_name(uint8_t ch_type, uint32_t net, uint32_t peer, char* out);

enum : uint8_t {
    MSG_RECEIVED = 1,
    MSG_SENT = 2,
    MSG_NOTICE = 3,
    MSG_UNDELIVERED = 4,
    MSG_PARTLY_UNDELIVERED = 5,
    MSG_DELIVERED = 6,
};

struct JXStoredMsg {
    uint8_t type;       // MSG_*; 0 marks an empty slot
    uint64_t id;        // the text's 32-bit message id; 0 for notices
    uint32_t addr;      // IPv4 of the other side, network byte order
    uint64_t time;      // seconds since the epoch
    char username[16];  // NUL-terminated, at most 15 characters
    // Room for the longest text a slot takes, so a too-long one can be told from one that fits
    // (a text filling all 1501 bytes has no NUL and is refused). Read back: at most 1470 + NUL.
    char text[JX_MSG_TEXT_MAX + 1];
};

// Stores msg in the slot after `last`, wrapping to slot 1 (overwriting the oldest). The slot and
// then the header each go to disk in one write. A file cut short is filled up again keeping its
// whole slots; one whose header cannot be followed, or that is no regular file of this user with
// one name (a link, say: never written through), is moved aside (<name>.damagedN) and a new one
// (0600) started. Failures are logged: text over 1500 bytes, file neither usable nor creatable.
// Reads and updates refuse such a file as missing.
void jx_fso_store_msg(const JXStoredMsg* msg, const char* name);
// Sets the type of the newest stored message whose id is msg->id; a file cut short is filled up
// first, as by a store. 0 done (also when no message has that id or the file holds none yet), 1
// path too long / cannot open, 2 read failure, 3 id is 0, 4 header cannot be read or is not valid.
uint8_t jx_fso_update_msg(const char* name, const JXStoredMsg* msg);
// Reads slot pos into dst (cleared first). 0 done (type 0: empty slot), 1 path too long / cannot
// open, 2 read failure, 3 pos is 0, 4 header cannot be read or is not valid, 5 pos > capacity.
[[nodiscard]] uint8_t jx_fso_read_msg(uint16_t pos, const char* name, JXStoredMsg* dst);
// hdr = last, count, capacity. 0 done, 1 path too long / cannot open, 2 header short or not valid
// (capacity 1..65535, last and count within it), so callers may walk the ring it describes.
[[nodiscard]] uint8_t jx_fso_read_file_header(uint64_t hdr[3], const char* name);
// Opens msg/<name> for reading and writing, made fit for a store as jx_fso_store_msg does; a
// missing file is written whole under a temporary name and renamed into place, so no crash
// leaves a short one. Null when the path is too long or it fails.
[[nodiscard]] FILE* jx_fso_cch_file(const char* name);
// Fills a slot image (buf cleared first, size >= 1600). Returns text length + 100, or 0 when the
// text is over 1500 bytes or the buffer is too small (then nothing but the clearing is done).
size_t jx_fso_serialize(uint8_t* buf, size_t size, const JXStoredMsg* msg);
// Fills dst (cleared first) from a slot image; a buffer under 1600 bytes leaves dst cleared.
void jx_fso_unserialize(const uint8_t* buf, size_t size, JXStoredMsg* dst);

// ---- Networks to join again (fso_networks.cpp) --------------------------------------------------
// jx_internal/networks holds the networks the terminal program joined and the channel it opened
// last, one line each: "net <address>", "last <network> <peer>" (peer 0.0.0.0 for a main channel).

inline constexpr size_t JX_SAVED_NETS_MAX = 256;

struct JXSavedNets {
    uint32_t nets[JX_SAVED_NETS_MAX];  // network order, in the order joined
    size_t count;
    uint32_t last_net;  // 0: no channel opened yet
    uint32_t last_peer;
};

// Reads the file into saved (cleared first); a missing file gives nothing, lines that do not read
// are skipped, and no more than JX_SAVED_NETS_MAX networks are taken. A symbolic link is not read.
void jx_fso_read_networks(JXSavedNets* saved);
// Writes the file whole under a new name and renames it into place. 0, or 1 (logged).
uint8_t jx_fso_store_networks(const JXSavedNets* saved);
