#include "protocol/protocol.hpp"

#include <cstring>

#include "foundation/log.hpp"

static_assert(sizeof(JXPacket::payload) == JX_DATAGRAM_MAX);
static_assert(sizeof(JXPacket::username) == JX_HDR_UNAME_LEN + 1);

namespace {

// Network id on the wire: the address's four octets in reverse order. The address is held in
// network order (first octet in the lowest byte), so the wire bytes are its octets 3, 2, 1, 0.
void put_net_id(uint8_t* b, uint32_t net_addr)
{
    const auto* o = reinterpret_cast<const uint8_t*>(&net_addr);
    b[0] = o[3];
    b[1] = o[2];
    b[2] = o[1];
    b[3] = o[0];
}

uint32_t get_net_id(const uint8_t* b)
{
    uint32_t addr = 0;
    auto* o = reinterpret_cast<uint8_t*>(&addr);
    o[0] = b[3];
    o[1] = b[2];
    o[2] = b[1];
    o[3] = b[0];
    return addr;
}

}  // namespace

uint32_t jx_serialize(uint8_t* buf, size_t buf_size, uint8_t type, uint32_t net_id, uint32_t msg_id,
                      const char* username, const uint8_t* payload, uint16_t payload_len)
{
    const uint32_t total = static_cast<uint32_t>(JX_HEADER_LEN) + payload_len;
    if (buf == nullptr)
        return total;
    std::memset(buf, 0, buf_size);
    if (buf_size < JX_HEADER_LEN)
        return total;

    jx_put_be16(buf + JX_OFF_PROGRAM, JX_PROGRAM_ID);
    jx_put_be16(buf + JX_OFF_VERSION, JX_PROTOCOL_VERSION);
    buf[JX_OFF_TYPE] = type;
    put_net_id(buf + JX_OFF_NET_ID, net_id);
    jx_put_be32(buf + JX_OFF_MSG_ID, msg_id);
    if (username != nullptr) {
        // strncpy semantics: a 15-character name fills the field with no NUL.
        for (size_t i = 0; i < JX_HDR_UNAME_LEN && username[i] != '\0'; i++)
            buf[JX_OFF_UNAME + i] = static_cast<uint8_t>(username[i]);
    }
    if (payload_len != 0 && payload != nullptr) {
        jx_put_be16(buf + JX_OFF_PAYLOAD_LEN, payload_len);
        const size_t room = buf_size - JX_HEADER_LEN;
        std::memcpy(buf + JX_HEADER_LEN, payload, payload_len < room ? payload_len : room);
    }
    return total;
}

uint8_t jx_unserialize(const uint8_t* dgram, size_t dgram_len, uint32_t src_addr, uint16_t src_port,
                       JXPacket* pkt)
{
    std::memset(pkt, 0, sizeof(*pkt));
    // Work on a zero-padded copy of the header so that a short datagram reads zeros, never past
    // what was received.
    uint8_t hdr[JX_HEADER_LEN] = {};
    if (dgram != nullptr)
        std::memcpy(hdr, dgram, dgram_len < JX_HEADER_LEN ? dgram_len : JX_HEADER_LEN);

    const uint16_t program = jx_get_be16(hdr + JX_OFF_PROGRAM);
    if (program != JX_PROGRAM_ID) {
        jx_log("Program Id not recognized [%d]. Droping packet...", program);
        return JX_UNSER_BAD_PROGRAM;
    }
    const uint16_t version = jx_get_be16(hdr + JX_OFF_VERSION);
    if (version == 0) {
        jx_log("Protocol version not supported [%d]. Droping packet...", version);
        return JX_UNSER_BAD_VERSION;
    }
    const uint16_t payload_len = jx_get_be16(hdr + JX_OFF_PAYLOAD_LEN);
    if (payload_len > JX_PAYLOAD_MAX) {
        jx_log("Data length exceeded: %d", payload_len + static_cast<int>(JX_HEADER_LEN));
        return JX_UNSER_TOO_LONG;
    }

    pkt->program_id = program;
    pkt->version = version;
    pkt->type = hdr[JX_OFF_TYPE];
    pkt->net_id = get_net_id(hdr + JX_OFF_NET_ID);
    pkt->msg_id = jx_get_be32(hdr + JX_OFF_MSG_ID);
    std::memcpy(pkt->username, hdr + JX_OFF_UNAME, JX_HDR_UNAME_LEN);
    pkt->username[JX_HDR_UNAME_LEN] = '\0';
    pkt->payload_len = payload_len;
    if (dgram_len > JX_HEADER_LEN) {
        const size_t avail = dgram_len - JX_HEADER_LEN;
        std::memcpy(pkt->payload, dgram + JX_HEADER_LEN, payload_len < avail ? payload_len : avail);
    }
    pkt->src_addr = src_addr;
    pkt->src_port = src_port;
    return JX_UNSER_OK;
}

void jx_beacon_put(uint8_t* payload, uint32_t uptime, const char* instance_id)
{
    jx_put_be32(payload, uptime);
    std::memcpy(payload + JX_BEACON_OFF_INSTANCE, instance_id, JX_INSTANCE_ID_LEN);
}

bool jx_beacon_is_from(const uint8_t* payload, const char* instance_id)
{
    return std::memcmp(payload + JX_BEACON_OFF_INSTANCE, instance_id, JX_INSTANCE_ID_LEN) == 0;
}
