// set: a jx_list whose match callback keeps its members distinct, plus the set algebra.
// Owns nothing beyond what jx_list owns; calls only llist.
#pragma once

#include "foundation/llist.hpp"

using jx_set = jx_list;

// jx_list_init with destroy, then match stored.
void jx_set_init(jx_set* set, jx_match_fn match, jx_destroy_fn destroy);

inline void jx_set_destroy(jx_set* set)
{
    jx_list_destroy(set);
}
inline int32_t jx_set_size(const jx_set* set)
{
    return set->size;
}

// Appends data at the tail. 1 (nothing inserted, the caller still owns data) when a member matches
// it, otherwise the result of jx_list_ins_next (0 or -1).
[[nodiscard]] int jx_set_insert(jx_set* set, const void* data);

// *data is the key on entry; on success it holds the stored member that matched (owned by the caller
// from then on). -1 when the set is empty or nothing matches.
[[nodiscard]] int jx_set_remove(jx_set* set, void** data);

// 1 when some member m gives match(data, m) nonzero, else 0.
int jx_set_is_member(const jx_set* set, const void* data);

// The results share member pointers with the inputs and get no destroy callback, s1's match.
// 0, or -1 on an allocation failure (result is then destroyed).
[[nodiscard]] int jx_set_union(jx_set* result, const jx_set* s1, const jx_set* s2);
[[nodiscard]] int jx_set_intersection(jx_set* result, const jx_set* s1, const jx_set* s2);
[[nodiscard]] int jx_set_difference(jx_set* result, const jx_set* s1, const jx_set* s2);

// 1 or 0. An empty s1 is a subset of anything; two empty sets are equal.
int jx_set_is_subset(const jx_set* s1, const jx_set* s2);
int jx_set_is_equal(const jx_set* s1, const jx_set* s2);
