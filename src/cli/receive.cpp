// receive: takes offers into downloads/: those already waiting and those that come, from one host
// (--from) or from anyone, each accepted at once (--yes) or after a y/N; a received .tar is
// unpacked into downloads/NAME/ with --extract. Ends after --count files, or when stopped.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "cli/job.hpp"
#include "engine/comm.hpp"
#include "engine/downloads.hpp"
#include "engine/registry.hpp"
#include "engine/transfers.hpp"
#include "foundation/utility.hpp"
#include "storage/fso.hpp"
#include "storage/transfer_files.hpp"

namespace {

enum : uint8_t { PHASE_TAKING = 1 };

std::string human(uint64_t n)
{
    char out[16];
    jx_bytes_to_human(n, out, sizeof out);
    return out;
}

std::string stored_path(const std::string& name)
{
    return std::string(fso.root_path) + "/downloads/" + name;
}

bool known(const CliJob* job, uint32_t net, const uint8_t* id)
{
    for (const CliFile& f : job->files)
        if (f.net == net && std::memcmp(f.id, id, sizeof f.id) == 0)
            return true;
    return std::any_of(job->questions.begin(), job->questions.end(), [&](const CliOffer& q) {
        return q.net == net && std::memcmp(q.id, id, sizeof q.id) == 0;
    });
}

JXTransfer* pending(uint32_t net, const uint8_t* id)
{
    JXTransfer* d = jx_get_dl(jx_network_by_addr(net), id);
    return d != nullptr && d->state == DL_PENDING ? d : nullptr;
}

void ask_next(CliJob* job)
{
    while (!job->questions.empty()) {
        const CliOffer& q = job->questions.front();
        const JXTransfer* d = pending(q.net, q.id);
        if (d != nullptr) {
            char name[JX_META_NAME_SIZE];
            jx_str_sanitize(d->meta.name, sizeof d->meta.name, name, sizeof name);
            cli_ask(job, std::string("Accept ") + name + " (" + human(d->meta.size) + ", sha256 " +
                             cli_hex(d->meta.digest, 6) + "...) from " + cli_peer_label(q.net, d->addr) +
                             "?");
            return;
        }
        job->questions.erase(job->questions.begin());
    }
}

void accept(CliJob* job, uint32_t net, const uint8_t* id)
{
    const JXTransfer* d = pending(net, id);
    if (d == nullptr) {
        cli_err(job, "the offer was withdrawn before it was accepted");
        return;
    }
    CliFile f;
    f.net = net;
    std::memcpy(f.id, id, sizeof f.id);
    f.name = d->meta.name;
    f.path = stored_path(f.name);
    f.size = d->meta.size;
    std::memcpy(f.digest, d->meta.digest, sizeof f.digest);
    uint64_t room = 0;
    std::string why;
    if (jx_fso_downloads_free(&room) && d->meta.size > room)
        why = "does not fit: " + human(d->meta.size) + " offered, " + human(room) + " free in downloads/";
    else if (jx_accept_download(id) != 0)
        why = "its file could not be made in downloads/ (see jx_internal/log)";
    f.state = CLI_FILE_MOVING;
    job->files.push_back(std::move(f));
    if (why.empty())
        return;
    // Declined, so that its sender is told rather than left waiting.
    (void)jx_cancel_dl(jx_network_by_addr(net), id);
    cli_file_ended(job, &job->files.back(), "failed", why);
}

void consider(CliJob* job, uint32_t net, const uint8_t* id)
{
    const JXTransfer* d = pending(net, id);
    if (d == nullptr || known(job, net, id) || (job->args.from != 0 && d->addr != job->args.from))
        return;
    if (job->args.yes) {
        accept(job, net, id);
        return;
    }
    CliOffer q{net, {}};
    std::memcpy(q.id, id, sizeof q.id);
    job->questions.push_back(q);
    if (job->questions.size() == 1)
        ask_next(job);
}

void start(CliJob* job)
{
    job->phase = PHASE_TAKING;
    if (job->args.from != 0) {
        job->net = job->args.from;
        if (!cli_job_open(job, job->net))
            return;
    }
    // Offers that came before the command count too (the terminal program's waiting ones). They
    // are listed first: accepting an empty file ends it at once, and takes it off the list.
    std::vector<CliOffer> waiting;
    for (jx_list_elmt* n = jx_list_head(&comm.networks); n != nullptr; n = jx_list_next(n)) {
        const auto* net = static_cast<const JXNetwork*>(jx_list_data(n));
        for (jx_list_elmt* t = jx_list_head(&net->downloads); t != nullptr; t = jx_list_next(t)) {
            CliOffer o{net->addr, {}};
            std::memcpy(o.id, static_cast<const JXTransfer*>(jx_list_data(t))->id, sizeof o.id);
            waiting.push_back(o);
        }
    }
    for (const CliOffer& o : waiting)
        consider(job, o.net, o.id);
}

void unpack(CliJob* job, CliFile* f)
{
    JXUnpack* u = f->unpack.get();
    const uint8_t rc = jx_unpack_step(u, static_cast<int64_t>(JX_TURN_BUDGET_US));
    if (rc == JX_ARC_MORE)
        return;
    if (rc != JX_ARC_DONE) {
        cli_file_ended(job, f, "failed", std::string("archive refused: ") + u->why);
        return;
    }
    // The folder is what was asked for; its archive has served.
    (void)unlinkat(jx_fso_dir_fd(FSO_DIR_DOWNLOADS), f->name.c_str(), 0);
    f->path = stored_path(u->name);
    cli_file_ended(job, f, "extracted", "");
}

// A file told and counted is forgotten, and a waiting question whose offer is gone (the one being
// asked stays for its answer): a receive that runs for weeks keeps only what is still under way.
void forget(CliJob* job)
{
    std::erase_if(job->files,
                  [](const CliFile& f) { return f.state == CLI_FILE_DONE || f.state == CLI_FILE_FAILED; });
    if (job->questions.size() > 1)
        job->questions.erase(
            std::remove_if(job->questions.begin() + 1, job->questions.end(),
                           [](const CliOffer& q) { return pending(q.net, q.id) == nullptr; }),
            job->questions.end());
}

void step(CliJob* job, int64_t now)
{
    for (CliFile& f : job->files)
        if (f.state == CLI_FILE_UNPACKING)
            unpack(job, &f);
    if (cli_job_looks(job, now)) {
        cli_job_look_at_files(job, jx_get_dl);
        forget(job);
    }
    if (job->args.count != 0 && job->ended >= job->args.count)
        cli_job_end(job, job->failed != 0 ? 1 : 0, "");
}

bool is_tar(const std::string& name)
{
    return name.size() > 4 && name.compare(name.size() - 4, 4, ".tar") == 0;
}

void event(CliJob* job, const JXEvent* ev)
{
    if (jx_event_payload_type(ev->kind) != EVP_FILE)
        return;
    const auto* e = static_cast<const file_ev*>(ev->payload);
    if (ev->kind == EV_DL_OFFERED) {
        consider(job, e->net_addr, e->id);
        return;
    }
    if (ev->kind != EV_DL_COMPLETE && ev->kind != EV_DL_FAILED)
        return;
    CliFile* f = cli_job_file(job, e->id);
    if (f == nullptr || f->state != CLI_FILE_MOVING || f->net != e->net_addr) {
        // An offer being asked about was withdrawn: the next question comes.
        if (!job->questions.empty() && std::memcmp(job->questions.front().id, e->id, sizeof e->id) == 0) {
            job->questions.erase(job->questions.begin());
            cli_err(job, std::string("the offer of ") + e->name + " was withdrawn");
            ask_next(job);
        }
        return;
    }
    // The name is final now: a taken one got a number when the file was made.
    f->name = e->name;
    f->path = stored_path(f->name);
    if (ev->kind == EV_DL_FAILED) {
        cli_file_ended(job, f, "failed",
                       e->result == FIN_HASH_BAD ? "its SHA-256 does not match the offer; the file is kept"
                                                 : "the transfer failed (the sender went silent or stopped)");
    } else if (job->args.extract && is_tar(f->name)) {
        f->unpack = std::make_unique<JXUnpack>();
        f->state = jx_unpack_begin(f->unpack.get(), f->path.c_str()) == JX_ARC_MORE ? CLI_FILE_UNPACKING
                                                                                    : CLI_FILE_MOVING;
        if (f->state == CLI_FILE_MOVING)
            cli_file_ended(job, f, "failed", std::string("archive refused: ") + f->unpack->why);
    } else {
        cli_file_ended(job, f, "received", "");
    }
}

void answer(CliJob* job, bool yes)
{
    if (job->questions.empty())
        return;
    const CliOffer q = job->questions.front();
    job->questions.erase(job->questions.begin());
    if (yes) {
        accept(job, q.net, q.id);
    } else if (const JXTransfer* d = pending(q.net, q.id); d != nullptr) {
        cli_err(job, std::string(d->meta.name) + ": declined");
        (void)jx_cancel_dl(jx_network_by_addr(q.net), q.id);
    }
    ask_next(job);
}

// Stopped without --count, everything taken so far counts; with it, the files still missing.
int stopped(CliJob* job)
{
    const bool moving = std::any_of(job->files.begin(), job->files.end(), [](const CliFile& f) {
        return f.state == CLI_FILE_MOVING || f.state == CLI_FILE_UNPACKING;
    });
    if (job->args.count != 0 && job->ended < job->args.count) {
        cli_err(job, std::to_string(job->ended) + " of " + std::to_string(job->args.count) + " files ended");
        return 1;
    }
    return job->failed != 0 || moving ? 1 : 0;
}

void end(CliJob* job)
{
    for (CliFile& f : job->files) {
        if (f.state == CLI_FILE_UNPACKING) {
            jx_unpack_cancel(f.unpack.get());
        } else if (f.state == CLI_FILE_MOVING) {
            cli_err(job, f.name + ": not complete, removed");
            (void)jx_cancel_dl(jx_network_by_addr(f.net), f.id);
        }
    }
}

}  // namespace

const CliVerb CLI_VERB_RECEIVE = {start, step, event, answer, stopped, end};
