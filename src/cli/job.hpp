// job: one subcommand at work. A verb is written once, as a job the loop that holds the engine
// drives: started, stepped once per turn, handed every engine event, answered when it asked a
// question, stopped by Ctrl-C, a time limit or a client that went away. It reports only through
// output records (control/message.hpp) given to its sink: this process's standard output and
// error when the command runs alone, the client's connection when another Jexley asked for it,
// the prompt row for a folder sent from the terminal program. Owns the list of live jobs, the
// time limits, and the networks jobs joined (left when the last job that needs one ends).
// send.cpp, receive.cpp, say.cpp and watch.cpp hold the verbs.
// May call: foundation, storage (archive, fso), engine (public operations, events, records),
// control (records), cli args and event_json.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cli/args.hpp"
#include "cli/event_json.hpp"
#include "control/message.hpp"
#include "engine/events.hpp"
#include "protocol/data_protocol.hpp"
#include "storage/archive.hpp"

struct CliSink {
    void (*emit)(void* arg, const CtlRecord& rec);
    void* arg;
};

// A job's status while it runs; at its end the exit status 0..3.
inline constexpr int CLI_RUNNING = -1;
// The phase of every job that waits for its network to come online first.
inline constexpr uint8_t CLI_PHASE_CONNECT = 0;
// When a peer never answers, say and send give up after this long.
inline constexpr int64_t CLI_ANSWER_US = 30 * 1000000LL;
// How often a job looks at what it waits for: its transfers' progress, and whether a transfer or
// text was removed in the program (Delete on the transfer screens, a network left), which raises
// no event.
inline constexpr int64_t CLI_LOOK_US = 200000;
// Why a file or text ends whose record is gone without an event.
inline constexpr char CLI_REMOVED[] = "removed in the program";

// Where a file of a job stands.
enum : uint8_t {
    CLI_FILE_WAITING = 0,  // send: not offered yet
    CLI_FILE_PACKING = 1,  // send: a folder being packed into the outbox
    CLI_FILE_MOVING = 2,   // offered or accepted: the transfer runs
    CLI_FILE_UNPACKING = 3,
    CLI_FILE_DONE = 4,
    CLI_FILE_FAILED = 5,
};

// A file a job sends or receives.
struct CliFile {
    std::string path;     // send: the path as it is opened; receive: the stored file
    std::string name;     // as the transfer names it
    bool folder = false;  // send: packed into the outbox first
    uint8_t state = CLI_FILE_WAITING;
    uint32_t net = 0;
    uint8_t id[JX_TRANSFER_ID_LEN] = {};
    uint64_t size = 0;
    uint8_t digest[JX_DIGEST_LEN] = {};
    std::unique_ptr<JXPack> pack;      // a folder being packed
    std::unique_ptr<JXUnpack> unpack;  // a received archive being unpacked
};

// An offer waiting for the user's y/N.
struct CliOffer {
    uint32_t net;
    uint8_t id[JX_TRANSFER_ID_LEN];
};

struct CliJob {
    CliArgs args;
    std::string cwd;   // relative paths are taken from here
    bool progress;     // the output shows progress (its standard error is a terminal)
    bool in_terminal;  // run by the terminal program: private networks it opens stay open
    CliSink sink;
    bool detached = false;  // nobody waits for its status: freed as soon as it ends
    // Leaves the networks it joined as it ends. A command run alone leaves them with its engine
    // instead, after answering the fins its peer may have lost.
    bool leaves = true;
    int status = CLI_RUNNING;
    int64_t start_us = 0;
    int64_t deadline_us = 0;   // INT64_MAX: none
    int64_t answer_by_us = 0;  // the peer must have answered by then
    int64_t looked_us = 0;
    std::vector<uint32_t> joined;  // networks this job joined
    std::vector<uint32_t> uses;    // networks it needs while it runs
    uint32_t net = 0;              // the network the verb works on
    uint32_t peer = 0;             // the peer of its channel; 0 for a main or private channel
    uint8_t phase = 0;             // the verb's own
    std::vector<CliFile> files;
    std::vector<CliOffer> questions;  // the first one is being asked
    uint32_t msg_id = 0;
    uint32_t ended = 0, failed = 0;
};

// Creates and starts a job (which may end at once: see status). in_terminal as above.
CliJob* cli_job_new(const CliArgs& args, const std::string& cwd, bool progress, bool in_terminal,
                    CliSink sink);
// A folder offered from the terminal program on the direct channel (net, peer): packed into the
// outbox in steps, then offered; refusals come to the sink as CTL_ERR lines. The job is freed
// when it ends (or by cli_jobs_close).
void cli_job_send_folder(uint32_t net, uint32_t peer, const std::string& dir, CliSink sink);
// Removes the job from the live jobs and frees it; one still running is stopped first.
void cli_job_free(CliJob* job);

// Every live job: one turn's step (time limits, packing, progress), an engine event, and how
// long the loop may sleep before the next step is due (0: work is waiting; -1: no limit).
void cli_jobs_step();
void cli_jobs_event(const JXEvent* ev);
int64_t cli_jobs_wait_us();
// How many live jobs there are.
size_t cli_jobs_live();
// Stops and frees the jobs nobody waits for (at the program's end).
void cli_jobs_close();

// The user's answer to the question asked last.
void cli_job_answer(CliJob* job, bool yes);
// Ends a running job because it was asked to stop (Ctrl-C, SIGTERM, the client left): the verb
// decides the status (watch 0; a send or say that did not finish 1), why goes to standard error.
void cli_job_stop(CliJob* job, const char* why);

// ---- For the verbs ------------------------------------------------------------------------------

// Output records.
void cli_out(CliJob* job, const std::string& line);
void cli_err(CliJob* job, const std::string& line);
void cli_ask(CliJob* job, const std::string& question);
void cli_progress(CliJob* job, const CtlProgress& p);
// Ends the job with status (why, when not empty, on standard error first): the verb's end runs,
// the networks it joined and no other job needs are left, the exit record goes out.
void cli_job_end(CliJob* job, int status, const std::string& why);

// A file of the job ended: its result line "<word> <size> <sha256, or - when unknown> <shown>"
// on standard output (shown: send the name, receive the stored path), and why it failed, when it
// did, as "<name>: <why>" on standard error.
void cli_file_ended(CliJob* job, CliFile* f, const char* word, const std::string& why);

// Why jx_join_network refused address (a dotted quad, or what was typed) with rc, in words.
const char* cli_join_refusal(uint8_t rc, const char* address);
// Joins addr for the job, as /join does (a private network with a host, or a group), and notes
// it needed and, when it was not joined before, joined. false when the job ended (refused).
bool cli_job_open(CliJob* job, uint32_t addr);
// The job's network when online; null while it is not. A network that stays offline past
// answer_by_us ends the job (status 1).
struct JXNetwork* cli_job_online(CliJob* job, int64_t now_us);
// Whether the job is to look now: CLI_LOOK_US after its last look, and only while no engine event
// waits to be handed to the jobs (a record gone meanwhile may have ended as that event will say).
bool cli_job_looks(CliJob* job, int64_t now_us);
// The look of send and receive: the progress of the first moving file whose transfer (found by
// find: jx_get_ul, jx_get_dl) has started, and each moving file whose transfer is gone ended as
// failed, CLI_REMOVED.
void cli_job_look_at_files(CliJob* job, struct JXTransfer* (*find)(const struct JXNetwork*, const uint8_t*));
// The file of the job with this transfer id, or null.
CliFile* cli_job_file(CliJob* job, const uint8_t* id);
// "<user name> (<address>)" of a peer of a network, or the address alone; cleaned for display.
std::string cli_peer_label(uint32_t net, uint32_t peer);
// Why jx_add_upload refused path with rc, in words: what the path is when it is no regular
// file, or the engine's reason.
std::string cli_upload_refusal(uint8_t rc, const char* path);
// A progress reading of a transfer in progress (the bytes of whole segments count as done).
CtlProgress cli_transfer_progress(const struct JXTransfer* t);

// The verbs: each fills the table of its operations.
struct CliVerb {
    void (*start)(CliJob* job);
    void (*step)(CliJob* job, int64_t now_us);
    void (*event)(CliJob* job, const JXEvent* ev);
    void (*answer)(CliJob* job, bool yes);
    int (*stopped)(CliJob* job);  // the status when stopped or timed out
    void (*end)(CliJob* job);     // releases what the job still holds, however it ended
};
extern const CliVerb CLI_VERB_SEND, CLI_VERB_RECEIVE, CLI_VERB_SAY, CLI_VERB_WATCH;
