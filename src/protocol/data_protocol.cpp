#include "protocol/data_protocol.hpp"

#include <cstring>

namespace {

size_t start(uint8_t* buf, size_t size, size_t need, const uint8_t* id)
{
    if (buf == nullptr)
        return 0;
    std::memset(buf, 0, size);
    if (size < need)
        return 0;
    std::memcpy(buf, id, JX_TRANSFER_ID_LEN);
    return need;
}

}  // namespace

size_t jx_data_serialize_meta(uint8_t* buf, size_t size, const JXOffer* offer)
{
    const size_t name_len = strnlen(offer->name, JX_FILE_NAME_MAX + 1);
    if (name_len > JX_FILE_NAME_MAX)
        return 0;
    const size_t len = start(buf, size, JX_META_FIXED_LEN + name_len, offer->id);
    if (len == 0)
        return 0;
    std::memcpy(buf + JX_META_OFF_DIGEST, offer->digest, JX_DIGEST_LEN);
    jx_put_be64(buf + JX_META_OFF_SIZE, offer->size);
    jx_put_be16(buf + JX_META_OFF_CHUNK_SIZE, offer->chunk_size);
    jx_put_be16(buf + JX_META_OFF_DATA_PORT, offer->data_port);
    jx_put_be16(buf + JX_META_OFF_NAME_LEN, static_cast<uint16_t>(name_len));
    std::memcpy(buf + JX_META_FIXED_LEN, offer->name, name_len);
    return len;
}

size_t jx_data_serialize_meta_ack(uint8_t* buf, size_t size, const uint8_t* id, uint16_t data_port)
{
    const size_t len = start(buf, size, JX_META_ACK_LEN, id);
    if (len != 0)
        jx_put_be16(buf + JX_META_ACK_OFF_DATA_PORT, data_port);
    return len;
}

size_t jx_data_serialize_segment(uint8_t* buf, size_t size, const JXSegmentReq* req)
{
    const size_t len = start(buf, size, JX_SEGMENT_LEN, req->id);
    if (len != 0) {
        jx_put_be64(buf + JX_DATA_OFF_SEGMENT, req->segment);
        jx_put_be16(buf + JX_SEGMENT_OFF_CHUNK_SIZE, req->chunk_size);
        jx_put_be32(buf + JX_SEGMENT_OFF_CHUNK_COUNT, req->chunk_count);
    }
    return len;
}

size_t jx_data_serialize_skipped(uint8_t* buf, size_t size, const uint8_t* id, uint64_t segment,
                                 const uint8_t* bitmap)
{
    const size_t len = start(buf, size, JX_SKIPPED_LEN, id);
    if (len != 0) {
        jx_put_be64(buf + JX_DATA_OFF_SEGMENT, segment);
        std::memcpy(buf + JX_SKIPPED_OFF_BITMAP, bitmap, JX_BITMAP_LEN);
    }
    return len;
}

size_t jx_data_serialize_chunk_hdr(uint8_t* buf, size_t size, const uint8_t* id, uint64_t segment,
                                   uint64_t index)
{
    const size_t len = start(buf, size, JX_CHUNK_HDR_LEN, id);
    if (len != 0) {
        jx_put_be64(buf + JX_DATA_OFF_SEGMENT, segment);
        jx_put_be64(buf + JX_CHUNK_OFF_INDEX, index);
    }
    return len;
}

size_t jx_data_serialize_batch_done(uint8_t* buf, size_t size, const uint8_t* id, uint64_t segment)
{
    const size_t len = start(buf, size, JX_BATCH_DONE_LEN, id);
    if (len != 0)
        jx_put_be64(buf + JX_DATA_OFF_SEGMENT, segment);
    return len;
}

size_t jx_data_serialize_fin(uint8_t* buf, size_t size, const uint8_t* id)
{
    return start(buf, size, JX_FIN_LEN, id);
}

uint8_t jx_data_unserialize_meta(const uint8_t* p, size_t len, JXOffer* out)
{
    if (len < JX_META_FIXED_LEN)
        return 1;
    const uint16_t name_len = jx_get_be16(p + JX_META_OFF_NAME_LEN);
    const uint16_t chunk_size = jx_get_be16(p + JX_META_OFF_CHUNK_SIZE);
    if (name_len > JX_FILE_NAME_MAX || JX_META_FIXED_LEN + name_len > len || chunk_size == 0)
        return 1;
    std::memset(out, 0, sizeof *out);
    std::memcpy(out->id, p, JX_TRANSFER_ID_LEN);
    std::memcpy(out->digest, p + JX_META_OFF_DIGEST, JX_DIGEST_LEN);
    out->size = jx_get_be64(p + JX_META_OFF_SIZE);
    out->chunk_size = chunk_size;
    out->data_port = jx_get_be16(p + JX_META_OFF_DATA_PORT);
    out->name_len = name_len;
    std::memcpy(out->name, p + JX_META_FIXED_LEN, name_len);
    return 0;
}

uint8_t jx_data_unserialize_meta_ack(const uint8_t* p, size_t len, uint8_t* id, uint16_t* data_port)
{
    if (len < JX_META_ACK_LEN)
        return 1;
    std::memcpy(id, p, JX_TRANSFER_ID_LEN);
    *data_port = jx_get_be16(p + JX_META_ACK_OFF_DATA_PORT);
    return 0;
}

uint8_t jx_data_unserialize_segment(const uint8_t* p, size_t len, JXSegmentReq* out)
{
    if (len < JX_SEGMENT_LEN)
        return 1;
    std::memcpy(out->id, p, JX_TRANSFER_ID_LEN);
    out->segment = jx_get_be64(p + JX_DATA_OFF_SEGMENT);
    out->chunk_size = jx_get_be16(p + JX_SEGMENT_OFF_CHUNK_SIZE);
    out->chunk_count = jx_get_be32(p + JX_SEGMENT_OFF_CHUNK_COUNT);
    return 0;
}

uint8_t jx_data_unserialize_skipped(const uint8_t* p, size_t len, uint8_t* id, uint64_t* segment,
                                    uint8_t* bitmap)
{
    if (len < JX_SKIPPED_LEN)
        return 1;
    std::memcpy(id, p, JX_TRANSFER_ID_LEN);
    *segment = jx_get_be64(p + JX_DATA_OFF_SEGMENT);
    std::memcpy(bitmap, p + JX_SKIPPED_OFF_BITMAP, JX_BITMAP_LEN);
    return 0;
}

uint8_t jx_data_unserialize_chunk(const uint8_t* p, size_t len, JXChunk* out)
{
    if (len < JX_CHUNK_HDR_LEN)
        return 1;
    std::memcpy(out->id, p, JX_TRANSFER_ID_LEN);
    out->segment = jx_get_be64(p + JX_DATA_OFF_SEGMENT);
    out->index = jx_get_be64(p + JX_CHUNK_OFF_INDEX);
    out->data = p + JX_CHUNK_HDR_LEN;
    out->data_len = len - JX_CHUNK_HDR_LEN;
    return 0;
}

uint8_t jx_data_unserialize_batch_done(const uint8_t* p, size_t len, uint8_t* id, uint64_t* segment)
{
    if (len < JX_BATCH_DONE_LEN)
        return 1;
    std::memcpy(id, p, JX_TRANSFER_ID_LEN);
    *segment = jx_get_be64(p + JX_DATA_OFF_SEGMENT);
    return 0;
}
