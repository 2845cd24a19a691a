#pragma once

// Which instruction set the hot loops of the visibility step use. Every
// level gives the same bytes: the vector loops make the same IEEE
// operations, in the same order, as the scalar ones (no fused multiply-add).
enum class simd_level {
    scalar,  // plain C++ for any x86-64 (or other) processor
    avx2,    // four doubles at a time, where the processor has AVX2
};

// The level in use: the best this processor runs, unless the environment
// variable MORVANE_SIMD is "scalar" (or "off") when first asked, or
// force_simd_level chose another.
simd_level simd_in_use();

// Uses `level` from now on, or the best the processor runs when it lacks
// it; returns the level now in use. For benchmarks and tests that compare
// the paths in one process.
simd_level force_simd_level(simd_level level);

// The level MORVANE_SIMD's value `asked` (null when unset) chooses, given
// the processor's best: "scalar" or "off" the scalar loops, else the best.
simd_level simd_asked_for(const char* asked, simd_level best);

// The best level this processor runs.
simd_level best_simd_level();

// "scalar" or "avx2".
const char* simd_name(simd_level level);
