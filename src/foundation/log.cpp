#include "foundation/log.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "foundation/safe_file.hpp"
#include "foundation/timer.hpp"
#include "foundation/utility.hpp"

char log_path[JX_LOG_PATH_SIZE];
FILE* logger = nullptr;

namespace {

// The logging directory, held open so that rotation renames and creates inside the directory the
// log was opened in.
int log_dir = -1;

void close_log()
{
    if (logger != nullptr)
        std::fclose(logger);
    logger = nullptr;
}

// The log is appended to only when it is a file of ours (safe_file); one that is not is refused.
bool open_log(int fd)
{
    if (fd < 0)
        return false;
    logger = fdopen(fd, "a");
    if (logger == nullptr)
        close(fd);
    return logger != nullptr;
}

}  // namespace

int jx_log_init(const char* dir)
{
    static const char name[] = "/log";
    std::memset(log_path, 0, sizeof log_path);
    close_log();
    if (log_dir >= 0)
        close(log_dir);
    log_dir = -1;
    // A path that would not fit is refused rather than cut: a cut path names some other file.
    const size_t dir_len = std::strlen(dir);
    if (dir_len + sizeof name > sizeof log_path)
        return 1;
    std::memcpy(log_path, dir, dir_len);
    std::memcpy(log_path + dir_len, name, sizeof name);

    log_dir = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    JXSafeWhy why{};
    return open_log(jx_safe_open_kept(log_dir, "log", O_WRONLY | O_APPEND, true, &why)) ? 0 : 1;
}

void jx_log(const char* fmt, ...)
{
    if (logger == nullptr)
        return;

    const time_t now = static_cast<time_t>(jx_clock_now());
    struct tm t {};
    localtime_r(&now, &t);
    std::fprintf(logger, "%02d-%02d-%02d %02d:%02d:%02d\t", t.tm_year - 100, t.tm_mon + 1, t.tm_mday,
                 t.tm_hour, t.tm_min, t.tm_sec);

    // Names, texts and file names from other hosts end up in log lines: a CR or LF would forge a
    // line and an escape sequence would act on the terminal of whoever reads the log.
    char small[2048];
    char* msg = small;
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(small, sizeof small, fmt, args);
    va_end(args);
    if (n >= static_cast<int>(sizeof small)) {
        msg = static_cast<char*>(std::malloc(2 * (static_cast<size_t>(n) + 1)));
        if (msg != nullptr)
            std::vsnprintf(msg, static_cast<size_t>(n) + 1, fmt, again);
    }
    va_end(again);
    if (n > 0 && msg != nullptr) {
        char clean_small[sizeof small];
        char* clean = msg == small ? clean_small : msg + n + 1;
        jx_str_sanitize(msg, static_cast<size_t>(n), clean, static_cast<size_t>(n) + 1);
        std::fputs(clean, logger);
    }
    if (msg != small)
        std::free(msg);

    std::fputs("\r\n", logger);
    std::fflush(logger);

    if (std::fseek(logger, 0, SEEK_END) != 0)
        return;
    if (std::ftell(logger) > JX_LOG_MAX_SIZE) {
        jx_log_rotate();
        // The fresh log is far below the limit, so this cannot rotate again.
        jx_log("Log rotation performed");
    }
}

void jx_log_errno(int err)
{
    jx_log("errno %d: %s", err, std::strerror(err));
}

void jx_log_rotate()
{
    close_log();
    if (log_path[0] == '\0' || log_dir < 0)
        return;
    // Renaming replaces whatever has the backup's name, a link included, without following it.
    JXSafeWhy why{};
    if (renameat(log_dir, "log", log_dir, "log1") == 0) {
        open_log(jx_safe_create(log_dir, "log", O_WRONLY | O_APPEND, 0600, &why));
        return;
    }

    // Renaming can fail where copying works: copy into a new backup, then empty our own log.
    const int src = jx_safe_open_kept(log_dir, "log", O_RDWR, false, &why);
    if (src < 0)
        return;
    (void)unlinkat(log_dir, "log1", 0);
    const int dst = jx_safe_create(log_dir, "log1", O_WRONLY, 0600, &why);
    char buf[65536];
    bool copied = dst >= 0;
    for (ssize_t n; copied && (n = read(src, buf, sizeof buf)) != 0;)
        copied = n > 0 && write(dst, buf, static_cast<size_t>(n)) == n;
    if (dst >= 0)
        close(dst);
    if (!copied || ftruncate(src, 0) != 0) {
        close(src);
        return;
    }
    open_log(src);
}

int jx_log_close()
{
    close_log();
    if (log_dir >= 0)
        close(log_dir);
    log_dir = -1;
    std::memset(log_path, 0, sizeof log_path);
    return 0;
}
