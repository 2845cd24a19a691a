#include "common/simd.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

// -1 until first asked, then the level's value.
std::atomic<int> chosen{-1};

}  // namespace

simd_level simd_asked_for(const char* asked, simd_level best)
{
    if (asked && (std::strcmp(asked, "scalar") == 0 || std::strcmp(asked, "off") == 0)) return simd_level::scalar;
    return best;
}

simd_level best_simd_level()
{
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2 ? simd_level::avx2 : simd_level::scalar;
#else
    return simd_level::scalar;
#endif
}

simd_level simd_in_use()
{
    int level = chosen.load(std::memory_order_relaxed);
    if (level < 0) {
        int expected = -1;
        chosen.compare_exchange_strong(
            expected, static_cast<int>(simd_asked_for(std::getenv("MORVANE_SIMD"), best_simd_level())));
        level = chosen.load(std::memory_order_relaxed);
    }
    return static_cast<simd_level>(level);
}

simd_level force_simd_level(simd_level level)
{
    const simd_level usable = level == simd_level::avx2 ? best_simd_level() : simd_level::scalar;
    chosen.store(static_cast<int>(usable), std::memory_order_relaxed);
    return usable;
}

const char* simd_name(simd_level level)
{
    return level == simd_level::avx2 ? "avx2" : "scalar";
}
