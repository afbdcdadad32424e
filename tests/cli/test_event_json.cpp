// watch's lines: one JSON object per event, the fields of each payload record, byte for byte;
// hostile text stays one valid line.
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/event_json.hpp"
#include "engine/records.hpp"

namespace {

std::string json_of(uint8_t kind, void* payload)
{
    const JXEvent ev{kind, payload};
    std::string out = cli_event_json(&ev, 100);
    std::free(payload);
    return out;
}

file_ev* file(const char* name, uint8_t result)
{
    file_ev* e =
        jx_build_file_ev(name, std::strlen(name), CH_DM, inet_addr("10.0.0.2"), inet_addr("10.0.0.2"));
    for (uint8_t i = 0; i < 8; i++)
        e->id[i] = static_cast<uint8_t>(i + 1);
    std::memset(e->digest, 0xab, sizeof e->digest);
    e->size = 4096;
    e->result = result;
    return e;
}

std::string hex_ab()
{
    std::string s;
    for (int i = 0; i < 32; i++)
        s += "ab";
    return s;
}

}  // namespace

TEST(EventJson, EachPayloadRecordGivesItsFields)
{
    const uint32_t g = inet_addr("239.0.0.1"), bob = inet_addr("10.0.0.2");
    const std::string head = R"({"event":)";
    const std::pair<std::string, std::string> cases[] = {
        {json_of(EV_PEER_RENAMED, jx_build_user_ev(g, bob, "bob", "robert")),
         R"("EV_PEER_RENAMED","kind":4,"time":100,"network":"239.0.0.1","peer":"10.0.0.2","name":"bob","old_name":"robert"})"},
        {json_of(EV_PEER_JOINED, jx_build_user_ev(g, bob, "bob", "")),
         R"("EV_PEER_JOINED","kind":1,"time":100,"network":"239.0.0.1","peer":"10.0.0.2","name":"bob"})"},
        {json_of(EV_NET_REFRESH, jx_build_net_ev(g)),
         R"("EV_NET_REFRESH","kind":6,"time":100,"network":"239.0.0.1"})"},
        {json_of(EV_CHANNEL_ADDED, jx_build_ch_ev(g, bob)),
         R"("EV_CHANNEL_ADDED","kind":9,"time":100,"network":"239.0.0.1","peer":"10.0.0.2"})"},
        // Control characters are escaped and bytes that are no UTF-8 become U+FFFD: valid JSON.
        {json_of(EV_TXT_RECEIVED, jx_build_msg_ev("hi\x1b[2J\xff", 7, CH_MAIN, 77, g, bob, 5, "bob")),
         R"("EV_TXT_RECEIVED","kind":7,"time":100,"network":"239.0.0.1","peer":"10.0.0.2","name":"bob",)"
         R"("channel":"main","id":77,"text":"hi\u001b[2J)"
         "\xef\xbf\xbd"
         R"("})"},
        {json_of(EV_TXT_DELIVERED, jx_build_msg_ev(nullptr, 0, CH_NET_DM, 78, g, bob, 0, "")),
         R"("EV_TXT_DELIVERED","kind":10,"time":100,"network":"239.0.0.1","peer":"10.0.0.2","name":"",)"
         R"("channel":"direct","id":78})"},
        {json_of(EV_DL_COMPLETE, file("a.pdf", FIN_HASH_OK)),
         R"("EV_DL_COMPLETE","kind":13,"time":100,"network":"10.0.0.2","peer":"10.0.0.2","name":"","channel":"private",)"
         R"("file":"a.pdf","size":4096,"sha256":")" +
             hex_ab() + R"(","id":"0102030405060708","state":"completed"})"},
        {json_of(EV_DL_FAILED, file("a.pdf", FIN_HASH_BAD)), "digest mismatch"},
        {json_of(EV_UL_FAILED, file("a.pdf", FIN_FAILED)), R"(state":"failed"})"},
        {json_of(EV_UL_DECLINED, file("a.pdf", FIN_NONE)), R"(state":"declined"})"},
        {json_of(EV_DL_OFFERED, file("a.pdf", FIN_NONE)), R"(state":"offered"})"},
        {json_of(EV_HASH_READY,
                 jx_build_hash_ev(reinterpret_cast<const uint8_t*>("\1\2\3\4\5\6\7\10"), nullptr)),
         R"("EV_HASH_READY","kind":20,"time":100,"id":"0102030405060708","sha256":")" + std::string(64, '0') +
             R"("})"},
        {json_of(99, std::malloc(1)), R"("","kind":99,"time":100})"},
    };
    for (const auto& [got, want] : cases) {
        if (want.front() == '"')  // a whole object; the others are the end of one
            EXPECT_EQ(got, head + want);
        else
            EXPECT_NE(got.find(want), std::string::npos) << got;
    }
}

TEST(EventJson, TheTextLineIsOneLineWithControlsReplaced)
{
    setenv("TZ", "UTC", 1);
    msg_ev* m = jx_build_msg_ev("two\nlines\x1b[31m", 14, CH_DM, 5, inet_addr("10.0.0.2"),
                                inet_addr("10.0.0.2"), 0, "ev\x07il");
    const JXEvent ev{EV_TXT_RECEIVED, m};
    EXPECT_EQ(cli_event_text(&ev, 3661),
              "01:01:01 EV_TXT_RECEIVED network=10.0.0.2 peer=10.0.0.2 name=ev?il channel=private id=5 "
              "text=two?lines?[31m");
    std::free(m);
}
