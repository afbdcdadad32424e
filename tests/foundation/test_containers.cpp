#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "foundation/llist.hpp"
#include "foundation/set.hpp"

namespace {

using Strings = std::vector<std::string>;

// Members (C strings) in link order; also checks that size and tail agree with the links.
Strings items(const jx_list* list)
{
    Strings out;
    const jx_list_elmt* last = nullptr;
    for (jx_list_elmt* e = jx_list_head(list); e != nullptr; last = e, e = jx_list_next(e))
        out.emplace_back(static_cast<const char*>(jx_list_data(e)));
    EXPECT_EQ(jx_list_size(list), static_cast<int32_t>(out.size()));
    EXPECT_EQ(jx_list_tail(list), last);
    return out;
}

std::vector<const void*> destroyed;
void record_destroy(void* data)
{
    destroyed.push_back(data);
}

// Asymmetric on purpose: the key must be a prefix of the member, so swapped arguments show.
int match_prefix(const void* key, const void* member)
{
    const char* k = static_cast<const char*>(key);
    return std::strncmp(k, static_cast<const char*>(member), std::strlen(k)) == 0;
}

// Members of fn(s1, s2); the result takes s1's matcher, destroys nothing, and is destroyed again.
Strings op(int (*fn)(jx_set*, const jx_set*, const jx_set*), const jx_set* s1, const jx_set* s2)
{
    jx_set r;
    EXPECT_EQ(fn(&r, s1, s2), 0);
    EXPECT_EQ(r.match, s1->match);
    EXPECT_EQ(r.destroy, nullptr);
    Strings out = items(&r);
    jx_set_destroy(&r);
    return out;
}

}  // namespace

TEST(List, InsertAndRemoveKeepLinksSizeAndTail)
{
    const char *a = "a", *b = "b";
    void* out = nullptr;
    jx_list list;
    jx_list_init(&list, nullptr);
    // Null element puts the node first; an insert in the middle must not move the tail.
    ASSERT_EQ(jx_list_ins_next(&list, nullptr, "1"), 0);
    ASSERT_EQ(jx_list_ins_next(&list, nullptr, "0"), 0);
    ASSERT_EQ(jx_list_ins_next(&list, list.tail, "3"), 0);
    ASSERT_EQ(jx_list_ins_next(&list, list.head->next, "2"), 0);
    EXPECT_EQ(items(&list), (Strings{"0", "1", "2", "3"}));
    jx_list_destroy(&list);

    // Only element, removed from the head; then nothing is left to remove.
    jx_list_init(&list, record_destroy);
    destroyed.clear();
    ASSERT_EQ(jx_list_ins_next(&list, nullptr, a), 0);
    ASSERT_EQ(jx_list_rem_next(&list, nullptr, &out), 0);
    EXPECT_EQ(out, a);
    EXPECT_EQ(items(&list), Strings{});
    out = nullptr;
    EXPECT_EQ(jx_list_rem_next(&list, nullptr, &out), -1);
    EXPECT_EQ(out, nullptr) << "a failed removal must not touch the out-parameter";
    EXPECT_TRUE(destroyed.empty()) << "removal hands the data to the caller, it does not destroy it";

    // Last element, removed through its predecessor: the predecessor becomes the tail.
    ASSERT_EQ(jx_list_ins_next(&list, nullptr, a), 0);
    ASSERT_EQ(jx_list_ins_next(&list, list.tail, b), 0);
    ASSERT_EQ(jx_list_rem_next(&list, list.head, &out), 0);
    EXPECT_EQ(out, b);
    EXPECT_EQ(items(&list), Strings{"a"});
    EXPECT_EQ(jx_list_rem_next(&list, list.head, &out), -1) << "nothing follows the tail";
    ASSERT_EQ(jx_list_ins_next(&list, list.tail, "c"), 0);
    // Removing the head of a longer list keeps the tail.
    ASSERT_EQ(jx_list_rem_next(&list, nullptr, &out), 0);
    EXPECT_EQ(out, a);
    EXPECT_EQ(items(&list), Strings{"c"});
    jx_list_destroy(&list);
}

TEST(List, DestroyHandsEveryDatumToCallbackAndZeroes)
{
    const char* v[3] = {"7", "8", "9"};
    jx_list list;
    jx_list_init(&list, record_destroy);
    destroyed.clear();
    for (const char* x : v)
        ASSERT_EQ(jx_list_ins_next(&list, list.tail, x), 0);
    jx_list_destroy(&list);
    EXPECT_EQ(destroyed, (std::vector<const void*>{v[0], v[1], v[2]}));
    EXPECT_EQ(items(&list), Strings{});
    EXPECT_EQ(list.destroy, nullptr);

    // Null callback: only the nodes are freed (ASan reports a leak otherwise).
    jx_list_init(&list, nullptr);
    ASSERT_EQ(jx_list_ins_next(&list, nullptr, v[0]), 0);
    destroyed.clear();
    jx_list_destroy(&list);
    EXPECT_TRUE(destroyed.empty());
}

TEST(Set, InsertRemoveAndMembershipPassTheNewDatumAsKey)
{
    char abc[] = "abc", abcd[] = "abcd", q[] = "q", key[] = "abc";
    jx_set set;
    jx_set_init(&set, match_prefix, nullptr);
    EXPECT_EQ(jx_set_insert(&set, abc), 0);
    EXPECT_EQ(jx_set_insert(&set, "ab"), 1) << "\"ab\" is a prefix of the member \"abc\"";
    EXPECT_EQ(jx_set_insert(&set, abcd), 0);
    EXPECT_EQ(jx_set_insert(&set, q), 0);
    EXPECT_EQ(items(&set), (Strings{"abc", "abcd", "q"}));
    EXPECT_EQ(jx_set_is_member(&set, "a"), 1);
    EXPECT_EQ(jx_set_is_member(&set, "abcde"), 0);

    // Removal hands out the first stored member that matches the key, not the key.
    auto take = [&](void* k) {
        void* data = k;
        return jx_set_remove(&set, &data) == 0 ? data : nullptr;
    };
    EXPECT_EQ(take(key), abc);
    EXPECT_EQ(take(key), abcd);
    EXPECT_EQ(take(key), nullptr);
    // Removing the tail member through its predecessor keeps the tail right for later appends.
    ASSERT_EQ(jx_set_insert(&set, abc), 0);
    EXPECT_EQ(take(abc), abc);
    ASSERT_EQ(jx_set_insert(&set, abcd), 0);
    EXPECT_EQ(items(&set), (Strings{"q", "abcd"}));
    jx_set_destroy(&set);
}

TEST(Set, AlgebraUsesTheDocumentedArgumentOrder)
{
    jx_set s1, s2, s4, empty;
    jx_set_init(&s1, match_prefix, record_destroy);
    jx_set_init(&s2, match_prefix, record_destroy);
    jx_set_init(&s4, match_prefix, nullptr);
    jx_set_init(&empty, match_prefix, nullptr);
    for (const char* m : {"ab", "x", "q"})
        ASSERT_EQ(jx_set_insert(&s1, m), 0);
    for (const char* m : {"x", "abc", "z"})
        ASSERT_EQ(jx_set_insert(&s2, m), 0);
    destroyed.clear();

    // Union asks s1.match(m2, m1): "abc" is no prefix of "ab", so it is added; "x" is not.
    EXPECT_EQ(op(jx_set_union, &s1, &s2), (Strings{"ab", "x", "q", "abc", "z"}));
    // Intersection and difference ask s2.match(m1, m2).
    EXPECT_EQ(op(jx_set_intersection, &s1, &s2), (Strings{"ab", "x"}));
    EXPECT_EQ(op(jx_set_difference, &s1, &s2), (Strings{"q"}));
    EXPECT_EQ(op(jx_set_difference, &s2, &s1), (Strings{"abc", "z"}));
    EXPECT_TRUE(destroyed.empty()) << "result sets share members and must not destroy them";
    EXPECT_EQ(jx_set_is_subset(&empty, &s1), 1);
    EXPECT_EQ(jx_set_is_equal(&empty, &empty), 1);
    EXPECT_EQ(jx_set_is_equal(&s1, &empty), 0);

    EXPECT_EQ(jx_set_is_subset(&s1, &s2), 0);
    EXPECT_EQ(jx_set_is_equal(&s1, &s2), 0) << "same size, different members";
    for (const char* m : {"z", "ab", "x"})
        ASSERT_EQ(jx_set_insert(&s4, m), 0);
    EXPECT_EQ(jx_set_is_subset(&s4, &s2), 1) << "order does not matter";
    EXPECT_EQ(jx_set_is_equal(&s4, &s2), 1) << "s2.match(\"ab\", \"abc\") holds";
    EXPECT_EQ(jx_set_is_equal(&s2, &s4), 0) << "s4.match(\"abc\", \"ab\") does not";

    jx_set_destroy(&s4);
    jx_set_destroy(&s1);
    jx_set_destroy(&s2);
    EXPECT_EQ(destroyed.size(), 6u);
}
