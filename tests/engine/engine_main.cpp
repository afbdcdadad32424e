// JX_OWN_MAIN
// The engine suite binds the real ports 8855/8856 and joins multicast groups, so it runs in a
// network namespace of its own (see support/netns.hpp).
#include <gtest/gtest.h>

#include <cstdio>

#include "support/netns.hpp"

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    std::string why;
    if (!jx_test_enter_netns(&why)) {
        std::fprintf(stderr, "SKIPPED: the engine tests need a private network namespace (%s)\n",
                     why.c_str());
        testing::GTEST_FLAG(filter) = "-*";
    }
    return RUN_ALL_TESTS();
}
