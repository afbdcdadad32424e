#include "foundation/set.hpp"

namespace {

// First member m with match(key, m) nonzero, and its predecessor (null when m is the head).
jx_list_elmt* find_member(const jx_set* set, jx_match_fn match, const void* key, jx_list_elmt** prev)
{
    jx_list_elmt* before = nullptr;
    for (jx_list_elmt* m = set->head; m != nullptr; before = m, m = m->next) {
        if (match(key, m->data) != 0) {
            if (prev != nullptr)
                *prev = before;
            return m;
        }
    }
    return nullptr;
}

bool has_match(const jx_set* set, jx_match_fn match, const void* key)
{
    return find_member(set, match, key, nullptr) != nullptr;
}

void result_init(jx_set* result, const jx_set* s1)
{
    jx_set_init(result, s1->match, nullptr);
}

int result_append(jx_set* result, const void* data)
{
    if (jx_list_ins_next(result, result->tail, data) != 0) {
        jx_list_destroy(result);
        return -1;
    }
    return 0;
}

}  // namespace

void jx_set_init(jx_set* set, jx_match_fn match, jx_destroy_fn destroy)
{
    jx_list_init(set, destroy);
    set->match = match;
}

int jx_set_insert(jx_set* set, const void* data)
{
    if (jx_set_is_member(set, data))
        return 1;
    return jx_list_ins_next(set, set->tail, data);
}

int jx_set_remove(jx_set* set, void** data)
{
    if (set->size == 0)
        return -1;
    jx_list_elmt* prev = nullptr;
    if (find_member(set, set->match, *data, &prev) == nullptr)
        return -1;
    return jx_list_rem_next(set, prev, data);
}

int jx_set_is_member(const jx_set* set, const void* data)
{
    return has_match(set, set->match, data) ? 1 : 0;
}

int jx_set_union(jx_set* result, const jx_set* s1, const jx_set* s2)
{
    result_init(result, s1);
    for (const jx_list_elmt* m = s1->head; m != nullptr; m = m->next)
        if (result_append(result, m->data) != 0)
            return -1;
    for (const jx_list_elmt* m = s2->head; m != nullptr; m = m->next) {
        if (has_match(s1, s1->match, m->data))
            continue;
        if (result_append(result, m->data) != 0)
            return -1;
    }
    return 0;
}

int jx_set_intersection(jx_set* result, const jx_set* s1, const jx_set* s2)
{
    result_init(result, s1);
    for (const jx_list_elmt* m = s1->head; m != nullptr; m = m->next) {
        if (!has_match(s2, s2->match, m->data))
            continue;
        if (result_append(result, m->data) != 0)
            return -1;
    }
    return 0;
}

int jx_set_difference(jx_set* result, const jx_set* s1, const jx_set* s2)
{
    result_init(result, s1);
    for (const jx_list_elmt* m = s1->head; m != nullptr; m = m->next) {
        if (has_match(s2, s2->match, m->data))
            continue;
        if (result_append(result, m->data) != 0)
            return -1;
    }
    return 0;
}

int jx_set_is_subset(const jx_set* s1, const jx_set* s2)
{
    if (s1->size > s2->size)
        return 0;
    for (const jx_list_elmt* m = s1->head; m != nullptr; m = m->next)
        if (!has_match(s2, s2->match, m->data))
            return 0;
    return 1;
}

int jx_set_is_equal(const jx_set* s1, const jx_set* s2)
{
    if (s1->size != s2->size)
        return 0;
    if (s1->size == 0)
        return 1;
    return jx_set_is_subset(s1, s2);
}
