#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "foundation/llist.hpp"
#include "foundation/set.hpp"

namespace {

// Members (C strings) in link order, joined; size and tail must agree with the links.
std::string items(const jx_list* list)
{
    std::string out;
    const jx_list_elmt* last = nullptr;
    for (const jx_list_elmt* e = list->head; e != nullptr; last = e, e = e->next)
        out += static_cast<const char*>(e->data);
    EXPECT_EQ(static_cast<size_t>(list->size), out.size());
    EXPECT_EQ(list->tail, last);
    return out;
}

std::vector<const void*> destroyed;

int same(const void* key, const void* member)
{
    return std::strcmp(static_cast<const char*>(key), static_cast<const char*>(member)) == 0;
}

}  // namespace

TEST(List, InsertRemoveKeepTailAndDestroyHandsOutData)
{
    static const char *a = "a", *b = "b", *c = "c";
    void* out = nullptr;
    jx_list list;
    jx_list_init(&list, [](void* d) { destroyed.push_back(d); });
    EXPECT_EQ(jx_list_rem_next(&list, nullptr, &out), -1);
    ASSERT_EQ(jx_list_ins_next(&list, nullptr, c), 0);
    ASSERT_EQ(jx_list_ins_next(&list, nullptr, a), 0);    // at the head
    ASSERT_EQ(jx_list_ins_next(&list, list.head, b), 0);  // in the middle: the tail stays
    ASSERT_EQ(jx_list_ins_next(&list, list.tail, "d"), 0);
    EXPECT_EQ(items(&list), "abcd");
    EXPECT_EQ(jx_list_rem_next(&list, list.tail, &out), -1) << "nothing follows the tail";
    // The last one removed through its predecessor, which becomes the tail; then the head.
    ASSERT_EQ(jx_list_rem_next(&list, list.head->next->next, &out), 0);
    ASSERT_EQ(jx_list_rem_next(&list, nullptr, &out), 0);
    EXPECT_EQ(out, a);
    EXPECT_EQ(items(&list), "bc");
    EXPECT_TRUE(destroyed.empty()) << "removal hands the data to the caller";
    jx_list_destroy(&list);
    EXPECT_EQ(destroyed, (std::vector<const void*>{b, c}));
    EXPECT_EQ(items(&list), "");
}

TEST(Set, MembersStayDistinctAndAlgebra)
{
    char b2[] = "b";
    jx_set s1, s2, r;
    jx_set_init(&s1, same, nullptr);
    jx_set_init(&s2, same, nullptr);
    for (const char* m : {"a", "b", "c"})
        ASSERT_EQ(jx_set_insert(&s1, m), 0);
    EXPECT_EQ(jx_set_insert(&s1, b2), 1) << "an equal member is there";
    for (const char* m : {"c", "d"})
        ASSERT_EQ(jx_set_insert(&s2, m), 0);
    const std::pair<int (*)(jx_set*, const jx_set*, const jx_set*), std::string> ops[] = {
        {jx_set_union, "abcd"}, {jx_set_intersection, "c"}, {jx_set_difference, "ab"}};
    for (const auto& [op, want] : ops) {
        ASSERT_EQ(op(&r, &s1, &s2), 0);
        EXPECT_EQ(items(&r), want);
        EXPECT_EQ(jx_set_is_subset(&r, &s1), want != "abcd");
        EXPECT_EQ(jx_set_is_equal(&r, &s1), 0);
        jx_set_destroy(&r);
    }

    // Removal hands out the stored member that matched the key.
    void* data = b2;
    ASSERT_EQ(jx_set_remove(&s1, &data), 0);
    EXPECT_TRUE(data != b2 && std::strcmp(static_cast<char*>(data), "b") == 0);
    EXPECT_EQ(jx_set_remove(&s1, &data), -1);
    EXPECT_EQ(jx_set_is_member(&s1, "b"), 0);
    jx_set_destroy(&s1);
    jx_set_destroy(&s2);
}
