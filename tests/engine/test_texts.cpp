// Sending texts and tracking their delivery: the datagram on the wire, the addressees per channel
// type, acknowledgements, the 3-second resend pass and the three verdicts, on a frozen clock.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/comm.hpp"
#include "engine/events.hpp"
#include "engine/texts.hpp"
#include "engine/utils.hpp"
#include "presence_helpers.hpp"

using namespace jxtest;

namespace {

using SendText = EngineFixture;

// The group online with three peers that were there before us.
JXNetwork* group_with_three_peers()
{
    JXNetwork* n = online_group();
    add_old_peer(ip(kGroup), kPeer1, "bob", 'a');
    add_old_peer(ip(kGroup), kPeer2, "carol", 'b');
    add_old_peer(ip(kGroup), kPeer3, "dave", 'c');
    take_events();
    sent_to_8855(0);
    return n;
}

const JXSentTxt* head_record(const JXChannel* ch)
{
    return jx_list_size(&ch->sent_txts) == 0
               ? nullptr
               : static_cast<const JXSentTxt*>(jx_list_data(jx_list_head(&ch->sent_txts)));
}

void ack_from(uint8_t type, uint32_t net_id, uint32_t msg_id, const char* from, uint16_t port = 8855)
{
    feed(make_dgram(type, net_id, msg_id, "x"), from, port);
}

void expect_verdict(const TakenEvent& e, uint8_t kind, uint8_t ch_type, uint32_t id, uint32_t a, uint32_t b)
{
    ASSERT_EQ(e.kind, kind);
    const auto* m = e.as<msg_ev>();
    EXPECT_EQ(m->ch_type, ch_type);
    EXPECT_EQ(m->msg_id, id);
    EXPECT_EQ(m->addr_a, a);
    EXPECT_EQ(m->addr_b, b);
    EXPECT_EQ(m->time, 0);
    EXPECT_STREQ(m->username, "");
    EXPECT_STREQ(m->text, "");
}

}  // namespace

TEST_F(SendText, MainChannelTextAcknowledgedByTwoOfThreeIsPartlyUndeliveredAfterTheFifthResend)
{
    JXNetwork* n = group_with_three_peers();
    JXChannel* ch = jx_ch_from_network(n, 0);
    // Sent right after a pass, so the next one follows 3 s later.
    jx_clock_advance(3);
    txt_retry(n);
    ASSERT_EQ(n->last_retry, kFrozenNow + 3);

    ASSERT_EQ(jx_snd_txt(ch, "hello all"), JX_TXT_OK);
    auto first = sent_to_8855();
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].to_addr, ip(kGroup));
    ASSERT_EQ(first[0].bytes.size(), 39u);
    EXPECT_EQ(dgram_type(first[0]), PKT_TXT_GROUP);
    EXPECT_EQ(std::string(first[0].bytes.begin() + 30, first[0].bytes.end()), "hello all");
    const uint32_t id = dgram_id(first[0]);
    EXPECT_NE(id, 0u);

    auto evs = take_events();
    ASSERT_EQ(evs.size(), 1u);
    ASSERT_EQ(evs[0].kind, EV_TXT_SENT);
    const auto* m = evs[0].as<msg_ev>();
    EXPECT_EQ(m->ch_type, CH_MAIN);
    EXPECT_EQ(m->msg_id, id);
    EXPECT_EQ(m->addr_a, ip(kGroup));
    EXPECT_EQ(m->addr_b, ip(kGroup));
    EXPECT_EQ(m->time, kFrozenNow + 3);
    EXPECT_STREQ(m->username, comm.username);
    EXPECT_STREQ(m->text, "hello all");

    const JXSentTxt* st = head_record(ch);
    ASSERT_NE(st, nullptr);
    EXPECT_EQ(st->retries, 5);
    EXPECT_EQ(jx_set_size(&st->addressees), 3);

    ack_from(PKT_TXT_GROUP_ACK, ip(kGroup), id, kPeer1);
    ack_from(PKT_TXT_GROUP_ACK, ip(kGroup), id, kPeer2);
    ack_from(PKT_TXT_GROUP_ACK, ip(kGroup), id + 1, kPeer3);  // for another text
    EXPECT_TRUE(take_events().empty());
    EXPECT_EQ(st->acks, 2);
    EXPECT_EQ(jx_set_size(&st->addressees), 1);

    int resends = 0;
    for (int pass = 1; pass <= 5; pass++) {
        SCOPED_TRACE(pass);
        jx_clock_advance(2);
        txt_retry(n);
        EXPECT_TRUE(sent_to_8855(20).empty()) << "no pass within 2 s of the last";
        jx_clock_advance(1);
        txt_retry(n);
        auto again = sent_to_8855();
        ASSERT_EQ(again.size(), 1u);
        EXPECT_EQ(again[0].to_addr, ip(kPeer3)) << "only the silent addressee";
        EXPECT_EQ(again[0].bytes, first[0].bytes) << "a resend is the first datagram byte for byte";
        resends++;
        if (pass < 5) {
            EXPECT_TRUE(take_events().empty());
            EXPECT_EQ(head_record(ch)->retries, 5 - pass);
        }
    }
    EXPECT_EQ(resends, 5);
    evs = take_events();
    ASSERT_EQ(evs.size(), 1u);
    expect_verdict(evs[0], EV_TXT_PARTLY_UNDELIVERED, CH_MAIN, id, ip(kGroup), ip(kGroup));
    EXPECT_EQ(jx_list_size(&ch->sent_txts), 0);

    // The late acknowledgement of the last resend finds nothing.
    ack_from(PKT_TXT_GROUP_ACK, ip(kGroup), id, kPeer3);
    EXPECT_TRUE(take_events().empty());
    jx_clock_advance(3);
    txt_retry(n);
    EXPECT_TRUE(sent_to_8855(20).empty());
}

TEST_F(SendText, AcknowledgedByAllIsDeliveredAtTheLastAcknowledgementAndNotResent)
{
    JXNetwork* n = group_with_three_peers();
    JXChannel* ch = jx_ch_from_network(n, 0);
    ASSERT_EQ(jx_snd_txt(ch, "one"), JX_TXT_OK);
    ASSERT_EQ(jx_snd_txt(ch, "two"), JX_TXT_OK);
    auto out = sent_to_8855();
    ASSERT_EQ(out.size(), 2u);
    const uint32_t id1 = dgram_id(out[0]);
    const uint32_t id2 = dgram_id(out[1]);
    take_events();
    ASSERT_EQ(jx_list_size(&ch->sent_txts), 2);

    ack_from(PKT_TXT_GROUP_ACK, ip(kGroup), id1, kPeer1);
    ack_from(PKT_TXT_GROUP_ACK, ip(kGroup), id1, kPeer1);  // repeated: counted, removes nothing
    ack_from(PKT_TXT_GROUP_ACK, ip(kGroup), id1, kPeer2);
    EXPECT_TRUE(take_events().empty());
    ack_from(PKT_TXT_GROUP_ACK, ip(kGroup), id1, kPeer3);
    auto evs = take_events();
    ASSERT_EQ(evs.size(), 1u);
    expect_verdict(evs[0], EV_TXT_DELIVERED, CH_MAIN, id1, ip(kGroup), ip(kPeer3));
    ASSERT_EQ(jx_list_size(&ch->sent_txts), 1);
    EXPECT_EQ(jx_dgram_msg_id(head_record(ch)->dgram), id2);

    // Only the other text is resent.
    jx_clock_advance(3);
    txt_retry(n);
    out = sent_to_8855();
    ASSERT_EQ(out.size(), 3u);
    for (const auto& l : out)
        EXPECT_EQ(dgram_id(l), id2);
    ack_from(PKT_TXT_GROUP_ACK, ip(kGroup), id1, kPeer3);
    EXPECT_TRUE(take_events().empty());
}

TEST_F(SendText, RefusalsAndTextsWithoutPeers)
{
    JXChannel* ch = nullptr;
    ASSERT_EQ(jx_join_network(kGroup, 0, &ch), 0);
    take_events();
    sent_to_8855(0);

    EXPECT_EQ(jx_snd_txt(ch, "too early"), JX_TXT_OFFLINE);
    EXPECT_TRUE(sent_to_8855(20).empty());
    EXPECT_TRUE(take_events().empty());

    feed_beacon(ip(kGroup), kSelf, comm.username, 0, comm.instance_id);
    take_events();
    EXPECT_EQ(jx_snd_txt(ch, "anyone?"), JX_TXT_OK);
    EXPECT_EQ(event_kinds(take_events()), std::vector<uint8_t>{EV_TXT_SENT});
    EXPECT_EQ(jx_list_size(&ch->sent_txts), 0) << "nobody to wait for";
    EXPECT_EQ(sent_to_8855().size(), 1u);

    const std::string largest(1440, 'L');
    EXPECT_EQ(jx_snd_txt(ch, largest.c_str()), JX_TXT_OK);
    auto out = sent_to_8855();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].bytes.size(), 1470u);
    auto evs = take_events();
    ASSERT_EQ(evs.size(), 1u);
    EXPECT_EQ(std::string(evs[0].as<msg_ev>()->text), largest);

    const std::string too_long(1441, 'L');
    EXPECT_EQ(jx_snd_txt(ch, too_long.c_str()), JX_TXT_NOT_SENT);
    EXPECT_TRUE(log_has("\tUDP payload exceeds config limits!\r\n"));
    EXPECT_EQ(jx_snd_txt(ch, ""), JX_TXT_NOT_SENT);
    EXPECT_EQ(jx_snd_txt(nullptr, "x"), JX_TXT_NO_NETWORK);
    EXPECT_TRUE(sent_to_8855(20).empty());
    EXPECT_TRUE(take_events().empty());

    // A Net DM channel whose peer left, and a channel whose network was left.
    add_old_peer(ip(kGroup), kPeer1, "bob", 'a');
    JXChannel* dm = nullptr;
    ASSERT_EQ(jx_add_channel(ip(kGroup), ip(kPeer1), &dm), 0);
    feed(make_dgram(PKT_LEAVE, ip(kGroup), 50, "bob"), kPeer1);
    take_events();
    EXPECT_EQ(jx_snd_txt(dm, "still there?"), JX_TXT_NO_PEER);
    JXChannel orphan{};
    orphan.net_addr = ip("239.8.8.8");
    EXPECT_EQ(jx_snd_txt(&orphan, "x"), JX_TXT_NO_NETWORK);
    EXPECT_TRUE(sent_to_8855(20).empty());
    EXPECT_TRUE(take_events().empty());
}

TEST_F(SendText, NetDmTextGoesToItsPeerAndIsDeliveredByADirectAcknowledgement)
{
    JXNetwork* n = group_with_three_peers();
    JXChannel* dm = nullptr;
    ASSERT_EQ(jx_add_channel(ip(kGroup), ip(kPeer2), &dm), 0);
    take_events();

    ASSERT_EQ(jx_snd_txt(dm, "just you"), JX_TXT_OK);
    auto out = sent_to_8855();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].to_addr, ip(kPeer2));
    EXPECT_EQ(dgram_type(out[0]), PKT_TXT_DIRECT);
    const uint32_t id = dgram_id(out[0]);
    auto evs = take_events();
    ASSERT_EQ(evs.size(), 1u);
    EXPECT_EQ(evs[0].as<msg_ev>()->ch_type, CH_NET_DM);
    EXPECT_EQ(evs[0].as<msg_ev>()->addr_a, ip(kGroup));
    EXPECT_EQ(evs[0].as<msg_ev>()->addr_b, ip(kPeer2));
    EXPECT_EQ(jx_set_size(&head_record(dm)->addressees), 1);

    // A group acknowledgement is looked for in the main channel, not here.
    ack_from(PKT_TXT_GROUP_ACK, ip(kGroup), id, kPeer2);
    EXPECT_TRUE(take_events().empty());
    ack_from(PKT_TXT_DIRECT_ACK, ip(kGroup), id, kPeer2);
    evs = take_events();
    ASSERT_EQ(evs.size(), 1u);
    expect_verdict(evs[0], EV_TXT_DELIVERED, CH_NET_DM, id, ip(kGroup), ip(kPeer2));
    EXPECT_EQ(jx_list_size(&dm->sent_txts), 0);
    EXPECT_EQ(jx_list_size(&jx_ch_from_network(n, 0)->sent_txts), 0);
}

TEST_F(SendText, PrivateNetworkTextNobodyAcknowledgesIsUndelivered)
{
    Probe host("127.0.0.5");
    ASSERT_GE(host.fd, 0);
    feed(make_dgram(PKT_QUERY, ip(kSelf), 1, "host"), "127.0.0.5", host.port);
    JXNetwork* n = jx_network_by_addr(ip("127.0.0.5"));
    ASSERT_NE(n, nullptr);
    JXChannel* ch = jx_ch_from_network(n, 0);
    take_events();

    ASSERT_EQ(jx_snd_txt(ch, "private"), JX_TXT_OK);
    Received first;
    ASSERT_TRUE(host.recv(&first));
    EXPECT_EQ(first.from_port, 8855);
    EXPECT_EQ(first.bytes[JX_OFF_TYPE], PKT_TXT_DIRECT);
    EXPECT_EQ(std::vector<uint8_t>(first.bytes.begin() + 5, first.bytes.begin() + 9),
              (std::vector<uint8_t>{0, 0, 0, 0}));
    const uint32_t id = jx_get_be32(first.bytes.data() + JX_OFF_MSG_ID);
    auto evs = take_events();
    ASSERT_EQ(evs.size(), 1u);
    EXPECT_EQ(evs[0].as<msg_ev>()->ch_type, CH_DM);
    EXPECT_EQ(evs[0].as<msg_ev>()->addr_a, ip("127.0.0.5"));
    EXPECT_EQ(evs[0].as<msg_ev>()->addr_b, ip("127.0.0.5"));

    for (int pass = 1; pass <= 5; pass++) {
        jx_clock_advance(3);
        // The host stays alive by its beacons, so only the text is missing.
        feed_beacon(0, "127.0.0.5", "host", 3U * pass, other_instance('h').c_str(), 100 + pass, host.port);
        txt_retry(n);
        Received r;
        ASSERT_TRUE(host.recv(&r)) << pass;
        EXPECT_EQ(r.bytes, first.bytes);
    }
    evs = take_events();
    ASSERT_EQ(evs.size(), 1u);
    expect_verdict(evs[0], EV_TXT_UNDELIVERED, CH_DM, id, ip("127.0.0.5"), ip("127.0.0.5"));
    EXPECT_EQ(jx_list_size(&ch->sent_txts), 0);
}
