// Unpacking a received tar into a new folder under downloads/, refusing what could reach outside.
#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "foundation/log.hpp"
#include "foundation/utf8.hpp"
#include "foundation/utility.hpp"
#include "storage/archive.hpp"
#include "storage/transfer_files.hpp"

namespace {

constexpr int DIR_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Opens dirfd/name as a folder, making it (0700) first when it is missing.
int enter(int dirfd, const char* name)
{
    if (mkdirat(dirfd, name, 0700) != 0 && errno != EEXIST)
        return -1;
    return openat(dirfd, name, DIR_FLAGS);
}

// The top folder is new: an existing entry of the name, a link included, is never used.
int make_dir(int dirfd, const char* name)
{
    return mkdirat(dirfd, name, 0700) == 0 ? openat(dirfd, name, DIR_FLAGS) : -1;
}

// Removes dirfd/name and all in it; only what this module made, so never a link to follow.
void remove_tree(int dirfd, const char* name)
{
    const int fd = openat(dirfd, name, DIR_FLAGS);
    DIR* d = fd >= 0 ? fdopendir(fd) : nullptr;
    if (d == nullptr) {
        if (fd >= 0)
            close(fd);
        unlinkat(dirfd, name, 0);
        return;
    }
    while (const dirent* de = readdir(d)) {
        if (std::strcmp(de->d_name, ".") != 0 && std::strcmp(de->d_name, "..") != 0 &&
            unlinkat(fd, de->d_name, 0) != 0 && errno == EISDIR)
            remove_tree(fd, de->d_name);
    }
    closedir(d);
    unlinkat(dirfd, name, AT_REMOVEDIR);
}

uint8_t unpack_end(JXUnpack* u, uint8_t result)
{
    jx_arc_close(&u->file);
    if (u->ar != nullptr)
        archive_read_free(u->ar);
    u->ar = nullptr;
    jx_arc_close(&u->src);
    jx_arc_close(&u->top);
    if (result != JX_ARC_DONE && u->name[0] != '\0')
        remove_tree(jx_fso_dir_fd(FSO_DIR_DOWNLOADS), u->name);
    u->state = result;
    return result;
}

uint8_t unpack_fail(JXUnpack* u, uint8_t result, const char* name, const char* reason)
{
    jx_arc_why(u->why, name, reason);
    jx_log("Archive [%s] refused: %s", u->source, u->why);
    return unpack_end(u, result);
}

// Splits path into its components in buf: "" and "." dropped. Null when the name is fine, else
// why it is refused.
const char* split(const char* path, char* buf, const char** parts, size_t* count)
{
    const size_t n = strnlen(path, JX_FSO_PATH_SIZE);
    if (n > JX_FSO_PATH_MAX)
        return "a name over 1024 bytes";
    if (path[0] == '/')
        return "an absolute name";
    std::memcpy(buf, path, n + 1);
    *count = 0;
    for (char* s = buf; *s != '\0';) {
        char* part = s;
        // Nothing a terminal acts on or hides may reach a listing of the folder; a byte that is
        // not UTF-8 may be an 8-bit control.
        while (*s != '\0' && *s != '/') {
            const size_t len = jx_utf8_len(s, std::strlen(s));
            if (len == 0)
                return "a name that is not UTF-8";
            const uint32_t cp = jx_utf8_decode(s, len);
            if (jx_char_is_control(cp))
                return "a control character in the name";
            if (jx_char_is_invisible(cp))
                return "an invisible character in the name";
            s += len;
        }
        if (*s == '/')
            *s++ = '\0';
        if (std::strcmp(part, "..") == 0)
            return "a \"..\" in the name";
        if (part[0] == '\0' || std::strcmp(part, ".") == 0)
            continue;
        if (*count == JX_ARC_DEPTH_MAX + 1)
            return "folders nested too deep";
        parts[(*count)++] = part;
    }
    return nullptr;
}

const char* unsafe_type(archive_entry* e)
{
    if (archive_entry_hardlink(e) != nullptr)
        return "a hard link";
    switch (archive_entry_filetype(e)) {
    case AE_IFREG:
    case AE_IFDIR:
        return nullptr;
    case AE_IFLNK:
        return "a symbolic link";
    case AE_IFCHR:
    case AE_IFBLK:
        return "a device file";
    case AE_IFIFO:
        return "a FIFO";
    case AE_IFSOCK:
        return "a socket";
    default:
        return "an entry of unknown type";
    }
}

// The top folder, made on the first entry under the name the archive gives it.
uint8_t make_top(JXUnpack* u, const char* name, const char* path)
{
    char safe[JX_ARC_NAME_SIZE];
    if (!jx_fso_safe_name(name, safe, sizeof safe))
        return unpack_fail(u, JX_ARC_REFUSED, path, "a folder name a file may not have");
    std::snprintf(u->top_name, sizeof u->top_name, "%s", name);
    u->top = jx_arc_free_name(jx_fso_dir_fd(FSO_DIR_DOWNLOADS), safe, "", u->name, make_dir);
    if (u->top < 0)
        return unpack_fail(u, JX_ARC_TARGET, safe, strerror(errno));
    return JX_ARC_MORE;
}

uint8_t unpack_next(JXUnpack* u)
{
    archive_entry* e = nullptr;
    const int r = archive_read_next_header(u->ar, &e);
    if (r == ARCHIVE_EOF)
        return u->top >= 0 ? unpack_end(u, JX_ARC_DONE)
                           : unpack_fail(u, JX_ARC_BROKEN, u->source, "holds no folder");
    // RETRY too: a header whose sum is wrong, in an archive that is damaged.
    if (r != ARCHIVE_OK && r != ARCHIVE_WARN)
        return unpack_fail(u, JX_ARC_BROKEN, u->source, archive_error_string(u->ar));
    const char* path = archive_entry_pathname(e);
    if (path == nullptr)
        return unpack_fail(u, JX_ARC_REFUSED, u->source, "a name that cannot be read");
    if (++u->entries > JX_ARC_ENTRIES_MAX)
        return unpack_fail(u, JX_ARC_REFUSED, path, "more entries than allowed");
    char buf[JX_FSO_PATH_SIZE];
    const char* parts[JX_ARC_DEPTH_MAX + 1];
    size_t count = 0;
    const char* bad = split(path, buf, parts, &count);
    bad = bad != nullptr ? bad : unsafe_type(e);
    if (bad != nullptr)
        return unpack_fail(u, JX_ARC_REFUSED, path, bad);
    const bool dir = archive_entry_filetype(e) == AE_IFDIR;
    if (count == 0 && dir)
        return JX_ARC_MORE;  // "./": the place the folder goes
    if (count < 2 && !dir)
        return unpack_fail(u, JX_ARC_REFUSED, path, "a file outside a folder");
    if (u->top < 0 && make_top(u, parts[0], path) != JX_ARC_MORE)
        return u->state;
    if (std::strcmp(parts[0], u->top_name) != 0)
        return unpack_fail(u, JX_ARC_REFUSED, path, "outside the archive's one folder");
    const int64_t size = archive_entry_size(e);
    if (!dir && (size < 0 || static_cast<uint64_t>(size) > u->limit - u->written))
        return unpack_fail(u, JX_ARC_REFUSED, path, "more data than the archive holds");
    int cur = u->top, err = 0;
    // Every folder on the way is entered without following a link; the last part is made new.
    for (size_t i = 1; i < (dir ? count : count - 1) && err == 0; i++) {
        const int next = enter(cur, parts[i]);
        err = next < 0 ? errno : 0;
        if (cur != u->top)
            close(cur);
        cur = next;
    }
    if (err == 0 && !dir) {
        JXSafeWhy why{};
        u->file =
            jx_safe_create(cur, parts[count - 1], O_WRONLY, archive_entry_perm(e) & 0100 ? 0700 : 0600, &why);
        err = why.err;
        u->mtime = archive_entry_mtime_is_set(e) ? archive_entry_mtime(e) : -1;
    }
    if (cur >= 0 && cur != u->top)
        close(cur);
    if (err == ENOTDIR || err == ELOOP)
        return unpack_fail(u, JX_ARC_REFUSED, path, "a path through a file");
    if (err == EEXIST)
        return unpack_fail(u, JX_ARC_REFUSED, path, "twice in the archive");
    if (err != 0)
        return unpack_fail(u, JX_ARC_TARGET, path, strerror(err));
    return JX_ARC_MORE;
}

uint8_t unpack_piece(JXUnpack* u)
{
    static uint8_t buf[JX_ARC_PIECE];
    const la_ssize_t n = archive_read_data(u->ar, buf, sizeof buf);
    if (n < 0)
        return unpack_fail(u, JX_ARC_BROKEN, u->source, archive_error_string(u->ar));
    if (n == 0) {
        const timespec times[2] = {{0, UTIME_OMIT}, {u->mtime, 0}};
        if (u->mtime >= 0)
            (void)futimens(u->file, times);
        jx_arc_close(&u->file);
        return JX_ARC_MORE;
    }
    u->written += static_cast<uint64_t>(n);
    if (u->written > u->limit)
        return unpack_fail(u, JX_ARC_REFUSED, u->source, "more data than the archive holds");
    for (la_ssize_t done = 0; done < n;) {
        const ssize_t w = write(u->file, buf + done, static_cast<size_t>(n - done));
        if (w < 0)
            return unpack_fail(u, JX_ARC_TARGET, u->name, strerror(errno));
        done += w;
    }
    return JX_ARC_MORE;
}

}  // namespace

uint8_t jx_unpack_begin(JXUnpack* u, const char* path)
{
    *u = JXUnpack{};
    u->src = u->top = u->file = -1;
    u->state = JX_ARC_MORE;
    const char* slash = std::strrchr(path, '/');
    jx_str_sanitize(slash != nullptr ? slash + 1 : path, JX_FSO_PATH_MAX, u->source, sizeof u->source);
    // Non-blocking until it is known to be a regular file: a FIFO would stall the open.
    u->src = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (u->src < 0 || fstat(u->src, &st) != 0)
        return unpack_fail(u, JX_ARC_SOURCE, u->source, strerror(errno));
    if (!S_ISREG(st.st_mode))
        return unpack_fail(u, JX_ARC_SOURCE, u->source, "not a regular file");
    (void)fcntl(u->src, F_SETFL, fcntl(u->src, F_GETFL) & ~O_NONBLOCK);
    u->limit = static_cast<uint64_t>(st.st_size);
    // Tar alone, uncompressed: what a folder is sent as, and no expanding input.
    u->ar = archive_read_new();
    if (u->ar == nullptr || archive_read_support_format_tar(u->ar) != ARCHIVE_OK ||
        archive_read_open_fd(u->ar, u->src, JX_ARC_PIECE) != ARCHIVE_OK)
        return unpack_fail(u, JX_ARC_BROKEN, u->source, u->ar ? archive_error_string(u->ar) : "no memory");
    return JX_ARC_MORE;
}

uint8_t jx_unpack_step(JXUnpack* u, int64_t budget_us)
{
    return jx_arc_run(&u->state, budget_us, u, [](void* job) {
        auto* v = static_cast<JXUnpack*>(job);
        return v->file >= 0 ? unpack_piece(v) : unpack_next(v);
    });
}

void jx_unpack_cancel(JXUnpack* u)
{
    if (u->state == JX_ARC_MORE) {
        std::snprintf(u->why, sizeof u->why, "cancelled");
        unpack_end(u, JX_ARC_SOURCE);
    }
}
