// The list and set every record collection is built on: order, head and tail kept right through
// inserts and removals, data handed to destroy exactly once, find and remove_if over any run of members,
// and the set algebra with its empty-set cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "foundation/llist.hpp"
#include "foundation/set.hpp"

namespace {

int g_destroyed[16];

void count_destroy(void* data)
{
    g_destroyed[*static_cast<int*>(data)]++;
}

int same_int(const void* a, const void* b)
{
    return *static_cast<const int*>(a) == *static_cast<const int*>(b) ? 1 : 0;
}

// The members in order, with the tail's member after a '|' when the tail is not the last node.
std::string members(const jx_list* l)
{
    std::string s;
    for (jx_list_elmt* e = jx_list_head(l); e != nullptr; e = jx_list_next(e))
        s += std::to_string(*static_cast<int*>(jx_list_data(e)));
    if (jx_list_tail(l) != nullptr && !jx_list_is_tail(jx_list_tail(l)))
        s += "|bad tail";
    if (static_cast<size_t>(jx_list_size(l)) != s.size())
        s += "|bad size";
    return s;
}

int vals[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};

// A list of the given digits, in order, destroy counting.
void fill(jx_list* l, const std::string& digits)
{
    jx_list_init(l, count_destroy);
    for (char c : digits)
        ASSERT_EQ(jx_list_ins_next(l, jx_list_tail(l), &vals[c - '0']), 0);
}

}  // namespace

TEST(List, InsertRemoveAndDestroyKeepHeadTailAndOwnership)
{
    jx_list l;
    jx_list_init(&l, count_destroy);
    void* data = nullptr;
    EXPECT_EQ(jx_list_rem_next(&l, nullptr, &data), -1);    // empty
    ASSERT_EQ(jx_list_ins_next(&l, nullptr, &vals[2]), 0);  // at the head of an empty list: also its tail
    ASSERT_EQ(jx_list_ins_next(&l, nullptr, &vals[1]), 0);
    ASSERT_EQ(jx_list_ins_next(&l, jx_list_tail(&l), &vals[4]), 0);
    ASSERT_EQ(jx_list_ins_next(&l, jx_list_next(jx_list_head(&l)), &vals[3]), 0);
    EXPECT_EQ(members(&l), "1234");
    EXPECT_TRUE(jx_list_is_head(&l, jx_list_head(&l)) && !jx_list_is_head(&l, jx_list_tail(&l)));
    EXPECT_EQ(*static_cast<int*>(jx_list_data(jx_list_tail(&l))), 4);
    // After the tail there is nothing to remove; removing the last node moves the tail back.
    EXPECT_EQ(jx_list_rem_next(&l, jx_list_tail(&l), &data), -1);
    jx_list_elmt* third = jx_list_next(jx_list_next(jx_list_head(&l)));
    ASSERT_EQ(jx_list_rem_next(&l, third, &data), 0);
    EXPECT_EQ(data, &vals[4]);
    EXPECT_EQ(members(&l), "123");
    ASSERT_EQ(jx_list_rem_next(&l, nullptr, &data), 0);
    EXPECT_EQ(data, &vals[1]);
    EXPECT_EQ(members(&l), "23");
    // Removed data is the caller's: destroy sees only what is still listed, once each.
    std::fill(std::begin(g_destroyed), std::end(g_destroyed), 0);
    jx_list_destroy(&l);
    EXPECT_EQ(std::vector<int>(g_destroyed, g_destroyed + 5), (std::vector<int>{0, 0, 1, 1, 0}));
    EXPECT_TRUE(jx_list_size(&l) == 0 && jx_list_head(&l) == nullptr && jx_list_tail(&l) == nullptr &&
                l.destroy == nullptr);
}

TEST(List, FindAndRemoveIfTakeAnyRunOfMembers)
{
    // {list, digits to remove, left}
    const std::tuple<std::string, std::string, std::string> rows[] = {
        {"", "1", ""},          {"1", "1", ""},         {"12345", "1", "2345"}, {"12345", "5", "1234"},
        {"12345", "24", "135"}, {"12345", "345", "12"}, {"12345", "12345", ""}, {"12345", "9", "12345"},
    };
    for (const auto& [digits, remove, left] : rows) {
        jx_list l;
        fill(&l, digits);
        std::fill(std::begin(g_destroyed), std::end(g_destroyed), 0);
        auto doomed = [&](void* d) {
            return remove.find(static_cast<char>('0' + *static_cast<int*>(d))) != std::string::npos;
        };
        const size_t first = digits.find_first_of(remove);
        EXPECT_EQ(jx_list_find(&l, doomed), first == std::string::npos ? nullptr : &vals[digits[first] - '0'])
            << digits;
        std::string seen;
        const int32_t n = jx_list_remove_if(&l, [&](void* d) {
            const int v = *static_cast<int*>(d);
            seen += std::to_string(v);
            return doomed(d);
        });
        EXPECT_EQ(seen, digits) << "every member is asked once, in order";
        EXPECT_EQ(members(&l), left) << digits << " minus " << remove;
        EXPECT_EQ(static_cast<size_t>(n), digits.size() - left.size());
        for (char c : digits)
            EXPECT_EQ(g_destroyed[c - '0'], left.find(c) == std::string::npos ? 1 : 0) << c;
        // The tail is right: appending lands at the end.
        ASSERT_EQ(jx_list_ins_next(&l, jx_list_tail(&l), &vals[9]), 0);
        EXPECT_EQ(members(&l), left + "9");
        jx_list_destroy(&l);
    }
}

TEST(Set, MembersStayDistinctAndTheAlgebraHoldsForEmptySetsToo)
{
    auto set_of = [](jx_set* s, const std::string& digits) {
        jx_set_init(s, same_int, nullptr);
        for (char c : digits)
            EXPECT_EQ(jx_set_insert(s, &vals[c - '0']), 0);
    };
    jx_set a;
    set_of(&a, "1234");
    int other_two = 2;  // another pointer, the same member
    EXPECT_EQ(jx_set_insert(&a, &other_two), 1);
    EXPECT_EQ(members(&a), "1234");
    EXPECT_EQ(std::make_pair(jx_set_is_member(&a, &other_two), jx_set_is_member(&a, &vals[7])),
              std::make_pair(1, 0));
    // Removal hands out the stored member, not the key.
    void* key = &other_two;
    ASSERT_EQ(jx_set_remove(&a, &key), 0);
    EXPECT_EQ(key, &vals[2]);
    key = &other_two;
    EXPECT_EQ(jx_set_remove(&a, &key), -1);
    EXPECT_EQ(members(&a), "134");

    // {s1, s2, union, intersection, difference, s1 subset of s2, equal}
    const std::tuple<std::string, std::string, std::string, std::string, std::string, int, int> rows[] = {
        {"134", "3459", "13459", "34", "1", 0, 0},
        {"34", "3459", "3459", "34", "", 1, 0},
        {"", "12", "12", "", "", 1, 0},
        {"12", "", "12", "", "12", 0, 0},
        {"", "", "", "", "", 1, 1},
        {"312", "123", "312", "312", "", 1, 1},
    };
    for (const auto& [s1, s2, uni, inter, diff, subset, equal] : rows) {
        jx_set x, y, r;
        set_of(&x, s1);
        set_of(&y, s2);
        ASSERT_EQ(jx_set_union(&r, &x, &y), 0);
        EXPECT_EQ(members(&r), uni) << s1 << " u " << s2;
        jx_set_destroy(&r);
        ASSERT_EQ(jx_set_intersection(&r, &x, &y), 0);
        EXPECT_EQ(members(&r), inter) << s1 << " n " << s2;
        jx_set_destroy(&r);
        ASSERT_EQ(jx_set_difference(&r, &x, &y), 0);
        EXPECT_EQ(members(&r), diff) << s1 << " - " << s2;
        jx_set_destroy(&r);
        EXPECT_EQ(jx_set_is_subset(&x, &y), subset) << s1 << " in " << s2;
        EXPECT_EQ(jx_set_is_equal(&x, &y), equal) << s1 << " = " << s2;
        jx_set_destroy(&x);
        jx_set_destroy(&y);
    }
    jx_set_destroy(&a);
}
