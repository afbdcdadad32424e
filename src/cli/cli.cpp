#include "cli/cli.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/args.hpp"
#include "cli/client.hpp"
#include "cli/host.hpp"
#include "cli/job.hpp"
#include "cli/journal.hpp"
#include "cli/printer.hpp"
#include "engine/comm.hpp"
#include "engine/downloads.hpp"
#include "engine/transfers.hpp"
#include "engine/turn.hpp"
#include "foundation/log.hpp"
#include "foundation/timer.hpp"
#include "foundation/utility.hpp"
#include "storage/fso.hpp"

namespace {

volatile sig_atomic_t stop_requested = 0;

void on_stop(int)
{
    stop_requested = 1;
}

void catch_stops()
{
    struct sigaction sa {};
    sa.sa_handler = on_stop;  // no SA_RESTART: the wait returns at once
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

// The local job's output: this process's own streams; a question waits for a typed line.
struct Local {
    CliPrinter printer;
    bool asking;
    std::string typed;
};

void local_emit(void* arg, const CtlRecord& r)
{
    auto* l = static_cast<Local*>(arg);
    cli_print(&l->printer, r);
    l->asking = l->asking || r.kind == CTL_ASK;
}

void take_answer(Local* l, CliJob* job)
{
    std::string line;
    if (!cli_typed_line(STDIN_FILENO, &l->typed, &line))
        return;
    l->asking = false;
    cli_job_answer(job, cli_yes(line));
}

// A root that is missing, unsafe or cannot be claimed (exit 3), as opposed to the sockets.
bool root_unusable()
{
    if (fso.internal_path[0] == '\0')
        return true;
    const uint8_t what = jx_fso_fault()->what;
    return what != FSO_FAULT_NONE;
}

// When the last fin went out (an event of a download's end); 0: none yet.
int64_t last_fin_us = 0;

// Every event raised so far: kept in the message store, then seen by every job.
void drain_events()
{
    void* data = nullptr;
    while (jx_list_rem_next(&comm.events, nullptr, &data) == 0) {
        auto* ev = static_cast<JXEvent*>(data);
        if (ev->kind == EV_DL_COMPLETE || ev->kind == EV_DL_FAILED)
            last_fin_us = jx_clock_now_us();
        // As in the terminal program: what was acknowledged is kept for it to show.
        cli_journal_event(ev);
        cli_host_event(ev);
        std::free(ev->payload);
        std::free(ev);
    }
}

// A download's fin may be lost, and its uploader then repeats its batch-done until a fin comes
// (for 15 s at most) and fails an intact file without one. So the engine goes on answering while
// repeats still come, until FIN_QUIET_US passed without one.
constexpr int64_t FIN_QUIET_US = 2000000;

void answer_late_repeats()
{
    uint64_t seen = jx_fin_repeats;
    int64_t quiet_since = last_fin_us;
    const int64_t give_up = last_fin_us + JX_TRANSFER_TIMEOUT_S * 1000000;
    for (;;) {
        const int64_t now = jx_clock_now_us();
        if (jx_fin_repeats != seen)
            seen = jx_fin_repeats, quiet_since = now;
        if (last_fin_us == 0 || stop_requested != 0 || now >= give_up || now - quiet_since >= FIN_QUIET_US)
            return;
        (void)jx_engine_turn(-1, quiet_since + FIN_QUIET_US - now);
        drain_events();
    }
}

int run_alone(const CliArgs& args, Local* l)
{
    cli_load_username();
    cli_host_open(false);
    char cwd[4096];
    CliJob* job = cli_job_new(args, getcwd(cwd, sizeof cwd) != nullptr ? cwd : "", l->printer.err_tty, false,
                              CliSink{local_emit, l});
    job->leaves = false;
    // Only a question reads standard input, a line at a time without blocking the loop.
    const int stdin_flags = fcntl(STDIN_FILENO, F_GETFL);
    const bool asks = args.verb == CLI_RECEIVE && !args.yes && stdin_flags >= 0;
    if (asks)
        (void)fcntl(STDIN_FILENO, F_SETFL, stdin_flags | O_NONBLOCK);
    while (job->status == CLI_RUNNING) {
        // An answer typed ahead is taken at once: no more input may come to wake the loop.
        const bool typed = l->asking && l->typed.find('\n') != std::string::npos;
        (void)jx_engine_turn(cli_host_wake_fd(l->asking ? STDIN_FILENO : -1), typed ? 0 : cli_host_wait_us());
        if (stop_requested != 0 || l->printer.closed) {
            cli_job_stop(job, "interrupted");
            break;
        }
        if (l->asking)
            take_answer(l, job);
        drain_events();
        cli_host_turn();
    }
    if (asks)
        (void)fcntl(STDIN_FILENO, F_SETFL, stdin_flags);
    const int status = job->status;
    cli_job_free(job);
    // The commands served meanwhile go on to their end (unless stopped too); no new one is taken.
    cli_host_unlisten();
    while (cli_jobs_live() > 0 && stop_requested == 0) {
        (void)jx_engine_turn(cli_host_wake_fd(-1), cli_host_wait_us());
        drain_events();
        cli_host_turn();
    }
    cli_host_close();
    // What stopping raised is taken in before the engine closes.
    drain_events();
    answer_late_repeats();
    jx_comm_close();
    jx_log_close();
    jx_fso_close();
    return status;
}

}  // namespace

void cli_load_username()
{
    char saved[JX_USERNAME_MAX] = {};
    jx_fso_read_cfg(0, saved, sizeof saved);
    JXComm* cc = jx_comm_get();
    if (saved[0] != '\0') {
        // 15 bytes into a 16-byte field: the last byte stays the terminator.
        std::memcpy(cc->username, saved, sizeof saved);
        return;
    }
    jx_fso_store_cfg(0, cc->username, JX_USERNAME_MAX);
}

int cli_main(int argc, char** argv, const char* argv0, void (*explain)(const char*, FILE*))
{
    CliArgs args;
    std::string why;
    const uint8_t rc = cli_parse(argc, argv, &args, &why);
    if (rc == CLI_ARGS_HELP) {
        std::fputs(cli_usage(args.verb), stdout);
        return 0;
    }
    if (rc == CLI_ARGS_OK && args.verb == CLI_RECEIVE && !args.yes && isatty(STDIN_FILENO) != 1)
        why = "receive asks y/N for each offer on a terminal; without one it needs --yes";
    if (!why.empty()) {
        char shown[512];
        jx_str_sanitize(why.c_str(), why.size(), shown, sizeof shown);
        std::fprintf(stderr, "jexley: %s\n%s", shown, cli_usage(args.verb));
        return 2;
    }
    catch_stops();
    Local local{cli_printer_std(), false, ""};
    jx_random_seed();
    if (jx_comm_init(argv0) != 0) {
        if (jx_fso_fault()->what == FSO_FAULT_LOCKED) {
            const std::vector<std::string> words(argv, argv + argc);
            return cli_client_run(words, &local.printer, &stop_requested);
        }
        explain(argv0, stderr);
        return root_unusable() ? 3 : 1;
    }
    return run_alone(args, &local);
}
