#include "storage/transfer_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "foundation/log.hpp"
#include "foundation/safe_file.hpp"
#include "foundation/utf8.hpp"
#include "storage/fso.hpp"

namespace {

constexpr char FORBIDDEN[] = "<>:\"/\\|?*";
constexpr size_t HASH_READ = 65536;

// Fits dir + base + "_(n)" + ext into out (1025 bytes); false when it would be too long.
bool candidate(char* out, const char* dir, const char* base, size_t base_len, unsigned n, const char* ext)
{
    int len = 0;
    if (n == 0)
        len = std::snprintf(out, JX_FSO_PATH_SIZE, "%s%.*s%s", dir, static_cast<int>(base_len), base, ext);
    else
        len = std::snprintf(out, JX_FSO_PATH_SIZE, "%s%.*s_(%u)%s", dir, static_cast<int>(base_len), base, n,
                            ext);
    return len > 0 && static_cast<size_t>(len) < JX_FSO_PATH_SIZE;
}

}  // namespace

bool jx_fso_name_ok(const char* name)
{
    if (name == nullptr || name[0] == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
        return false;
    return std::strpbrk(name, FORBIDDEN) == nullptr;
}

namespace {

// Bytes of the longest start of the well-formed text s[0..n) that fits max bytes.
size_t whole_chars(const char* s, size_t n, size_t max)
{
    size_t i = 0;
    for (size_t len; i < n && (len = jx_utf8_len(s + i, n - i)) != 0 && i + len <= max;)
        i += len;
    return i;
}

}  // namespace

bool jx_fso_safe_name(const char* offered, char* out, size_t size)
{
    if (size <= JX_SAFE_NAME_MAX || !jx_fso_name_ok(offered))
        return false;
    // A replaced character never grows: the clean name fits a buffer of the offered one's size.
    const size_t n = strnlen(offered, JX_META_NAME_SIZE - 1);
    char buf[JX_META_NAME_SIZE];
    size_t o = 0;
    for (size_t i = 0; i < n;) {
        const size_t len = jx_utf8_len(offered + i, n - i);
        if (len == 0 || jx_char_is_invisible(jx_utf8_decode(offered + i, len))) {
            buf[o++] = '_';
            i += len == 0 ? 1 : len;
        } else {
            std::memcpy(buf + o, offered + i, len);
            o += len;
            i += len;
        }
    }
    // Neither an option to the commands run on it nor a hidden file.
    if (o > 0 && (buf[0] == '-' || buf[0] == '.'))
        buf[0] = '_';
    if (o > JX_SAFE_NAME_MAX) {
        const auto* dot = static_cast<const char*>(memrchr(buf, '.', o));
        size_t ext = dot != nullptr ? o - static_cast<size_t>(dot - buf) : 0;
        if (ext > JX_SAFE_NAME_MAX / 2)
            ext = 0;  // an "extension" that long is part of the name
        const size_t keep = whole_chars(buf, o - ext, JX_SAFE_NAME_MAX - ext);
        std::memmove(buf + keep, buf + o - ext, ext);
        o = keep + ext;
    }
    std::memcpy(out, buf, o);
    out[o] = '\0';
    return true;
}

uint8_t jx_fso_metadata(JXFileMeta* meta, FILE** stream, const char* path)
{
    *stream = nullptr;
    std::memset(meta, 0, sizeof *meta);
    if (path == nullptr)
        return 1;
    // Non-blocking, so that a FIFO with no writer cannot stall the program at the open.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return 1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return 1;
    }
    const char* slash = std::strrchr(path, '/');
    const char* name = slash != nullptr ? slash + 1 : path;
    const size_t dir_len = static_cast<size_t>(name - path);
    if (std::strlen(name) >= sizeof meta->name || dir_len >= sizeof meta->dir) {
        close(fd);
        return 1;
    }
    std::memcpy(meta->dir, path, dir_len);
    std::snprintf(meta->name, sizeof meta->name, "%s", name);
    if (!jx_fso_name_ok(meta->name)) {
        jx_log("Forbidden charachers in filename");
        close(fd);
        std::memset(meta, 0, sizeof *meta);
        return 1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    *stream = fdopen(fd, "rb");
    if (*stream == nullptr) {
        close(fd);
        std::memset(meta, 0, sizeof *meta);
        return 1;
    }
    return 0;
}

uint8_t jx_fso_sha256_sum2(FILE* stream, JXFileMeta* meta, size_t limit)
{
    if (meta->size == 0)
        sha256_init_ctx(&meta->sha_ctx);
    static uint8_t buf[HASH_READ];
    size_t done = 0;
    bool more = stream != nullptr;
    while (more && done < limit) {
        const size_t want = limit - done < sizeof buf ? limit - done : sizeof buf;
        const size_t got = std::fread(buf, 1, want, stream);
        sha256_process_bytes(buf, got, &meta->sha_ctx);
        done += got;
        more = got == want;
    }
    meta->size += done;
    if (more)
        return 1;
    sha256_finish_ctx(&meta->sha_ctx, meta->digest);
    return 0;
}

FILE* jx_fso_get_dl_fp(JXFileMeta* meta)
{
    std::memset(meta->dir, 0, sizeof meta->dir);
    const int dir_len = std::snprintf(meta->dir, sizeof meta->dir, "%s/downloads/", fso.root_path);
    if (dir_len < 0 || static_cast<size_t>(dir_len) >= sizeof meta->dir) {
        std::memset(meta->dir, 0, sizeof meta->dir);
        return nullptr;
    }
    const char* dot = std::strrchr(meta->name, '.');
    const size_t base_len = dot != nullptr ? static_cast<size_t>(dot - meta->name) : std::strlen(meta->name);
    const char* ext = dot != nullptr ? dot : "";
    const int dir = jx_fso_dir_fd(FSO_DIR_DOWNLOADS);
    char path[JX_FSO_PATH_SIZE];
    for (unsigned n = 0; n < 65535; n++) {
        if (!candidate(path, meta->dir, meta->name, base_len, n, ext))
            return nullptr;
        // Exclusive creation fails on any existing entry, a dangling symbolic link included.
        JXSafeWhy why{};
        const char* name = path + dir_len;
        const int fd = jx_safe_create(dir, name, O_RDWR, 0600, &why);
        if (fd < 0) {
            if (why.err == EEXIST)
                continue;
            return nullptr;
        }
        FILE* f = fdopen(fd, "wb+");
        if (f == nullptr) {
            close(fd);
            unlinkat(dir, name, 0);
            return nullptr;
        }
        if (n != 0)
            std::snprintf(meta->name, sizeof meta->name, "%s", name);
        return f;
    }
    return nullptr;
}

uint8_t jx_fso_read_filepart2(FILE* stream, uint8_t* buf, size_t n)
{
    if (stream == nullptr) {
        jx_log("Null pointer reading filepart");
        return 1;
    }
    if (std::fread(buf, 1, n, stream) != n) {
        jx_log("Reading filepart error %d", std::ferror(stream));
        return 3;
    }
    return 0;
}

uint8_t jx_fso_write_filepart2(FILE* stream, const uint8_t* buf, size_t n)
{
    if (stream == nullptr) {
        jx_log("Null pointer writing filepart");
        return 2;
    }
    if (std::fwrite(buf, 1, n, stream) != n) {
        const int err = std::ferror(stream);
        jx_log("write2 failed with error %d", err);
        return err != 0 ? 3 : 1;
    }
    return 0;
}

uint8_t jx_fso_close_fp(FILE* stream)
{
    if (stream == nullptr || std::fclose(stream) == 0)
        return 0;
    const int err = errno;
    jx_log("Closing file failed - %d", err);
    jx_log_errno(err);
    return 1;
}

bool jx_fso_downloads_free(uint64_t* bytes)
{
    char dir[JX_FSO_PATH_SIZE];
    struct statvfs vfs {};
    if (std::snprintf(dir, sizeof dir, "%s/downloads", fso.root_path) >= static_cast<int>(sizeof dir) ||
        statvfs(dir, &vfs) != 0)
        return false;
    *bytes = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    return true;
}
