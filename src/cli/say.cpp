// say: one text on the private channel with a host, or on a group's main channel, and its
// verdict. On a group it first waits until the network has been online for one beacon interval:
// every peer beacons once in that time, so by then all the peers there are have been heard.
#include "cli/job.hpp"
#include "engine/comm.hpp"
#include "engine/presence.hpp"
#include "engine/records.hpp"
#include "engine/registry.hpp"
#include "engine/texts.hpp"
#include "foundation/ipv4.hpp"
#include "foundation/timer.hpp"

namespace {

enum : uint8_t { PHASE_PEERS = 1, PHASE_VERDICT = 2 };

// Every peer beacons once in this time (beacons go when more than JX_BEACON_GAP_S passed).
constexpr int64_t BEACON_INTERVAL_S = JX_BEACON_GAP_S + 1;

void start(CliJob* job)
{
    job->net = job->args.to != 0 ? job->args.to : job->args.groups[0];
    (void)cli_job_open(job, job->net);
}

void send_text(CliJob* job, JXNetwork* n)
{
    const std::string net = jx_ip_str(job->net).s;
    if (jx_set_size(&n->peers) == 0) {
        cli_job_end(job, 1, "no peer on " + net + " (waited one beacon interval, 11 s, for them)");
        return;
    }
    const uint8_t rc = jx_snd_txt(jx_channel_by_addr(job->net, 0), job->args.text.c_str());
    if (rc == JX_TXT_OK) {
        // jx_snd_txt has just raised EV_TXT_SENT: its id is the text's.
        const auto* ev = static_cast<const JXEvent*>(jx_list_data(jx_list_tail(&comm.events)));
        if (ev != nullptr && ev->kind == EV_TXT_SENT && ev->payload != nullptr) {
            job->msg_id = static_cast<uint32_t>(static_cast<const msg_ev*>(ev->payload)->msg_id);
            job->phase = PHASE_VERDICT;
            return;
        }
    }
    cli_job_end(job, 1,
                rc == JX_TXT_OFFLINE || rc == JX_TXT_NO_NETWORK ? net + " went offline"
                : rc == JX_TXT_UNTRACKED || rc == JX_TXT_OK
                    ? "sent, but its delivery cannot be followed (out of memory)"
                    : "the text could not be sent (see jx_internal/log)");
}

// Whether the engine still follows the text: its record goes with its verdict, or with the
// network when it is left in the program.
bool followed(const CliJob* job)
{
    const JXChannel* ch = jx_channel_by_addr(job->net, 0);
    for (jx_list_elmt* el = ch != nullptr ? jx_list_head(&ch->sent_txts) : nullptr; el != nullptr;
         el = jx_list_next(el))
        if (jx_dgram_msg_id(static_cast<const JXSentTxt*>(jx_list_data(el))->dgram) == job->msg_id)
            return true;
    return false;
}

void step(CliJob* job, int64_t now)
{
    if (job->phase == PHASE_VERDICT) {
        if (cli_job_looks(job, now) && !followed(job))
            cli_job_end(job, 1, std::string("the text was ") + CLI_REMOVED);
        return;
    }
    if (job->phase == CLI_PHASE_CONNECT) {
        if (cli_job_online(job, now) == nullptr)
            return;
        job->phase = PHASE_PEERS;
    }
    if (job->phase != PHASE_PEERS)
        return;
    JXNetwork* n = jx_network_by_addr(job->net);
    if (n == nullptr || n->status != NET_ONLINE) {
        cli_job_end(job, 1, std::string(jx_ip_str(job->net).s) + " went offline");
        return;
    }
    if (jx_is_group(n->type) && jx_mono_now() - n->online_since < BEACON_INTERVAL_S)
        return;
    send_text(job, n);
}

void event(CliJob* job, const JXEvent* ev)
{
    if (job->phase != PHASE_VERDICT || jx_event_payload_type(ev->kind) != EVP_MSG)
        return;
    const auto* e = static_cast<const msg_ev*>(ev->payload);
    if (e->msg_id != job->msg_id || e->addr_a != job->net)
        return;
    const std::string net = jx_ip_str(job->net).s;
    if (ev->kind == EV_TXT_DELIVERED) {
        cli_out(job, "delivered " + net);
        cli_job_end(job, 0, "");
    } else if (ev->kind == EV_TXT_UNDELIVERED) {
        cli_out(job, "undelivered " + net);
        cli_job_end(job, 1, "no peer acknowledged the text");
    } else if (ev->kind == EV_TXT_PARTLY_UNDELIVERED) {
        cli_out(job, "partly-delivered " + net);
        cli_job_end(job, 1, "some peers did not acknowledge the text (jx_internal/log names them)");
    }
}

void answer(CliJob*, bool) {}

int stopped(CliJob*)
{
    return 1;
}

void end(CliJob*) {}

}  // namespace

const CliVerb CLI_VERB_SAY = {start, step, event, answer, stopped, end};
