// suite_exit: how a test binary ends. A suite whose tests passed but some could not run here
// (no network namespace, not root) exits 77, which ctest reports as skipped, so a machine that
// cannot run it never passes it silently. Shared by every suite's main.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>

inline constexpr int JX_TEST_SKIPPED = 77;

inline int jx_test_exit(int rc)
{
    const int skipped = testing::UnitTest::GetInstance()->skipped_test_count();
    if (rc != 0 || skipped == 0)
        return rc;
    std::fprintf(stderr, "SKIPPED: %d test%s could not run here (reasons above)\n", skipped,
                 skipped == 1 ? "" : "s");
    return JX_TEST_SKIPPED;
}
