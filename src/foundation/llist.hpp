// llist: the singly linked list of untyped element pointers that every record collection is built on.
// Owns only its link nodes; the data belongs to the caller and goes to the destroy callback on
// jx_list_destroy. Calls nothing but the C allocator.
#pragma once

#include <cstdint>

struct jx_list_elmt {
    void* data;
    jx_list_elmt* next;
};

// A match callback gets (key or member of the first set, member being scanned) and returns nonzero
// when both denote the same member.
using jx_match_fn = int (*)(const void* key, const void* member);
using jx_destroy_fn = void (*)(void* data);

// Also the record of a jx_set; match is only used by the set operations.
struct jx_list {
    int32_t size;
    jx_match_fn match;
    jx_destroy_fn destroy;
    jx_list_elmt* head;
    jx_list_elmt* tail;
};

// Size 0, head and tail null, destroy stored; match is left as it was.
void jx_list_init(jx_list* list, jx_destroy_fn destroy);

// Links a new node for data after element, or at the head when element is null.
// 0, or -1 when the node cannot be allocated.
[[nodiscard]] int jx_list_ins_next(jx_list* list, jx_list_elmt* element, const void* data);

// Unlinks the node after element (the head when element is null) and hands its data out through
// *data; the caller owns it, destroy is not called. -1 on an empty list or when element is the tail.
[[nodiscard]] int jx_list_rem_next(jx_list* list, jx_list_elmt* element, void** data);

// Frees every node, passing each datum to destroy when it is set, then zeroes all fields so the
// record can be initialised again.
void jx_list_destroy(jx_list* list);

// Unlinks, in list order, every element for whose datum pred(void* data) returns true, and passes
// that datum to destroy when it is set (otherwise pred has taken it over). pred may act on the
// datum it is given but must not change the list. The number of elements removed.
template <typename Pred>
int32_t jx_list_remove_if(jx_list* list, Pred pred)
{
    int32_t removed = 0;
    jx_list_elmt* prev = nullptr;
    for (jx_list_elmt* el = list->head; el != nullptr;) {
        jx_list_elmt* next = el->next;
        void* data = nullptr;
        // The unlink cannot fail: el is the node after prev.
        if (pred(el->data) && jx_list_rem_next(list, prev, &data) == 0) {
            if (list->destroy != nullptr)
                list->destroy(data);
            removed++;
        } else {
            prev = el;
        }
        el = next;
    }
    return removed;
}

// The datum of the first element, in list order, for which pred(void* data) returns true; null
// when there is none.
template <typename Pred>
void* jx_list_find(const jx_list* list, Pred pred)
{
    for (jx_list_elmt* el = list->head; el != nullptr; el = el->next) {
        if (pred(el->data))
            return el->data;
    }
    return nullptr;
}

inline int32_t jx_list_size(const jx_list* list)
{
    return list->size;
}
inline jx_list_elmt* jx_list_head(const jx_list* list)
{
    return list->head;
}
inline jx_list_elmt* jx_list_tail(const jx_list* list)
{
    return list->tail;
}
inline bool jx_list_is_head(const jx_list* list, const jx_list_elmt* element)
{
    return list->head == element;
}
inline bool jx_list_is_tail(const jx_list_elmt* element)
{
    return element->next == nullptr;
}
inline void* jx_list_data(const jx_list_elmt* element)
{
    return element->data;
}
inline jx_list_elmt* jx_list_next(const jx_list_elmt* element)
{
    return element->next;
}
