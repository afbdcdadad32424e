// The main of every suite that needs nothing before its tests run.
#include "support/suite_exit.hpp"

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    return jx_test_exit(RUN_ALL_TESTS());
}
