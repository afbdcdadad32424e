// send: offers each path to one host (a folder packed into the outbox first, one at a time, in
// steps within the turn's budget) and waits until every upload ended. The terminal program's
// /snd of a folder is the same job on its open direct channel.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "cli/job.hpp"
#include "engine/comm.hpp"
#include "engine/registry.hpp"
#include "engine/transfers.hpp"
#include "engine/uploads.hpp"
#include "storage/transfer_files.hpp"

namespace {

enum : uint8_t { PHASE_OFFER = 1 };

// The announcement a folder gets while it is packed, as a file gets it while it is hashed.
void announce(const CliJob* job, const char* name)
{
    const JXNetwork* n = jx_network_by_addr(job->net);
    if (n != nullptr)
        jx_comm_raise(EV_UL_PREPARING,
                      jx_build_file_ev(name, std::strlen(name), jx_is_direct_ip(n->type) ? CH_DM : CH_NET_DM,
                                       n->addr, job->peer != 0 ? job->peer : n->addr));
}

void offer(CliJob* job, CliFile* f)
{
    JXChannel* ch = jx_channel_by_addr(job->net, job->peer);
    const uint8_t rc = ch != nullptr ? jx_add_upload(ch, f->path.c_str()) : uint8_t{JX_UL_NO_NETWORK};
    const JXNetwork* n = jx_network_by_addr(job->net);
    if (rc != JX_UL_OK || n == nullptr) {
        if (f->folder)
            (void)jx_outbox_remove(f->name.c_str());
        cli_file_ended(job, f, "failed", cli_upload_refusal(rc, f->path.c_str()));
        return;
    }
    // A new upload is the first of its network's list.
    const auto* u = static_cast<const JXTransfer*>(jx_list_data(jx_list_head(&n->uploads)));
    std::memcpy(f->id, u->id, sizeof f->id);
    f->net = job->net;
    f->state = CLI_FILE_MOVING;
}

void pack(CliJob* job, CliFile* f)
{
    JXPack* p = f->pack.get();
    if (f->state == CLI_FILE_WAITING) {
        f->state = CLI_FILE_PACKING;
        if (jx_pack_begin(p, f->path.c_str()) == JX_ARC_MORE)
            announce(job, p->name);
    } else {
        (void)jx_pack_step(p, static_cast<int64_t>(JX_TURN_BUDGET_US));
    }
    if (p->state == JX_ARC_MORE)
        return;
    if (p->state != JX_ARC_DONE) {
        cli_file_ended(job, f, "failed", std::string("cannot be packed: ") + p->why);
        return;
    }
    if (p->skipped != 0)
        cli_err(job, std::string(p->name) + ": " + std::to_string(p->skipped) +
                         " links, FIFOs, sockets or devices left out");
    f->name = p->name;
    f->path = p->path;
    offer(job, f);
}

void start(CliJob* job)
{
    if (job->net == 0) {
        job->net = job->args.to;
        if (!cli_job_open(job, job->net))
            return;
    }
    for (const std::string& given : job->args.paths) {
        CliFile f;
        f.path = given[0] == '/' || job->cwd.empty() ? given : job->cwd + "/" + given;
        const size_t end = given.find_last_not_of('/');
        const size_t slash = end == std::string::npos ? std::string::npos : given.rfind('/', end);
        f.name = end == std::string::npos
                     ? given
                     : given.substr(slash == std::string::npos ? 0 : slash + 1,
                                    end + 1 - (slash == std::string::npos ? 0 : slash + 1));
        struct stat st {};
        if (stat(f.path.c_str(), &st) != 0) {
            cli_job_end(job, 1, given + ": " + std::strerror(errno));
            return;
        }
        if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
            cli_job_end(job, 1, given + " is neither a regular file nor a folder");
            return;
        }
        f.folder = S_ISDIR(st.st_mode);
        if (f.folder)
            f.pack = std::make_unique<JXPack>();
        job->files.push_back(std::move(f));
    }
}

void step(CliJob* job, int64_t now)
{
    if (job->phase == CLI_PHASE_CONNECT) {
        if (cli_job_online(job, now) == nullptr)
            return;
        job->phase = PHASE_OFFER;
    }
    bool packing = false;
    for (CliFile& f : job->files) {
        if (f.state == CLI_FILE_PACKING || (f.state == CLI_FILE_WAITING && f.folder && !packing)) {
            pack(job, &f);
            packing = packing || f.state == CLI_FILE_PACKING;
        } else if (f.state == CLI_FILE_WAITING && !f.folder) {
            offer(job, &f);
        }
    }
    if (cli_job_looks(job, now))
        cli_job_look_at_files(job, jx_get_ul);
    if (job->ended == job->files.size())
        cli_job_end(job, job->failed != 0 ? 1 : 0, "");
}

void event(CliJob* job, const JXEvent* ev)
{
    if (ev->kind != EV_UL_COMPLETE && ev->kind != EV_UL_FAILED && ev->kind != EV_UL_DECLINED)
        return;
    const auto* e = static_cast<const file_ev*>(ev->payload);
    CliFile* f = cli_job_file(job, e->id);
    if (f == nullptr || f->state != CLI_FILE_MOVING || e->net_addr != f->net)
        return;
    f->size = e->size;
    std::memcpy(f->digest, e->digest, sizeof f->digest);
    if (ev->kind == EV_UL_COMPLETE)
        cli_file_ended(job, f, "sent", "");
    else if (ev->kind == EV_UL_DECLINED)
        cli_file_ended(job, f, "declined", "declined by " + cli_peer_label(e->net_addr, e->peer_addr));
    else
        cli_file_ended(job, f, "failed",
                       "the transfer failed (the peer went silent, or the file did not arrive intact)");
}

void answer(CliJob*, bool) {}

int stopped(CliJob*)
{
    return 1;
}

// Whatever still moves ends with the command: a folder's archive goes with its upload.
void end(CliJob* job)
{
    for (CliFile& f : job->files) {
        if (f.state == CLI_FILE_PACKING)
            jx_pack_cancel(f.pack.get());
        else if (f.state == CLI_FILE_MOVING)
            (void)jx_rm_ul(jx_network_by_addr(f.net), f.id);
    }
}

}  // namespace

const CliVerb CLI_VERB_SEND = {start, step, event, answer, stopped, end};

std::string cli_upload_refusal(uint8_t rc, const char* path)
{
    struct stat st {};
    switch (rc) {
    case JX_UL_BAD_FILE:
        if (stat(path, &st) != 0)
            return std::strerror(errno);
        if (S_ISDIR(st.st_mode))
            return std::string(path) + " is a directory";
        if (!S_ISREG(st.st_mode))
            return std::string(path) + " is not a regular file";
        if (const char* slash = std::strrchr(path, '/'); !jx_fso_name_ok(slash != nullptr ? slash + 1 : path))
            return "its name holds one of < > : \" / \\ | ? *";
        return std::strerror(EACCES);
    case JX_UL_NO_NETWORK:
        return "the network is not joined";
    case JX_UL_OFFLINE:
        return "the network is offline";
    case JX_UL_NO_PEER:
        return "the peer is offline";
    default:
        return "out of memory";
    }
}
