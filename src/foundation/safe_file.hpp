// safe_file: the only ways the program creates or opens files for writing. Everything is relative
// to a directory descriptor and never follows a symbolic link in the last component: a new file is
// created exclusively, a file kept across runs is used only when it is a regular file of this user
// with one name, a directory only when it is this user's (or root's) and no one else may write it.
// People run the program as root in directories others can write; a planted link must not lead
// it to truncate or append to a file it did not make. Owns nothing; calls only the C library.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// Why a file or directory was refused.
enum : uint8_t {
    JX_SAFE_OK = 0,
    JX_SAFE_ERRNO = 1,        // the system refused; err says why
    JX_SAFE_LINK = 2,         // a symbolic link
    JX_SAFE_NOT_REGULAR = 3,  // a kept file that is no regular file
    JX_SAFE_NOT_DIR = 4,      // a directory that is something else
    JX_SAFE_OWNER = 5,        // owned by another user (uid)
    JX_SAFE_LINKS = 6,        // a file with more than one name (links)
    JX_SAFE_WRITABLE = 7,     // a directory its group or others may write (mode)
};
struct JXSafeWhy {
    uint8_t what;
    int err;
    unsigned long uid;
    unsigned long links;
    unsigned mode;
};

// What follows "it" in a message: "is a symbolic link", "is owned by another user (uid 65534)",
// "is writable by group and others (mode 0777)", or the system's text for err. Returns buf.
const char* jx_safe_why_str(const JXSafeWhy* why, char* buf, size_t n);

// Creates dirfd/name exclusively with open flags (O_WRONLY, O_RDWR, O_APPEND) and mode: no existing
// entry is ever opened, a dangling link included. The descriptor, or -1 with why.
int jx_safe_create(int dirfd, const char* name, int flags, mode_t mode, JXSafeWhy* why);
// Opens a file kept across runs (log, cfg, lock, channel files) with open flags (never O_TRUNC).
// A missing one is created with mode 0600 when create is set. -1 with why.
int jx_safe_open_kept(int dirfd, const char* name, int flags, bool create, JXSafeWhy* why);
// Opens the directory dirfd/name the program keeps files in: no link, owned by this user or root,
// writable by neither group nor others. -1 with why.
int jx_safe_open_dir(int dirfd, const char* name, JXSafeWhy* why);
// Makes the directory dirfd/name (0700) when it is missing, then opens it as jx_safe_open_dir does:
// one that appeared in between, a link included, must pass the same checks. -1 with why.
int jx_safe_make_dir(int dirfd, const char* name, JXSafeWhy* why);
// Writes n bytes as dirfd/name in one piece: under the temporary name "<name>.new" (a leftover one is
// removed first), synced, then renamed over name, so a crash leaves the old file or the whole new
// one. The new file's descriptor, open for reading and writing, or -1 with why.
int jx_safe_replace(int dirfd, const char* name, const void* data, size_t n, JXSafeWhy* why);
