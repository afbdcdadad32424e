// JX_OWN_MAIN: the suite runs in a network namespace of its own, so that the engine under the
// screens can bind ports 8855 and 8856 without touching the host or other test runs. Without one,
// the tests that need no engine still run and the suite reports itself skipped.
#include <string>

#include "support/netns.hpp"
#include "support/suite_exit.hpp"

bool g_own_netns = false;  // declared in terminal_fixture.hpp

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    std::string why;
    g_own_netns = jx_test_enter_netns(&why);
    if (!g_own_netns)
        std::fprintf(stderr, "SKIPPED: the screen tests need a private network namespace (%s)\n", why.c_str());
    return jx_test_exit(RUN_ALL_TESTS());
}
