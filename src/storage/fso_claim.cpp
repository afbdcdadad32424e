// Claiming the storage root for this process (the lock on jx_internal/lock and its record),
// making msg/ and downloads/, and telling why a root found could not be used.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "foundation/log.hpp"
#include "foundation/safe_file.hpp"
#include "storage/fso.hpp"
#include "storage/fso_dirs.hpp"

JXFsoFault fso_fault_rec;

void fso_set_fault(uint8_t what, int err, const char* path, const char* file)
{
    fso_fault_rec.what = what;
    fso_fault_rec.err = err;
    char* out = fso_fault_rec.path;
    const size_t size = sizeof fso_fault_rec.path;
    // A path too long to keep whole is shown cut, and says so.
    if (snprintf(out, size, "%s%s", path, file != nullptr ? file : "") >= static_cast<int>(size))
        std::memcpy(out + size - 4, "...", 4);
}

namespace {

constexpr const char* LOCK_NAME = "lock";
int lock_fd = -1;
int unclaimed = 0;

void set_unsafe(uint8_t what, const JXSafeWhy& why, const char* path, const char* file = nullptr)
{
    fso_set_fault(what, why.err, path, file);
    fso_fault_rec.why = why;
}

// A write lock on every byte. It belongs to the open file, not the process: closing some other
// descriptor of the same file (as a process-owned lock would) cannot drop it by accident.
struct flock whole_file()
{
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    return fl;
}

void read_holder(int fd, JXFsoHolder* h)
{
    *h = JXFsoHolder{};
    char rec[300] = {};
    const ssize_t n = pread(fd, rec, sizeof rec - 1, 0);
    if (n <= 0)
        return;
    char* end = nullptr;
    h->pid = strtol(rec, &end, 10);
    if (end == rec || *end != ' ' || h->pid < 0)
        h->pid = 0;
    else
        sscanf(end + 1, "%255s", h->host);
}

// A file system that keeps no locks; anything else that refuses a lock is a reason not to start.
bool no_locks(int err)
{
    return err == ENOLCK || err == EOPNOTSUPP || err == EINVAL || err == ENOSYS;
}

}  // namespace

const JXFsoFault* jx_fso_fault()
{
    return &fso_fault_rec;
}

int jx_fso_unclaimed()
{
    return unclaimed;
}

uint8_t jx_fso_lock_root()
{
    fso_close_fd(&lock_fd);
    fso_fault_rec = JXFsoFault{};
    unclaimed = 0;
    const int internal = jx_fso_dir_fd(FSO_DIR_INTERNAL);
    JXSafeWhy why{};
    const int fd = jx_safe_open_kept(internal, LOCK_NAME, O_RDWR, true, &why);
    if (fd < 0) {
        set_unsafe(FSO_FAULT_NO_LOCK, why, fso.internal_path, LOCK_NAME);
        return FSO_FAULT_NO_LOCK;
    }
    struct flock fl = whole_file();
    if (fcntl(fd, F_OFD_SETLK, &fl) != 0) {
        const int err = errno;
        if (err == EAGAIN || err == EACCES) {
            fso_set_fault(FSO_FAULT_LOCKED, err, fso.root_path);
            read_holder(fd, &fso_fault_rec.holder);
            close(fd);
            return FSO_FAULT_LOCKED;
        }
        if (!no_locks(err)) {
            set_unsafe(FSO_FAULT_NO_LOCK, JXSafeWhy{JX_SAFE_ERRNO, err, 0, 0, 0}, fso.internal_path,
                       LOCK_NAME);
            close(fd);
            return FSO_FAULT_NO_LOCK;
        }
        unclaimed = err;  // run unclaimed; the start says so
    }
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0')
        snprintf(host, sizeof host, "?");
    char rec[300];
    const int len = snprintf(rec, sizeof rec, "%ld %s\n", static_cast<long>(getpid()), host);
    // Should the record fail, the lock holds all the same; only the holder's name is missing.
    if (ftruncate(fd, 0) == 0) {
        const ssize_t put_n = pwrite(fd, rec, static_cast<size_t>(len), 0);
        (void)put_n;
    }
    lock_fd = fd;
    // The log is appended to for the whole run: one that is not ours refuses the start rather
    // than run without one (a missing log is made when it is opened).
    const int log = jx_safe_open_kept(internal, "log", O_RDONLY, false, &why);
    if (log >= 0)
        close(log);
    else if (why.what != JX_SAFE_ERRNO) {
        set_unsafe(FSO_FAULT_UNSAFE, why, fso.internal_path, "log");
        fso_close_fd(&lock_fd);
        return FSO_FAULT_UNSAFE;
    }
    return FSO_FAULT_NONE;
}

bool jx_fso_lock_holder(JXFsoHolder* holder)
{
    const int internal = jx_fso_dir_fd(FSO_DIR_INTERNAL);
    if (holder == nullptr || internal < 0)
        return false;
    const int fd = openat(internal, LOCK_NAME, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct flock fl = whole_file();
    const bool held = fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
    if (held)
        read_holder(fd, holder);
    close(fd);
    return held;
}

JXSafeWhy jx_fso_dir_state(const char* sub)
{
    JXSafeWhy why{JX_SAFE_ERRNO, EBADF, 0, 0, 0};
    const int fd = sub != nullptr && fso_root_fd >= 0 ? jx_safe_open_dir(fso_root_fd, sub, &why) : -1;
    if (fd >= 0) {
        if (const int err = fso_probe_at(fd); err != 0)
            why = JXSafeWhy{JX_SAFE_ERRNO, err, 0, 0, 0};
        close(fd);
    }
    return why;
}

uint8_t jx_fso_make_dirs()
{
    for (uint8_t which : {FSO_DIR_MSG, FSO_DIR_DOWNLOADS}) {
        const char* sub = FSO_DIR_NAMES[which];
        char path[JX_FSO_PATH_SIZE];
        if (!fso_join_path(path, fso.root_path, strlen(fso.root_path), "/", sub)) {
            fso_set_fault(FSO_FAULT_NO_DIR, ENAMETOOLONG, fso.root_path);
            return FSO_FAULT_NO_DIR;
        }
        JXSafeWhy why = jx_fso_dir_state(sub);
        if (why.what == JX_SAFE_ERRNO && why.err == ENOENT) {
            const int fd = jx_safe_make_dir(fso_root_fd, sub, &why);
            if (fd < 0 && why.what == JX_SAFE_ERRNO) {
                fso_set_fault(FSO_FAULT_NO_DIR, why.err, path);
                return FSO_FAULT_NO_DIR;
            }
            if (fd >= 0) {
                close(fd);
                jx_log("Created directory %s", path);
            }
            why = jx_fso_dir_state(sub);
        }
        uint8_t what = FSO_FAULT_UNSAFE;
        if (why.what == JX_SAFE_NOT_DIR)
            what = FSO_FAULT_NO_DIR, why.err = ENOTDIR;
        else if (why.what == JX_SAFE_ERRNO)
            what = why.err == ENOENT ? FSO_FAULT_NO_DIR : FSO_FAULT_NO_WRITE;
        if (why.what != JX_SAFE_OK) {
            set_unsafe(what, why, path);
            return what;
        }
        fso_close_fd(&fso_dir_fds[which]);
        (void)jx_fso_dir_fd(which);
    }
    return FSO_FAULT_NONE;
}

namespace {
struct Unusable {
    char* dir;
    JXSafeWhy why;
};

int find_unusable(const char* dir, uint8_t, uint8_t status, void* arg)
{
    auto* u = static_cast<Unusable*>(arg);
    struct stat st {};
    const int top = status == FSO_CAND_OK ? fso_open_candidate(dir) : -1;
    // A directory, or a link where one is expected; a file of that name is no root at all.
    const bool exists = top >= 0 && fstatat(top, FSO_INTERNAL_DIR, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                        (S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode));
    if (top >= 0)
        close(top);
    if (!exists)
        return 0;
    const int fd = fso_usable_dir(dir, FSO_INTERNAL_DIR, &u->why);
    if (fd >= 0) {
        close(fd);
        return 0;
    }
    memcpy(u->dir, dir, strlen(dir) + 1);
    return 1;
}
}  // namespace

bool jx_fso_unusable_root(const char* argv0, char* dir, JXSafeWhy* why)
{
    Unusable u{dir, {}};
    if (dir == nullptr || why == nullptr || jx_fso_walk_roots(argv0, find_unusable, &u) != 0)
        return false;
    *why = u.why;
    return true;
}

void fso_release_claim()
{
    fso_close_fd(&lock_fd);
}
