// Packing a folder into the outbox, and what both halves of the module share.
#include "storage/archive.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "foundation/log.hpp"
#include "foundation/safe_file.hpp"
#include "foundation/timer.hpp"
#include "foundation/utility.hpp"
#include "storage/transfer_files.hpp"

namespace {

constexpr char OUTBOX[] = "outbox";

int make_file(int dirfd, const char* name)
{
    JXSafeWhy why{};
    const int fd = jx_safe_create(dirfd, name, O_WRONLY, 0600, &why);
    errno = why.err;
    return fd;
}

// Ends a packing: what it holds is released, and unless it is done the archive is removed.
uint8_t pack_end(JXPack* p, uint8_t result)
{
    jx_arc_close(&p->file);
    for (; p->depth > 0; p->depth--)
        closedir(p->dirs[p->depth - 1]);
    if (p->ar != nullptr)
        archive_write_free(p->ar);  // closes the archive first when it is still open
    p->ar = nullptr;
    jx_arc_close(&p->out);
    if (result != JX_ARC_DONE && p->name[0] != '\0')
        unlinkat(p->outbox, p->name, 0);
    jx_arc_close(&p->outbox);
    p->state = result;
    return result;
}

uint8_t pack_fail(JXPack* p, uint8_t result, const char* name, const char* reason)
{
    jx_arc_why(p->why, name, reason);
    jx_log("Packing a folder failed: %s", p->why);
    return pack_end(p, result);
}

// The folder's own name: the last component as given, or its real name for ".", ".." or "/".
bool folder_name(const char* dir, char* out)
{
    char buf[PATH_MAX];
    size_t n = strnlen(dir, sizeof buf - 1);
    while (n > 1 && dir[n - 1] == '/')
        n--;
    std::memcpy(buf, dir, n);
    buf[n] = '\0';
    const char* slash = std::strrchr(buf, '/');
    const char* last = slash != nullptr ? slash + 1 : buf;
    if (std::strcmp(last, ".") == 0 || std::strcmp(last, "..") == 0 || last[0] == '\0') {
        if (realpath(dir, buf) == nullptr)
            return false;
        last = std::strrchr(buf, '/') + 1;
    }
    // Room for ".tar" and the free-name form.
    const size_t len = std::strlen(last);
    if (!jx_fso_name_ok(last) || len + 4 > JX_SAFE_NAME_MAX)
        return false;
    std::memcpy(out, last, len + 1);
    return true;
}

uint8_t pack_header(JXPack* p, const struct stat& st)
{
    archive_entry* e = archive_entry_new();
    archive_entry_copy_pathname(e, p->rel);
    archive_entry_set_filetype(e, S_ISDIR(st.st_mode) ? AE_IFDIR : AE_IFREG);
    archive_entry_set_perm(e, st.st_mode & 0777);
    archive_entry_set_mtime(e, st.st_mtim.tv_sec, 0);
    archive_entry_set_size(e, S_ISREG(st.st_mode) ? st.st_size : 0);
    const int r = archive_write_header(p->ar, e);
    archive_entry_free(e);
    if (r != ARCHIVE_OK)
        return pack_fail(p, JX_ARC_TARGET, p->name, archive_error_string(p->ar));
    p->entries++;
    return JX_ARC_MORE;
}

uint8_t pack_piece(JXPack* p)
{
    static uint8_t buf[JX_ARC_PIECE];
    const ssize_t got = read(p->file, buf, p->left < sizeof buf ? p->left : sizeof buf);
    if (got <= 0)
        return pack_fail(p, JX_ARC_UNREADABLE, p->rel,
                         got < 0 ? strerror(errno) : "shrank while it was packed");
    if (archive_write_data(p->ar, buf, static_cast<size_t>(got)) != got)
        return pack_fail(p, JX_ARC_TARGET, p->name, archive_error_string(p->ar));
    p->left -= static_cast<uint64_t>(got);
    if (p->left == 0)
        jx_arc_close(&p->file);
    return JX_ARC_MORE;
}

const char* left_out(mode_t mode)
{
    return S_ISLNK(mode)    ? "a symbolic link"
           : S_ISFIFO(mode) ? "a FIFO"
           : S_ISSOCK(mode) ? "a socket"
                            : "a device file";
}

// The next entry of the innermost open folder; the archive is closed when the walk is over.
uint8_t pack_next(JXPack* p)
{
    if (p->depth == 0) {
        struct stat st {};
        if (archive_write_close(p->ar) != ARCHIVE_OK)
            return pack_fail(p, JX_ARC_TARGET, p->name, archive_error_string(p->ar));
        if (fstat(p->out, &st) != 0)
            return pack_fail(p, JX_ARC_TARGET, p->name, strerror(errno));
        p->size = static_cast<uint64_t>(st.st_size);
        return pack_end(p, JX_ARC_DONE);
    }
    DIR* d = p->dirs[p->depth - 1];
    const size_t len = p->lens[p->depth - 1];
    p->rel[len] = '\0';
    errno = 0;
    const dirent* de = readdir(d);
    if (de == nullptr) {
        if (errno != 0)
            return pack_fail(p, JX_ARC_UNREADABLE, p->rel, strerror(errno));
        closedir(d);
        p->depth--;
        return JX_ARC_MORE;
    }
    const char* name = de->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
        return JX_ARC_MORE;
    const size_t n = std::strlen(name);
    if (len + n + 1 > JX_FSO_PATH_MAX)
        return pack_fail(p, JX_ARC_LIMIT, p->rel, "a name inside is over 1024 bytes");
    std::memcpy(p->rel + len, name, n + 1);
    struct stat st {};
    if (fstatat(dirfd(d), name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return pack_fail(p, JX_ARC_UNREADABLE, p->rel, strerror(errno));
    if (st.st_dev == p->out_dev && st.st_ino == p->out_ino)
        return JX_ARC_MORE;
    if (S_ISDIR(st.st_mode)) {
        if (p->depth == JX_ARC_DEPTH_MAX)
            return pack_fail(p, JX_ARC_LIMIT, p->rel, "folders nested too deep");
        const int fd = openat(dirfd(d), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        DIR* sub = fd >= 0 ? fdopendir(fd) : nullptr;
        if (sub == nullptr) {
            const int err = errno;
            if (fd >= 0)
                close(fd);
            return pack_fail(p, JX_ARC_UNREADABLE, p->rel, strerror(err));
        }
        std::memcpy(p->rel + len + n, "/", 2);
        p->dirs[p->depth] = sub;
        p->lens[p->depth++] = len + n + 1;
        return pack_header(p, st);
    }
    if (!S_ISREG(st.st_mode)) {
        char line[JX_ARC_WHY_SIZE];
        jx_arc_why(line, p->rel, left_out(st.st_mode));
        jx_log("Packing a folder: left out %s", line);
        p->skipped++;
        return JX_ARC_MORE;
    }
    // Non-blocking: should a FIFO have taken the file's place, the open must not wait for a writer.
    p->file = openat(dirfd(d), name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (p->file < 0 || fstat(p->file, &st) != 0)
        return pack_fail(p, JX_ARC_UNREADABLE, p->rel, strerror(errno));
    if (!S_ISREG(st.st_mode))
        return pack_fail(p, JX_ARC_UNREADABLE, p->rel, "changed while it was packed");
    p->left = static_cast<uint64_t>(st.st_size);
    if (p->left == 0)
        jx_arc_close(&p->file);
    return pack_header(p, st);
}

}  // namespace

void jx_arc_why(char* why, const char* name, const char* reason)
{
    char clean[JX_ARC_WHY_SIZE / 2];
    jx_str_sanitize(name, JX_FSO_PATH_MAX, clean, sizeof clean);
    std::snprintf(why, JX_ARC_WHY_SIZE, "%s: %s", clean, reason);
}

void jx_arc_close(int* fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

uint8_t jx_arc_run(const uint8_t* state, int64_t budget_us, void* job, uint8_t (*unit)(void*))
{
    const int64_t end = jx_clock_now_us() + budget_us;
    bool more = *state == JX_ARC_MORE;
    while (more)
        more = unit(job) == JX_ARC_MORE && jx_clock_now_us() < end;
    return *state;
}

int jx_arc_free_name(int dirfd, const char* base, const char* ext, char* out, int (*make)(int, const char*))
{
    for (unsigned n = 0; n < 65535; n++) {
        const int len = n == 0 ? std::snprintf(out, JX_ARC_NAME_SIZE, "%s%s", base, ext)
                               : std::snprintf(out, JX_ARC_NAME_SIZE, "%s_(%u)%s", base, n, ext);
        if (len < 0 || static_cast<size_t>(len) >= JX_ARC_NAME_SIZE) {
            errno = ENAMETOOLONG;
            break;
        }
        const int fd = make(dirfd, out);
        if (fd >= 0)
            return fd;
        if (errno != EEXIST)
            break;
    }
    // Nothing was made under the name last tried: it must not be removed as ours.
    out[0] = '\0';
    return -1;
}

uint8_t jx_pack_begin(JXPack* p, const char* dir)
{
    *p = JXPack{};
    p->outbox = p->out = p->file = -1;
    p->state = JX_ARC_MORE;
    const int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* top = fd >= 0 ? fdopendir(fd) : nullptr;
    if (top == nullptr) {
        const int err = errno;
        if (fd >= 0)
            close(fd);
        return pack_fail(p, JX_ARC_SOURCE, dir, strerror(err));
    }
    p->dirs[p->depth++] = top;
    char base[JX_ARC_NAME_SIZE];
    if (!folder_name(dir, base))
        return pack_fail(p, JX_ARC_SOURCE, dir, "not a name a file may have");
    JXSafeWhy why{};
    char text[128];
    p->outbox = jx_safe_make_dir(jx_fso_dir_fd(FSO_DIR_INTERNAL), OUTBOX, &why);
    if (p->outbox < 0)
        return pack_fail(p, JX_ARC_TARGET, "jx_internal/outbox", jx_safe_why_str(&why, text, sizeof text));
    p->out = jx_arc_free_name(p->outbox, base, ".tar", p->name, make_file);
    if (p->out < 0)
        return pack_fail(p, JX_ARC_TARGET, base, strerror(errno));
    const int len = std::snprintf(p->path, sizeof p->path, "%s%s/%s", fso.internal_path, OUTBOX, p->name);
    if (len < 0 || static_cast<size_t>(len) >= sizeof p->path)
        return pack_fail(p, JX_ARC_TARGET, p->name, "path too long");
    struct stat st {};
    if (fstat(p->out, &st) != 0)
        return pack_fail(p, JX_ARC_TARGET, p->name, strerror(errno));
    p->out_dev = st.st_dev, p->out_ino = st.st_ino;
    // GNU tar keeps names as the bytes they are (no conversion through the locale), has no limit
    // on name length or file size, and every tar reads it.
    p->ar = archive_write_new();
    if (p->ar == nullptr || archive_write_set_format_gnutar(p->ar) != ARCHIVE_OK ||
        archive_write_set_bytes_in_last_block(p->ar, 1) != ARCHIVE_OK ||
        archive_write_open_fd(p->ar, p->out) != ARCHIVE_OK)
        return pack_fail(p, JX_ARC_TARGET, p->name, p->ar ? archive_error_string(p->ar) : "no memory");
    p->lens[0] = static_cast<size_t>(std::snprintf(p->rel, sizeof p->rel, "%s/", base));
    if (fstat(dirfd(top), &st) != 0)
        return pack_fail(p, JX_ARC_UNREADABLE, dir, strerror(errno));
    return pack_header(p, st);
}

uint8_t jx_pack_step(JXPack* p, int64_t budget_us)
{
    return jx_arc_run(&p->state, budget_us, p, [](void* job) {
        auto* q = static_cast<JXPack*>(job);
        return q->file >= 0 ? pack_piece(q) : pack_next(q);
    });
}

void jx_pack_cancel(JXPack* p)
{
    if (p->state == JX_ARC_MORE) {
        std::snprintf(p->why, sizeof p->why, "cancelled");
        pack_end(p, JX_ARC_SOURCE);
    }
}

uint8_t jx_outbox_remove(const char* name)
{
    if (!jx_fso_name_ok(name))
        return 1;
    JXSafeWhy why{};
    const int dir = jx_safe_open_dir(jx_fso_dir_fd(FSO_DIR_INTERNAL), OUTBOX, &why);
    const bool gone = dir >= 0 && unlinkat(dir, name, 0) == 0;
    if (dir >= 0)
        close(dir);
    return gone ? 0 : 1;
}

int jx_outbox_sweep()
{
    JXSafeWhy why{};
    const int dir = jx_safe_open_dir(jx_fso_dir_fd(FSO_DIR_INTERNAL), OUTBOX, &why);
    DIR* d = dir >= 0 ? fdopendir(dir) : nullptr;
    if (d == nullptr) {
        if (dir >= 0)
            close(dir);
        return 0;
    }
    int removed = 0;
    // Only names are removed, never followed; a directory someone made there is left alone.
    for (const dirent* e; (e = readdir(d)) != nullptr;) {
        struct stat st {};
        if (fstatat(dir, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode) &&
            unlinkat(dir, e->d_name, 0) == 0)
            removed++;
    }
    closedir(d);
    return removed;
}

bool jx_outbox_holds(const char* dir)
{
    char outbox[JX_FSO_PATH_SIZE];
    const int len = std::snprintf(outbox, sizeof outbox, "%s%s/", fso.internal_path, OUTBOX);
    return fso.internal_path[0] != '\0' && len > 0 && static_cast<size_t>(len) < sizeof outbox &&
           std::strcmp(dir, outbox) == 0;
}
