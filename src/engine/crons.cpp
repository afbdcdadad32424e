#include "engine/crons.hpp"

#include <cstdlib>

#include "engine/comm.hpp"
#include "engine/events.hpp"
#include "engine/senders.hpp"
#include "engine/texts.hpp"
#include "engine/utils.hpp"
#include "foundation/log.hpp"
#include "foundation/timer.hpp"

void manage_network(JXNetwork* network)
{
    if (network->status != NET_ONLINE)
        return;
    if (jx_clock_now() - network->last_heard <= JX_NET_OFFLINE_S)
        return;
    jx_set_network_status(network, NET_OFFLINE);
    jx_comm_raise(EV_NET_CHANGED, jx_build_net_ev(network->addr));
}

void manage_peer_list(JXNetwork* network)
{
    const int64_t now = jx_clock_now();
    jx_list_elmt* prev = nullptr;
    jx_list_elmt* el = jx_list_head(&network->peers);
    while (el != nullptr) {
        jx_list_elmt* next = jx_list_next(el);
        auto* peer = static_cast<JXPeer*>(jx_list_data(el));
        if (now - peer->last_seen <= JX_PEER_TIMEOUT_S) {
            prev = el;
            el = next;
            continue;
        }
        jx_log("Dropping %s(%s) from list - no KA received", peer->username, jx_ip_str(peer->addr).s);
        jx_comm_raise(EV_PEER_DROPPED, jx_build_user_ev(network->addr, peer->addr, peer->username, ""));
        void* data = nullptr;
        if (jx_list_rem_next(&network->peers, prev, &data) == 0) {
            std::free(data);
        } else {
            prev = el;
        }
        if (jx_is_direct_ip(network->type) && jx_set_size(&network->peers) == 0) {
            jx_set_network_status(network, NET_CLOSED);
            jx_comm_raise(EV_NET_CHANGED, jx_build_net_ev(network->addr));
        }
        el = next;
    }
}

void live_beacon(JXNetwork* network)
{
    const int64_t now = jx_clock_now();
    if (network->type == NET_UNSPEC) {
        // No beacon before the host answered; a closed network waits until it is joined again.
        if (network->status == NET_CLOSED || now - network->last_beacon <= JX_QUERY_GAP_S)
            return;
        (void)jx_snd_query(network);
        network->last_beacon = now;
        return;
    }
    if (now - network->last_beacon <= JX_BEACON_GAP_S)
        return;
    (void)jx_snd_beacon(network);
    network->last_beacon = now;
}

void manage_tasks()
{
    // Verifying a finished download needs the transfer records and their storage, which are not
    // built yet: such tasks stay queued untouched. The log notes each one once, not every turn.
    static const void* last_noted = nullptr;
    jx_list_elmt* prev = nullptr;
    jx_list_elmt* el = jx_list_head(&comm.tasks);
    while (el != nullptr) {
        jx_list_elmt* next = jx_list_next(el);
        auto* task = static_cast<JXTask*>(jx_list_data(el));
        if (task->kind == TASK_VERIFY_DOWNLOAD && task->payload == nullptr) {
            // Nothing to verify: a task without its record would otherwise sit in the queue for ever.
            void* data = nullptr;
            if (jx_list_rem_next(&comm.tasks, prev, &data) == 0) {
                jx_log("Task without payload dropped");
                std::free(data);
                el = next;
                continue;
            }
        } else if (task->kind == TASK_VERIFY_DOWNLOAD && task != last_noted) {
            jx_log("Task kind %d not handled yet", task->kind);
            last_noted = task;
        }
        prev = el;
        el = next;
    }
}

uint8_t jx_crons_run()
{
    // The next network is taken first: a step may one day remove the current one.
    jx_list_elmt* el = jx_list_head(&comm.networks);
    while (el != nullptr) {
        jx_list_elmt* next = jx_list_next(el);
        auto* network = static_cast<JXNetwork*>(jx_list_data(el));
        manage_network(network);
        manage_peer_list(network);
        live_beacon(network);
        txt_retry(network);
        // manage_downloads and manage_uploads join here with the file-transfer work.
        el = next;
    }
    manage_tasks();
    return 0;
}
