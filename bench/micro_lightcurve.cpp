#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "lightcurve/lc_reader.hpp"
#include "lightcurve/resample.hpp"

namespace {

constexpr int observations = 1000000;

// A temporary directory holding a 1,000,000-observation file in 100 blocks,
// made once; the benchmark runs inside it so the reference files land there.
class big_file {
public:
    big_file()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "morvane-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        dir_ = pattern;
        path_ = (dir_ / "big.zel").string();
        std::FILE* f = std::fopen(path_.c_str(), "w");
        if (!f) std::abort();
        const int blocks = 100;
        std::fprintf(f, "%d\n", blocks);
        for (int b = 0; b < blocks; ++b) {
            std::fprintf(f, "%d\n", observations / blocks);
            for (int i = 0; i < observations / blocks; ++i) {
                int j = b * (observations / blocks) + i;
                double t = 2451000.0 + j * 0.0001;
                double brightness = 1.0 + 0.3 * ((j % 977) / 977.0);
                std::fprintf(f, "%.6f %.6f %.9f %.9f %.9f %.9f %.9f %.9f\n", t, brightness, 0.81 + j * 1e-9, -0.52,
                             0.11, 0.33, 0.91 - j * 1e-9, -0.05);
            }
        }
        std::fclose(f);
    }
    ~big_file()
    {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    const std::filesystem::path& dir() const { return dir_; }
    const std::string& path() const { return path_; }

private:
    std::filesystem::path dir_;
    std::string path_;
};

void BM_LoadResampleWrite1M(benchmark::State& state)
{
    static big_file file;
    std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(file.dir());
    for (auto _ : state) {
        obs_set set;
        ref_curve ref;
        std::string reason;
        if (read_lc_file(file.path(), set, nullptr, reason) != observations) {
            state.SkipWithError(reason.c_str());
            break;
        }
        resample_reference(set, ref);
        if (std::string why; !write_reference_files(ref, set, why)) {
            state.SkipWithError("cannot write the reference files");
            break;
        }
        benchmark::DoNotOptimize(ref.photometry.data());
    }
    std::filesystem::current_path(previous);
    state.SetItemsProcessed(state.iterations() * observations);
}
BENCHMARK(BM_LoadResampleWrite1M)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
