#include "foundation/log.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "foundation/timer.hpp"
#include "foundation/utility.hpp"

char log_path[JX_LOG_PATH_SIZE];
FILE* logger = nullptr;

int jx_log_init(const char* dir)
{
    static const char name[] = "/log";
    std::memset(log_path, 0, sizeof log_path);
    if (logger != nullptr) {
        std::fclose(logger);
        logger = nullptr;
    }
    // A path that would not fit is refused rather than cut: a cut path names some other file.
    const size_t dir_len = std::strlen(dir);
    if (dir_len + sizeof name > sizeof log_path)
        return 1;
    std::memcpy(log_path, dir, dir_len);
    std::memcpy(log_path + dir_len, name, sizeof name);

    logger = std::fopen(log_path, "a");
    return logger != nullptr ? 0 : 1;
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
    if (logger != nullptr) {
        std::fclose(logger);
        logger = nullptr;
    }
    if (log_path[0] == '\0')
        return;

    char backup[JX_LOG_PATH_SIZE + 1];
    std::snprintf(backup, sizeof backup, "%s1", log_path);

    if (std::rename(log_path, backup) == 0) {
        logger = std::fopen(log_path, "a");
        return;
    }

    // Renaming can fail where copying works (e.g. across file systems): copy, then truncate.
    FILE* src = std::fopen(log_path, "r");
    if (src == nullptr)
        return;
    FILE* dst = std::fopen(backup, "w");
    if (dst == nullptr) {
        std::fclose(src);
        return;
    }
    int ch = 0;
    while ((ch = std::fgetc(src)) != EOF)
        std::fputc(ch, dst);
    std::fclose(src);
    std::fclose(dst);
    logger = std::fopen(log_path, "w");
}

int jx_log_close()
{
    if (logger != nullptr) {
        std::fclose(logger);
        logger = nullptr;
    }
    std::memset(log_path, 0, sizeof log_path);
    return 0;
}
