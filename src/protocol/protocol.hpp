// protocol: the datagram format shared by every socket of the program: the two ports, the 30-byte
// header, the decoded packet record, the packet type numbers, and the encoder/decoder.
// May call: foundation (log). Knows nothing of the engine's records.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint16_t JX_PORT = 8855;       // presence and texts
inline constexpr uint16_t JX_DATA_PORT = 8856;  // file transfer
// Size of the data socket's receive buffer: a pass's burst of chunks from several uploads must
// never be dropped by our own receive path.
inline constexpr int JX_DATA_RCVBUF = 4 * 1024 * 1024;
inline constexpr uint16_t JX_PROGRAM_ID = 0x0155;
inline constexpr uint16_t JX_PROTOCOL_VERSION = 1;
inline constexpr size_t JX_HEADER_LEN = 30;
inline constexpr size_t JX_PAYLOAD_MAX = 1440;
inline constexpr size_t JX_DATAGRAM_MAX = 1470;
inline constexpr size_t JX_HDR_UNAME_LEN = 15;
static_assert(JX_HEADER_LEN + JX_PAYLOAD_MAX == JX_DATAGRAM_MAX, "a datagram is header plus payload");

// Header field offsets.
inline constexpr size_t JX_OFF_PROGRAM = 0;
inline constexpr size_t JX_OFF_VERSION = 2;
inline constexpr size_t JX_OFF_TYPE = 4;
inline constexpr size_t JX_OFF_NET_ID = 5;
inline constexpr size_t JX_OFF_MSG_ID = 9;
inline constexpr size_t JX_OFF_UNAME = 13;
inline constexpr size_t JX_OFF_PAYLOAD_LEN = 28;
static_assert(JX_OFF_UNAME + JX_HDR_UNAME_LEN == JX_OFF_PAYLOAD_LEN, "user name fills 13..27");
static_assert(JX_OFF_PAYLOAD_LEN + 2 == JX_HEADER_LEN, "payload starts right after its length");

enum : uint8_t {
    PKT_TXT_GROUP = 1,
    PKT_TXT_DIRECT = 2,
    PKT_BEACON = 3,
    PKT_LEAVE = 4,
    PKT_TXT_GROUP_ACK = 5,
    PKT_TXT_DIRECT_ACK = 6,
    PKT_QUERY = 7,
    PKT_FILE_META = 8,
    PKT_GET_SEGMENT = 9,
    PKT_GET_SKIPPED = 10,
    PKT_CHUNK = 11,
    PKT_BATCH_DONE = 12,
    PKT_META_ACK = 13,
    PKT_FILE_FIN_OK = 14,
    PKT_FILE_FIN_FAILED = 15,
    PKT_FILE_FIN_OTHER = 16,
    PKT_PUNCH = 18,  // 17 is unused
};

// Beacon payload: u32 uptime (big-endian seconds) then the 32-character instance id, no NUL.
inline constexpr size_t JX_BEACON_LEN = 36;
inline constexpr size_t JX_INSTANCE_ID_LEN = 32;
inline constexpr size_t JX_BEACON_OFF_INSTANCE = 4;
static_assert(JX_BEACON_OFF_INSTANCE + JX_INSTANCE_ID_LEN == JX_BEACON_LEN);

// One decoded datagram; lives while the datagram is processed.
struct JXPacket {
    uint8_t type;
    uint16_t program_id;
    uint16_t version;
    uint16_t payload_len;              // 0..1440
    uint16_t src_port;                 // network order, from the receive address
    uint64_t msg_id;                   // the header's 32-bit id
    uint32_t src_addr;                 // network order, from the receive address
    uint32_t net_id;                   // network order; 0 for direct-IP traffic
    char username[16];                 // the header's 15 bytes and a NUL
    uint8_t payload[JX_DATAGRAM_MAX];  // payload_len bytes, the rest zero
};

// Decoder results.
enum : uint8_t {
    JX_UNSER_OK = 0,
    JX_UNSER_BAD_PROGRAM = 1,
    JX_UNSER_BAD_VERSION = 2,
    JX_UNSER_TOO_LONG = 3,
};

// Big-endian field access used by every payload codec of the protocol.
inline void jx_put_be16(uint8_t* b, uint16_t v)
{
    b[0] = static_cast<uint8_t>(v >> 8);
    b[1] = static_cast<uint8_t>(v);
}
inline void jx_put_be32(uint8_t* b, uint32_t v)
{
    b[0] = static_cast<uint8_t>(v >> 24);
    b[1] = static_cast<uint8_t>(v >> 16);
    b[2] = static_cast<uint8_t>(v >> 8);
    b[3] = static_cast<uint8_t>(v);
}
inline void jx_put_be64(uint8_t* b, uint64_t v)
{
    jx_put_be32(b, static_cast<uint32_t>(v >> 32));
    jx_put_be32(b + 4, static_cast<uint32_t>(v));
}
inline uint16_t jx_get_be16(const uint8_t* b)
{
    return static_cast<uint16_t>((b[0] << 8) | b[1]);
}
inline uint32_t jx_get_be32(const uint8_t* b)
{
    return (static_cast<uint32_t>(b[0]) << 24) | (static_cast<uint32_t>(b[1]) << 16) |
           (static_cast<uint32_t>(b[2]) << 8) | static_cast<uint32_t>(b[3]);
}
inline uint64_t jx_get_be64(const uint8_t* b)
{
    return (static_cast<uint64_t>(jx_get_be32(b)) << 32) | jx_get_be32(b + 4);
}

// Zero-fills `buf_size` bytes of `buf`, writes the header and the payload. `net_id` is an address
// in network order; it goes on the wire octet-reversed (224.0.0.1 -> 01 00 00 E0). At most
// `buf_size` bytes are written: a payload that does not fit is cut (the length field still says
// the full length, which the caller sees from the result being larger than `buf_size`).
// Returns 30 + payload_len.
uint32_t jx_serialize(uint8_t* buf, size_t buf_size, uint8_t type, uint32_t net_id, uint32_t msg_id,
                      const char* username, const uint8_t* payload, uint16_t payload_len);

// Decodes a received datagram of `dgram_len` bytes. Bytes beyond `dgram_len` read as zero, as in
// the zero-filled receive buffer, so a datagram shorter than its declared payload yields zeros for
// the missing part and nothing is ever read past the given length. `src_addr` and `src_port` are in
// network order. Returns a JX_UNSER_* code; on any refusal the packet record is all zero.
[[nodiscard]] uint8_t jx_unserialize(const uint8_t* dgram, size_t dgram_len, uint32_t src_addr,
                                     uint16_t src_port, JXPacket* pkt);

// Writes a 36-byte beacon payload.
void jx_beacon_put(uint8_t* payload, uint32_t uptime, const char* instance_id);
inline uint32_t jx_beacon_uptime(const uint8_t* payload)
{
    return jx_get_be32(payload);
}
// True when the beacon carries this instance id: our own beacon came back.
bool jx_beacon_is_from(const uint8_t* payload, const char* instance_id);

// Message id read back from an encoded datagram (header bytes 9..12).
inline uint32_t jx_dgram_msg_id(const uint8_t* dgram)
{
    return jx_get_be32(dgram + JX_OFF_MSG_ID);
}
