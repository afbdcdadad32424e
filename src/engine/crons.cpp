#include "engine/crons.hpp"

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "engine/context.hpp"
#include "engine/downloads.hpp"
#include "engine/events.hpp"
#include "engine/texts.hpp"
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
    jx_list_elmt* prev = nullptr;
    jx_list_elmt* el = jx_list_head(&comm.tasks);
    while (el != nullptr) {
        jx_list_elmt* next = jx_list_next(el);
        auto* task = static_cast<JXTask*>(jx_list_data(el));
        auto* verify = static_cast<JXVerifyTask*>(task->payload);
        if (task->kind != TASK_VERIFY_DOWNLOAD) {
            prev = el;
            el = next;
            continue;
        }
        // Each task gets at least one part before the budget is looked at; a task that is not
        // done stays for the next turn.
        if (verify != nullptr && verify->fin != nullptr && jx_verify_step(verify, &watch, &used) == 0) {
            prev = el;
            el = next;
            continue;
        }
        void* data = nullptr;
        if (jx_list_rem_next(&comm.tasks, prev, &data) == 0) {
            if (verify == nullptr || verify->fin == nullptr)
                jx_log("Task without payload dropped");
            if (verify != nullptr)
                jx_fso_close_fp(verify->stream);
            std::free(verify);
            std::free(data);
        } else {
            prev = el;
        }
        el = next;
    }
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
        if (uploads_busy(network) || downloads_busy(network))
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
