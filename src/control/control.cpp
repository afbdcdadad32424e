#include "control/control.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "control/message.hpp"
#include "foundation/log.hpp"
#include "storage/fso.hpp"

namespace {

constexpr char NAME[] = "control";

// The socket made by ctl_listen, so that only it is removed again.
dev_t made_dev;
ino_t made_ino;

void say(char* why, size_t n, const char* what, int err)
{
    if (err != 0)
        std::snprintf(why, n, "%s: %s", what, std::strerror(err));
    else
        std::snprintf(why, n, "%s", what);
}

// The socket's address through the open jx_internal directory: the name resolves inside the very
// directory the root search checked, whatever the length of the root's path.
bool address(sockaddr_un* a, int* dirfd, char* why, size_t n)
{
    *dirfd = jx_fso_dir_fd(FSO_DIR_INTERNAL);
    if (*dirfd < 0) {
        say(why, n, "jx_internal cannot be opened", 0);
        return false;
    }
    *a = sockaddr_un{};
    a->sun_family = AF_UNIX;
    const int len = std::snprintf(a->sun_path, sizeof a->sun_path, "/proc/self/fd/%d/%s", *dirfd, NAME);
    return len > 0 && static_cast<size_t>(len) < sizeof a->sun_path;
}

uid_t peer_uid(int fd, bool* known)
{
    ucred cred{};
    socklen_t len = sizeof cred;
    *known = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && len == sizeof cred;
    return cred.uid;
}

void nonblocking(int fd)
{
    (void)fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

}  // namespace

int ctl_listen(char* why, size_t n)
{
    sockaddr_un a{};
    int dirfd = -1;
    if (!address(&a, &dirfd, why, n))
        return -1;
    struct stat st {};
    if (fstatat(dirfd, NAME, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISSOCK(st.st_mode) || st.st_uid != geteuid()) {
            say(why, n, "jx_internal/control is there and is not a socket of this user", 0);
            return -1;
        }
        // Only the holder of the root gets here: a socket left there is one a crash left.
        if (unlinkat(dirfd, NAME, 0) != 0) {
            say(why, n, "jx_internal/control cannot be removed", errno);
            return -1;
        }
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        say(why, n, "socket", errno);
        return -1;
    }
    // Owner-only from its first instant: bind makes the name with the mode the umask leaves.
    const mode_t old = umask(0177);
    const int bound = bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    const int err = errno;
    umask(old);
    if (bound != 0 || listen(fd, 16) != 0 || fstatat(dirfd, NAME, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        say(why, n, "jx_internal/control cannot be made", bound != 0 ? err : errno);
        close(fd);
        return -1;
    }
    made_dev = st.st_dev, made_ino = st.st_ino;
    jx_log("Control socket listening");
    return fd;
}

void ctl_unlisten(int fd)
{
    if (fd < 0)
        return;
    close(fd);
    const int dirfd = jx_fso_dir_fd(FSO_DIR_INTERNAL);
    struct stat st {};
    if (dirfd >= 0 && fstatat(dirfd, NAME, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISSOCK(st.st_mode) &&
        st.st_dev == made_dev && st.st_ino == made_ino)
        (void)unlinkat(dirfd, NAME, 0);
}

int ctl_accept(int listen_fd, CtlConn* c, bool* refused)
{
    *refused = false;
    const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return -1;
    *c = CtlConn{};
    c->fd = fd;
    bool known = false;
    const uid_t uid = peer_uid(fd, &known);
    if (known && uid == geteuid())
        return fd;
    *refused = true;
    jx_log("Control connection of uid %ld refused: only uid %lu may use it",
           known ? static_cast<long>(uid) : -1L, static_cast<unsigned long>(geteuid()));
    c->out = ctl_record_line(CtlRecord{
                 CTL_ERR, "jexley: the Jexley on this storage root serves only its own user", {}, 0}) +
             ctl_record_line(CtlRecord{CTL_EXIT, "", {}, 3});
    (void)ctl_flush(c);
    return fd;
}

int ctl_connect(char* why, size_t n, int* err)
{
    *err = 0;
    sockaddr_un a{};
    int dirfd = -1;
    if (!address(&a, &dirfd, why, n)) {
        *err = ENOENT;
        return -1;
    }
    struct stat st {};
    if (fstatat(dirfd, NAME, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        *err = errno;
        say(why, n, "jx_internal/control", errno);
        return -1;
    }
    if (!S_ISSOCK(st.st_mode) || st.st_uid != geteuid()) {
        *err = EPERM;
        say(why, n, "jx_internal/control is not a socket of this user", 0);
        return -1;
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        *err = errno;
        say(why, n, "jx_internal/control", errno);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    bool known = false;
    if (peer_uid(fd, &known) != geteuid() || !known) {
        *err = EPERM;
        say(why, n, "the program serving jx_internal/control is another user's", 0);
        close(fd);
        return -1;
    }
    nonblocking(fd);
    return fd;
}

uint8_t ctl_read(CtlConn* c, std::vector<std::string>* lines)
{
    char buf[16384];
    for (;;) {
        const ssize_t got = read(c->fd, buf, sizeof buf);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
                c->eof = true;
            break;
        }
        c->in.append(buf, static_cast<size_t>(got));
        size_t nl;
        while ((nl = c->in.find('\n')) != std::string::npos) {
            lines->push_back(c->in.substr(0, nl));
            c->in.erase(0, nl + 1);
        }
        if (c->in.size() > CTL_LINE_MAX) {
            c->eof = true;
            c->in.clear();
            return 2;
        }
    }
    return c->eof ? 1 : 0;
}

bool ctl_flush(CtlConn* c)
{
    while (!c->out.empty() && !c->eof) {
        const ssize_t put = send(c->fd, c->out.data(), c->out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                c->eof = true;
            break;
        }
        c->out.erase(0, static_cast<size_t>(put));
    }
    return !c->eof;
}

bool ctl_send(CtlConn* c, const std::string& line)
{
    if (c->eof)
        return false;
    c->out += line;
    if (!ctl_flush(c))
        return false;
    if (c->out.size() > CTL_OUT_MAX) {
        c->eof = true;
        return false;
    }
    return true;
}

bool ctl_done(CtlConn* c, int64_t now_us)
{
    if (c->eof)
        return true;
    if (!c->out.empty())
        return false;
    if (c->closing_us == 0) {
        (void)shutdown(c->fd, SHUT_WR);
        c->closing_us = now_us;
    }
    // What still comes is read and dropped, until the client closes.
    char buf[4096];
    for (;;) {
        const ssize_t got = read(c->fd, buf, sizeof buf);
        if (got > 0)
            continue;
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            c->eof = true;
        if (got >= 0 || errno != EINTR)
            break;
    }
    return c->eof || now_us - c->closing_us >= CTL_LINGER_US;
}
