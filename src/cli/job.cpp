#include "cli/job.hpp"

#include <algorithm>
#include <climits>
#include <cstring>

#include "engine/comm.hpp"
#include "engine/records.hpp"
#include "engine/registry.hpp"
#include "foundation/ipv4.hpp"
#include "foundation/timer.hpp"
#include "foundation/utility.hpp"

namespace {

// Every job that has not been freed, ended or not, in order of creation.
std::vector<CliJob*> live;

const CliVerb* verb_of(const CliJob* job)
{
    switch (job->args.verb) {
    case CLI_SEND:
        return &CLI_VERB_SEND;
    case CLI_RECEIVE:
        return &CLI_VERB_RECEIVE;
    case CLI_SAY:
        return &CLI_VERB_SAY;
    default:
        return &CLI_VERB_WATCH;
    }
}

void emit(CliJob* job, const CtlRecord& r)
{
    if (job->sink.emit != nullptr)
        job->sink.emit(job->sink.arg, r);
}

// A running job besides this one that needs the network, or null.
CliJob* another_needing(const CliJob* job, uint32_t addr)
{
    for (CliJob* other : live)
        if (other != job && other->status == CLI_RUNNING &&
            std::find(other->uses.begin(), other->uses.end(), addr) != other->uses.end())
            return other;
    return nullptr;
}

// A network the job joined is left at its end, unless another job still needs it (which then
// leaves it in turn), the terminal program keeps it as if the user had joined it (private
// networks there stay, groups joined for one text do not), or its engine leaves it (leaves).
void leave_joined(CliJob* job)
{
    for (uint32_t addr : job->joined) {
        if (!job->leaves)
            break;
        if (job->in_terminal && !is_mcast_addr(addr) && !is_bcast_addr(addr))
            continue;
        if (CliJob* other = another_needing(job, addr); other != nullptr)
            other->joined.push_back(addr);
        else if (JXNetwork* n = jx_network_by_addr(addr); n != nullptr)
            (void)jx_leave_network(n);
    }
    job->joined.clear();
}

CliJob* made(const CliArgs& args, const std::string& cwd, bool progress, bool in_terminal, CliSink sink)
{
    auto* job = new CliJob{};
    job->args = args;
    job->cwd = cwd;
    job->progress = progress;
    job->in_terminal = in_terminal;
    job->sink = sink;
    return job;
}

CliJob* launch(CliJob* job)
{
    job->start_us = jx_clock_now_us();
    job->deadline_us =
        job->args.timeout_us == CLI_NO_TIMEOUT ? INT64_MAX : job->start_us + job->args.timeout_us;
    // A limit of the user's replaces the 30 s a peer has to answer.
    job->answer_by_us =
        job->args.timeout_us == CLI_NO_TIMEOUT ? job->start_us + CLI_ANSWER_US : job->deadline_us;
    live.push_back(job);
    verb_of(job)->start(job);
    return job;
}

}  // namespace

CliJob* cli_job_new(const CliArgs& args, const std::string& cwd, bool progress, bool in_terminal,
                    CliSink sink)
{
    return launch(made(args, cwd, progress, in_terminal, sink));
}

void cli_job_send_folder(uint32_t net, uint32_t peer, const std::string& dir, CliSink sink)
{
    CliArgs args;
    args.verb = CLI_SEND;
    args.paths = {dir};
    CliJob* job = made(args, "", false, true, sink);
    // With its channel set, the job joins nothing.
    job->net = net;
    job->peer = peer;
    job->detached = true;
    if (launch(job)->status != CLI_RUNNING)
        cli_job_free(job);
}

void cli_job_free(CliJob* job)
{
    if (job == nullptr)
        return;
    if (job->status == CLI_RUNNING)
        cli_job_stop(job, "");
    live.erase(std::remove(live.begin(), live.end(), job), live.end());
    delete job;
}

void cli_jobs_step()
{
    const int64_t now = jx_clock_now_us();
    // A job may end others' use of a network, never the list: it is copied for the walk.
    const std::vector<CliJob*> jobs = live;
    for (CliJob* job : jobs) {
        if (job->status != CLI_RUNNING)
            continue;
        // A peer that never answered is the reason, also when the user's limit ran out first.
        if (job->phase == CLI_PHASE_CONNECT && now >= job->answer_by_us &&
            cli_job_online(job, now) == nullptr)
            continue;
        if (now >= job->deadline_us) {
            const int status = verb_of(job)->stopped(job);
            cli_job_end(job, status, status == 0 ? "" : "time limit reached");
            continue;
        }
        verb_of(job)->step(job, now);
    }
    for (CliJob* job : jobs)
        if (job->detached && job->status != CLI_RUNNING)
            cli_job_free(job);
}

void cli_jobs_event(const JXEvent* ev)
{
    if (ev == nullptr || ev->payload == nullptr)
        return;
    const std::vector<CliJob*> jobs = live;
    for (CliJob* job : jobs)
        if (job->status == CLI_RUNNING)
            verb_of(job)->event(job, ev);
}

int64_t cli_jobs_wait_us()
{
    const int64_t now = jx_clock_now_us();
    int64_t wait = -1;
    const auto at_most = [&](int64_t us) { wait = wait < 0 ? us : std::min(wait, us); };
    for (const CliJob* job : live) {
        if (job->status != CLI_RUNNING)
            continue;
        bool waits = job->msg_id != 0;  // a text for its verdict
        for (const CliFile& f : job->files) {
            if (f.state == CLI_FILE_PACKING || f.state == CLI_FILE_UNPACKING)
                at_most(0);
            waits = waits || f.state == CLI_FILE_MOVING;
        }
        if (waits)
            at_most(std::max<int64_t>(job->looked_us + CLI_LOOK_US - now, 0));
        if (job->deadline_us != INT64_MAX)
            at_most(std::max<int64_t>(job->deadline_us - now, 0));
        // Waiting for a network: its answer comes as a datagram, its limit as a deadline.
        if (job->phase == CLI_PHASE_CONNECT && job->answer_by_us != INT64_MAX)
            at_most(std::max<int64_t>(job->answer_by_us - now, 0));
    }
    return wait;
}

size_t cli_jobs_live()
{
    return live.size();
}

void cli_jobs_close()
{
    const std::vector<CliJob*> jobs = live;
    for (CliJob* job : jobs)
        if (job->detached)
            cli_job_free(job);
}

void cli_job_answer(CliJob* job, bool yes)
{
    if (job->status == CLI_RUNNING)
        verb_of(job)->answer(job, yes);
}

void cli_job_stop(CliJob* job, const char* why)
{
    if (job->status == CLI_RUNNING)
        cli_job_end(job, verb_of(job)->stopped(job), why != nullptr ? why : "");
}

void cli_out(CliJob* job, const std::string& line)
{
    emit(job, CtlRecord{CTL_OUT, line, {}, 0});
}

void cli_err(CliJob* job, const std::string& line)
{
    emit(job,
         CtlRecord{CTL_ERR, "jexley " + std::string(cli_verb_name(job->args.verb)) + ": " + line, {}, 0});
}

void cli_ask(CliJob* job, const std::string& question)
{
    emit(job, CtlRecord{CTL_ASK, question, {}, 0});
}

void cli_progress(CliJob* job, const CtlProgress& p)
{
    if (job->progress)
        emit(job, CtlRecord{CTL_PROGRESS, "", p, 0});
}

void cli_job_end(CliJob* job, int status, const std::string& why)
{
    if (job->status != CLI_RUNNING)
        return;
    // A stop that ends a command as it should (watch) needs no word.
    if (!why.empty() && status != 0)
        cli_err(job, why);
    // Ended first, so that the verb's end and the leaving see the job as no longer needing anything.
    job->status = status;
    verb_of(job)->end(job);
    leave_joined(job);
    job->uses.clear();
    emit(job, CtlRecord{CTL_EXIT, "", {}, status});
}

void cli_file_ended(CliJob* job, CliFile* f, const char* word, const std::string& why)
{
    f->state = why.empty() ? CLI_FILE_DONE : CLI_FILE_FAILED;
    job->ended++;
    if (!why.empty()) {
        job->failed++;
        cli_err(job, f->name + ": " + why);
    }
    const uint8_t none[JX_DIGEST_LEN] = {};
    const bool known = std::memcmp(f->digest, none, sizeof none) != 0;
    cli_out(job, std::string(word) + " " + std::to_string(f->size) + " " +
                     (known ? cli_hex(f->digest, sizeof f->digest) : "-") + " " +
                     (job->args.verb == CLI_RECEIVE ? f->path : f->name));
}

const char* cli_join_refusal(uint8_t rc, const char* addr)
{
    switch (rc) {
    case JX_JOIN_BAD_ADDR:  // JX_NET_ADD_NOMEM too
        return ipv4_check(addr) != 0 ? "not an IPv4 address (like 239.0.0.1)" : "out of memory";
    case JX_NET_ADD_BCAST_FAILED:
        return "the system refused broadcast";
    case JX_NET_ADD_INSERT_FAILED:
        return "out of memory";
    case JX_NET_ADD_MCAST_FAILED:
        return "the system refused the multicast group (is there a route for 224.0.0.0/4?)";
    case JX_NET_ADD_LOOPBACK:
        return "loopback and 0.0.0.0 cannot be joined";
    default:
        return "see jx_internal/log";
    }
}

bool cli_job_open(CliJob* job, uint32_t addr)
{
    job->uses.push_back(addr);
    const JXIpStr text = jx_ip_str(addr);
    JXChannel* ch = nullptr;
    const uint8_t rc = jx_join_network(text.s, 0, &ch);
    if (ch == nullptr) {
        cli_job_end(job, 1, std::string("cannot join ") + text.s + ": " + cli_join_refusal(rc, text.s));
        return false;
    }
    if (rc == JX_JOIN_OK)
        job->joined.push_back(addr);
    return true;
}

JXNetwork* cli_job_online(CliJob* job, int64_t now_us)
{
    JXNetwork* n = jx_network_by_addr(job->net);
    if (n != nullptr && n->status == NET_ONLINE)
        return n;
    if (now_us >= job->answer_by_us) {
        const bool group = is_mcast_addr(job->net) || is_bcast_addr(job->net);
        cli_job_end(job, 1,
                    std::string(jx_ip_str(job->net).s) +
                        (group ? " did not come online: is there a route for it?" : " never answered"));
    }
    return nullptr;
}

bool cli_job_looks(CliJob* job, int64_t now_us)
{
    if (now_us - job->looked_us < CLI_LOOK_US || jx_list_size(&comm.events) != 0)
        return false;
    job->looked_us = now_us;
    return true;
}

void cli_job_look_at_files(CliJob* job, JXTransfer* (*find)(const JXNetwork*, const uint8_t*))
{
    bool shown = false;
    for (CliFile& f : job->files) {
        if (f.state != CLI_FILE_MOVING)
            continue;
        const JXTransfer* t = find(jx_network_by_addr(f.net), f.id);
        if (t == nullptr) {
            cli_file_ended(job, &f, "failed", CLI_REMOVED);
        } else if (!shown && t->start_time != 0) {
            cli_progress(job, cli_transfer_progress(t));
            shown = true;
        }
    }
}

CliFile* cli_job_file(CliJob* job, const uint8_t* id)
{
    for (CliFile& f : job->files)
        if (f.state != CLI_FILE_WAITING && std::memcmp(f.id, id, sizeof f.id) == 0)
            return &f;
    return nullptr;
}

std::string cli_peer_label(uint32_t net, uint32_t peer)
{
    const JXPeer* p = jx_peer_from_network(peer, jx_network_by_addr(net));
    if (p == nullptr || p->username[0] == '\0')
        return jx_ip_str(peer).s;
    char name[64];
    jx_str_sanitize(p->username, JX_USERNAME_MAX, name, sizeof name);
    return std::string(name) + " (" + jx_ip_str(peer).s + ")";
}

CtlProgress cli_transfer_progress(const JXTransfer* t)
{
    CtlProgress p;
    p.name = t->meta.name;
    p.size = t->meta.size;
    const uint64_t pending = t->bytes_left + static_cast<uint64_t>(t->chunk_size) * t->chunk_count;
    p.done = t->start_time != 0 && pending < p.size ? p.size - pending : 0;
    p.speed = t->speed;
    p.eta = t->speed > 0 ? static_cast<int64_t>(t->eta) : -1;
    return p;
}
