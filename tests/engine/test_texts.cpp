// Sending texts and tracking their delivery: the datagram on the wire, the addressees per channel
// type, acknowledgements, the 3-second resend pass and the three verdicts, on a frozen clock.
#include "engine/texts.hpp"
#include "engine_fixture.hpp"

using namespace jxtest;

namespace {

using SendText = EngineFixture;

void ack_from(uint8_t type, uint32_t msg_id, const char* from)
{
    feed(make_dgram(type, ip(kGroup), msg_id, "x"), from);
}

std::string id_str(const Dgram& d)
{
    return std::to_string(d.id());
}

TEST_F(SendText, MainTextsAreDeliveredByAllOrPartlyUndeliveredAfterTheFifthResendNetDmTextsByTheirPeer)
{
    JXNetwork* n = online_group(3);
    JXChannel* ch = jx_ch_from_network(n, 0);
    JXChannel* dm = nullptr;
    ASSERT_EQ(jx_add_channel(ip(kGroup), ip(kPeer2), &dm), 0);
    settle();
    // Sent right after a pass, so the next one follows 3 s later.
    jx_clock_advance(3);
    txt_retry(n);
    ASSERT_EQ(jx_snd_txt(ch, "hello all"), JX_TXT_OK);
    ASSERT_EQ(jx_snd_txt(ch, "two"), JX_TXT_OK);
    ASSERT_EQ(jx_snd_txt(dm, "just you"), JX_TXT_OK);
    const auto out = sent();
    // A Net DM text keeps its network id.
    EXPECT_EQ(briefs(out), (Strs{"1 7.7.7.239 8855>239.7.7.7 39", "1 7.7.7.239 8855>239.7.7.7 33",
                                 "2 7.7.7.239 8855>127.0.0.3 38"}));
    EXPECT_EQ(payloads(out)[0], "hello all");
    const std::string me = comm.username;
    EXPECT_EQ(events(),
              (Strs{"txt_sent Main #" + id_str(out[0]) + " 239.7.7.7 239.7.7.7 @3 " + me + ": hello all",
                    "txt_sent Main #" + id_str(out[1]) + " 239.7.7.7 239.7.7.7 @3 " + me + ": two",
                    "txt_sent Net DM #" + id_str(out[2]) + " 239.7.7.7 127.0.0.3 @3 " + me + ": just you"}));

    // "two" is delivered at the last of its three acknowledgements; a repeated one removes nothing.
    for (const char* peer : {kPeer1, kPeer1, kPeer2, kPeer3})
        ack_from(PKT_TXT_GROUP_ACK, out[1].id(), peer);
    EXPECT_EQ(events(), Strs{"txt_delivered Main #" + id_str(out[1]) + " 239.7.7.7 127.0.0.4"});
    // A group acknowledgement of the Net DM text is looked for in the main channel, not in its own.
    ack_from(PKT_TXT_GROUP_ACK, out[2].id(), kPeer2);
    ack_from(PKT_TXT_DIRECT_ACK, out[2].id(), kPeer2);
    EXPECT_EQ(events(), Strs{"txt_delivered Net DM #" + id_str(out[2]) + " 239.7.7.7 127.0.0.3"});

    // Two of three acknowledge the first; resends go to the silent one only, byte for byte.
    ack_from(PKT_TXT_GROUP_ACK, out[0].id(), kPeer1);
    ack_from(PKT_TXT_GROUP_ACK, out[0].id(), kPeer2);
    for (int pass = 1; pass <= 5; pass++) {
        SCOPED_TRACE(pass);
        jx_clock_advance(2);
        txt_retry(n);
        EXPECT_TRUE(sent(comm.rcv_sock, 20).empty()) << "no pass within 2 s of the last";
        jx_clock_advance(1);
        txt_retry(n);
        auto again = sent();
        ASSERT_EQ(again.size(), 1u);
        EXPECT_EQ(again[0].to_addr, ip(kPeer3));
        EXPECT_EQ(again[0].bytes, out[0].bytes);
    }
    // The verdict comes one pass after the fifth resend, which left time for its acknowledgement.
    EXPECT_EQ(events(), Strs{});
    jx_clock_advance(3);
    txt_retry(n);
    EXPECT_TRUE(sent(comm.rcv_sock, 20).empty());
    EXPECT_EQ(events(), Strs{"txt_partly_undelivered Main #" + id_str(out[0]) + " 239.7.7.7 239.7.7.7"});
    EXPECT_EQ(log_count("not acknowledged"), 1u) << log_text();
    EXPECT_TRUE(log_line("Text " + id_str(out[0]) + " on 239.7.7.7 not acknowledged by dave(127.0.0.4)"));
    // A later acknowledgement finds nothing, and nothing is resent.
    ack_from(PKT_TXT_GROUP_ACK, out[0].id(), kPeer3);
    jx_clock_advance(3);
    txt_retry(n);
    EXPECT_EQ(std::make_tuple(sent(comm.rcv_sock, 20).size(), events(), jx_list_size(&ch->sent_txts)),
              std::make_tuple(0ul, Strs{}, 0));
}

TEST_F(SendText, RefusalsSendAndRaiseNothing)
{
    JXChannel* ch = jx_ch_from_network(join(kGroup), 0);
    EXPECT_EQ(jx_snd_txt(ch, "too early"), JX_TXT_OFFLINE);
    feed(beacon(ip(kGroup), comm.username, 0, 0), kSelf);
    settle();
    // Nobody to wait for: sent, not tracked. The largest text makes a 1470-byte datagram.
    const std::string largest(1440, 'L');
    EXPECT_EQ(jx_snd_txt(ch, largest.c_str()), JX_TXT_OK);
    EXPECT_EQ(std::make_tuple(jx_list_size(&ch->sent_txts), events().size()), std::make_tuple(0, 1ul));
    EXPECT_EQ(briefs(sent()), Strs{"1 7.7.7.239 8855>239.7.7.7 1470"});
    EXPECT_EQ(jx_snd_txt(ch, (largest + "L").c_str()), JX_TXT_NOT_SENT);
    EXPECT_EQ(jx_snd_txt(ch, ""), JX_TXT_NOT_SENT);
    JXChannel orphan{};
    orphan.net_addr = ip("239.8.8.8");
    EXPECT_EQ(jx_snd_txt(&orphan, "x"), JX_TXT_NO_NETWORK);
    EXPECT_EQ(std::make_tuple(sent(comm.rcv_sock, 20).size(), events()), std::make_tuple(0ul, Strs{}));
}

TEST_F(SendText, PrivateNetworkTextIsDeliveredByItsHostOrUndelivered)
{
    Probe host("127.0.0.5");
    JXNetwork* n = queried_by("127.0.0.5", host.port);
    JXChannel* ch = jx_ch_from_network(n, 0);
    ASSERT_EQ(jx_snd_txt(ch, "private"), JX_TXT_OK);
    ASSERT_EQ(jx_snd_txt(ch, "acked"), JX_TXT_OK);
    const auto first = host.recv();
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0].brief(), "2 0.0.0.0 8855>127.0.0.5 37");
    EXPECT_EQ(events()[0],
              "txt_sent DM #" + id_str(first[0]) + " 127.0.0.5 127.0.0.5 @0 " + comm.username + ": private");
    // The host's acknowledgement carries network id 0 like all private traffic.
    feed(make_dgram(PKT_TXT_DIRECT_ACK, 0, first[1].id(), "host"), "127.0.0.5", host.port);
    EXPECT_EQ(events(), Strs{"txt_delivered DM #" + id_str(first[1]) + " 127.0.0.5 127.0.0.5"});
    // Nobody acknowledges the first: five resends, then undelivered a pass later. The host
    // acknowledges only the fifth resend of "late", before that pass: it counts.
    ASSERT_EQ(jx_snd_txt(ch, "late"), JX_TXT_OK);
    const auto late = host.recv();
    drop_events();
    for (int pass = 1; pass <= 5; pass++) {
        jx_clock_advance(3);
        txt_retry(n);
    }
    const auto again = host.recv();
    ASSERT_EQ(again.size(), 10u);
    EXPECT_EQ(std::make_pair(again[8].bytes, again[9].bytes), std::make_pair(late[0].bytes, first[0].bytes));
    EXPECT_EQ(events(), Strs{});
    feed(make_dgram(PKT_TXT_DIRECT_ACK, 0, late[0].id(), "host"), "127.0.0.5", host.port);
    EXPECT_EQ(events(), Strs{"txt_delivered DM #" + id_str(late[0]) + " 127.0.0.5 127.0.0.5"});
    jx_clock_advance(3);
    txt_retry(n);
    EXPECT_TRUE(host.recv().empty());
    EXPECT_EQ(events(), Strs{"txt_undelivered DM #" + id_str(first[0]) + " 127.0.0.5 127.0.0.5"});
    EXPECT_EQ(jx_list_size(&ch->sent_txts), 0);
}

}  // namespace
