#include "engine/records.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/context.hpp"
#include "foundation/log.hpp"
#include "storage/archive.hpp"
#include "storage/fso.hpp"

int jx_match_network(const void* key, const void* member)
{
    return static_cast<const JXNetwork*>(key)->addr == static_cast<const JXNetwork*>(member)->addr;
}

int jx_match_channel(const void* key, const void* member)
{
    const auto* a = static_cast<const JXChannel*>(key);
    const auto* b = static_cast<const JXChannel*>(member);
    return a->net_addr == b->net_addr && a->peer_addr == b->peer_addr;
}

int jx_match_peer(const void* key, const void* member)
{
    return static_cast<const JXPeer*>(key)->addr == static_cast<const JXPeer*>(member)->addr;
}

int jx_match_sent_text_addr(const void* key, const void* member)
{
    return std::memcmp(key, member, sizeof(uint32_t)) == 0;
}

JXChannel* jx_ch_from_network(const JXNetwork* network, uint32_t peer_addr)
{
    if (network == nullptr)
        return nullptr;
    return static_cast<JXChannel*>(jx_list_find(&network->channels, [&](void* ch) {
        return static_cast<const JXChannel*>(ch)->peer_addr == peer_addr;
    }));
}

JXPeer* jx_peer_from_network(uint32_t addr, const JXNetwork* network)
{
    if (network == nullptr)
        return nullptr;
    return static_cast<JXPeer*>(
        jx_list_find(&network->peers, [&](void* p) { return static_cast<const JXPeer*>(p)->addr == addr; }));
}

void jx_network_init_lists(JXNetwork* network)
{
    jx_set_init(&network->peers, jx_match_peer, std::free);
    jx_set_init(&network->channels, jx_match_channel, jx_channel_destroy);
    jx_list_init(&network->downloads, jx_download_destroy);
    jx_list_init(&network->uploads, jx_upload_destroy);
    jx_list_init(&network->fin_downloads, jx_fin_destroy);
    jx_list_init(&network->fin_uploads, jx_fin_destroy);
}

void jx_channel_init_lists(JXChannel* channel)
{
    jx_list_init(&channel->sent_txts, jx_sent_txt_destroy);
}

void jx_sent_txt_init_lists(JXSentTxt* sent)
{
    jx_set_init(&sent->addressees, jx_match_sent_text_addr, std::free);
}

void jx_network_destroy_lists(JXNetwork* network)
{
    jx_set_destroy(&network->peers);
    jx_set_destroy(&network->channels);
    jx_list_destroy(&network->downloads);
    jx_list_destroy(&network->uploads);
    jx_list_destroy(&network->fin_downloads);
    jx_list_destroy(&network->fin_uploads);
}

void jx_channel_destroy(void* channel)
{
    if (channel == nullptr)
        return;
    jx_list_destroy(&static_cast<JXChannel*>(channel)->sent_txts);
    std::free(channel);
}

void jx_sent_txt_destroy(void* sent)
{
    if (sent == nullptr)
        return;
    jx_set_destroy(&static_cast<JXSentTxt*>(sent)->addressees);
    std::free(sent);
}

bool jx_transfer_release(JXTransfer* t)
{
    std::free(t->seg_buf);
    t->seg_buf = nullptr;
    t->seg_buf_size = 0;
    const bool closed = jx_fso_close_fp(t->stream) == 0;
    t->stream = nullptr;
    return closed;
}

void jx_upload_destroy(void* upload)
{
    if (upload == nullptr)
        return;
    auto* u = static_cast<JXTransfer*>(upload);
    jx_transfer_release(u);
    // A folder's archive was made for this upload alone, and goes with it however it ended.
    if (jx_outbox_holds(u->meta.dir))
        (void)jx_outbox_remove(u->meta.name);
    std::free(upload);
}

void jx_download_destroy(void* download)
{
    if (download == nullptr)
        return;
    auto* d = static_cast<JXTransfer*>(download);
    const bool partial = d->stream != nullptr;
    jx_transfer_release(d);
    if (partial)
        jx_fso_remove_file(d->meta.name, d->meta.dir);
    std::free(d);
}

bool jx_task_verifies(const JXTask* task, const JXTransferFin* fin)
{
    return task->kind == TASK_VERIFY_DOWNLOAD && task->payload != nullptr &&
           static_cast<const JXVerifyTask*>(task->payload)->fin == fin;
}

void jx_verify_task_free(JXVerifyTask* task)
{
    if (task == nullptr)
        return;
    jx_fso_close_fp(task->stream);
    std::free(task);
}

void jx_fin_destroy(void* fin)
{
    if (fin == nullptr)
        return;
    // The queue frees each task it gives up; its verification goes here.
    (void)jx_list_remove_if(&comm.tasks, [&](void* t) {
        auto* task = static_cast<JXTask*>(t);
        if (!jx_task_verifies(task, static_cast<JXTransferFin*>(fin)))
            return false;
        jx_verify_task_free(static_cast<JXVerifyTask*>(task->payload));
        return true;
    });
    std::free(fin);
}

namespace {

const char* label(char (&buf)[40], const char* s)
{
    std::snprintf(buf, sizeof buf, "%s", s);
    return buf;
}

}  // namespace

const char* jx_channel_type_str(uint8_t type)
{
    static char buf[40];
    switch (type) {
    case CH_UNSPEC:
        return label(buf, "Unspec");
    case CH_MAIN:
        return label(buf, "Main");
    case CH_NET_DM:
        return label(buf, "Net DM");
    case CH_DM:
        return label(buf, "DM");
    default:
        return label(buf, "");
    }
}

const char* jx_network_type_str(uint8_t type)
{
    static char buf[40];
    switch (type) {
    case NET_UNSPEC:
        return label(buf, "Unspec");
    case NET_MULTICAST:
        return label(buf, "Multicast");
    case NET_BROADCAST:
        return label(buf, "Broadcast");
    case NET_DIRECT_IP_INCOMING:
    case NET_DIRECT_IP_OUTGOING:
        return label(buf, "DirectIP");
    default:
        return label(buf, "");
    }
}

uint8_t jx_set_ul_state(JXTransfer* upload, uint8_t state)
{
    switch (state) {
    case UL_HASHING:
    case UL_SEND_META:
    case UL_SEND_BATCH:
        break;
    case UL_PENDING:
        if (upload->state != UL_SEND_META) {
            jx_log("Can't change ul state from other then 'send meta' to 'pending'");
            return 1;
        }
        break;
    case UL_BATCH_DONE:
        if (upload->state != UL_SEND_BATCH) {
            jx_log("Can't change ul state to 'batch done' from other then 'send batch'");
            return 1;
        }
        break;
    default:
        jx_log("Unknown ul state change request");
        return 1;
    }
    upload->state = state;
    return 0;
}
