// The transfer suites' scaffolding, on a frozen clock: bob at 127.0.0.2 on an online group with a
// direct channel to him, datagrams from him injected as the receive step would hand them over, and
// the payloads his side writes. His presence port is our own receiving socket and his data port
// our own data socket, so both show what we send him.
#pragma once

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine/uploads.hpp"
#include "engine_fixture.hpp"
#include "foundation/sha256.hpp"
#include "protocol/data_protocol.hpp"

namespace jxtest {

inline constexpr uint8_t kId[8] = {1, 2, 3, 4, 5, 6, 7, 8};

inline std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = static_cast<char>(i * 7 + i / 251);
    return s;
}

inline std::string bytes(const uint8_t* p, size_t n)
{
    return {reinterpret_cast<const char*>(p), n};
}

// Payloads of segment requests, chunks and batch-done as the peer's side writes them.
inline std::string seg_req(const uint8_t* id, uint64_t seg, uint16_t size, uint32_t count)
{
    const JXSegmentReq r{{id[0], id[1], id[2], id[3], id[4], id[5], id[6], id[7]}, seg, size, count};
    uint8_t b[JX_SEGMENT_LEN];
    return bytes(b, jx_data_serialize_segment(b, sizeof b, &r));
}

inline std::string chunk(const uint8_t* id, uint64_t seg, uint64_t index, const std::string& data)
{
    uint8_t b[JX_CHUNK_HDR_LEN];
    jx_data_serialize_chunk_hdr(b, sizeof b, id, seg, index);
    return bytes(b, sizeof b) + data;
}

inline std::string batch_done(const uint8_t* id, uint64_t seg)
{
    uint8_t b[JX_BATCH_DONE_LEN];
    return bytes(b, jx_data_serialize_batch_done(b, sizeof b, id, seg));
}

class Transfers : public EngineFixture {
  protected:
    JXNetwork* net = nullptr;
    JXChannel* dm = nullptr;
    uint32_t next_id = 500;

    void SetUp() override
    {
        EngineFixture::SetUp();
        net = online_group(1);
        ASSERT_EQ(jx_add_channel(net->addr, ip(kPeer1), &dm), 0);
        settle();
    }
    // A datagram from bob on the group, by default from his data port.
    void from_bob(uint8_t type, const std::string& payload, uint16_t port = 8856)
    {
        feed(make_dgram(type, ip(kGroup), next_id++, "bob", payload), kPeer1, port);
    }
    std::string write_file(const std::string& name, const std::string& content) const
    {
        std::ofstream(root / name, std::ios::binary) << content;
        return (root / name).string();
    }
    JXTransfer* upload() { return static_cast<JXTransfer*>(jx_list_data(jx_list_head(&net->uploads))); }
    // The state of the newest finished upload; 0xff when there is none.
    uint8_t first_fin_ul()
    {
        jx_list_elmt* head = jx_list_head(&net->fin_uploads);
        return head != nullptr ? static_cast<JXTransferFin*>(jx_list_data(head))->state : 0xff;
    }
    // Bob accepts an upload, to be sent to his data port `port`.
    void accept(const JXTransfer* u, uint16_t port)
    {
        uint8_t b[JX_META_ACK_LEN];
        from_bob(PKT_META_ACK, bytes(b, jx_data_serialize_meta_ack(b, sizeof b, u->id, port)), 8855);
    }
    // Bob (or a host at `from`) offers `name` of `content`.
    void offer(const std::string& name, const std::string& content, uint16_t chunk = 1370,
               const uint8_t* id = kId, const char* from = kPeer1)
    {
        JXOffer o{};
        std::memcpy(o.id, id, 8);
        sha256_buffer(content.data(), content.size(), o.digest);
        o.size = content.size(), o.chunk_size = chunk, o.data_port = 8856;
        std::snprintf(o.name, sizeof o.name, "%s", name.c_str());
        uint8_t b[JX_PAYLOAD_MAX];
        feed(make_dgram(PKT_FILE_META, ip(kGroup), next_id++, "bob", bytes(b, jx_data_serialize_meta(b, sizeof b, &o))),
             from, 8855);
    }
};

}  // namespace jxtest
