// JX_OWN_MAIN: jobs run over the real engine, which binds 8855 and 8856, so the suite enters a
// network namespace of its own first; without one the job tests skip and the rest still run.
#include "support/netns.hpp"
#include "support/suite_exit.hpp"

bool g_cli_netns = false;

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    std::string why;
    if (!(g_cli_netns = jx_test_enter_netns(&why)))
        std::fprintf(stderr, "SKIPPED: the job tests need a private network namespace (%s)\n", why.c_str());
    return jx_test_exit(RUN_ALL_TESTS());
}
