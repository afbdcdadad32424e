// data_protocol: the payloads of the file-transfer packets (offer, offer answer, segment request,
// skipped-chunk request, chunk, batch done, fin), each written and read here and nowhere else.
// Every payload starts with the 8-byte transfer id, copied as is; all other numbers are big-endian.
// The readers check that a payload holds every field it claims; what the fields mean for a
// transfer is the engine's business. May call: protocol (byte order helpers).
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/protocol.hpp"

inline constexpr size_t JX_TRANSFER_ID_LEN = 8;
inline constexpr size_t JX_DIGEST_LEN = 32;
inline constexpr size_t JX_BITMAP_LEN = 64;       // 512 bits, one per chunk of a segment
inline constexpr uint32_t JX_MAX_CHUNKS = 512;    // chunks in one segment
inline constexpr size_t JX_FILE_NAME_MAX = 1023;  // longest name an offer may carry

// Payload sizes: the offer is its fixed part plus the name; a chunk is its header plus the data.
inline constexpr size_t JX_META_FIXED_LEN = 54;
inline constexpr size_t JX_META_ACK_LEN = 10;
inline constexpr size_t JX_SEGMENT_LEN = 22;
inline constexpr size_t JX_SKIPPED_LEN = 80;
inline constexpr size_t JX_CHUNK_HDR_LEN = 24;
inline constexpr size_t JX_BATCH_DONE_LEN = 16;
inline constexpr size_t JX_FIN_LEN = 8;
static_assert(JX_BITMAP_LEN * 8 == JX_MAX_CHUNKS);

// Field offsets inside the payloads. The id is at 0 in all of them; the segment follows it in the
// segment and skipped-chunk requests, the chunk and the batch done.
inline constexpr size_t JX_DATA_OFF_SEGMENT = JX_TRANSFER_ID_LEN;
inline constexpr size_t JX_META_OFF_DIGEST = JX_TRANSFER_ID_LEN;
inline constexpr size_t JX_META_OFF_SIZE = 40;
inline constexpr size_t JX_META_OFF_CHUNK_SIZE = 48;
inline constexpr size_t JX_META_OFF_DATA_PORT = 50;
inline constexpr size_t JX_META_OFF_NAME_LEN = 52;
inline constexpr size_t JX_META_ACK_OFF_DATA_PORT = JX_TRANSFER_ID_LEN;
inline constexpr size_t JX_SEGMENT_OFF_CHUNK_SIZE = 16;
inline constexpr size_t JX_SEGMENT_OFF_CHUNK_COUNT = 18;
inline constexpr size_t JX_SKIPPED_OFF_BITMAP = 16;
inline constexpr size_t JX_CHUNK_OFF_INDEX = 16;
static_assert(JX_META_OFF_DIGEST + JX_DIGEST_LEN == JX_META_OFF_SIZE);
static_assert(JX_META_OFF_NAME_LEN + 2 == JX_META_FIXED_LEN, "the name follows its length");
static_assert(JX_META_ACK_OFF_DATA_PORT + 2 == JX_META_ACK_LEN);
static_assert(JX_SEGMENT_OFF_CHUNK_COUNT + 4 == JX_SEGMENT_LEN);
static_assert(JX_SKIPPED_OFF_BITMAP + JX_BITMAP_LEN == JX_SKIPPED_LEN);
static_assert(JX_CHUNK_OFF_INDEX + 8 == JX_CHUNK_HDR_LEN, "the data follows the index");
static_assert(JX_DATA_OFF_SEGMENT + 8 == JX_BATCH_DONE_LEN);

// A chunk datagram must fit in 1470 bytes, which bounds the chunk size a segment may ask for.
inline constexpr uint16_t JX_CHUNK_SIZE_MAX = 1370;
static_assert(JX_HEADER_LEN + JX_CHUNK_HDR_LEN + JX_CHUNK_SIZE_MAX <= JX_DATAGRAM_MAX);

// The fields of an offer.
struct JXOffer {
    uint8_t id[JX_TRANSFER_ID_LEN];
    uint8_t digest[JX_DIGEST_LEN];
    uint64_t size;
    uint16_t chunk_size;
    uint16_t data_port;
    uint16_t name_len;
    char name[JX_FILE_NAME_MAX + 1];  // name_len bytes and a NUL
};

// The fields of a segment request.
struct JXSegmentReq {
    uint8_t id[JX_TRANSFER_ID_LEN];
    uint64_t segment;
    uint16_t chunk_size;
    uint32_t chunk_count;
};

// A chunk as read: data points into the payload it was read from.
struct JXChunk {
    uint8_t id[JX_TRANSFER_ID_LEN];
    uint64_t segment;
    uint64_t index;
    const uint8_t* data;
    size_t data_len;
};

// Writers clear `size` bytes of buf first and return the payload length, or 0 when it does not fit.
size_t jx_data_serialize_meta(uint8_t* buf, size_t size, const JXOffer* offer);
size_t jx_data_serialize_meta_ack(uint8_t* buf, size_t size, const uint8_t* id, uint16_t data_port);
size_t jx_data_serialize_segment(uint8_t* buf, size_t size, const JXSegmentReq* req);
size_t jx_data_serialize_skipped(uint8_t* buf, size_t size, const uint8_t* id, uint64_t segment,
                                 const uint8_t* bitmap);
// The 24 bytes in front of a chunk's data; the data follows at buf + JX_CHUNK_HDR_LEN.
size_t jx_data_serialize_chunk_hdr(uint8_t* buf, size_t size, const uint8_t* id, uint64_t segment,
                                   uint64_t index);
size_t jx_data_serialize_batch_done(uint8_t* buf, size_t size, const uint8_t* id, uint64_t segment);
size_t jx_data_serialize_fin(uint8_t* buf, size_t size, const uint8_t* id);

// Readers: 0 when the payload of `len` bytes holds every field, else 1 (out is then undefined).
// An offer is also refused when its name runs past the payload, is 1024 bytes or longer, or its
// chunk size is 0.
uint8_t jx_data_unserialize_meta(const uint8_t* p, size_t len, JXOffer* out);
uint8_t jx_data_unserialize_meta_ack(const uint8_t* p, size_t len, uint8_t* id, uint16_t* data_port);
uint8_t jx_data_unserialize_segment(const uint8_t* p, size_t len, JXSegmentReq* out);
uint8_t jx_data_unserialize_skipped(const uint8_t* p, size_t len, uint8_t* id, uint64_t* segment,
                                    uint8_t* bitmap);
uint8_t jx_data_unserialize_chunk(const uint8_t* p, size_t len, JXChunk* out);
uint8_t jx_data_unserialize_batch_done(const uint8_t* p, size_t len, uint8_t* id, uint64_t* segment);
