// Path-level file operations and the configuration file (jx_internal/cfg).
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "foundation/log.hpp"
#include "foundation/safe_file.hpp"
#include "storage/fso.hpp"

namespace {

constexpr off_t CFG_FIELD1_OFFSET = 15;

}  // namespace

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
