#include "engine/crons.hpp"

#include <cstdlib>

#include "engine/comm.hpp"
#include "engine/events.hpp"
#include "engine/texts.hpp"
#include "engine/presence.hpp"
#include "engine/registry.hpp"
#include "foundation/log.hpp"
#include "foundation/timer.hpp"

void manage_tasks()
{
    // Verifying a finished download needs the transfer records and their storage, which are not
    // built yet: such tasks stay queued untouched. The log notes each one once, not every turn.
    static const void* last_noted = nullptr;
    jx_list_elmt* prev = nullptr;
    jx_list_elmt* el = jx_list_head(&comm.tasks);
    while (el != nullptr) {
        jx_list_elmt* next = jx_list_next(el);
        auto* task = static_cast<JXTask*>(jx_list_data(el));
        if (task->kind == TASK_VERIFY_DOWNLOAD && task->payload == nullptr) {
            // Nothing to verify: a task without its record would otherwise sit in the queue for ever.
            void* data = nullptr;
            if (jx_list_rem_next(&comm.tasks, prev, &data) == 0) {
                jx_log("Task without payload dropped");
                std::free(data);
                el = next;
                continue;
            }
        } else if (task->kind == TASK_VERIFY_DOWNLOAD && task != last_noted) {
            jx_log("Task kind %d not handled yet", task->kind);
            last_noted = task;
        }
        prev = el;
        el = next;
    }
}

uint8_t jx_crons_run()
{
    // The next network is taken first: a step may one day remove the current one.
    jx_list_elmt* el = jx_list_head(&comm.networks);
    while (el != nullptr) {
        jx_list_elmt* next = jx_list_next(el);
        auto* network = static_cast<JXNetwork*>(jx_list_data(el));
        manage_network(network);
        manage_peer_list(network);
        live_beacon(network);
        txt_retry(network);
        // manage_downloads and manage_uploads join here with the file-transfer work.
        el = next;
    }
    manage_tasks();
    return 0;
}
