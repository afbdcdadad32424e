// watch: every engine event as one line (text, or JSON with --json) until stopped; the groups
// asked for are joined for the time of the command.
#include "cli/job.hpp"
#include "foundation/timer.hpp"

namespace {

void start(CliJob* job)
{
    job->phase = 1;
    for (uint32_t g : job->args.groups)
        if (!cli_job_open(job, g))
            return;
}

void step(CliJob*, int64_t) {}

void event(CliJob* job, const JXEvent* ev)
{
    const int64_t now = jx_clock_now();
    cli_out(job, job->args.json ? cli_event_json(ev, now) : cli_event_text(ev, now));
}

void answer(CliJob*, bool) {}

int stopped(CliJob*)
{
    return 0;
}

void end(CliJob*) {}

}  // namespace

const CliVerb CLI_VERB_WATCH = {start, step, event, answer, stopped, end};
