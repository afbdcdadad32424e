#include "engine/quotas.hpp"

#include <cstdlib>

#include "engine/context.hpp"
#include "engine/records.hpp"
#include "engine/refusals.hpp"
#include "engine/registry.hpp"
#include "foundation/log.hpp"
#include "foundation/timer.hpp"
#include "storage/stranger_files.hpp"

namespace {

template <typename F>
void each_network(F f)
{
    for (jx_list_elmt* el = jx_list_head(&comm.networks); el != nullptr; el = jx_list_next(el))
        f(static_cast<JXNetwork*>(jx_list_data(el)));
}

int32_t stranger_channels()
{
    int32_t n = 0;
    each_network([&](const JXNetwork* net) {
        for (jx_list_elmt* el = jx_list_head(&net->channels); el != nullptr; el = jx_list_next(el))
            n += static_cast<const JXChannel*>(jx_list_data(el))->stranger;
    });
    return n;
}

void file_of(const JXChannel* ch, char* name)
{
    jx_channel_file_name(ch->type, ch->net_addr, ch->peer_addr, name);
}

// A file whose channel is live is written again by the next notice: it is never deleted. The
// name holds the channel's addresses ("%08lx" of the network, "_%08lx" of a Net DM's peer), so
// this is a lookup, not a walk over every channel: it is asked during floods.
bool file_in_use(const char* name)
{
    char* end = nullptr;
    const auto net = static_cast<uint32_t>(std::strtoul(name, &end, 16));
    const uint32_t peer = *end == '_' ? static_cast<uint32_t>(std::strtoul(end + 1, nullptr, 16)) : 0;
    return jx_channel_by_addr(net, peer) != nullptr;
}

// Leaves the least recently heard private network that strangers opened and nobody opened here: a
// time limit alone would free nothing during a flood. False when there is none.
bool drop_oldest_stranger()
{
    JXNetwork* oldest = nullptr;
    each_network([&](JXNetwork* n) {
        if (n->stranger != 0 && (oldest == nullptr || n->last_heard < oldest->last_heard))
            oldest = n;
    });
    if (oldest == nullptr)
        return false;
    jx_refuse(JX_DROP_NETWORK, oldest->addr);
    jx_leave_network(oldest);
    return true;
}

// Whether the file may be made for strangers. When nothing can give way, the least recently heard
// private network of strangers gives up its own, which may hold no text and then gives way.
bool admit_file(const char* name, bool to_keep)
{
    uint8_t rc = jx_stranger_file_admit(name, file_in_use, to_keep);
    if (rc == JX_SF_FULL && drop_oldest_stranger())
        rc = jx_stranger_file_admit(name, file_in_use, to_keep);
    return rc == JX_SF_OK;
}

}  // namespace

void manage_stranger_files()
{
    jx_stranger_files_sweep(file_in_use);
}

void flush_stranger_files()
{
    jx_stranger_files_flush(file_in_use);
}

bool jx_peer_room(const JXNetwork* network, uint32_t addr)
{
    if (jx_peer_from_network(addr, network) != nullptr)
        return true;
    int32_t all = 0;
    each_network([&](const JXNetwork* n) { all += jx_set_size(&n->peers); });
    if (jx_set_size(&network->peers) < JX_MAX_PEERS_PER_NETWORK && all < JX_MAX_PEERS)
        return true;
    jx_refuse(JX_REFUSE_PEER, addr);
    return false;
}

bool jx_offer_room(const JXNetwork* network, uint32_t addr)
{
    int32_t all = 0;
    int32_t peer = 0;
    each_network([&](const JXNetwork* n) {
        for (jx_list_elmt* el = jx_list_head(&n->downloads); el != nullptr; el = jx_list_next(el)) {
            const auto* d = static_cast<const JXTransfer*>(jx_list_data(el));
            all += d->state == DL_PENDING;
            peer += d->state == DL_PENDING && n == network && d->addr == addr;
        }
    });
    if (all < JX_MAX_PENDING_OFFERS && peer < JX_MAX_OFFERS_PER_PEER)
        return true;
    jx_refuse(JX_REFUSE_OFFER, addr);
    return false;
}

JXChannel* jx_stranger_channel(JXNetwork* network, uint32_t peer_addr, uint32_t from)
{
    if (JXChannel* known = jx_ch_from_network(network, peer_addr); known != nullptr)
        return known;
    if (peer_addr != 0 && jx_peer_from_network(peer_addr, network) == nullptr)
        return nullptr;  // only peers get a direct channel on a group
    // The terminal writes the file from the events raised next, so the decision is taken here.
    char name[JX_CHANNEL_NAME_SIZE];
    jx_channel_file_name(jx_is_group(network->type) && peer_addr != 0 ? CH_NET_DM : CH_MAIN, network->addr,
                         peer_addr, name);
    if (stranger_channels() >= JX_MAX_STRANGER_CHANNELS || !admit_file(name, true)) {
        jx_refuse(JX_REFUSE_CHANNEL, from);
        return nullptr;
    }
    JXChannel* ch = nullptr;
    if (jx_add_channel(network->addr, peer_addr, &ch) != JX_CH_ADD_OK)
        return nullptr;
    ch->stranger = 1;
    return ch;
}

bool jx_stranger_network_room(uint32_t addr)
{
    if (jx_network_by_addr(addr) != nullptr)
        return true;
    char name[JX_CHANNEL_NAME_SIZE];
    jx_channel_file_name(CH_DM, addr, 0, name);
    int32_t strangers = 0;
    each_network([&](const JXNetwork* n) { strangers += n->stranger; });
    const bool full = strangers >= JX_MAX_STRANGER_NETWORKS || jx_set_size(&comm.networks) >= JX_MAX_NETWORKS;
    // Room in memory, then on disk.
    if ((full && !drop_oldest_stranger()) || !admit_file(name, false)) {
        jx_refuse(JX_REFUSE_NETWORK, addr);
        return false;
    }
    return true;
}

void jx_mark_stranger_network(JXNetwork* network)
{
    network->stranger = 1;
    if (JXChannel* ch = jx_ch_from_network(network, 0); ch != nullptr)
        ch->stranger = 1;
}

bool jx_keep_stranger_channel(const JXChannel* channel, uint32_t from)
{
    if (channel == nullptr || channel->stranger == 0)
        return true;
    char name[JX_CHANNEL_NAME_SIZE];
    file_of(channel, name);
    if (jx_stranger_file_keep(name))
        return true;
    jx_refuse(JX_REFUSE_CHANNEL, from);
    return false;
}
