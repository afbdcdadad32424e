// The per-channel message store: msg/<name> is a ring of fixed 1600-byte slots behind a header
// block, so a conversation is paged from disk instead of being held in memory.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "foundation/bit_utils.hpp"
#include "foundation/log.hpp"
#include "foundation/safe_file.hpp"
#include "storage/fso.hpp"

namespace {

// A descriptor owned by one operation. Slots and headers go through pread/pwrite on it, never
// through stdio, whose buffer would split a slot that crosses a 4 KiB boundary into two writes.
struct Fd {
    int fd = -1;
    Fd() = default;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(-1); }
    void reset(int f)
    {
        if (fd >= 0)
            close(fd);
        fd = f;
    }
};

// Positions are 16-bit everywhere (reads, the update walk), so a larger ring cannot be addressed.
constexpr uint32_t CAPACITY_LIMIT = 65535;

struct Header {
    uint32_t last;
    uint32_t count;
    uint32_t capacity;
};

// Results of getting a channel file ready for a write; the codes are the update's.
enum : uint8_t { READY = 0, NO_FILE = 1, BAD_HEADER = 4 };

bool msg_path(char* out, const char* name)
{
    if (name == nullptr)
        return false;
    size_t rlen = strlen(fso.root_path);
    size_t nlen = strlen(name);
    constexpr size_t dlen = 5;  // "/msg/"
    if (rlen > JX_FSO_PATH_MAX || nlen > JX_FSO_PATH_MAX - rlen || dlen > JX_FSO_PATH_MAX - rlen - nlen)
        return false;
    memcpy(out, fso.root_path, rlen);
    memcpy(out + rlen, "/msg/", dlen);
    memcpy(out + rlen + dlen, name, nlen);
    out[rlen + dlen + nlen] = '\0';
    return true;
}

off_t slot_offset(uint32_t slot)
{
    return static_cast<off_t>(slot) * static_cast<off_t>(JX_MSG_SLOT_SIZE);
}

// One system call, so a crash leaves the bytes either all written or untouched.
bool write_at(int fd, const void* buf, size_t n, off_t off)
{
    return pwrite(fd, buf, n, off) == static_cast<ssize_t>(n);
}

bool write_header(int fd, const Header& h)
{
    uint8_t b[8];
    jx_uint32_to_b(h.last, b);
    jx_uint32_to_b(h.count, b + 4);
    return write_at(fd, b, sizeof b, 0);
}

// The header comes from disk: a ring position outside 1..capacity would send the update walk
// round forever or the writer far past the end of the file, so such a header is not used.
bool read_header(int fd, Header* h)
{
    uint8_t b[JX_MSG_HEADER_BYTES];
    if (pread(fd, b, sizeof b, 0) != static_cast<ssize_t>(sizeof b))
        return false;
    h->last = jx_b_to_uint32(b);
    h->count = jx_b_to_uint32(b + 4);
    h->capacity = jx_b_to_uint32(b + 8);
    return h->capacity >= 1 && h->capacity <= CAPACITY_LIMIT && h->last <= h->capacity &&
           h->count <= h->capacity;
}

bool read_slot(int fd, uint32_t slot, uint8_t* buf)
{
    const ssize_t n = pread(fd, buf, JX_MSG_SLOT_SIZE, slot_offset(slot));
    if (n != static_cast<ssize_t>(JX_MSG_SLOT_SIZE)) {
        jx_log("fread failed with error %d", n < 0 ? errno : 0);
        return false;
    }
    return true;
}

// The empty ring is written under a temporary name and renamed into place, so a crash leaves no
// channel file or a whole one, never a short one. '.' is not in any channel file name.
bool create_file(const char* name, Fd* fd, Header* h)
{
    static uint8_t img[JX_MSG_FILE_SIZE];  // the empty ring: zeros but for its capacity field
    jx_uint32_to_b(JX_MSG_CAPACITY, img + 8);
    JXSafeWhy why{};
    fd->reset(jx_safe_replace(jx_fso_dir_fd(FSO_DIR_MSG), name, img, sizeof img, &why));
    *h = {0, 0, JX_MSG_CAPACITY};
    return fd->fd >= 0;
}

// Keeps a damaged or refused file for the user as <name>.damagedN, never replacing an earlier
// one: the name is claimed by creating it exclusively, then the file (or link) is renamed onto it.
bool set_aside(const char* name)
{
    const int dir = jx_fso_dir_fd(FSO_DIR_MSG);
    char path[JX_FSO_PATH_SIZE], kept[JX_FSO_PATH_SIZE];
    (void)msg_path(path, name);
    for (int i = 1; i <= 99; ++i) {
        char kept_name[64];
        if (snprintf(kept_name, sizeof kept_name, "%s.damaged%d", name, i) >=
            static_cast<int>(sizeof kept_name))
            break;
        JXSafeWhy why{};
        const int r = jx_safe_create(dir, kept_name, O_WRONLY, 0600, &why);
        if (r < 0 && why.err == EEXIST)
            continue;
        if (r < 0)
            break;
        close(r);
        if (renameat(dir, name, dir, kept_name) != 0) {
            unlinkat(dir, kept_name, 0);
            break;
        }
        (void)msg_path(kept, kept_name);
        jx_log("Damaged channel file [%s] moved to [%s], a new one is started", path, kept);
        return true;
    }
    jx_log("Damaged channel file could not be moved aside [%s]", path);
    return false;
}

// A file cut short (a copy that stopped, a crash of a version that wrote it piecemeal) keeps its whole
// slots: the header first stops counting the lost ones, then the rest is written as zeros, so no
// slot write lands past the end and a crash in between only repeats the repair.
bool repair_cut(int fd, const char* path, off_t size, Header* h)
{
    const off_t blocks = size / static_cast<off_t>(JX_MSG_SLOT_SIZE);
    const uint32_t kept = blocks > 1 ? static_cast<uint32_t>(blocks - 1) : 0;
    h->last = std::min(h->last, kept);
    h->count = std::min(h->count, kept);
    const off_t from = kept > 0 ? slot_offset(kept + 1) : static_cast<off_t>(JX_MSG_HEADER_BYTES);
    static const uint8_t zeros[JX_MSG_FILE_SIZE] = {};
    jx_log("Channel file cut short [%s], %lld bytes: %u whole slots kept, filled up to %zu bytes", path,
           static_cast<long long>(size), kept, JX_MSG_FILE_SIZE);
    return write_header(fd, *h) && write_at(fd, zeros, JX_MSG_FILE_SIZE - static_cast<size_t>(from), from);
}

// Channel file names are made by the program; one that could lead out of msg/ is never opened.
bool name_ok(const char* name)
{
    return name != nullptr && name[0] != '\0' && name[0] != '.' && strchr(name, '/') == nullptr &&
           strlen(name) < 48;
}

// Opens msg/<name> for writing with a header that is safe to follow. A cut file is brought back
// to full size; with `store`, a missing file is created and a damaged one is set aside and
// replaced, because a text that was acknowledged must land somewhere. So is one that is not a
// regular file of ours with one name (a link, someone else's file): it is never written through.
uint8_t ready_file(const char* name, bool store, Fd* fd, Header* h)
{
    char path[JX_FSO_PATH_SIZE];
    if (!name_ok(name) || !msg_path(path, name))
        return NO_FILE;
    JXSafeWhy why{};
    fd->reset(jx_safe_open_kept(jx_fso_dir_fd(FSO_DIR_MSG), name, O_RDWR, false, &why));
    if (fd->fd < 0 && why.what == JX_SAFE_ERRNO)
        return store && why.err == ENOENT && create_file(name, fd, h) ? READY : NO_FILE;
    if (fd->fd < 0) {
        char text[64];
        jx_log("Channel file [%s] refused: it %s", name, jx_safe_why_str(&why, text, sizeof text));
        return store && set_aside(name) && create_file(name, fd, h) ? READY : NO_FILE;
    }
    struct stat st {};
    if (fstat(fd->fd, &st) != 0)
        return NO_FILE;
    const bool valid = read_header(fd->fd, h);
    if (valid && st.st_size >= slot_offset(h->capacity + 1))
        return READY;
    // Only our own ring size can be believed to be cut; any other too-short ring is garbage.
    if (valid && h->capacity == JX_MSG_CAPACITY)
        return repair_cut(fd->fd, path, st.st_size, h) ? READY : NO_FILE;
    if (!store)
        return BAD_HEADER;
    jx_log("Channel file header is not valid [%s]", name);
    fd->reset(-1);
    return set_aside(name) && create_file(name, fd, h) ? READY : NO_FILE;
}

// Opens msg/<name> for reading with its header: 0, 1 path too long, no file or refused, 2 header
// not valid.
uint8_t open_read(const char* name, Fd* fd, Header* h)
{
    JXSafeWhy why{};
    if (!name_ok(name))
        return 1;
    fd->reset(jx_safe_open_kept(jx_fso_dir_fd(FSO_DIR_MSG), name, O_RDONLY, false, &why));
    if (fd->fd < 0)
        return 1;
    return read_header(fd->fd, h) ? 0 : 2;
}

}  // namespace

void jx_channel_file_name(uint8_t ch_type, uint32_t net, uint32_t peer, char* out)
{
    if (ch_type == 2)
        std::snprintf(out, JX_CHANNEL_NAME_SIZE, "%08lx_%08lx", static_cast<unsigned long>(net),
                      static_cast<unsigned long>(peer));
    else
        std::snprintf(out, JX_CHANNEL_NAME_SIZE, "%08lx", static_cast<unsigned long>(net));
}

FILE* jx_fso_cch_file(const char* name)
{
    Fd fd;
    Header h{};
    if (ready_file(name, true, &fd, &h) == NO_FILE)
        return nullptr;
    FILE* f = fdopen(fd.fd, "rb+");
    if (f != nullptr)
        fd.fd = -1;
    return f;
}

size_t jx_fso_serialize(uint8_t* buf, size_t size, const JXStoredMsg* msg)
{
    if (buf == nullptr)
        return 0;
    memset(buf, 0, size);
    if (size < JX_MSG_SLOT_SIZE || msg == nullptr)
        return 0;
    size_t tlen = strnlen(msg->text, sizeof msg->text);
    if (tlen > JX_MSG_TEXT_MAX)
        return 0;
    jx_uint32_to_b(static_cast<uint32_t>(msg->time), buf + JX_MSG_OFF_TIME);
    jx_uint32_to_b(static_cast<uint32_t>(msg->id), buf + JX_MSG_OFF_ID);
    // Host-order number stored LSB first: 192.168.1.5 becomes 05 01 A8 C0.
    jx_uint32_to_b(ntohl(msg->addr), buf + JX_MSG_OFF_ADDR);
    buf[JX_MSG_OFF_TYPE] = msg->type;
    memcpy(buf + JX_MSG_OFF_UNAME, msg->username, strnlen(msg->username, JX_MSG_UNAME_READ));
    memcpy(buf + JX_MSG_OFF_TEXT, msg->text, tlen);
    return tlen + JX_MSG_OFF_TEXT;
}

void jx_fso_unserialize(const uint8_t* buf, size_t size, JXStoredMsg* dst)
{
    if (dst == nullptr)
        return;
    memset(dst, 0, sizeof *dst);
    if (buf == nullptr || size < JX_MSG_SLOT_SIZE)
        return;
    dst->type = buf[JX_MSG_OFF_TYPE];
    dst->id = jx_b_to_uint32(buf + JX_MSG_OFF_ID);
    dst->addr = htonl(jx_b_to_uint32(buf + JX_MSG_OFF_ADDR));
    dst->time = jx_b_to_uint32(buf + JX_MSG_OFF_TIME);
    // Fixed counts into a cleared record: both strings end in NUL whatever the slot holds.
    memcpy(dst->username, buf + JX_MSG_OFF_UNAME, JX_MSG_UNAME_READ);
    memcpy(dst->text, buf + JX_MSG_OFF_TEXT, JX_MSG_TEXT_READ);
}

void jx_fso_store_msg(const JXStoredMsg* msg, const char* name)
{
    if (msg == nullptr)
        return;
    if (strnlen(msg->text, sizeof msg->text) > JX_MSG_TEXT_MAX) {
        jx_log("Msg to store exceeds format size");
        return;
    }
    uint8_t slot_img[JX_MSG_SLOT_SIZE];
    (void)jx_fso_serialize(slot_img, sizeof slot_img, msg);

    Fd fd;
    Header h{};
    if (ready_file(name, true, &fd, &h) != READY) {
        jx_log("Can't create channel file");
        return;
    }
    const uint32_t slot = h.last + 1 > h.capacity ? 1 : h.last + 1;
    // Slot first, header after: a crash in between leaves a header that does not count it.
    const Header next{slot, std::min(h.count + 1, h.capacity), h.capacity};
    if (!write_at(fd.fd, slot_img, sizeof slot_img, slot_offset(slot)) || !write_header(fd.fd, next))
        jx_log("Msg could not be written to channel file [%s]", name);
}

uint8_t jx_fso_update_msg(const char* name, const JXStoredMsg* msg)
{
    if (msg == nullptr || msg->id == 0) {
        jx_log("Message id must be greater the 0");
        return 3;
    }
    Fd fd;
    Header h{};
    if (const uint8_t rc = ready_file(name, false, &fd, &h); rc != READY)
        return rc;
    if (h.last == 0)
        return 0;  // nothing stored yet

    // Newest first, so the newer of two copies of an id is the one changed.
    uint8_t slot[JX_MSG_SLOT_SIZE];
    uint32_t s = h.last;
    do {
        if (!read_slot(fd.fd, s, slot))
            return 2;
        if (static_cast<uint64_t>(jx_b_to_uint32(slot + JX_MSG_OFF_ID)) == msg->id) {
            (void)write_at(fd.fd, &msg->type, 1, slot_offset(s) + static_cast<off_t>(JX_MSG_OFF_TYPE));
            return 0;
        }
        s = s == 1 ? h.capacity : s - 1;
    } while (s != h.last);
    return 0;
}

uint8_t jx_fso_read_msg(uint16_t pos, const char* name, JXStoredMsg* dst)
{
    if (pos == 0) {
        jx_log("Position must be greater the 0");
        return 3;
    }
    if (dst == nullptr)
        return 1;
    Fd fd;
    Header h{};
    if (const uint8_t rc = open_read(name, &fd, &h); rc != 0)
        return rc == 2 ? 4 : 1;
    if (pos > h.capacity)
        return 5;
    uint8_t slot[JX_MSG_SLOT_SIZE];
    if (!read_slot(fd.fd, pos, slot))
        return 2;
    jx_fso_unserialize(slot, sizeof slot, dst);
    return 0;
}

uint8_t jx_fso_read_file_header(uint64_t hdr[3], const char* name)
{
    if (hdr == nullptr)
        return 1;
    Fd fd;
    Header h{};
    if (const uint8_t rc = open_read(name, &fd, &h); rc != 0)
        return rc;
    hdr[0] = h.last;
    hdr[1] = h.count;
    hdr[2] = h.capacity;
    return 0;
}
