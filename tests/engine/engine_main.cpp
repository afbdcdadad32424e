// JX_OWN_MAIN
// The engine suite binds the real ports 8855/8856 and joins multicast groups, so it runs in a
// network namespace of its own (see support/netns.hpp); without one nothing of it can run.
#include <cstdio>
#include <string>

#include "support/netns.hpp"
#include "support/suite_exit.hpp"

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    std::string why;
    if (!jx_test_enter_netns(&why)) {
        std::fprintf(stderr, "SKIPPED: the engine tests need a private network namespace (%s)\n",
                     why.c_str());
        return JX_TEST_SKIPPED;
    }
    return jx_test_exit(RUN_ALL_TESTS());
}
