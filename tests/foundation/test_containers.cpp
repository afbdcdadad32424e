#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "foundation/llist.hpp"
#include "foundation/set.hpp"

namespace {

std::vector<int> contents(const jx_list* list)
{
    std::vector<int> out;
    for (jx_list_elmt* e = jx_list_head(list); e != nullptr; e = jx_list_next(e))
        out.push_back(*static_cast<int*>(jx_list_data(e)));
    return out;
}

int destroyed_count = 0;
std::vector<void*> destroyed;
void count_destroy(void* data)
{
    destroyed_count++;
    destroyed.push_back(data);
}

struct Peer {
    uint32_t addr;
    char name[16];
};

int match_peer_addr(const void* key, const void* member)
{
    return static_cast<const Peer*>(key)->addr == static_cast<const Peer*>(member)->addr;
}

// Asymmetric on purpose: the key must be a prefix of the member, so swapped arguments show.
int match_prefix(const void* key, const void* member)
{
    const char* k = static_cast<const char*>(key);
    const char* m = static_cast<const char*>(member);
    return std::strncmp(k, m, std::strlen(k)) == 0;
}

std::vector<std::string> strings(const jx_set* set)
{
    std::vector<std::string> out;
    for (jx_list_elmt* e = set->head; e != nullptr; e = e->next)
        out.emplace_back(static_cast<const char*>(e->data));
    return out;
}

}  // namespace

TEST(List, InsertKeepsLinkOrderAndTail)
{
    int v[5] = {0, 1, 2, 3, 4};
    jx_list list;
    jx_list_init(&list, nullptr);
    EXPECT_EQ(list.size, 0);
    EXPECT_EQ(list.head, nullptr);
    EXPECT_EQ(list.tail, nullptr);

    // Null element puts the node first; the first insert into an empty list is also the tail.
    ASSERT_EQ(jx_list_ins_next(&list, nullptr, &v[1]), 0);
    EXPECT_EQ(list.head, list.tail);
    ASSERT_EQ(jx_list_ins_next(&list, nullptr, &v[0]), 0);
    ASSERT_EQ(jx_list_ins_next(&list, list.tail, &v[3]), 0);
    // Insert in the middle must not move the tail.
    ASSERT_EQ(jx_list_ins_next(&list, list.head->next, &v[2]), 0);
    ASSERT_EQ(jx_list_ins_next(&list, list.tail, &v[4]), 0);

    EXPECT_EQ(contents(&list), (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(list.size, 5);
    EXPECT_EQ(list.tail->data, &v[4]);
    EXPECT_EQ(list.tail->next, nullptr);
    jx_list_destroy(&list);
}

TEST(List, RemovalOfOnlyAndLastElements)
{
    int a = 1, b = 2, c = 3;
    void* out = nullptr;
    jx_list list;
    jx_list_init(&list, count_destroy);
    destroyed_count = 0;

    // Only element, removed from the head.
    ASSERT_EQ(jx_list_ins_next(&list, nullptr, &a), 0);
    ASSERT_EQ(jx_list_rem_next(&list, nullptr, &out), 0);
    EXPECT_EQ(out, &a);
    EXPECT_EQ(list.size, 0);
    EXPECT_EQ(list.head, nullptr);
    EXPECT_EQ(list.tail, nullptr);
    out = &c;
    EXPECT_EQ(jx_list_rem_next(&list, nullptr, &out), -1);
    EXPECT_EQ(out, &c) << "a failed removal must not touch the out-parameter";
    EXPECT_EQ(destroyed_count, 0) << "removal hands the data to the caller, it does not destroy it";

    // Last element, removed through its predecessor: the predecessor becomes the tail.
    ASSERT_EQ(jx_list_ins_next(&list, nullptr, &a), 0);
    ASSERT_EQ(jx_list_ins_next(&list, list.tail, &b), 0);
    jx_list_elmt* first = list.head;
    ASSERT_EQ(jx_list_rem_next(&list, first, &out), 0);
    EXPECT_EQ(out, &b);
    EXPECT_EQ(list.tail, first);
    EXPECT_EQ(first->next, nullptr);
    // Nothing follows the tail.
    EXPECT_EQ(jx_list_rem_next(&list, first, &out), -1);
    EXPECT_EQ(list.size, 1);
    ASSERT_EQ(jx_list_ins_next(&list, list.tail, &c), 0);
    EXPECT_EQ(contents(&list), (std::vector<int>{1, 3}));

    // Removing the head of a longer list keeps the tail.
    ASSERT_EQ(jx_list_rem_next(&list, nullptr, &out), 0);
    EXPECT_EQ(out, &a);
    EXPECT_EQ(list.head, list.tail);
    EXPECT_EQ(contents(&list), (std::vector<int>{3}));
    jx_list_destroy(&list);
}

TEST(List, DestroyHandsEveryDatumToCallbackAndZeroes)
{
    int v[3] = {7, 8, 9};
    jx_list list;
    jx_list_init(&list, count_destroy);
    destroyed_count = 0;
    destroyed.clear();
    for (int& x : v)
        ASSERT_EQ(jx_list_ins_next(&list, list.tail, &x), 0);
    jx_list_destroy(&list);
    EXPECT_EQ(destroyed, (std::vector<void*>{&v[0], &v[1], &v[2]}));
    EXPECT_EQ(list.size, 0);
    EXPECT_EQ(list.match, nullptr);
    EXPECT_EQ(list.destroy, nullptr);
    EXPECT_EQ(list.head, nullptr);
    EXPECT_EQ(list.tail, nullptr);

    // Null callback: only nodes are freed (ASan reports a leak or double free otherwise),
    // and the record can be used again.
    jx_list_init(&list, nullptr);
    ASSERT_EQ(jx_list_ins_next(&list, nullptr, &v[0]), 0);
    ASSERT_EQ(jx_list_ins_next(&list, nullptr, &v[1]), 0);
    destroyed_count = 0;
    jx_list_destroy(&list);
    EXPECT_EQ(destroyed_count, 0);
    EXPECT_EQ(list.size, 0);
    jx_list_init(&list, nullptr);
    ASSERT_EQ(jx_list_ins_next(&list, nullptr, &v[2]), 0);
    EXPECT_EQ(contents(&list), (std::vector<int>{9}));
    jx_list_destroy(&list);

    // init leaves match alone: a set's record re-initialised as a list keeps its matcher.
    jx_set set;
    jx_set_init(&set, match_peer_addr, nullptr);
    jx_list_init(&set, nullptr);
    EXPECT_EQ(set.match, match_peer_addr);
}

TEST(Set, InsertRejectsDuplicatesAndRemoveReturnsStoredMember)
{
    Peer p1{0x0A000001, "alice"};
    Peer p2{0x0A000002, "bob"};
    Peer dup{0x0A000001, "impostor"};
    jx_set set;
    jx_set_init(&set, match_peer_addr, nullptr);

    EXPECT_EQ(jx_set_insert(&set, &p1), 0);
    EXPECT_EQ(jx_set_insert(&set, &p2), 0);
    EXPECT_EQ(jx_set_insert(&set, &dup), 1);
    EXPECT_EQ(set.size, 2);
    EXPECT_EQ(set.tail->data, &p2) << "insert appends at the tail";

    Peer key{};
    key.addr = 0x0A000001;
    EXPECT_EQ(jx_set_is_member(&set, &key), 1);
    void* data = &key;
    ASSERT_EQ(jx_set_remove(&set, &data), 0);
    EXPECT_EQ(data, &p1) << "the stored member comes back, not the key";
    EXPECT_EQ(set.size, 1);
    EXPECT_EQ(jx_set_is_member(&set, &key), 0);

    // Nothing matches, then the set is empty.
    data = &key;
    EXPECT_EQ(jx_set_remove(&set, &data), -1);
    EXPECT_EQ(data, &key);
    key.addr = p2.addr;
    data = &key;
    ASSERT_EQ(jx_set_remove(&set, &data), 0);
    EXPECT_EQ(data, &p2);
    EXPECT_EQ(set.head, nullptr);
    EXPECT_EQ(set.tail, nullptr);
    data = &key;
    EXPECT_EQ(jx_set_remove(&set, &data), -1);

    // Removing a tail member through its predecessor keeps the tail right for later appends.
    ASSERT_EQ(jx_set_insert(&set, &p1), 0);
    ASSERT_EQ(jx_set_insert(&set, &p2), 0);
    data = &p2;
    ASSERT_EQ(jx_set_remove(&set, &data), 0);
    EXPECT_EQ(set.tail->data, &p1);
    ASSERT_EQ(jx_set_insert(&set, &p2), 0);
    EXPECT_EQ(set.tail->data, &p2);
    jx_set_destroy(&set);
}

TEST(Set, AlgebraWithSymmetricMatch)
{
    Peer p[5] = {{1, "a"}, {2, "b"}, {3, "c"}, {4, "d"}, {5, "e"}};
    Peer copy3{3, "copy"};
    jx_set s1, s2, r;
    jx_set_init(&s1, match_peer_addr, count_destroy);
    jx_set_init(&s2, match_peer_addr, count_destroy);
    for (int i : {0, 1, 2})
        ASSERT_EQ(jx_set_insert(&s1, &p[i]), 0);
    ASSERT_EQ(jx_set_insert(&s2, &copy3), 0);
    ASSERT_EQ(jx_set_insert(&s2, &p[3]), 0);
    ASSERT_EQ(jx_set_insert(&s2, &p[4]), 0);

    auto addrs = [](const jx_set* s) {
        std::vector<uint32_t> out;
        for (jx_list_elmt* e = s->head; e != nullptr; e = e->next)
            out.push_back(static_cast<Peer*>(e->data)->addr);
        return out;
    };

    destroyed_count = 0;
    ASSERT_EQ(jx_set_union(&r, &s1, &s2), 0);
    EXPECT_EQ(addrs(&r), (std::vector<uint32_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(r.head->next->next->data, &p[2]) << "the shared member comes from s1";
    EXPECT_EQ(r.match, match_peer_addr);
    EXPECT_EQ(r.destroy, nullptr);
    jx_set_destroy(&r);

    ASSERT_EQ(jx_set_intersection(&r, &s1, &s2), 0);
    EXPECT_EQ(addrs(&r), (std::vector<uint32_t>{3}));
    EXPECT_EQ(r.head->data, &p[2]);
    jx_set_destroy(&r);

    ASSERT_EQ(jx_set_difference(&r, &s1, &s2), 0);
    EXPECT_EQ(addrs(&r), (std::vector<uint32_t>{1, 2}));
    jx_set_destroy(&r);
    EXPECT_EQ(destroyed_count, 0) << "result sets share members and must not destroy them";

    // Empty operands.
    jx_set empty;
    jx_set_init(&empty, match_peer_addr, nullptr);
    ASSERT_EQ(jx_set_union(&r, &empty, &s2), 0);
    EXPECT_EQ(addrs(&r), (std::vector<uint32_t>{3, 4, 5}));
    jx_set_destroy(&r);
    ASSERT_EQ(jx_set_intersection(&r, &s1, &empty), 0);
    EXPECT_EQ(r.size, 0);
    jx_set_destroy(&r);

    EXPECT_EQ(jx_set_is_subset(&empty, &s1), 1);
    EXPECT_EQ(jx_set_is_subset(&s1, &s2), 0);
    EXPECT_EQ(jx_set_is_equal(&empty, &empty), 1);
    EXPECT_EQ(jx_set_is_equal(&s1, &empty), 0);
    EXPECT_EQ(jx_set_is_equal(&s1, &s2), 0) << "same size, different members";

    jx_set s3;
    jx_set_init(&s3, match_peer_addr, nullptr);
    Peer c1{1, ""}, c2{2, ""}, c3{3, ""};
    for (Peer* q : {&c3, &c1, &c2})
        ASSERT_EQ(jx_set_insert(&s3, q), 0);
    EXPECT_EQ(jx_set_is_equal(&s1, &s3), 1) << "order does not matter";
    EXPECT_EQ(jx_set_is_subset(&s1, &s3), 1);
    void* data = &c2;
    ASSERT_EQ(jx_set_remove(&s3, &data), 0);
    EXPECT_EQ(jx_set_is_subset(&s3, &s1), 1);
    EXPECT_EQ(jx_set_is_subset(&s1, &s3), 0) << "a larger set is never a subset";

    jx_set_destroy(&s3);
    destroyed_count = 0;
    jx_set_destroy(&s1);
    jx_set_destroy(&s2);
    EXPECT_EQ(destroyed_count, 6);
}

TEST(Set, MatchArgumentOrder)
{
    // match(key, member): key "ab" matches member "abc", not the other way round.
    char ab[] = "ab";
    char abc[] = "abc";
    char x[] = "x";
    jx_set s1, s2, r;
    jx_set_init(&s1, match_prefix, nullptr);
    jx_set_init(&s2, match_prefix, nullptr);
    ASSERT_EQ(jx_set_insert(&s1, ab), 0);
    ASSERT_EQ(jx_set_insert(&s2, abc), 0);

    // The new datum is the key when inserting and testing membership.
    EXPECT_EQ(jx_set_is_member(&s2, ab), 1);
    EXPECT_EQ(jx_set_is_member(&s1, abc), 0);
    EXPECT_EQ(jx_set_insert(&s2, ab), 1);
    EXPECT_EQ(jx_set_insert(&s1, abc), 0);
    void* data = abc;
    ASSERT_EQ(jx_set_remove(&s1, &data), 0);
    EXPECT_EQ(data, abc);
    data = ab;
    EXPECT_EQ(jx_set_remove(&s2, &data), 0) << "remove passes the key first";
    EXPECT_EQ(data, abc);
    ASSERT_EQ(jx_set_insert(&s2, abc), 0);
    ASSERT_EQ(jx_set_insert(&s2, x), 0);

    // Union asks s1.match(m2, m1): "abc" is not a prefix of "ab", so it is added.
    ASSERT_EQ(jx_set_union(&r, &s1, &s2), 0);
    EXPECT_EQ(strings(&r), (std::vector<std::string>{"ab", "abc", "x"}));
    jx_set_destroy(&r);
    // Intersection and difference ask s2.match(m1, m2).
    ASSERT_EQ(jx_set_intersection(&r, &s1, &s2), 0);
    EXPECT_EQ(strings(&r), (std::vector<std::string>{"ab"}));
    jx_set_destroy(&r);
    ASSERT_EQ(jx_set_difference(&r, &s1, &s2), 0);
    EXPECT_EQ(r.size, 0);
    jx_set_destroy(&r);
    ASSERT_EQ(jx_set_difference(&r, &s2, &s1), 0);
    EXPECT_EQ(strings(&r), (std::vector<std::string>{"abc", "x"}));
    jx_set_destroy(&r);

    EXPECT_EQ(jx_set_is_subset(&s1, &s2), 1);
    jx_set_destroy(&s1);
    jx_set_init(&s1, match_prefix, nullptr);
    ASSERT_EQ(jx_set_insert(&s1, abc), 0);
    ASSERT_EQ(jx_set_insert(&s1, x), 0);
    EXPECT_EQ(jx_set_is_equal(&s1, &s2), 1);
    jx_set s4;
    jx_set_init(&s4, match_prefix, nullptr);
    ASSERT_EQ(jx_set_insert(&s4, ab), 0);
    ASSERT_EQ(jx_set_insert(&s4, x), 0);
    EXPECT_EQ(jx_set_is_equal(&s4, &s2), 1) << "s2.match(\"ab\", \"abc\") holds";
    EXPECT_EQ(jx_set_is_equal(&s2, &s4), 0) << "s4.match(\"abc\", \"ab\") does not";
    jx_set_destroy(&s4);
    jx_set_destroy(&s1);
    jx_set_destroy(&s2);
}
