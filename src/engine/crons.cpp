#include "engine/crons.hpp"

#include <algorithm>
#include <limits>

#include "engine/context.hpp"
#include "engine/downloads.hpp"
#include "engine/texts.hpp"
#include "engine/transfers.hpp"
#include "engine/uploads.hpp"
#include "engine/presence.hpp"
#include "engine/quotas.hpp"
#include "engine/readloop.hpp"
#include "engine/refusals.hpp"
#include "engine/registry.hpp"
#include "foundation/log.hpp"
#include "foundation/timer.hpp"

void manage_tasks()
{
    if (jx_list_size(&comm.tasks) == 0)
        return;
    JXTimer watch;
    jx_timer_start(&watch);
    double used = 0;
    // The queue frees each task it gives up; its payload goes here.
    (void)jx_list_remove_if(&comm.tasks, [&](void* t) {
        const auto* task = static_cast<const JXTask*>(t);
        auto* verify = static_cast<JXVerifyTask*>(task->payload);
        if (task->kind != TASK_VERIFY_DOWNLOAD)
            return false;
        // Each task gets at least one part before the budget is looked at; a task that is not
        // done stays for the next turn.
        if (verify != nullptr && verify->fin != nullptr && jx_verify_step(verify, &watch, &used) == 0)
            return false;
        if (verify == nullptr || verify->fin == nullptr)
            jx_log("Task without payload dropped");
        jx_verify_task_free(verify);
        return true;
    });
}

uint8_t jx_crons_run()
{
    // The next network is taken first, in case a step removes the current one.
    jx_list_elmt* el = jx_list_head(&comm.networks);
    while (el != nullptr) {
        jx_list_elmt* next = jx_list_next(el);
        auto* network = static_cast<JXNetwork*>(jx_list_data(el));
        manage_network(network);
        manage_peer_list(network);
        live_beacon(network);
        txt_retry(network);
        manage_downloads(network);
        manage_uploads(network);
        el = next;
    }
    manage_tasks();
    manage_stranger_files();
    manage_refusals();
    return 0;
}

int64_t jx_next_due_us()
{
    if (jx_list_size(&comm.tasks) != 0)
        return JX_DUE_NOW;
    int64_t due = std::numeric_limits<int64_t>::max();
    for (jx_list_elmt* el = jx_list_head(&comm.networks); el != nullptr; el = jx_list_next(el)) {
        const auto* network = static_cast<const JXNetwork*>(jx_list_data(el));
        if (jx_transfers_busy(network))
            return JX_DUE_NOW;
        due = std::min({due, presence_due(network), txt_retry_due(network)});
    }
    if (due == std::numeric_limits<int64_t>::max())
        return JX_DUE_NONE;
    if (due <= jx_mono_now())
        return JX_DUE_NOW;
    const int64_t us = jx_clock_us_until(due);
    return us > 0 ? us : JX_DUE_NOW;
}

int64_t jx_turn_wait_us()
{
    const int64_t due = jx_next_due_us();
    if (due == JX_DUE_NOW)
        return JX_READ_BUDGET_US;
    return due == JX_DUE_NONE ? JX_IDLE_WAIT_MAX_US : std::min(due, JX_IDLE_WAIT_MAX_US);
}
