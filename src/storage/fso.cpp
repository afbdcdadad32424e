// Storage root search, fixed paths, the configuration file and path-level file operations.
#include "storage/fso.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "foundation/log.hpp"
#include "foundation/safe_file.hpp"
#include "foundation/utility.hpp"

JXFso fso;

namespace {

constexpr const char* INTERNAL_DIR = "jx_internal";
constexpr const char* PROBE_NAME = ".jx_test_file";
constexpr off_t CFG_FIELD1_OFFSET = 15;

// Joins up to three parts into out (JX_FSO_PATH_SIZE bytes). false, with out emptied, when the
// result would exceed 1024 characters.
bool join_path(char* out, const char* a, size_t alen, const char* b, const char* c)
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

// Index of the last "/" among s[0 .. len-1], -1 when there is none.
int32_t last_slash(const char* s, size_t len)
{
    if (len == 0 || len > INT32_MAX)
        return -1;
    return jx_find_n_char_r(s, '/', 1, 0, static_cast<int32_t>(len - 1));
}

// s[0 .. len-1] made absolute against the working directory into out ("" is the top directory).
// A long directory is refused rather than truncated.
uint8_t absolute_dir(const char* s, size_t len, char* out)
{
    if (s[0] == '/')
        return join_path(out, s, len, nullptr, nullptr) ? FSO_CAND_OK : FSO_CAND_TOO_LONG;
    char cwd[4097];
    if (getcwd(cwd, sizeof cwd) == nullptr)
        return FSO_CAND_TOO_LONG;
    size_t clen = strlen(cwd);
    if (len == 0)
        return join_path(out, cwd, clen, nullptr, nullptr) ? FSO_CAND_OK : FSO_CAND_TOO_LONG;
    if (clen > JX_FSO_PATH_MAX || len >= JX_FSO_PATH_MAX - clen)
        return FSO_CAND_TOO_LONG;
    memcpy(out, cwd, clen);
    out[clen] = '/';
    memcpy(out + clen + 1, s, len);
    out[clen + 1 + len] = '\0';
    return FSO_CAND_OK;
}

// Candidate 1: the directory of the invocation path, made absolute. The cut at the last "/" is
// done before the length check, so a long file name does not make an otherwise fitting directory
// fail; a bare name leaves the working directory.
uint8_t exec_dir(const char* argv0, char* out)
{
    const int32_t cut = last_slash(argv0, strlen(argv0));
    return absolute_dir(argv0, cut < 0 ? 0 : static_cast<size_t>(cut), out);
}

// A directory named by the environment, made absolute, without trailing "/", and sub under it.
uint8_t env_dir(const char* value, const char* sub, char* out)
{
    size_t len = strlen(value);
    while (len > 0 && value[len - 1] == '/')
        --len;
    const uint8_t st = absolute_dir(value, len, out);
    if (st != FSO_CAND_OK || sub == nullptr)
        return st;
    char dir[JX_FSO_PATH_SIZE];
    memcpy(dir, out, sizeof dir);
    return join_path(out, dir, strlen(dir), "/", sub) ? FSO_CAND_OK : FSO_CAND_TOO_LONG;
}

// The data directory's root: $XDG_DATA_HOME/jexley, or ~/.local/share/jexley when XDG_DATA_HOME is
// unset or not absolute (such a value is to be ignored).
uint8_t data_dir(char* out)
{
    const char* xdg = getenv("XDG_DATA_HOME");
    if (xdg != nullptr && xdg[0] == '/')
        return env_dir(xdg, "jexley", out);
    const char* home = getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return env_dir(home, ".local/share/jexley", out);
    return FSO_CAND_NO_HOME;
}

// Candidate 3: the directory part of the link target, taken as written (a relative target is
// relative to the working directory). false when argv0 (looked up on PATH when it is a bare name,
// so that a link on PATH works from any directory) is not a symbolic link.
// A program started by bare name was found by the shell on PATH; the link it ran is the first
// executable of that name there (an empty element means the working directory).
bool find_on_path(const char* name, char* out)
{
    const char* path = getenv("PATH");
    if (path == nullptr)
        return false;
    for (const char* e = path;; ++e) {
        const char* end = strchr(e, ':');
        size_t elen = end ? static_cast<size_t>(end - e) : strlen(e);
        bool ok = elen == 0 ? join_path(out, name, strlen(name), nullptr, nullptr)
                            : join_path(out, e, elen, "/", name);
        if (ok && access(out, X_OK) == 0)
            return true;
        if (end == nullptr)
            return false;
        e = end;
    }
}

bool link_dir(const char* argv0, char* out, uint8_t* status)
{
    char found[JX_FSO_PATH_SIZE];
    if (strchr(argv0, '/') == nullptr && find_on_path(argv0, found))
        argv0 = found;
    char target[JX_FSO_PATH_SIZE + 1];
    ssize_t len = readlink(argv0, target, sizeof target);
    if (len < 0)
        return false;
    if (static_cast<size_t>(len) > JX_FSO_PATH_SIZE) {
        *status = FSO_CAND_TOO_LONG;  // readlink may have cut it
        return true;
    }
    target[len] = '\0';
    int32_t cut = last_slash(target, static_cast<size_t>(len));
    if (cut < 0) {
        *status = FSO_CAND_NO_DIR;
        return true;
    }
    *status =
        join_path(out, target, static_cast<size_t>(cut), nullptr, nullptr) ? FSO_CAND_OK : FSO_CAND_TOO_LONG;
    return true;
}

int call(jx_fso_candidate_fn fn, void* arg, const char* dir, uint8_t from, uint8_t status)
{
    return fn(status == FSO_CAND_OK ? dir : nullptr, from, status, arg);
}

// The root directory and the three directories the program keeps files in, held open for the run:
// every file is opened relative to them, so what was checked once is what is written.
int root_fd = -1;
int dir_fds[3] = {-1, -1, -1};
constexpr const char* DIR_NAMES[3] = {INTERNAL_DIR, "msg", "downloads"};

void close_fd(int* fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

// A candidate as written: "" is the top directory.
int open_candidate(const char* dir)
{
    return open(dir[0] != '\0' ? dir : "/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// Creates and deletes a probe file in the directory: 0, or the errno that prevented it. A leftover
// probe (or anything planted under its name) is removed, never opened; a few tries, because another
// instance starting in the same root probes under the same name.
int probe_at(int dirfd)
{
    JXSafeWhy why{};
    for (int attempt = 0; attempt < 3; attempt++) {
        const int fd = jx_safe_create(dirfd, PROBE_NAME, O_WRONLY, 0600, &why);
        if (fd >= 0) {
            close(fd);
            unlinkat(dirfd, PROBE_NAME, 0);
            return 0;
        }
        if (why.err != EEXIST)
            return why.err != 0 ? why.err : EACCES;
        if (unlinkat(dirfd, PROBE_NAME, 0) != 0 && errno != ENOENT)
            return errno;
    }
    return EEXIST;
}

// Opens dir/sub (dir itself when sub is null) if it is a directory the program may keep files in
// and create them: the descriptor, or -1 with why (JX_SAFE_ERRNO with the probe's errno when it
// cannot be written).
int usable_dir(const char* dir, const char* sub, JXSafeWhy* why)
{
    // Every path under the root must fit 1024 characters, the probe's included.
    const size_t need = strlen(dir) + (sub != nullptr ? strlen(sub) + 1 : 0) + 1 + strlen(PROBE_NAME);
    const int top = need <= JX_FSO_PATH_MAX ? open_candidate(dir) : -1;
    if (top < 0) {
        *why = JXSafeWhy{JX_SAFE_ERRNO, need <= JX_FSO_PATH_MAX ? errno : ENAMETOOLONG, 0, 0, 0};
        return -1;
    }
    int fd = sub != nullptr ? jx_safe_open_dir(top, sub, why) : top;
    if (fd != top)
        close(top);
    if (fd < 0)
        return -1;
    if (const int err = probe_at(fd); err != 0) {
        close(fd);
        *why = JXSafeWhy{JX_SAFE_ERRNO, err, 0, 0, 0};
        return -1;
    }
    return fd;
}

JXFsoFault fault;

void set_fault(uint8_t what, int err, const char* path, const char* file = nullptr)
{
    fault.what = what;
    fault.err = err;
    snprintf(fault.path, sizeof fault.path, "%s%s", path, file != nullptr ? file : "");
}

// The candidates a start makes when they are missing: the user's JEXLEY_HOME, the data directory.
bool made_on_first_use(uint8_t from)
{
    return from == FSO_FROM_HOME || from == FSO_FROM_DATA;
}

// Makes what is missing of dir/jx_internal, each directory 0700 through safe_file; what exists is
// used as found (the user named the path). false, with the directory it stopped at in the fault.
bool make_root(const char* dir)
{
    char path[JX_FSO_PATH_SIZE];
    if (!join_path(path, dir, strlen(dir), "/", INTERNAL_DIR)) {
        set_fault(FSO_FAULT_NO_DIR, ENAMETOOLONG, dir);
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
            set_fault(FSO_FAULT_NO_DIR, why.what == JX_SAFE_ERRNO ? why.err : ENOTDIR, path);
            return false;
        }
        fd = next;
        if (end == nullptr)
            break;
        *end = '/';
        p = end;
    }
    if (fd < 0) {
        set_fault(FSO_FAULT_NO_DIR, errno, "/");
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
    if (f->make && made_on_first_use(from) && !make_root(dir))
        return 0;
    if ((f->internal = usable_dir(dir, INTERNAL_DIR, &why)) < 0)
        return 0;
    // The probe path is longer than the directory, so this always fits.
    return join_path(f->dir, dir, strlen(dir), nullptr, nullptr) ? 1 : (close_fd(&f->internal), 0);
}

struct DescribeOut {
    char* out;
    size_t n;
    size_t len;  // length of the whole text, also past n
};

// Paths come from the environment and the file system; as_path keeps their escapes off the terminal.
void put(DescribeOut* d, const char* s, bool as_path = false)
{
    char clean[JX_FSO_PATH_SIZE];
    if (as_path) {
        jx_str_sanitize(s, JX_FSO_PATH_MAX, clean, sizeof clean);
        s = clean;
    }
    for (; *s; ++s, ++d->len) {
        if (d->len + 1 >= d->n)
            continue;
        d->out[d->len] = *s;
        d->out[d->len + 1] = '\0';
    }
}

int describe_candidate(const char* dir, uint8_t from, uint8_t status, void* arg)
{
    auto* d = static_cast<DescribeOut*>(arg);
    put(d, "  ");
    if (status == FSO_CAND_OK) {
        put(d, dir, true);
        size_t dl = strlen(dir);
        put(d, (dl > 0 && dir[dl - 1] == '/') ? "" : "/");
        put(d, INTERNAL_DIR);
        put(d, made_on_first_use(from) ? " (made when missing)" : "");
    } else if (status == FSO_CAND_NO_HOME) {
        put(d, "(no XDG_DATA_HOME or HOME to make a root in)");
    } else {
        const char* what = from == FSO_FROM_EXEC   ? "program directory"
                           : from == FSO_FROM_PATH ? "PATH element"
                                                   : "link target";
        put(d, "(");
        put(d, what);
        put(d, status == FSO_CAND_NO_DIR ? " has no directory part)" : " longer than 1024 characters)");
    }
    put(d, "\n");
    return 0;
}

}  // namespace

uint8_t jx_fso_walk_roots(const char* argv0, jx_fso_candidate_fn fn, void* arg)
{
    if (argv0 == nullptr)
        argv0 = "";
    char dir[JX_FSO_PATH_SIZE];

    // The user named the root: nothing else is looked at.
    if (const char* home = jx_fso_home_env(); home != nullptr)
        return call(fn, arg, dir, FSO_FROM_HOME, env_dir(home, nullptr, dir)) ? 0 : 1;

    uint8_t st = exec_dir(argv0, dir);
    if (call(fn, arg, dir, FSO_FROM_EXEC, st))
        return 0;

    // Each element exactly as written; an empty one is the top directory.
    if (const char* path = getenv("PATH"); path != nullptr) {
        int32_t start = 0;
        size_t plen = strlen(path);
        for (;;) {
            int32_t colon = jx_find_n_char(path, ':', 1, start);
            size_t end = colon < 0 ? plen : static_cast<size_t>(colon);
            size_t elen = end - static_cast<size_t>(start);
            st = join_path(dir, path + start, elen, nullptr, nullptr) ? FSO_CAND_OK : FSO_CAND_TOO_LONG;
            if (call(fn, arg, dir, FSO_FROM_PATH, st))
                return 0;
            if (colon < 0 || end + 1 > INT32_MAX)
                break;
            start = colon + 1;
        }
    }

    if (link_dir(argv0, dir, &st) && call(fn, arg, dir, FSO_FROM_LINK, st))
        return 0;
    return call(fn, arg, dir, FSO_FROM_DATA, data_dir(dir)) ? 0 : 1;
}

const char* jx_fso_home_env()
{
    const char* home = getenv("JEXLEY_HOME");
    return home != nullptr && home[0] != '\0' ? home : nullptr;
}

namespace {
int first_use(const char* dir, uint8_t from, uint8_t status, void* arg)
{
    if (status != FSO_CAND_OK || !made_on_first_use(from))
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
    fault = JXFsoFault{};
    if (jx_fso_walk_roots(argv0, test_candidate, &f) != 0) {
        memset(fso.root_path, 0, sizeof fso.root_path);
        return 1;
    }
    memcpy(fso.root_path, f.dir, sizeof fso.root_path);
    close_fd(&dir_fds[FSO_DIR_INTERNAL]);
    dir_fds[FSO_DIR_INTERNAL] = f.internal;
    return 0;
}

size_t jx_fso_describe_search(const char* argv0, char* out, size_t n)
{
    DescribeOut d{out, n, 0};
    if (out != nullptr && n > 0)
        out[0] = '\0';
    else
        d.n = 0;
    (void)jx_fso_walk_roots(argv0, describe_candidate, &d);
    return d.len;
}

uint8_t fso_test_dir(const char* dir, const char* sub)
{
    JXSafeWhy why{};
    const int fd = dir != nullptr && strlen(dir) <= JX_FSO_PATH_MAX ? usable_dir(dir, sub, &why) : -1;
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
    root_fd = open_candidate(fso.root_path);
    if (root_fd < 0 || !join_path(fso.internal_path, fso.root_path, rlen, "/jx_internal", "/") ||
        !join_path(fso.cfg_path, fso.root_path, rlen, "/jx_internal/", "cfg")) {
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
    if (root_fd < 0 && fso.root_path[0] != '\0')
        root_fd = open_candidate(fso.root_path);
    if (dir_fds[which] < 0 && root_fd >= 0)
        dir_fds[which] = jx_safe_open_dir(root_fd, DIR_NAMES[which], &why);
    return dir_fds[which];
}

namespace {

constexpr const char* LOCK_NAME = "lock";
int lock_fd = -1;
int unclaimed = 0;

void set_unsafe(uint8_t what, const JXSafeWhy& why, const char* path, const char* file = nullptr)
{
    set_fault(what, why.err, path, file);
    fault.why = why;
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
    return &fault;
}

int jx_fso_unclaimed()
{
    return unclaimed;
}

uint8_t jx_fso_lock_root()
{
    close_fd(&lock_fd);
    fault = JXFsoFault{};
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
            set_fault(FSO_FAULT_LOCKED, err, fso.root_path);
            read_holder(fd, &fault.holder);
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
        close_fd(&lock_fd);
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
    const int fd = sub != nullptr && root_fd >= 0 ? jx_safe_open_dir(root_fd, sub, &why) : -1;
    if (fd >= 0) {
        if (const int err = probe_at(fd); err != 0)
            why = JXSafeWhy{JX_SAFE_ERRNO, err, 0, 0, 0};
        close(fd);
    }
    return why;
}

uint8_t jx_fso_make_dirs()
{
    for (uint8_t which : {FSO_DIR_MSG, FSO_DIR_DOWNLOADS}) {
        const char* sub = DIR_NAMES[which];
        char path[JX_FSO_PATH_SIZE];
        if (!join_path(path, fso.root_path, strlen(fso.root_path), "/", sub)) {
            set_fault(FSO_FAULT_NO_DIR, ENAMETOOLONG, fso.root_path);
            return FSO_FAULT_NO_DIR;
        }
        JXSafeWhy why = jx_fso_dir_state(sub);
        if (why.what == JX_SAFE_ERRNO && why.err == ENOENT) {
            if (mkdirat(root_fd, sub, 0700) != 0) {
                set_fault(FSO_FAULT_NO_DIR, errno, path);
                return FSO_FAULT_NO_DIR;
            }
            jx_log("Created directory %s", path);
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
        close_fd(&dir_fds[which]);
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
    const int top = status == FSO_CAND_OK ? open_candidate(dir) : -1;
    // A directory, or a link where one is expected; a file of that name is no root at all.
    const bool exists = top >= 0 && fstatat(top, INTERNAL_DIR, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                        (S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode));
    if (top >= 0)
        close(top);
    if (!exists)
        return 0;
    const int fd = usable_dir(dir, INTERNAL_DIR, &u->why);
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

uint8_t jx_fso_close()
{
    close_fd(&lock_fd);
    for (int& fd : dir_fds)
        close_fd(&fd);
    close_fd(&root_fd);
    memset(&fso, 0, sizeof fso);
    return 0;
}

const char* jx_fso_get_logging_path()
{
    return fso.internal_path;
}

uint8_t jx_fso_file_exists(const char* path)
{
    if (path == nullptr)
        return 1;
    // Non-blocking: opening a FIFO with no writer would otherwise stall the whole program.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return 1;
    close(fd);
    return 0;
}

void jx_fso_remove_file(const char* name, const char* dir)
{
    if (name == nullptr || dir == nullptr)
        return;
    // The join must stay below 1024 bytes; a longer one would delete some other, cut-off path.
    char path[1024];
    size_t dlen = strlen(dir);
    size_t nlen = strlen(name);
    if (dlen >= sizeof path || nlen >= sizeof path - dlen)
        return;
    memcpy(path, dir, dlen);
    memcpy(path + dlen, name, nlen);
    path[dlen + nlen] = '\0';
    remove(path);
}

namespace {

bool cfg_offset(uint8_t field, off_t* off)
{
    switch (field) {
    case 0:
        *off = 0;
        return true;
    case 1:
        *off = CFG_FIELD1_OFFSET;
        return true;
    default:
        return false;
    }
}

// The configuration file, when it is a file of ours; a refusal other than its absence is logged.
int open_cfg(int flags, bool create)
{
    JXSafeWhy why{};
    const int fd = jx_safe_open_kept(jx_fso_dir_fd(FSO_DIR_INTERNAL), "cfg", flags, create, &why);
    if (fd < 0 && why.what != JX_SAFE_ERRNO) {
        char text[64];
        jx_log("Config file refused: it %s", jx_safe_why_str(&why, text, sizeof text));
    }
    return fd;
}

}  // namespace

void jx_fso_read_cfg(uint8_t field, void* dst, size_t n)
{
    off_t off = 0;
    if (dst == nullptr || n == 0 || !cfg_offset(field, &off))
        return;
    const int fd = open_cfg(O_RDONLY, false);
    if (fd < 0)
        return;
    std::unique_ptr<uint8_t, decltype(&free)> buf(static_cast<uint8_t*>(calloc(n, 1)), &free);
    // A short file leaves the rest zero: "bob" alone is a valid name.
    if (buf && pread(fd, buf.get(), n, off) >= 0 && buf.get()[0] != 0)
        memcpy(dst, buf.get(), n);
    close(fd);
}

void jx_fso_store_cfg(uint8_t field, const void* src, size_t n)
{
    // Update in place so bytes of other fields survive; create only when missing.
    const int fd = open_cfg(O_RDWR, true);
    if (fd < 0) {
        jx_log("Config file could not be opened for writing");
        return;
    }
    off_t off = 0;
    if (src != nullptr && cfg_offset(field, &off)) {
        const ssize_t put_n = pwrite(fd, src, n, off);
        (void)put_n;
    }
    close(fd);
}
