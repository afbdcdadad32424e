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
#include "foundation/utility.hpp"

JXFso fso;

namespace {

constexpr const char* INTERNAL_DIR = "jx_internal";
constexpr const char* PROBE_NAME = ".jx_test_file";
constexpr long CFG_FIELD1_OFFSET = 15;

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

// Candidate 1: the directory of the invocation path, made absolute against the working directory.
// The cut at the last "/" is done before the length check, so a long file name does not make an
// otherwise fitting directory fail, and a long directory is refused rather than truncated.
uint8_t exec_dir(const char* argv0, char* out)
{
    size_t alen = strlen(argv0);
    if (argv0[0] == '/') {
        int32_t cut = last_slash(argv0, alen);
        return join_path(out, argv0, static_cast<size_t>(cut), nullptr, nullptr) ? FSO_CAND_OK
                                                                                 : FSO_CAND_TOO_LONG;
    }
    char cwd[4097];
    if (getcwd(cwd, sizeof cwd) == nullptr)
        return FSO_CAND_TOO_LONG;
    size_t clen = strlen(cwd);
    int32_t cut = last_slash(argv0, alen);
    // cwd + "/" + argv0 cut at its last "/": a bare name leaves cwd alone.
    if (cut < 0)
        return join_path(out, cwd, clen, nullptr, nullptr) ? FSO_CAND_OK : FSO_CAND_TOO_LONG;
    size_t rest = static_cast<size_t>(cut);
    if (clen > JX_FSO_PATH_MAX || rest >= JX_FSO_PATH_MAX - clen)
        return FSO_CAND_TOO_LONG;
    memcpy(out, cwd, clen);
    out[clen] = '/';
    memcpy(out + clen + 1, argv0, rest);
    out[clen + 1 + rest] = '\0';
    return FSO_CAND_OK;
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

int test_candidate(const char* dir, uint8_t, uint8_t status, void* arg)
{
    if (status != FSO_CAND_OK || fso_test_dir(dir, INTERNAL_DIR) != 0)
        return 0;
    // The probe path is longer than the directory, so this always fits.
    return join_path(static_cast<char*>(arg), dir, strlen(dir), nullptr, nullptr) ? 1 : 0;
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

    if (!link_dir(argv0, dir, &st))
        return 1;
    if (call(fn, arg, dir, FSO_FROM_LINK, st))
        return 0;
    return 1;
}

uint8_t jx_fso_chk_root(const char* argv0)
{
    char found[JX_FSO_PATH_SIZE] = {};
    if (jx_fso_walk_roots(argv0, test_candidate, found) != 0) {
        memset(fso.root_path, 0, sizeof fso.root_path);
        return 1;
    }
    memcpy(fso.root_path, found, sizeof fso.root_path);
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

namespace {

// Creates and deletes a probe file in dir, or in dir/sub: 0, or the errno that prevented it.
int probe_dir(const char* dir, const char* sub)
{
    if (dir == nullptr)
        return EINVAL;
    size_t dlen = strlen(dir);
    if (dlen > JX_FSO_PATH_MAX)
        return ENAMETOOLONG;
    char probe[JX_FSO_PATH_SIZE];
    char tail[JX_FSO_PATH_SIZE];
    // "/" [sub "/"] probe name, then joined to dir; all of it must fit one path buffer.
    if (sub != nullptr) {
        if (!join_path(tail, "/", 1, sub, "/"))
            return ENAMETOOLONG;
    } else {
        tail[0] = '/';
        tail[1] = '\0';
    }
    char head[JX_FSO_PATH_SIZE];
    if (!join_path(head, dir, dlen, tail, nullptr))
        return ENAMETOOLONG;
    if (!join_path(probe, head, strlen(head), PROBE_NAME, nullptr))
        return ENAMETOOLONG;
    FILE* f = fopen(probe, "w");
    if (f == nullptr)
        return errno != 0 ? errno : EACCES;
    fclose(f);
    remove(probe);
    return 0;
}

}  // namespace

uint8_t fso_test_dir(const char* dir, const char* sub)
{
    return probe_dir(dir, sub) == 0 ? 0 : 1;
}

uint8_t jx_fso_init(const char* argv0)
{
    if (jx_fso_chk_root(argv0) != 0)
        return 1;
    size_t rlen = strlen(fso.root_path);
    if (!join_path(fso.internal_path, fso.root_path, rlen, "/jx_internal", "/") ||
        !join_path(fso.cfg_path, fso.root_path, rlen, "/jx_internal/", "cfg")) {
        memset(&fso, 0, sizeof fso);
        return 1;
    }
    return 0;
}

namespace {

constexpr const char* LOCK_NAME = "lock";
int lock_fd = -1;
JXFsoFault fault;

void set_fault(uint8_t what, int err, const char* path)
{
    fault.what = what;
    fault.err = err;
    snprintf(fault.path, sizeof fault.path, "%s", path);
}

void release_lock()
{
    if (lock_fd >= 0)
        close(lock_fd);
    lock_fd = -1;
}

bool lock_path(char* out)
{
    return join_path(out, fso.internal_path, strlen(fso.internal_path), LOCK_NAME, nullptr);
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

}  // namespace

const JXFsoFault* jx_fso_fault()
{
    return &fault;
}

uint8_t jx_fso_lock_root()
{
    release_lock();
    fault = JXFsoFault{};
    char path[JX_FSO_PATH_SIZE];
    if (!lock_path(path))
        return FSO_FAULT_NONE;
    const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return FSO_FAULT_NONE;  // the root passed the probe: this is no sign of another holder
    struct flock fl = whole_file();
    if (fcntl(fd, F_OFD_SETLK, &fl) != 0) {
        const int err = errno;
        if (err == EAGAIN || err == EACCES) {
            set_fault(FSO_FAULT_LOCKED, err, fso.root_path);
            read_holder(fd, &fault.holder);
            close(fd);
            return FSO_FAULT_LOCKED;
        }
        close(fd);
        return FSO_FAULT_NONE;  // no locks on this file system (ENOLCK, EINVAL): run unclaimed
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
    return FSO_FAULT_NONE;
}

bool jx_fso_lock_holder(JXFsoHolder* holder)
{
    char path[JX_FSO_PATH_SIZE];
    if (holder == nullptr || !lock_path(path))
        return false;
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    struct flock fl = whole_file();
    const bool held = fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
    if (held)
        read_holder(fd, holder);
    close(fd);
    return held;
}

int jx_fso_dir_state(const char* sub)
{
    char path[JX_FSO_PATH_SIZE];
    if (sub == nullptr || !join_path(path, fso.root_path, strlen(fso.root_path), "/", sub))
        return ENAMETOOLONG;
    struct stat st {};
    if (stat(path, &st) != 0)
        return errno;
    if (!S_ISDIR(st.st_mode))
        return ENOTDIR;
    return probe_dir(path, nullptr);
}

uint8_t jx_fso_make_dirs()
{
    for (const char* sub : {"msg", "downloads"}) {
        char path[JX_FSO_PATH_SIZE];
        if (!join_path(path, fso.root_path, strlen(fso.root_path), "/", sub)) {
            set_fault(FSO_FAULT_NO_DIR, ENAMETOOLONG, fso.root_path);
            return FSO_FAULT_NO_DIR;
        }
        int err = jx_fso_dir_state(sub);
        if (err == ENOENT) {
            if (mkdir(path, 0777) != 0) {
                set_fault(FSO_FAULT_NO_DIR, errno, path);
                return FSO_FAULT_NO_DIR;
            }
            jx_log("Created directory %s", path);
            err = jx_fso_dir_state(sub);
        }
        if (err != 0) {
            const uint8_t what = err == ENOTDIR || err == ENOENT ? FSO_FAULT_NO_DIR : FSO_FAULT_NO_WRITE;
            set_fault(what, err, path);
            return what;
        }
    }
    return FSO_FAULT_NONE;
}

namespace {
struct Unwritable {
    char* dir;
    int err;
};

int find_unwritable(const char* dir, uint8_t, uint8_t status, void* arg)
{
    char internal[JX_FSO_PATH_SIZE];
    struct stat st {};
    if (status != FSO_CAND_OK || !join_path(internal, dir, strlen(dir), "/", INTERNAL_DIR) ||
        stat(internal, &st) != 0 || !S_ISDIR(st.st_mode))
        return 0;
    auto* u = static_cast<Unwritable*>(arg);
    u->err = probe_dir(internal, nullptr);
    if (u->err == 0)
        return 0;
    memcpy(u->dir, dir, strlen(dir) + 1);
    return 1;
}
}  // namespace

bool jx_fso_unwritable_root(const char* argv0, char* dir, int* err)
{
    Unwritable u{dir, 0};
    if (dir == nullptr || err == nullptr || jx_fso_walk_roots(argv0, find_unwritable, &u) != 0)
        return false;
    *err = u.err;
    return true;
}

uint8_t jx_fso_close()
{
    release_lock();
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
struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};
using ScopedFile = std::unique_ptr<FILE, FileCloser>;

bool cfg_offset(uint8_t field, long* off)
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
}  // namespace

void jx_fso_read_cfg(uint8_t field, void* dst, size_t n)
{
    if (dst == nullptr || n == 0)
        return;
    ScopedFile f(fopen(fso.cfg_path, "rb"));
    if (!f)
        return;
    long off = 0;
    if (!cfg_offset(field, &off) || fseek(f.get(), off, SEEK_SET) != 0)
        return;
    std::unique_ptr<uint8_t, decltype(&free)> buf(static_cast<uint8_t*>(calloc(n, 1)), &free);
    if (!buf)
        return;
    // A short file leaves the rest zero: "bob" alone is a valid name.
    size_t got = fread(buf.get(), 1, n, f.get());
    (void)got;
    if (buf.get()[0] != 0)
        memcpy(dst, buf.get(), n);
}

void jx_fso_store_cfg(uint8_t field, const void* src, size_t n)
{
    // Update in place so bytes of other fields survive; create only when missing.
    ScopedFile f(fopen(fso.cfg_path, "rb+"));
    if (!f)
        f.reset(fopen(fso.cfg_path, "wb"));
    if (!f) {
        jx_log("Config file could not be opened for writing");
        return;
    }
    long off = 0;
    if (src == nullptr || !cfg_offset(field, &off) || fseek(f.get(), off, SEEK_SET) != 0)
        return;
    size_t put_n = fwrite(src, 1, n, f.get());
    (void)put_n;
}
