#include "engine/texts.hpp"

#include <cstdlib>
#include <cstring>
#include <limits>

#include "engine/context.hpp"
#include "engine/events.hpp"
#include "engine/quotas.hpp"
#include "engine/senders.hpp"
#include "engine/registry.hpp"
#include "foundation/log.hpp"
#include "foundation/timer.hpp"

namespace {

// Passes run when more than this many whole seconds have gone by: one pass every 3 s.
constexpr int64_t RETRY_GAP_S = 2;

// Addresses of the events about our own texts: which channel (a) and which peer (b) the terminal
// files them under.
void own_txt_addrs(const JXNetwork* network, const JXChannel* channel, uint32_t* a, uint32_t* b)
{
    switch (channel->type) {
    case CH_NET_DM:
        *a = jx_get_addr_4srlz(network);
        *b = channel->peer_addr;
        break;
    case CH_DM:
        *a = channel->net_addr;
        *b = channel->net_addr;
        break;
    default:
        *a = jx_get_addr_4srlz(network);
        *b = channel->net_addr;
        break;
    }
}

// 0, or -1 when the address could not be allocated or linked (nothing is left allocated then).
int add_addressee(JXSentTxt* st, uint32_t addr)
{
    auto* el = static_cast<uint32_t*>(std::malloc(sizeof(uint32_t)));
    if (el == nullptr)
        return -1;
    *el = addr;
    const int rc = jx_set_insert(&st->addressees, el);
    if (rc != 0)
        std::free(el);  // 1: already there, harmless
    return rc < 0 ? -1 : 0;
}

// Fills the addressee set by channel type. 0, or -1 on an allocation failure.
int fill_addressees(JXSentTxt* st, const JXNetwork* network, const JXChannel* channel)
{
    switch (channel->type) {
    case CH_NET_DM:
        return add_addressee(st, channel->peer_addr);
    case CH_DM:
        return add_addressee(st, channel->net_addr);
    default:
        for (jx_list_elmt* el = jx_list_head(&network->peers); el != nullptr; el = jx_list_next(el)) {
            if (add_addressee(st, static_cast<const JXPeer*>(jx_list_data(el))->addr) != 0)
                return -1;
        }
        return 0;
    }
}

// Who never acknowledged a text whose retries ran out, by address and name (a peer dropped in the
// meantime has none left), so the log shows who missed it and not only the channel file.
void log_unanswered(const JXNetwork* network, const JXSentTxt* st)
{
    // A few by name; a crowd that never answers would otherwise cost a log line each.
    constexpr int32_t NAMED = 8;
    int32_t named = 0;
    if (const int32_t n = jx_set_size(&st->addressees); n > NAMED)
        jx_log("Text %u on %s not acknowledged by %d peers, among them:", jx_dgram_msg_id(st->dgram),
               jx_ip_str(network->addr).s, n);
    for (jx_list_elmt* el = jx_list_head(&st->addressees); el != nullptr && named++ < NAMED; el = jx_list_next(el)) {
        const uint32_t addr = *static_cast<const uint32_t*>(jx_list_data(el));
        const JXPeer* peer = jx_peer_from_network(addr, network);
        jx_log("Text %u on %s not acknowledged by %s(%s)", jx_dgram_msg_id(st->dgram),
               jx_ip_str(network->addr).s, peer != nullptr ? peer->username : "?", jx_ip_str(addr).s);
    }
}

}  // namespace

uint8_t jx_snd_txt(JXChannel* channel, const char* text)
{
    if (channel == nullptr)
        return JX_TXT_NO_NETWORK;
    JXNetwork* network = jx_network_by_addr(channel->net_addr);
    if (network == nullptr)
        return JX_TXT_NO_NETWORK;
    if (network->status != NET_ONLINE)
        return JX_TXT_OFFLINE;
    if (channel->type == CH_NET_DM && jx_peer_from_network(channel->peer_addr, network) == nullptr)
        return JX_TXT_NO_PEER;
    if (text == nullptr || text[0] == '\0') {
        // Receivers drop empty texts, so one would only come back as undelivered.
        jx_log("Empty text not sent");
        return JX_TXT_NOT_SENT;
    }
    // One byte more than a payload may hold is enough to see that the text is too long.
    const size_t len = strnlen(text, JX_PAYLOAD_MAX + 1);

    uint8_t dgram[JX_DATAGRAM_MAX];
    uint16_t dgram_len = 0;
    if (jx_snd_txt_dgram(network, channel, text, len, dgram, &dgram_len) != 0)
        return JX_TXT_NOT_SENT;

    jx_adopt_channel(network, channel);
    const uint32_t msg_id = jx_dgram_msg_id(dgram);
    uint32_t a = 0;
    uint32_t b = 0;
    own_txt_addrs(network, channel, &a, &b);
    jx_comm_raise(EV_TXT_SENT,
                  jx_build_msg_ev(text, len, channel->type, msg_id, a, b, jx_clock_now(), comm.username));

    if (jx_set_size(&network->peers) == 0)
        return JX_TXT_OK;

    auto* st = static_cast<JXSentTxt*>(std::calloc(1, sizeof(JXSentTxt)));
    if (st == nullptr) {
        jx_log("Can't allocate memory sent_txt");
        return JX_TXT_UNTRACKED;
    }
    st->retries = JX_TXT_RETRIES;
    st->len = dgram_len;
    std::memcpy(st->dgram, dgram, dgram_len);
    jx_sent_txt_init_lists(st);
    if (fill_addressees(st, network, channel) != 0 ||
        jx_list_ins_next(&channel->sent_txts, nullptr, st) != 0) {
        // Sent, but without tracking there will be no delivery report.
        jx_sent_txt_destroy(st);
    }
    return JX_TXT_OK;
}

uint8_t jx_sent_txt_ack(JXChannel* channel, uint32_t addr, uint64_t msg_id)
{
    if (channel == nullptr)
        return 0;
    const int32_t done = jx_list_remove_if(&channel->sent_txts, [&](void* data) {
        auto* st = static_cast<JXSentTxt*>(data);
        if (jx_dgram_msg_id(st->dgram) != msg_id)
            return false;
        void* key = &addr;
        if (jx_set_remove(&st->addressees, &key) == 0)
            std::free(key);
        // Every acknowledgement counts, a repeated one too: it still proves the text arrived.
        if (st->acks < UINT16_MAX)
            st->acks++;
        return jx_set_size(&st->addressees) == 0;
    });
    return done > 0 ? 1 : 0;
}

void txt_retry(JXNetwork* network)
{
    if (network == nullptr)
        return;
    const int64_t now = jx_mono_now();
    if (now - network->last_retry <= RETRY_GAP_S)
        return;

    for (jx_list_elmt* ch_el = jx_list_head(&network->channels); ch_el != nullptr;
         ch_el = jx_list_next(ch_el)) {
        auto* channel = static_cast<JXChannel*>(jx_list_data(ch_el));
        (void)jx_list_remove_if(&channel->sent_txts, [&](void* data) {
            auto* st = static_cast<JXSentTxt*>(data);
            // The verdict waits one pass after the fifth resend, so that the acknowledgements of
            // that last copy still count: judged in its own pass, a text that got through only
            // then would be reported undelivered although the peer has it.
            if (st->retries > 0) {
                // Also with no addressee left the counter drops, so no record can outlive its retries.
                jx_snd_txt_re(network, st);
                return false;
            }
            log_unanswered(network, st);
            uint32_t a = 0;
            uint32_t b = 0;
            own_txt_addrs(network, channel, &a, &b);
            jx_comm_raise(
                st->acks > 0 ? EV_TXT_PARTLY_UNDELIVERED : EV_TXT_UNDELIVERED,
                jx_build_msg_ev(nullptr, 0, channel->type, jx_dgram_msg_id(st->dgram), a, b, 0, ""));
            return true;
        });
    }
    network->last_retry = now;
}

int64_t txt_retry_due(const JXNetwork* network)
{
    for (jx_list_elmt* el = jx_list_head(&network->channels); el != nullptr; el = jx_list_next(el)) {
        if (jx_list_size(&static_cast<const JXChannel*>(jx_list_data(el))->sent_txts) != 0)
            return network->last_retry + RETRY_GAP_S + 1;
    }
    return std::numeric_limits<int64_t>::max();
}

namespace {

// The network of a text or an acknowledgement from another host, its sender marked as heard now;
// null for a network not joined and for our own packet come back, which are dropped.
JXNetwork* text_network(const JXPacket* pkt)
{
    JXNetwork* network = jx_network_of_packet(pkt);
    if (network == nullptr)
        return nullptr;
    jx_ts_peer(jx_peer_from_network(pkt->src_addr, network));
    return check_if_self(network, pkt) ? nullptr : network;
}

}  // namespace

void proc_txt(const JXPacket* pkt)
{
    JXNetwork* network = text_network(pkt);
    if (network == nullptr)
        return;

    // A direct text on a multicast or broadcast network belongs to the Net DM channel of its sender;
    // everything else to the channel with peer address 0. The channel is found, or made within the
    // caps, before anything is acknowledged: a refused text must not look delivered to its sender.
    const bool direct = pkt->type == PKT_TXT_DIRECT;
    const uint32_t key = direct && pkt->net_id != 0 ? pkt->src_addr : 0;
    JXChannel* channel = jx_ch_from_network(network, key);
    if (channel == nullptr && key != 0)
        channel = jx_stranger_channel(network, key, pkt->src_addr);
    if (channel == nullptr) {
        if (key == 0)
            jx_log("No channel in proc of txt");
        return;
    }

    // A text kept in a file that may give way later would be lost after it was acknowledged.
    if (!jx_keep_stranger_channel(channel, pkt->src_addr))
        return;
    // Acknowledged before the duplicate test: a resend means our first acknowledgement was lost.
    (void)jx_txt_ack_snd(network, pkt->src_addr, static_cast<uint32_t>(pkt->msg_id), pkt->type);
    if (check_duplicate_id(network, pkt))
        return;

    channel->unread++;
    // Direct-IP traffic carries network id 0; its network is the sender. This also files a group
    // text that a peer sent on a private network under that network rather than under 0.0.0.0.
    const uint32_t a = pkt->net_id != 0 ? pkt->net_id : pkt->src_addr;
    jx_comm_raise(EV_TXT_RECEIVED, jx_build_msg_ev(reinterpret_cast<const char*>(pkt->payload),
                                                   pkt->payload_len, channel->type, pkt->msg_id, a,
                                                   pkt->src_addr, jx_clock_now(), pkt->username));
}

void proc_txt_ack(const JXPacket* pkt)
{
    JXNetwork* network = text_network(pkt);
    if (network == nullptr)
        return;

    const bool direct = pkt->type == PKT_TXT_DIRECT_ACK;
    JXChannel* channel = jx_ch_from_network(network, direct && pkt->net_id != 0 ? pkt->src_addr : 0);
    if (channel == nullptr || jx_list_size(&channel->sent_txts) == 0)
        return;
    if (jx_sent_txt_ack(channel, pkt->src_addr, pkt->msg_id) == 0)
        return;

    const uint32_t a = pkt->net_id != 0 ? pkt->net_id : pkt->src_addr;
    jx_comm_raise(EV_TXT_DELIVERED,
                  jx_build_msg_ev(nullptr, 0, channel->type, pkt->msg_id, a, pkt->src_addr, 0, ""));
}
