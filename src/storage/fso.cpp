// Storage root: finding it (through the walk of fso_search.cpp), opening its directories for the
// run, and the fixed paths derived from it.
#include "storage/fso.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "foundation/safe_file.hpp"
#include "storage/fso_dirs.hpp"

JXFso fso;
int fso_root_fd = -1;
int fso_dir_fds[3] = {-1, -1, -1};

void fso_close_fd(int* fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

bool fso_join_path(char* out, const char* a, size_t alen, const char* b, const char* c)
{
    size_t blen = b ? strlen(b) : 0;
    size_t clen = c ? strlen(c) : 0;
    if (alen > JX_FSO_PATH_MAX || blen > JX_FSO_PATH_MAX - alen || clen > JX_FSO_PATH_MAX - alen - blen) {
        out[0] = '\0';
        return false;
    }
    if (alen)
        memcpy(out, a, alen);
    if (blen)
        memcpy(out + alen, b, blen);
    if (clen)
        memcpy(out + alen + blen, c, clen);
    out[alen + blen + clen] = '\0';
    return true;
}

int fso_open_candidate(const char* dir)
{
    return open(dir[0] != '\0' ? dir : "/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// A leftover probe (or anything planted under its name) is removed, never opened; a few tries,
// because another instance starting in the same root probes under the same name.
int fso_probe_at(int dirfd)
{
    JXSafeWhy why{};
    for (int attempt = 0; attempt < 3; attempt++) {
        const int fd = jx_safe_create(dirfd, FSO_PROBE_NAME, O_WRONLY, 0600, &why);
        if (fd >= 0) {
            close(fd);
            unlinkat(dirfd, FSO_PROBE_NAME, 0);
            return 0;
        }
        if (why.err != EEXIST)
            return why.err != 0 ? why.err : EACCES;
        if (unlinkat(dirfd, FSO_PROBE_NAME, 0) != 0 && errno != ENOENT)
            return errno;
    }
    return EEXIST;
}

// Opens dir/sub (dir itself when sub is null) if it is a directory the program may keep files in
// and create them: the descriptor, or -1 with why (JX_SAFE_ERRNO with the probe's errno when it
// cannot be written).
int fso_usable_dir(const char* dir, const char* sub, JXSafeWhy* why)
{
    // Every path under the root must fit 1024 characters, the probe's included.
    const size_t need = strlen(dir) + (sub != nullptr ? strlen(sub) + 1 : 0) + 1 + strlen(FSO_PROBE_NAME);
    const int top = need <= JX_FSO_PATH_MAX ? fso_open_candidate(dir) : -1;
    if (top < 0) {
        *why = JXSafeWhy{JX_SAFE_ERRNO, need <= JX_FSO_PATH_MAX ? errno : ENAMETOOLONG, 0, 0, 0};
        return -1;
    }
    int fd = sub != nullptr ? jx_safe_open_dir(top, sub, why) : top;
    if (fd != top)
        close(top);
    if (fd < 0)
        return -1;
    if (const int err = fso_probe_at(fd); err != 0) {
        close(fd);
        *why = JXSafeWhy{JX_SAFE_ERRNO, err, 0, 0, 0};
        return -1;
    }
    return fd;
}

bool fso_made_on_first_use(uint8_t from)
{
    return from == FSO_FROM_HOME || from == FSO_FROM_DATA;
}

namespace {

// Makes what is missing of dir/jx_internal, each directory 0700 through safe_file; what exists is
// used as found (the user named the path). false, with the directory it stopped at in the fault.
bool make_root(const char* dir)
{
    char path[JX_FSO_PATH_SIZE];
    if (!fso_join_path(path, dir, strlen(dir), "/", FSO_INTERNAL_DIR)) {
        fso_set_fault(FSO_FAULT_NO_DIR, ENAMETOOLONG, dir);
        return false;
    }
    int fd = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (char* p = path; fd >= 0;) {
        while (*p == '/')
            ++p;
        char* end = strchr(p, '/');
        if (end != nullptr)
            *end = '\0';
        JXSafeWhy why{JX_SAFE_ERRNO, 0, 0, 0, 0};
        int next = openat(fd, p, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (next < 0 && errno == ENOENT)
            next = jx_safe_make_dir(fd, p, &why);
        else if (next < 0)
            why.err = errno;
        close(fd);
        if (next < 0) {
            fso_set_fault(FSO_FAULT_NO_DIR, why.what == JX_SAFE_ERRNO ? why.err : ENOTDIR, path);
            return false;
        }
        fd = next;
        if (end == nullptr)
            break;
        *end = '/';
        p = end;
    }
    if (fd < 0) {
        fso_set_fault(FSO_FAULT_NO_DIR, errno, "/");
        return false;
    }
    close(fd);
    return true;
}

struct Found {
    char dir[JX_FSO_PATH_SIZE];
    int internal;
    bool make;
};

int test_candidate(const char* dir, uint8_t from, uint8_t status, void* arg)
{
    auto* f = static_cast<Found*>(arg);
    JXSafeWhy why{};
    if (status != FSO_CAND_OK)
        return 0;
    if (f->make && fso_made_on_first_use(from) && !make_root(dir))
        return 0;
    if ((f->internal = fso_usable_dir(dir, FSO_INTERNAL_DIR, &why)) < 0)
        return 0;
    // The probe path is longer than the directory, so this always fits.
    return fso_join_path(f->dir, dir, strlen(dir), nullptr, nullptr) ? 1 : (fso_close_fd(&f->internal), 0);
}

}  // namespace

namespace {
int first_use(const char* dir, uint8_t from, uint8_t status, void* arg)
{
    if (status != FSO_CAND_OK || !fso_made_on_first_use(from))
        return 0;
    memcpy(arg, dir, strlen(dir) + 1);
    return 1;
}
}  // namespace

bool jx_fso_first_use_root(const char* argv0, char* dir)
{
    return dir != nullptr && jx_fso_walk_roots(argv0, first_use, dir) == 0;
}

uint8_t jx_fso_chk_root(const char* argv0, bool make)
{
    Found f{};
    f.internal = -1;
    f.make = make;
    fso_fault_rec = JXFsoFault{};
    if (jx_fso_walk_roots(argv0, test_candidate, &f) != 0) {
        memset(fso.root_path, 0, sizeof fso.root_path);
        return 1;
    }
    memcpy(fso.root_path, f.dir, sizeof fso.root_path);
    fso_close_fd(&fso_dir_fds[FSO_DIR_INTERNAL]);
    fso_dir_fds[FSO_DIR_INTERNAL] = f.internal;
    return 0;
}

uint8_t fso_test_dir(const char* dir, const char* sub)
{
    JXSafeWhy why{};
    const int fd = dir != nullptr && strlen(dir) <= JX_FSO_PATH_MAX ? fso_usable_dir(dir, sub, &why) : -1;
    if (fd < 0)
        return 1;
    close(fd);
    return 0;
}

uint8_t jx_fso_init(const char* argv0, bool make)
{
    (void)jx_fso_close();
    if (jx_fso_chk_root(argv0, make) != 0)
        return 1;
    size_t rlen = strlen(fso.root_path);
    fso_root_fd = fso_open_candidate(fso.root_path);
    if (fso_root_fd < 0 || !fso_join_path(fso.internal_path, fso.root_path, rlen, "/jx_internal", "/") ||
        !fso_join_path(fso.cfg_path, fso.root_path, rlen, "/jx_internal/", "cfg")) {
        (void)jx_fso_close();
        return 1;
    }
    return 0;
}

int jx_fso_dir_fd(uint8_t which)
{
    if (which > FSO_DIR_DOWNLOADS)
        return -1;
    // Tools and suites that name a root by hand (root_path alone) never make the directories;
    // they are opened on first use.
    JXSafeWhy why{};
    if (fso_root_fd < 0 && fso.root_path[0] != '\0')
        fso_root_fd = fso_open_candidate(fso.root_path);
    if (fso_dir_fds[which] < 0 && fso_root_fd >= 0)
        fso_dir_fds[which] = jx_safe_open_dir(fso_root_fd, FSO_DIR_NAMES[which], &why);
    return fso_dir_fds[which];
}

uint8_t jx_fso_close()
{
    fso_release_claim();
    for (int& fd : fso_dir_fds)
        fso_close_fd(&fd);
    fso_close_fd(&fso_root_fd);
    memset(&fso, 0, sizeof fso);
    return 0;
}

const char* jx_fso_get_logging_path()
{
    return fso.internal_path;
}
