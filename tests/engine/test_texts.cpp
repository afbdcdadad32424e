// Sending texts and tracking their delivery: the datagram on the wire, the addressees per channel
// type, acknowledgements, the 3-second resend pass and the three verdicts, on a frozen clock.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/events.hpp"
#include "engine/texts.hpp"
#include "engine_fixture.hpp"

using namespace jxtest;

namespace {

using SendText = EngineFixture;

const JXSentTxt* head_record(const JXChannel* ch)
{
    const jx_list_elmt* el = jx_list_head(&ch->sent_txts);
    return el == nullptr ? nullptr : static_cast<const JXSentTxt*>(jx_list_data(el));
}

void ack_from(uint8_t type, uint32_t msg_id, const char* from)
{
    feed(make_dgram(type, ip(kGroup), msg_id, "x"), from);
}

// A verdict: which text, on which channel; no time, name or text.
void expect_verdict(const TakenEvent& e, uint8_t kind, uint8_t ch_type, uint32_t id, uint32_t a, uint32_t b)
{
    expect_msg_ev(e, kind, ch_type, id, a, b);
    EXPECT_EQ(e.as<msg_ev>()->time, 0);
    EXPECT_STREQ(e.as<msg_ev>()->username, "");
    EXPECT_STREQ(e.as<msg_ev>()->text, "");
}

TEST_F(SendText, MainChannelTextAcknowledgedByTwoOfThreeIsPartlyUndeliveredAfterTheFifthResend)
{
    JXNetwork* n = online_group(3);
    settle();
    JXChannel* ch = jx_ch_from_network(n, 0);
    // Sent right after a pass, so the next one follows 3 s later.
    jx_clock_advance(3);
    txt_retry(n);
    ASSERT_EQ(n->last_retry, kFrozenNow + 3);

    ASSERT_EQ(jx_snd_txt(ch, "hello all"), JX_TXT_OK);
    auto first = sent_to_8855();
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].to_addr, ip(kGroup));
    EXPECT_EQ(first[0].type(), PKT_TXT_GROUP);
    EXPECT_EQ(std::string(first[0].bytes.begin() + 30, first[0].bytes.end()), "hello all");
    const uint32_t id = first[0].id();
    EXPECT_NE(id, 0u);

    const TakenEvent ev = one_event();
    expect_msg_ev(ev, EV_TXT_SENT, CH_MAIN, id, ip(kGroup), ip(kGroup));
    EXPECT_EQ(ev.as<msg_ev>()->time, kFrozenNow + 3);
    EXPECT_STREQ(ev.as<msg_ev>()->username, comm.username);
    EXPECT_STREQ(ev.as<msg_ev>()->text, "hello all");
    const JXSentTxt* st = head_record(ch);
    ASSERT_NE(st, nullptr);
    EXPECT_EQ(jx_set_size(&st->addressees), 3);

    ack_from(PKT_TXT_GROUP_ACK, id, kPeer1);
    ack_from(PKT_TXT_GROUP_ACK, id, kPeer2);
    ack_from(PKT_TXT_GROUP_ACK, id + 1, kPeer3);  // for another text
    EXPECT_TRUE(take_events().empty());
    EXPECT_EQ(st->acks, 2);
    EXPECT_EQ(jx_set_size(&st->addressees), 1);

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
        EXPECT_TRUE(pass == 5 || take_events().empty()) << "no verdict before the fifth resend";
    }
    expect_verdict(one_event(), EV_TXT_PARTLY_UNDELIVERED, CH_MAIN, id, ip(kGroup), ip(kGroup));
    EXPECT_EQ(jx_list_size(&ch->sent_txts), 0);

    // The late acknowledgement of the last resend finds nothing, and nothing is resent.
    ack_from(PKT_TXT_GROUP_ACK, id, kPeer3);
    EXPECT_TRUE(take_events().empty());
    jx_clock_advance(3);
    txt_retry(n);
    EXPECT_TRUE(sent_to_8855(20).empty());
}

TEST_F(SendText, AcknowledgedByAllIsDeliveredAtTheLastAcknowledgementAndNotResent)
{
    JXNetwork* n = online_group(3);
    settle();
    JXChannel* ch = jx_ch_from_network(n, 0);
    ASSERT_EQ(jx_snd_txt(ch, "one"), JX_TXT_OK);
    ASSERT_EQ(jx_snd_txt(ch, "two"), JX_TXT_OK);
    auto out = sent_to_8855();
    ASSERT_EQ(out.size(), 2u);
    const uint32_t id1 = out[0].id();
    const uint32_t id2 = out[1].id();
    take_events();

    ack_from(PKT_TXT_GROUP_ACK, id1, kPeer1);
    ack_from(PKT_TXT_GROUP_ACK, id1, kPeer1);  // repeated: counted, removes nothing
    ack_from(PKT_TXT_GROUP_ACK, id1, kPeer2);
    EXPECT_TRUE(take_events().empty());
    ack_from(PKT_TXT_GROUP_ACK, id1, kPeer3);
    expect_verdict(one_event(), EV_TXT_DELIVERED, CH_MAIN, id1, ip(kGroup), ip(kPeer3));
    ASSERT_EQ(jx_list_size(&ch->sent_txts), 1);
    EXPECT_EQ(jx_dgram_msg_id(head_record(ch)->dgram), id2);

    // Only the other text is resent, to each of its three addressees.
    jx_clock_advance(3);
    txt_retry(n);
    out = sent_to_8855();
    ASSERT_EQ(out.size(), 3u);
    for (const auto& d : out)
        EXPECT_EQ(d.id(), id2);
}

TEST_F(SendText, RefusalsAndTextsWithoutPeers)
{
    JXChannel* ch = jx_ch_from_network(join(kGroup), 0);
    settle();
    EXPECT_EQ(jx_snd_txt(ch, "too early"), JX_TXT_OFFLINE);

    feed(beacon(ip(kGroup), comm.username, 0, comm.instance_id), kSelf);
    EXPECT_EQ(kinds(take_events()), std::vector<uint8_t>{EV_NET_REFRESH});
    EXPECT_EQ(jx_snd_txt(ch, "anyone?"), JX_TXT_OK);
    EXPECT_EQ(kinds(take_events()), std::vector<uint8_t>{EV_TXT_SENT});
    EXPECT_EQ(jx_list_size(&ch->sent_txts), 0) << "nobody to wait for";
    EXPECT_EQ(sent_to_8855().size(), 1u);

    const std::string largest(1440, 'L');
    EXPECT_EQ(jx_snd_txt(ch, largest.c_str()), JX_TXT_OK);
    auto out = sent_to_8855();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].bytes.size(), 1470u);
    EXPECT_EQ(kinds(take_events()), std::vector<uint8_t>{EV_TXT_SENT});

    EXPECT_EQ(jx_snd_txt(ch, (largest + "L").c_str()), JX_TXT_NOT_SENT);
    EXPECT_TRUE(log_line("UDP payload exceeds config limits!"));
    EXPECT_EQ(jx_snd_txt(ch, ""), JX_TXT_NOT_SENT);
    EXPECT_EQ(jx_snd_txt(nullptr, "x"), JX_TXT_NO_NETWORK);
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
    // None of the refusals sent or raised anything.
    EXPECT_TRUE(sent_to_8855(20).empty());
    EXPECT_TRUE(take_events().empty());
}

TEST_F(SendText, NetDmTextGoesToItsPeerAndIsDeliveredByADirectAcknowledgement)
{
    JXNetwork* n = online_group(3);
    settle();
    JXChannel* dm = nullptr;
    ASSERT_EQ(jx_add_channel(ip(kGroup), ip(kPeer2), &dm), 0);
    take_events();

    ASSERT_EQ(jx_snd_txt(dm, "just you"), JX_TXT_OK);
    auto out = sent_to_8855();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].to_addr, ip(kPeer2));
    EXPECT_EQ(out[0].type(), PKT_TXT_DIRECT);
    EXPECT_EQ(out[0].net_id(), (std::vector<uint8_t>{7, 7, 7, 239})) << "a Net DM keeps its network id";
    const uint32_t id = out[0].id();
    expect_msg_ev(one_event(), EV_TXT_SENT, CH_NET_DM, id, ip(kGroup), ip(kPeer2));
    EXPECT_EQ(jx_set_size(&head_record(dm)->addressees), 1);

    // A group acknowledgement is looked for in the main channel, not here.
    ack_from(PKT_TXT_GROUP_ACK, id, kPeer2);
    EXPECT_TRUE(take_events().empty());
    ack_from(PKT_TXT_DIRECT_ACK, id, kPeer2);
    expect_verdict(one_event(), EV_TXT_DELIVERED, CH_NET_DM, id, ip(kGroup), ip(kPeer2));
    EXPECT_EQ(jx_list_size(&dm->sent_txts), 0);
    EXPECT_EQ(jx_list_size(&jx_ch_from_network(n, 0)->sent_txts), 0);
}

TEST_F(SendText, PrivateNetworkTextIsDeliveredByItsHostOrUndelivered)
{
    Probe host("127.0.0.5");
    JXNetwork* n = queried_by("127.0.0.5", host.port);
    JXChannel* ch = jx_ch_from_network(n, 0);
    const uint32_t h = ip("127.0.0.5");

    ASSERT_EQ(jx_snd_txt(ch, "private"), JX_TXT_OK);
    auto first = host.recv();
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].from_port, 8855);
    EXPECT_EQ(first[0].type(), PKT_TXT_DIRECT);
    EXPECT_EQ(first[0].net_id(), (std::vector<uint8_t>{0, 0, 0, 0}));
    const uint32_t id = first[0].id();
    expect_msg_ev(one_event(), EV_TXT_SENT, CH_DM, id, h, h);

    // The host's acknowledgement carries network id 0 like all private traffic.
    ASSERT_EQ(jx_snd_txt(ch, "acked"), JX_TXT_OK);
    auto acked = host.recv();
    ASSERT_EQ(acked.size(), 1u);
    take_events();
    feed(make_dgram(PKT_TXT_DIRECT_ACK, 0, acked[0].id(), "host"), "127.0.0.5", host.port);
    expect_verdict(one_event(), EV_TXT_DELIVERED, CH_DM, acked[0].id(), h, h);

    // Nobody acknowledges the first: five resends, then undelivered.

    for (int pass = 1; pass <= 5; pass++) {
        jx_clock_advance(3);
        txt_retry(n);
    }
    const auto again = host.recv();
    ASSERT_EQ(again.size(), 5u);
    for (const auto& d : again)
        EXPECT_EQ(d.bytes, first[0].bytes);
    expect_verdict(one_event(), EV_TXT_UNDELIVERED, CH_DM, id, h, h);
    EXPECT_EQ(jx_list_size(&ch->sent_txts), 0);
}

}  // namespace
