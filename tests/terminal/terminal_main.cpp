// JX_OWN_MAIN: the suite runs in a network namespace of its own, so that the engine under the
// screens can bind ports 8855 and 8856 without touching the host or other test runs.
#include <gtest/gtest.h>

#include "support/netns.hpp"

bool g_own_netns = false;  // declared in terminal_fixture.hpp

int main(int argc, char** argv)
{
    g_own_netns = jx_test_enter_netns(nullptr);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
