#include "engine/context.hpp"

#include <cstdlib>
#include <cstring>

#include "foundation/log.hpp"
#include "foundation/utility.hpp"

JXComm comm;

namespace {

uint8_t add_to(jx_list* queue, uint8_t kind, void* payload)
{
    auto* rec = static_cast<JXEvent*>(std::calloc(1, sizeof(JXEvent)));
    if (rec == nullptr) {
        jx_log("Can't allocate memory");
        return 1;
    }
    rec->kind = kind;
    rec->payload = payload;
    if (jx_list_ins_next(queue, jx_list_tail(queue), rec) != 0) {
        std::free(rec);
        return 1;
    }
    return 0;
}

}  // namespace

static_assert(sizeof(JXEvent) == sizeof(JXTask), "both queues hold the same two fields");

JXComm* jx_comm_get()
{
    return &comm;
}

uint8_t jx_comm_set_uname(char* name)
{
    if (name == nullptr)
        return 2;
    jx_trim(name, nullptr);
    const size_t len = std::strlen(name);
    if (len > JX_USERNAME_MAX)
        return 1;
    if (len == 0)
        return 2;
    std::memset(comm.username, 0, sizeof(comm.username));
    std::memcpy(comm.username, name, len);
    return 0;
}

uint8_t jx_comm_add_event(uint8_t kind, void* payload)
{
    return add_to(&comm.events, kind, payload);
}

uint8_t jx_comm_add_task(uint8_t kind, void* payload)
{
    return add_to(&comm.tasks, kind, payload);
}

void jx_comm_raise(uint8_t kind, void* payload)
{
    if (jx_comm_add_event(kind, payload) != 0)
        std::free(payload);
}
