// The choice of instruction-set level: the environment's word, and a
// forced level that the processor may not run.
#include <gtest/gtest.h>

#include "common/simd.hpp"

TEST(Simd, TheEnvironmentChoosesTheScalarLoopsOrTheBest)
{
    for (simd_level best : {simd_level::scalar, simd_level::avx2}) {
        EXPECT_EQ(simd_asked_for(nullptr, best), best);
        EXPECT_EQ(simd_asked_for("", best), best);
        EXPECT_EQ(simd_asked_for("avx2", best), best);
        EXPECT_EQ(simd_asked_for("scalar", best), simd_level::scalar);
        EXPECT_EQ(simd_asked_for("off", best), simd_level::scalar);
        EXPECT_EQ(simd_asked_for("SCALAR ", best), best);  // only the exact words
    }
}

TEST(Simd, AForcedLevelIsUsedOnlyWhereTheProcessorRunsIt)
{
    EXPECT_EQ(force_simd_level(simd_level::scalar), simd_level::scalar);
    EXPECT_EQ(simd_in_use(), simd_level::scalar);
    EXPECT_EQ(force_simd_level(simd_level::avx2), best_simd_level());
    EXPECT_EQ(simd_in_use(), best_simd_level());
    EXPECT_STREQ(simd_name(simd_level::scalar), "scalar");
    EXPECT_STREQ(simd_name(simd_level::avx2), "avx2");
}
