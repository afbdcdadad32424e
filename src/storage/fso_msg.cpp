// The per-channel message store: msg/<name> is a ring of fixed 1600-byte slots behind a header
// block, so a conversation is paged from disk instead of being held in memory.
#include <arpa/inet.h>

#include <cstring>
#include <memory>

#include "foundation/bit_utils.hpp"
#include "foundation/log.hpp"
#include "storage/fso.hpp"

namespace {

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};
using ScopedFile = std::unique_ptr<FILE, FileCloser>;

// Positions are 16-bit everywhere (reads, the update walk), so a larger ring cannot be addressed.
constexpr uint32_t CAPACITY_LIMIT = 65535;

struct Header {
    uint32_t last;
    uint32_t count;
    uint32_t capacity;
};

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

// An existing channel file opened with mode; null when its path does not fit or it cannot be opened.
ScopedFile open_msg_file(const char* name, const char* mode)
{
    char path[JX_FSO_PATH_SIZE];
    return ScopedFile(msg_path(path, name) ? fopen(path, mode) : nullptr);
}

long slot_offset(uint32_t slot)
{
    return static_cast<long>(slot) * static_cast<long>(JX_MSG_SLOT_SIZE);
}

// The header comes from disk: a ring position outside 1..capacity would send the update walk
// round forever or the writer far past the end of the file, so such a header is not used.
bool read_header(FILE* f, Header* h)
{
    uint8_t b[JX_MSG_HEADER_BYTES];
    if (fseek(f, 0, SEEK_SET) != 0 || fread(b, 1, sizeof b, f) != sizeof b)
        return false;
    h->last = jx_b_to_uint32(b);
    h->count = jx_b_to_uint32(b + 4);
    h->capacity = jx_b_to_uint32(b + 8);
    return h->capacity >= 1 && h->capacity <= CAPACITY_LIMIT && h->last <= h->capacity &&
           h->count <= h->capacity;
}

bool read_slot(FILE* f, uint32_t slot, uint8_t* buf)
{
    if (fseek(f, slot_offset(slot), SEEK_SET) != 0 ||
        fread(buf, 1, JX_MSG_SLOT_SIZE, f) != JX_MSG_SLOT_SIZE) {
        jx_log("fread failed with error %d", ferror(f));
        return false;
    }
    return true;
}

// Writes an empty ring: header (last 0, count 0, capacity 100) and 100 zero slots.
bool format_file(FILE* f)
{
    uint8_t block[JX_MSG_SLOT_SIZE] = {};
    jx_uint32_to_b(JX_MSG_CAPACITY, block + 8);
    if (fseek(f, 0, SEEK_SET) != 0 || fwrite(block, 1, sizeof block, f) != sizeof block)
        return false;
    memset(block, 0, sizeof block);
    for (uint32_t i = 0; i < JX_MSG_CAPACITY; ++i)
        if (fwrite(block, 1, sizeof block, f) != sizeof block)
            return false;
    return fflush(f) == 0;
}

}  // namespace

FILE* jx_fso_cch_file(const char* name)
{
    char path[JX_FSO_PATH_SIZE];
    if (!msg_path(path, name))
        return nullptr;
    FILE* f = fopen(path, "rb+");
    if (f != nullptr) {
        // A file cut short while it was being created holds no message yet; format it rather
        // than leave the channel unusable for good.
        if (fseek(f, 0, SEEK_END) == 0 && ftell(f) >= static_cast<long>(JX_MSG_SLOT_SIZE) &&
            fseek(f, 0, SEEK_SET) == 0)
            return f;
    } else {
        f = fopen(path, "wb+");
        if (f == nullptr)
            return nullptr;
    }
    if (!format_file(f)) {
        fclose(f);
        return nullptr;
    }
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

    ScopedFile f(jx_fso_cch_file(name));
    if (!f) {
        jx_log("Can't create channel file");
        return;
    }
    Header h{};
    if (!read_header(f.get(), &h)) {
        jx_log("Channel file header is not valid [%s]", name);
        return;
    }
    uint32_t slot = h.last + 1 > h.capacity ? 1 : h.last + 1;
    // Slot first, header after: a failure in between leaves a header that does not count it.
    if (fseek(f.get(), slot_offset(slot), SEEK_SET) != 0 ||
        fwrite(slot_img, 1, sizeof slot_img, f.get()) != sizeof slot_img || fflush(f.get()) != 0) {
        jx_log("Msg could not be written to channel file [%s]", name);
        return;
    }
    uint8_t hb[8];
    jx_uint32_to_b(slot, hb);
    jx_uint32_to_b(h.count + 1 < h.capacity ? h.count + 1 : h.capacity, hb + 4);
    if (fseek(f.get(), 0, SEEK_SET) != 0 || fwrite(hb, 1, sizeof hb, f.get()) != sizeof hb ||
        fflush(f.get()) != 0)
        jx_log("Msg could not be written to channel file [%s]", name);
}

uint8_t jx_fso_update_msg(const char* name, const JXStoredMsg* msg)
{
    if (msg == nullptr || msg->id == 0) {
        jx_log("Message id must be greater the 0");
        return 3;
    }
    ScopedFile f = open_msg_file(name, "rb+");
    if (!f)
        return 1;
    Header h{};
    if (!read_header(f.get(), &h))
        return 4;
    if (h.last == 0)
        return 0;  // nothing stored yet

    // Newest first, so the newer of two copies of an id is the one changed.
    uint8_t slot[JX_MSG_SLOT_SIZE];
    uint32_t s = h.last;
    do {
        if (!read_slot(f.get(), s, slot))
            return 2;
        if (static_cast<uint64_t>(jx_b_to_uint32(slot + JX_MSG_OFF_ID)) == msg->id) {
            if (fseek(f.get(), slot_offset(s) + static_cast<long>(JX_MSG_OFF_TYPE), SEEK_SET) == 0)
                fputc(msg->type, f.get());
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
    ScopedFile f = open_msg_file(name, "rb");
    if (!f)
        return 1;
    Header h{};
    if (!read_header(f.get(), &h))
        return 4;
    if (pos > h.capacity)
        return 5;
    uint8_t slot[JX_MSG_SLOT_SIZE];
    if (!read_slot(f.get(), pos, slot))
        return 2;
    jx_fso_unserialize(slot, sizeof slot, dst);
    return 0;
}

uint8_t jx_fso_read_file_header(uint64_t hdr[3], const char* name)
{
    if (hdr == nullptr)
        return 1;
    ScopedFile f = open_msg_file(name, "rb");
    if (!f)
        return 1;
    Header h{};
    if (!read_header(f.get(), &h))
        return 2;
    hdr[0] = h.last;
    hdr[1] = h.count;
    hdr[2] = h.capacity;
    return 0;
}
