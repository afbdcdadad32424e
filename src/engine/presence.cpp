#include "engine/presence.hpp"

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "engine/context.hpp"
#include "engine/events.hpp"
#include "engine/quotas.hpp"
#include "engine/transfers.hpp"
#include "engine/registry.hpp"
#include "engine/senders.hpp"
#include "foundation/log.hpp"
#include "foundation/netif.hpp"
#include "foundation/timer.hpp"

void proc_beacon(const JXPacket* pkt)
{
    JXNetwork* network = jx_network_of_packet(pkt);
    if (network == nullptr)
        return;
    const int64_t now = jx_mono_now();

    // Our own beacon came back: the network carries our traffic, and now we know our address on it.
    // Only the kernel proves it ours: a host that replays our instance id is one more peer.
    if (jx_beacon_is_from(pkt->payload, comm.instance_id) && jx_is_group(network->type) &&
        jx_netif_is_local(pkt->src_addr)) {
        network->own_addr = pkt->src_addr;
        network->last_heard = now;
        if (network->status == NET_OFFLINE) {
            jx_set_network_status(network, NET_ONLINE);
            jx_comm_raise(EV_NET_REFRESH, jx_build_net_ev(network->addr));
        }
        return;
    }

    if (jx_is_direct_ip(network->type)) {
        network->last_heard = now;
        if (network->status == NET_OFFLINE) {
            jx_set_network_status(network, NET_ONLINE);
            jx_comm_raise(EV_NET_REFRESH, jx_build_net_ev(network->addr));
        }
    }

    if (jx_peer_room(network, pkt->src_addr))
        (void)jx_add_peer(network, pkt);
}

void proc_query(const JXPacket* pkt)
{
    if (!jx_stranger_network_room(pkt->src_addr))
        return;
    JXChannel* channel = nullptr;
    const uint8_t rc = jx_join_network(jx_ip_str(pkt->src_addr).s, NET_DIRECT_IP_INCOMING, &channel);
    JXNetwork* network = nullptr;
    switch (rc) {
    case JX_JOIN_OK:
        network = jx_network_by_addr(channel->net_addr);
        if (network != nullptr)
            jx_mark_stranger_network(network);
        break;
    case JX_JOIN_ALREADY:
        jx_log("Already joined");
        if (channel->type == CH_UNSPEC)
            channel->type = CH_DM;
        network = jx_network_by_addr(channel->net_addr);
        if (network == nullptr) {
            jx_log("Could not join for request - network can't be retrieved");
            return;
        }
        jx_set_network_status(network, NET_ONLINE);
        jx_comm_raise(EV_NET_REFRESH, jx_build_net_ev(network->addr));
        break;
    default:
        jx_log("Could not join for request");
        return;
    }
    if (network == nullptr)
        return;
    const uint8_t peer_rc = jx_add_peer(network, pkt);
    if (peer_rc != JX_PEER_ADDED && peer_rc != JX_PEER_REFRESHED) {
        jx_leave_network(network);
        return;
    }
    jx_log("Private network opened");
}

void proc_leave(const JXPacket* pkt)
{
    JXNetwork* network = jx_network_of_packet(pkt);
    if (network == nullptr)
        return;
    if (check_duplicate_id(network, pkt))
        return;

    JXPeer key{};
    key.addr = pkt->src_addr;
    void* data = &key;
    if (jx_set_remove(&network->peers, &data) == 0) {
        std::free(data);
        jx_comm_raise(EV_PEER_LEFT, jx_build_user_ev(network->addr, pkt->src_addr, pkt->username, ""));
        jx_log("%s(%s) left", pkt->username, jx_ip_str(pkt->src_addr).s);
        jx_transfers_peer_gone(network, pkt->src_addr);
    }
    if (jx_is_direct_ip(network->type) && jx_set_size(&network->peers) == 0) {
        jx_set_network_status(network, NET_CLOSED);
        jx_comm_raise(EV_NET_CHANGED, jx_build_net_ev(network->addr));
    }
}

void manage_network(JXNetwork* network)
{
    if (network->status != NET_ONLINE)
        return;
    if (jx_mono_now() - network->last_heard <= JX_NET_OFFLINE_S)
        return;
    jx_set_network_status(network, NET_OFFLINE);
    jx_comm_raise(EV_NET_CHANGED, jx_build_net_ev(network->addr));
}

void manage_peer_list(JXNetwork* network)
{
    const int64_t now = jx_mono_now();
    const int32_t dropped = jx_list_remove_if(&network->peers, [&](void* data) {
        const auto* peer = static_cast<const JXPeer*>(data);
        if (now - peer->last_seen <= JX_PEER_TIMEOUT_S)
            return false;
        jx_log("Dropping %s(%s) from list - no KA received", peer->username, jx_ip_str(peer->addr).s);
        jx_comm_raise(EV_PEER_DROPPED, jx_build_user_ev(network->addr, peer->addr, peer->username, ""));
        jx_transfers_peer_gone(network, peer->addr);
        return true;
    });
    if (dropped > 0 && jx_is_direct_ip(network->type) && jx_set_size(&network->peers) == 0) {
        jx_set_network_status(network, NET_CLOSED);
        jx_comm_raise(EV_NET_CHANGED, jx_build_net_ev(network->addr));
    }
}

void live_beacon(JXNetwork* network)
{
    const int64_t now = jx_mono_now();
    if (network->type == NET_UNSPEC) {
        // No beacon before the host answered; a closed network waits until it is joined again.
        if (network->status == NET_CLOSED || now - network->last_beacon <= JX_QUERY_GAP_S)
            return;
        (void)jx_snd_query(network);
        network->last_beacon = now;
        return;
    }
    // A closed private network has no peer to beacon to: each try would only log a failure, and
    // strangers can leave dozens of them closed.
    if (network->status == NET_CLOSED || now - network->last_beacon <= JX_BEACON_GAP_S)
        return;
    (void)jx_snd_beacon(network);
    network->last_beacon = now;
}

int64_t presence_due(const JXNetwork* network)
{
    // Each step acts once its gap is exceeded, so one second after the gap has passed.
    int64_t due = std::numeric_limits<int64_t>::max();
    if (network->status == NET_ONLINE)
        due = network->last_heard + JX_NET_OFFLINE_S + 1;
    for (jx_list_elmt* el = jx_list_head(&network->peers); el != nullptr; el = jx_list_next(el))
        due = std::min(due, static_cast<const JXPeer*>(jx_list_data(el))->last_seen + JX_PEER_TIMEOUT_S + 1);
    if (network->status != NET_CLOSED)
        due = std::min(due, network->last_beacon + (network->type != NET_UNSPEC ? JX_BEACON_GAP_S : JX_QUERY_GAP_S) + 1);
    return due;
}
