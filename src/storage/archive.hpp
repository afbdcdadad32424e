// archive: a folder sent as one tar file. Packs a folder into jx_internal/outbox/NAME.tar, and
// unpacks a received tar into a new folder under downloads/, both in steps bounded by a time
// budget so the single-threaded main loop never stalls on a large folder. Owns the outbox
// directory. May call: foundation (log, safe_file, timer, utility), storage fso and
// transfer_files (the root's directories, safe names), and libarchive (archive.cpp and
// archive_unpack.cpp only; callers need no libarchive header).
//
// Sending a folder (send DIR, /snd DIR):
//     JXPack p{};                                 // zero-filled
//     jx_pack_begin(&p, dir);                     // then once per turn, within the turn's budget:
//     jx_pack_step(&p, budget_us);                // JX_ARC_MORE until JX_ARC_DONE or a failure
//   On JX_ARC_DONE offer p.path like any file (jx_fso_metadata); when that upload ends, however
//   it ends, jx_outbox_remove(p.name). On a failure tell the user p.why; the partial archive is
//   gone already. jx_pack_cancel(&p) drops a packing that is still running (also at shutdown).
// Unpacking a received folder (receive --extract):
//     JXUnpack u{}; jx_unpack_begin(&u, path_of_tar); jx_unpack_step(&u, budget_us) ...
//   On JX_ARC_DONE the folder is downloads/u.name; otherwise u.why says what was refused and
//   nothing is left of it. jx_unpack_cancel(&u) stops it and removes the partial folder.
//
// Packing: entries are named "NAME/..." after the folder's own name, so unpacking makes one
// folder. Regular files and folders are packed with their permission bits and modification time
// (no owners). Symbolic links, FIFOs, sockets and device files are left out, one log line each,
// and counted in `skipped`: a link is never followed (it may lead anywhere), a FIFO never opened
// (it would block the loop); the archive itself, when the folder holds the outbox, is left out
// silently. A file or folder that cannot be read, or a file that shrinks while
// it is packed, fails the packing: half a folder is never sent.
// Unpacking: only tar (ustar, pax, GNU), uncompressed. Every entry must lie in one top folder,
// whose name made safe like a received file's (jx_fso_safe_name) becomes downloads/NAME, or the
// first free NAME_(n); folders are made 0700, files 0600, or 0700 when the archive lets their
// owner run them (scripts stay runnable; no set-id, group or other bits), with their modification
// time. Refused: an absolute name, a ".." anywhere, an entry outside the top folder, a control
// character in a name, any link (symbolic or hard: packing never makes one), a device file, FIFO
// or socket, the same file twice, a path through a file, more than JX_ARC_ENTRIES_MAX entries,
// deeper than JX_ARC_DEPTH_MAX folders, and more file bytes than the archive's own size (sparse
// entries claiming terabytes). Nothing is created except relative to directory descriptors of
// folders made here, without following a link; a refused archive leaves no folder behind.
#pragma once

#include <dirent.h>

#include <cstddef>
#include <cstdint>

#include "storage/fso.hpp"

struct archive;

// Results: 0 done, 1 call the step again, else a failure that `why` describes.
enum : uint8_t {
    JX_ARC_DONE = 0,
    JX_ARC_MORE = 1,
    JX_ARC_SOURCE = 2,      // the folder or archive cannot be opened, or its name is not allowed
    JX_ARC_TARGET = 3,      // the outbox file or the new folder cannot be made or written
    JX_ARC_UNREADABLE = 4,  // a file or folder inside cannot be read, or shrank while packed
    JX_ARC_LIMIT = 5,       // folders nested deeper than JX_ARC_DEPTH_MAX, or a name over 1024 bytes
    JX_ARC_REFUSED = 6,     // the archive holds something unsafe or beyond the bounds
    JX_ARC_BROKEN = 7,      // not a tar archive, damaged, or holding no folder
};

inline constexpr size_t JX_ARC_DEPTH_MAX = 64;
inline constexpr uint32_t JX_ARC_ENTRIES_MAX = 100000;
// Bytes moved between a file and the archive per piece of work; a step does at least one piece.
inline constexpr size_t JX_ARC_PIECE = 65536;
// A file name: at most 255 bytes and the NUL.
inline constexpr size_t JX_ARC_NAME_SIZE = 256;
inline constexpr size_t JX_ARC_WHY_SIZE = 320;

struct JXPack {
    char name[JX_ARC_NAME_SIZE];  // the archive in the outbox: "NAME.tar" or "NAME_(n).tar"
    char path[JX_FSO_PATH_SIZE];  // its whole path, to offer
    uint64_t size;                // bytes of the archive once done
    uint32_t entries;             // files and folders packed
    uint32_t skipped;             // links, FIFOs, sockets and devices left out
    char why[JX_ARC_WHY_SIZE];    // why it failed (names cleaned for display)
    uint8_t state;                // JX_ARC_MORE while packing, then the final result
    // The walk: one open folder per level and the entry path "NAME/a/b" being packed.
    struct archive* ar;
    int outbox, out, file;
    uint64_t left;  // bytes of the open file still to pack
    size_t depth;
    DIR* dirs[JX_ARC_DEPTH_MAX];
    size_t lens[JX_ARC_DEPTH_MAX];  // length of rel for the folder at each level
    char rel[JX_FSO_PATH_SIZE];
    dev_t out_dev;
    ino_t out_ino;  // the archive itself, left out when it lies inside the folder
};

struct JXUnpack {
    char name[JX_ARC_NAME_SIZE];    // the folder made under downloads/ (empty until the first entry)
    char source[JX_ARC_NAME_SIZE];  // the archive's file name, cleaned for the log
    uint32_t entries;
    uint64_t written;           // file bytes unpacked
    uint64_t limit;             // the archive's size: no more file bytes than that
    char why[JX_ARC_WHY_SIZE];  // what was refused and why (names cleaned for display)
    uint8_t state;
    struct archive* ar;
    int src, top, file;
    char top_name[JX_ARC_NAME_SIZE];  // the top folder's name in the archive
    int64_t mtime;                    // of the open file, set when it is complete
};

// Starts packing the folder dir: makes jx_internal/outbox (0700) when missing and creates the
// archive there exclusively (0600), NAME.tar or the first free NAME_(n).tar. JX_ARC_MORE, or
// JX_ARC_SOURCE (not a folder, or a name a file may not have) / JX_ARC_TARGET with why.
[[nodiscard]] uint8_t jx_pack_begin(JXPack* p, const char* dir);
// Packs until budget_us microseconds have passed, always at least one piece of work. JX_ARC_MORE,
// JX_ARC_DONE (size set, the archive complete), or a failure, after which the archive is removed
// and everything released. Returns the final result again when called after the end.
[[nodiscard]] uint8_t jx_pack_step(JXPack* p, int64_t budget_us);
// Stops a packing that is running and removes its archive; a finished one is left to its upload.
void jx_pack_cancel(JXPack* p);
// Deletes jx_internal/outbox/name (never through a link: only the name is removed). 0, or 1 when
// name is no plain file name or nothing was removed.
uint8_t jx_outbox_remove(const char* name);
// Removes what a program that ended without its uploads' end left in the outbox: called by the
// holder of the root when it starts, when no upload of its own can be using it. The entries removed.
int jx_outbox_sweep();
// Whether dir (ending in "/") is the outbox as JXPack.path names it: an upload of a file there
// sends an archive made for it alone, removed when the upload ends.
bool jx_outbox_holds(const char* dir);

// Starts unpacking the tar file at path. JX_ARC_MORE, or JX_ARC_SOURCE with why.
[[nodiscard]] uint8_t jx_unpack_begin(JXUnpack* u, const char* path);
// Unpacks until budget_us microseconds have passed, always at least one piece of work.
// JX_ARC_MORE, JX_ARC_DONE, or a failure (logged "Archive [%s] refused: %s"), after which the
// folder made for it is removed with everything in it.
[[nodiscard]] uint8_t jx_unpack_step(JXUnpack* u, int64_t budget_us);
// Stops an unpacking that is running and removes its folder.
void jx_unpack_cancel(JXUnpack* u);

// ---- Shared by packing and unpacking -------------------------------------------------------------

// Runs unit(job), one piece of work, until the job's state is no longer JX_ARC_MORE or budget_us
// has passed; at least once. The state.
uint8_t jx_arc_run(const uint8_t* state, int64_t budget_us, void* job, uint8_t (*unit)(void*));
// Closes *fd when open and marks it closed (-1).
void jx_arc_close(int* fd);
// why = "<name cleaned for display>: <reason>".
void jx_arc_why(char* why, const char* name, const char* reason);
// Makes base + ext in dirfd through make (a descriptor, or -1 with errno), or the first free
// base_(n) + ext when the name is taken (EEXIST), n up to 65534; the name used into out
// (JX_ARC_NAME_SIZE bytes). The descriptor, or -1 with errno and out empty.
int jx_arc_free_name(int dirfd, const char* base, const char* ext, char* out, int (*make)(int, const char*));
