#include "engine/registry.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/context.hpp"
#include "engine/events.hpp"
#include "engine/refusals.hpp"
#include "engine/senders.hpp"
#include "foundation/log.hpp"
#include "foundation/timer.hpp"
#include "storage/fso.hpp"
#include "storage/stranger_files.hpp"

namespace {

// Seconds a newly seen peer pulls the next beacon forward: with beacons every 11 s it goes out
// within 3 s.
constexpr int64_t NEW_PEER_BEACON_PULL = 8;

}  // namespace

JXNetwork* jx_network_by_addr(uint32_t addr)
{
    return static_cast<JXNetwork*>(jx_list_find(
        &comm.networks, [&](void* n) { return static_cast<const JXNetwork*>(n)->addr == addr; }));
}

JXChannel* jx_channel_by_addr(uint32_t net_addr, uint32_t peer_addr)
{
    return jx_ch_from_network(jx_network_by_addr(net_addr), peer_addr);
}

JXNetwork* jx_network_of_packet(const JXPacket* pkt)
{
    JXNetwork* network = jx_network_by_addr(pkt->net_id != 0 ? pkt->net_id : pkt->src_addr);
    if (network == nullptr) {
        jx_log("Not from known network: [%s]", jx_ip_str(pkt->net_id).s);
        return nullptr;
    }
    // A private network is its one remote host: a packet that names it from anywhere else is forged.
    if (!jx_is_group(network->type) && pkt->src_addr != network->addr) {
        jx_refuse(JX_REFUSE_FORGED, pkt->src_addr);
        return nullptr;
    }
    return network;
}

bool check_if_self(const JXNetwork* network, const JXPacket* pkt)
{
    return jx_is_group(network->type) && network->own_addr != 0 && pkt->src_addr == network->own_addr;
}

bool check_duplicate_id(JXNetwork* network, const JXPacket* pkt)
{
    for (uint64_t id : network->recent_ids) {
        if (id == pkt->msg_id)
            return true;
    }
    // The index is kept in range here even if a record was damaged: it is the only write.
    network->recent_ids[network->recent_idx % JX_RECENT_IDS] = pkt->msg_id;
    network->recent_idx = static_cast<uint16_t>((network->recent_idx + 1) % JX_RECENT_IDS);
    return false;
}

void jx_set_network_status(JXNetwork* network, uint8_t status)
{
    if (network == nullptr)
        return;
    // Each change of state, for whoever reads the log to learn why a colleague is not seen.
    if (status != network->status && (status == NET_ONLINE || status == NET_OFFLINE || status == NET_CLOSED))
        jx_log("Network %s is %s", jx_ip_str(network->addr).s,
               status == NET_ONLINE    ? "online"
               : status == NET_OFFLINE ? "offline"
                                       : "closed");
    switch (status) {
    case NET_ONLINE:
        // Whatever brought it online proved it alive now; an old last-heard time would take it
        // offline again in the next periodic pass.
        network->status = NET_ONLINE;
        network->online_since = jx_mono_now();
        network->last_heard = network->online_since;
        break;
    case NET_OFFLINE:
        network->status = NET_OFFLINE;
        network->online_since = 0;
        break;
    case NET_CLOSED:
        // An outgoing private network falls back to asking again once it is re-joined.
        if (network->type == NET_DIRECT_IP_OUTGOING)
            network->type = NET_UNSPEC;
        network->status = NET_CLOSED;
        network->online_since = 0;
        break;
    default:
        break;
    }
}

void jx_ts_peer(JXPeer* peer)
{
    if (peer == nullptr)
        return;
    peer->alive = 1;
    peer->last_seen = jx_mono_now();
}

namespace {

int mcast_membership(uint32_t group, int option)
{
    ip_mreq mreq{};
    mreq.imr_multiaddr.s_addr = group;
    mreq.imr_interface.s_addr = htonl(INADDR_ANY);
    if (setsockopt(comm.rcv_sock, IPPROTO_IP, option, &mreq, sizeof(mreq)) != 0)
        return errno != 0 ? errno : -1;
    return 0;
}

}  // namespace

int jx_mcast_join(uint32_t group)
{
    return mcast_membership(group, IP_ADD_MEMBERSHIP);
}

int jx_mcast_drop(uint32_t group)
{
    return mcast_membership(group, IP_DROP_MEMBERSHIP);
}

int jx_bcast_enable()
{
    const int on = 1;
    if (setsockopt(comm.rcv_sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on)) != 0)
        return errno != 0 ? errno : -1;
    return 0;
}

uint8_t jx_join_network(const char* text, uint8_t requested_type, JXChannel** channel)
{
    JXChannel* local = nullptr;
    JXChannel** out = channel != nullptr ? channel : &local;
    if (text == nullptr || ipv4_check(text) != 0)
        return JX_JOIN_BAD_ADDR;
    const uint32_t addr = inet_addr(text);

    JXNetwork* existing = jx_network_by_addr(addr);
    JXChannel* main_ch = jx_ch_from_network(existing, 0);
    if (main_ch != nullptr) {
        *out = main_ch;
        if (requested_type == NET_UNSPEC)
            jx_adopt_channel(existing, main_ch);  // the user joins it: theirs from now on
        if (existing->status == NET_ONLINE)
            return JX_JOIN_ONLINE;
        if ((existing->type == NET_UNSPEC || jx_is_direct_ip(existing->type)) &&
            existing->status == NET_CLOSED) {
            // A closed private network is opened again.
            existing->type = requested_type;
            existing->status = NET_OFFLINE;
        }
        return JX_JOIN_ALREADY;
    }

    JXNetwork* network = nullptr;
    const uint8_t rc = jx_add_network(addr, requested_type, &network);
    if (rc != JX_NET_ADD_OK)
        return rc;
    const uint8_t ch_rc = jx_add_channel(addr, 0, out);
    if (ch_rc != JX_CH_ADD_OK) {
        jx_leave_network(network);
        return ch_rc;
    }
    jx_log("JXChannel added: %s", text);
    return JX_JOIN_OK;
}

uint8_t jx_add_network(uint32_t addr, uint8_t requested_type, JXNetwork** network)
{
    if (addr == htonl(INADDR_LOOPBACK) || addr == htonl(INADDR_ANY))
        return JX_NET_ADD_LOOPBACK;
    // Refused before any socket option: a second membership of the same group would fail, and
    // dropping it on the way out would silence the network that is already joined.
    if (jx_network_by_addr(addr) != nullptr) {
        jx_log("JXNetwork %s already in jx_list", jx_ip_str(addr).s);
        return JX_NET_ADD_EXISTS;
    }
    auto* n = static_cast<JXNetwork*>(std::calloc(1, sizeof(JXNetwork)));
    if (n == nullptr) {
        jx_log("Could not allocate memory! - Code 6");
        return JX_NET_ADD_NOMEM;
    }
    const int64_t now = jx_mono_now();
    n->addr = addr;
    n->type = is_mcast_addr(addr) ? NET_MULTICAST : is_bcast_addr(addr) ? NET_BROADCAST : NET_UNSPEC;
    n->status = NET_OFFLINE;
    n->last_heard = now;
    n->last_retry = now;

    if (n->type == NET_BROADCAST) {
        const int err = jx_bcast_enable();
        if (err != 0) {
            jx_log("Setsockopt broadcast permission failed - %d", err);
            jx_log_errno(err);
            std::free(n);
            return JX_NET_ADD_BCAST_FAILED;
        }
    } else if (n->type == NET_MULTICAST) {
        const int err = jx_mcast_join(addr);
        if (err != 0) {
            std::free(n);
            jx_log("Setsockopt add multicast membership failed - %d", err);
            jx_log_errno(err);
            return JX_NET_ADD_MCAST_FAILED;
        }
    } else if (jx_is_direct_ip(requested_type)) {
        n->type = requested_type;
        n->status = NET_ONLINE;
        n->online_since = now;
    }

    jx_network_init_lists(n);

    // The address was looked up above, so the set can only fail to allocate.
    if (jx_set_insert(&comm.networks, n) == 0) {
        jx_log("JXNetwork added: %s", jx_ip_str(addr).s);
        if (n->status == NET_ONLINE)
            jx_log("Network %s is online", jx_ip_str(addr).s);
        if (network != nullptr)
            *network = n;
        return JX_NET_ADD_OK;
    }
    jx_network_destroy_lists(n);
    if (n->type == NET_MULTICAST) {
        const int err = jx_mcast_drop(addr);
        if (err != 0) {
            jx_log("Setsockopt drop multicast membership failed - %d", err);
            jx_log_errno(err);
            std::free(n);
            return JX_NET_ADD_DROP_FAILED;
        }
    }
    std::free(n);
    jx_log("Insert error for network %s", jx_ip_str(addr).s);
    return JX_NET_ADD_INSERT_FAILED;
}

uint8_t jx_add_channel(uint32_t net_addr, uint32_t peer_addr, JXChannel** channel)
{
    JXNetwork* n = jx_network_by_addr(net_addr);
    if (n == nullptr)
        return JX_CH_ADD_NO_NET;
    if (JXChannel* existing = jx_ch_from_network(n, peer_addr); existing != nullptr) {
        // Asked for again only by the user opening it: strangers' traffic finds its channel first.
        jx_adopt_channel(n, existing);
        if (channel != nullptr)
            *channel = existing;
        return JX_CH_ADD_OK;
    }
    if (peer_addr != 0) {
        if (jx_is_direct_ip(n->type)) {
            jx_log("Can't create directip ch from net addr and no peer addr");
            return JX_CH_ADD_DIRECT_PEER;
        }
        if (jx_peer_from_network(peer_addr, n) == nullptr) {
            jx_log("JXPeer not found");
            return JX_CH_ADD_NO_PEER;
        }
    }
    auto* ch = static_cast<JXChannel*>(std::calloc(1, sizeof(JXChannel)));
    if (ch == nullptr) {
        jx_log("Could not allocate memory! - Code 213");
        return JX_CH_ADD_NOMEM;
    }
    switch (n->type) {
    case NET_MULTICAST:
    case NET_BROADCAST:
        ch->type = peer_addr != 0 ? CH_NET_DM : CH_MAIN;
        break;
    case NET_DIRECT_IP_INCOMING:
    case NET_DIRECT_IP_OUTGOING:
        ch->type = CH_DM;
        break;
    default:
        ch->type = CH_UNSPEC;
        break;
    }
    ch->net_addr = net_addr;
    ch->peer_addr = peer_addr;
    jx_channel_init_lists(ch);
    if (jx_set_insert(&n->channels, ch) != 0) {
        jx_log("Error inserting into channel jx_list!");
        std::free(ch);
        return JX_CH_ADD_INSERT_FAILED;
    }
    if (channel != nullptr)
        *channel = ch;
    jx_comm_raise(EV_CHANNEL_ADDED, jx_build_ch_ev(net_addr, peer_addr));
    return JX_CH_ADD_OK;
}

uint8_t jx_leave_network(JXNetwork* network)
{
    if (network == nullptr)
        return 1;
    (void)jx_snd_leave(network);
    jx_network_destroy_lists(network);

    void* key = network;
    (void)jx_set_remove(&comm.networks, &key);  // absent only when adding it failed half-way
    if (network->type == NET_MULTICAST) {
        const int err = jx_mcast_drop(network->addr);
        if (err != 0) {
            jx_log("Setsockopt drop multicast membership failed - %d", err);
            jx_log_errno(err);
        }
    }
    jx_log("Left network %s", jx_ip_str(network->addr).s);
    std::free(network);
    return 0;
}

void jx_leave_networks()
{
    while (jx_list_head(&comm.networks) != nullptr)
        (void)jx_leave_network(static_cast<JXNetwork*>(jx_list_data(jx_list_head(&comm.networks))));
}

void jx_adopt_channel(JXNetwork* network, JXChannel* channel)
{
    if (channel == nullptr || (channel->stranger == 0 && (network == nullptr || network->stranger == 0)))
        return;
    channel->stranger = 0;
    if (network != nullptr && channel->peer_addr == 0)
        network->stranger = 0;
    char name[JX_CHANNEL_NAME_SIZE];
    jx_channel_file_name(channel->type, channel->net_addr, channel->peer_addr, name);
    jx_stranger_file_adopt(name);
}

uint8_t jx_add_peer(JXNetwork* network, const JXPacket* pkt)
{
    if (network == nullptr || pkt == nullptr)
        return JX_PEER_NULL_NET;
    const int64_t now = jx_mono_now();
    auto* peer = static_cast<JXPeer*>(std::calloc(1, sizeof(JXPeer)));
    if (peer == nullptr) {
        jx_log("Could not allocate memory! - Code 2");
        return JX_PEER_NOMEM;
    }
    peer->alive = 0;
    peer->last_seen = now;
    peer->addr = pkt->src_addr;
    peer->port = ntohs(pkt->src_port);
    std::memcpy(peer->beacon_head, pkt->payload, sizeof(peer->beacon_head));
    std::memcpy(peer->username, pkt->username, JX_HDR_UNAME_LEN);
    peer->username[JX_HDR_UNAME_LEN] = '\0';

    const int ins = jx_set_insert(&network->peers, peer);
    if (ins < 0) {
        std::free(peer);
        jx_log("Error inserting %s into jx_list!", jx_ip_str(pkt->src_addr).s);
        return JX_PEER_INSERT_FAILED;
    }
    if (ins == 1) {
        std::free(peer);
        JXPeer* known = jx_peer_from_network(pkt->src_addr, network);
        if (known == nullptr)
            return JX_PEER_INSERT_FAILED;
        known->alive = 1;
        known->last_seen = now;
        known->port = ntohs(pkt->src_port);
        std::memcpy(known->beacon_head, pkt->payload, sizeof(known->beacon_head));
        if (std::strncmp(known->username, pkt->username, JX_HDR_UNAME_LEN) == 0)
            return JX_PEER_REFRESHED;
        jx_log("Upd name for ip %s - [%s]>[%s]", jx_ip_str(known->addr).s, known->username, pkt->username);
        jx_comm_raise(EV_PEER_RENAMED,
                      jx_build_user_ev(network->addr, known->addr, pkt->username, known->username));
        std::memset(known->username, 0, sizeof(known->username));
        std::memcpy(known->username, pkt->username, JX_HDR_UNAME_LEN);
        return JX_PEER_REFRESHED;
    }

    jx_log("Joined %s : %s", peer->username, jx_ip_str(peer->addr).s);
    if (now - network->last_beacon < NEW_PEER_BEACON_PULL)
        network->last_beacon = now - NEW_PEER_BEACON_PULL;

    if (network->type == NET_UNSPEC) {
        // The remote host answered our queries: this is now a private network with it.
        JXChannel* ch = jx_ch_from_network(network, 0);
        if (ch != nullptr && ch->type == CH_UNSPEC)
            ch->type = CH_DM;
        network->type = NET_DIRECT_IP_OUTGOING;
        jx_set_network_status(network, NET_ONLINE);
    }

    bool announce = true;
    if (network->type == NET_MULTICAST || network->type == NET_BROADCAST) {
        // A peer that was online before us is already known to the user; only newcomers are announced.
        const int64_t peer_uptime = jx_beacon_uptime(pkt->payload);
        announce = peer_uptime <= now - network->online_since;
    }
    if (announce)
        jx_comm_raise(EV_PEER_JOINED, jx_build_user_ev(network->addr, peer->addr, peer->username, ""));
    else
        // No notice, but the screens that list peers must still show it at once.
        jx_comm_raise(EV_NET_REFRESH, jx_build_net_ev(network->addr));
    return JX_PEER_ADDED;
}
