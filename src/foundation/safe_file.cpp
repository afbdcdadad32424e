#include "foundation/safe_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

int refuse(JXSafeWhy* why, uint8_t what, int err = 0)
{
    *why = JXSafeWhy{what, err, 0, 0, 0};
    return -1;
}

// Why a no-follow open failed with err: a link says ELOOP (ENOTDIR when a directory was asked for).
int refuse_open(JXSafeWhy* why, int dirfd, const char* name, int err, bool dir)
{
    struct stat st {};
    if ((err == ELOOP || err == ENOTDIR) && fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(st.st_mode))
            return refuse(why, JX_SAFE_LINK);
        if (dir && err == ENOTDIR)
            return refuse(why, JX_SAFE_NOT_DIR);
    }
    return refuse(why, JX_SAFE_ERRNO, err);
}

int close_refused(int fd, JXSafeWhy* why, uint8_t what, const struct stat& st)
{
    close(fd);
    *why = JXSafeWhy{what, 0, st.st_uid, st.st_nlink, static_cast<unsigned>(st.st_mode & 07777)};
    return -1;
}

}  // namespace

const char* jx_safe_why_str(const JXSafeWhy* why, char* buf, size_t n)
{
    const unsigned m = why->mode;
    switch (why->what) {
    case JX_SAFE_OK:
        snprintf(buf, n, "is usable");
        break;
    case JX_SAFE_LINK:
        snprintf(buf, n, "is a symbolic link");
        break;
    case JX_SAFE_NOT_REGULAR:
        snprintf(buf, n, "is not a regular file");
        break;
    case JX_SAFE_NOT_DIR:
        snprintf(buf, n, "is not a directory");
        break;
    case JX_SAFE_OWNER:
        snprintf(buf, n, "is owned by another user (uid %lu)", why->uid);
        break;
    case JX_SAFE_LINKS:
        snprintf(buf, n, "has %lu hard links", why->links);
        break;
    case JX_SAFE_WRITABLE:
        snprintf(buf, n, "is writable by %s (mode %04o)",
                 (m & 020) && (m & 002) ? "group and others"
                 : (m & 020)            ? "its group"
                                        : "others",
                 m);
        break;
    default:
        snprintf(buf, n, "%s", strerror(why->err));
        break;
    }
    return buf;
}

int jx_safe_create(int dirfd, const char* name, int flags, mode_t mode, JXSafeWhy* why)
{
    const int fd = openat(dirfd, name, flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0)
        return refuse(why, JX_SAFE_ERRNO, errno);
    *why = JXSafeWhy{};
    return fd;
}

int jx_safe_open_kept(int dirfd, const char* name, int flags, bool create, JXSafeWhy* why)
{
    // Non-blocking until it is known to be a regular file: a FIFO would stall the open.
    const int fd = openat(dirfd, name, (flags & ~O_TRUNC) | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT && create)
            return jx_safe_create(dirfd, name, flags & ~O_TRUNC, 0600, why);
        return refuse_open(why, dirfd, name, errno, false);
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        const int err = errno;
        close(fd);
        return refuse(why, JX_SAFE_ERRNO, err);
    }
    if (!S_ISREG(st.st_mode))
        return close_refused(fd, why, JX_SAFE_NOT_REGULAR, st);
    if (st.st_uid != geteuid())
        return close_refused(fd, why, JX_SAFE_OWNER, st);
    // A second name may be a hard link someone made to a file of ours elsewhere.
    if (st.st_nlink != 1)
        return close_refused(fd, why, JX_SAFE_LINKS, st);
    (void)fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    *why = JXSafeWhy{};
    return fd;
}

int jx_safe_open_dir(int dirfd, const char* name, JXSafeWhy* why)
{
    const int fd = openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return refuse_open(why, dirfd, name, errno, true);
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        const int err = errno;
        close(fd);
        return refuse(why, JX_SAFE_ERRNO, err);
    }
    // Root's directories are trusted by everyone: only root could have planted anything there.
    if (st.st_uid != geteuid() && st.st_uid != 0)
        return close_refused(fd, why, JX_SAFE_OWNER, st);
    if ((st.st_mode & 022) != 0)
        return close_refused(fd, why, JX_SAFE_WRITABLE, st);
    *why = JXSafeWhy{};
    return fd;
}

int jx_safe_make_dir(int dirfd, const char* name, JXSafeWhy* why)
{
    if (mkdirat(dirfd, name, 0700) != 0 && errno != EEXIST)
        return refuse(why, JX_SAFE_ERRNO, errno);
    return jx_safe_open_dir(dirfd, name, why);
}

int jx_safe_replace(int dirfd, const char* name, const void* data, size_t n, JXSafeWhy* why)
{
    char tmp[256];
    if (snprintf(tmp, sizeof tmp, "%s.new", name) >= static_cast<int>(sizeof tmp))
        return refuse(why, JX_SAFE_ERRNO, ENAMETOOLONG);
    int fd = jx_safe_create(dirfd, tmp, O_RDWR, 0600, why);
    if (fd < 0 && why->err == EEXIST && unlinkat(dirfd, tmp, 0) == 0)
        fd = jx_safe_create(dirfd, tmp, O_RDWR, 0600, why);
    if (fd < 0)
        return -1;
    const auto* p = static_cast<const uint8_t*>(data);
    for (size_t done = 0; done < n;) {
        const ssize_t w = pwrite(fd, p + done, n - done, static_cast<off_t>(done));
        if (w <= 0) {
            const int err = w < 0 ? errno : EIO;
            close(fd);
            unlinkat(dirfd, tmp, 0);
            return refuse(why, JX_SAFE_ERRNO, err);
        }
        done += static_cast<size_t>(w);
    }
    if (fsync(fd) != 0 || renameat(dirfd, tmp, dirfd, name) != 0) {
        const int err = errno;
        close(fd);
        unlinkat(dirfd, tmp, 0);
        return refuse(why, JX_SAFE_ERRNO, err);
    }
    return fd;
}
