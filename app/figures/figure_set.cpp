#include "app/figures/figure_set.hpp"

#include <memory>
#include <vector>

#include "app/figures/charts.hpp"
#include "app/figures/composite_chart.hpp"
#include "app/figures/figure_file.hpp"
#include "app/figures/shape_picture.hpp"
#include "app/figures/spin_charts.hpp"

namespace {

// "NAME_NNNNN" for a shape.
QString shape_stem(const char* name, int32_t shape)
{
    return QString("%1_%2").arg(name).arg(shape, 5, 10, QChar('0'));
}

// "fit_NNNNN_block_BB" for block number `block` of a shape.
QString block_stem(int32_t shape, int32_t block)
{
    return QString("%1_block_%2").arg(shape_stem("fit", shape)).arg(block, 2, 10, QChar('0'));
}

// The file's block number of each block of the run (0, 1, ... when the
// reference names none).
std::vector<int32_t> block_numbers(const run_results& run)
{
    const int32_t count = reference_blocks(*run.reference);
    std::vector<int32_t> numbers(static_cast<std::size_t>(count));
    for (int32_t b = 0; b < count; ++b)
        numbers[static_cast<std::size_t>(b)] =
            static_cast<std::size_t>(b) < run.reference->blocks.size() ? run.reference->blocks[b] : b;
    return numbers;
}

}  // namespace

QSize fit_figure_size(int32_t blocks)
{
    if (blocks > fit_blocks_per_figure) {
        const int columns = overview_columns(blocks);
        const int rows = (blocks + columns - 1) / columns;
        return {330 * columns, 90 + 240 * rows};
    }
    const int rows = blocks > 2 ? (blocks + 1) / 2 : blocks;
    return {blocks > 2 ? 1500 : 1000, 40 + 480 * rows};
}

QStringList fit_block_figure_files(const run_results& run, int32_t shape)
{
    QStringList files;
    const std::vector<int32_t> numbers = block_numbers(run);
    if (static_cast<int32_t>(numbers.size()) <= fit_blocks_per_figure) return files;
    for (int32_t block : numbers)
        for (const char* ext : {".png", ".svg"}) files << block_stem(shape, block) + ext;
    return files;
}

QStringList composite_figure_files(int32_t shape)
{
    return {shape_stem("composite", shape) + ".png", shape_stem("composite", shape) + ".svg"};
}

QStringList shape_figure_files(int32_t shape)
{
    QStringList files;
    for (const char* name : {"fit", "shape", "rotation"})
        for (const char* ext : {".png", ".svg"}) files << shape_stem(name, shape) + ext;
    return files;
}

QStringList profile_figure_files()
{
    return {"profiles.png", "profiles.svg"};
}

bool write_shape_figures(const run_results& run, const shape_curves& curves, const QString& folder, QString& why)
{
    const bool many = curves.block_count > fit_blocks_per_figure;
    const std::unique_ptr<QWidget> fit(many ? fit_overview_figure(run, curves) : fit_figure(run, curves));
    if (!save_figure(fit.get(), fit_figure_size(curves.block_count), folder + "/" + shape_stem("fit", curves.shape),
                     why))
        return false;
    if (many) {
        const std::vector<int32_t> numbers = block_numbers(run);
        for (int32_t b = 0; b < curves.block_count; ++b) {
            const std::unique_ptr<QWidget> one(fit_block_figure(run, curves, b));
            if (!save_figure(one.get(), {1100, 640},
                             folder + "/" + block_stem(curves.shape, numbers[static_cast<std::size_t>(b)]), why))
                return false;
        }
    }
    const std::unique_ptr<QWidget> composite(composite_figure(run, curves));
    if (!save_figure(composite.get(), {1400, 820}, folder + "/" + shape_stem("composite", curves.shape), why))
        return false;
    const std::unique_ptr<QWidget> picture(new shape_picture(curves));
    if (!save_figure(picture.get(), {900, 620}, folder + "/" + shape_stem("shape", curves.shape), why)) return false;
    const std::unique_ptr<QWidget> rotation(rotation_figure(run, curves));
    return save_figure(rotation.get(), {1000, 520}, folder + "/" + shape_stem("rotation", curves.shape), why);
}

bool write_profile_figure(const run_results& run, int32_t selected, const QString& folder, QString& why)
{
    const std::unique_ptr<QWidget> profiles(profile_figure(run, selected));
    return save_figure(profiles.get(), {1350, 720}, folder + "/profiles", why);
}

QStringList spin_figure_files()
{
    return {"pole_map.png", "pole_map.svg", "periodogram.png", "periodogram.svg"};
}

bool write_spin_figures(const run_results& run, const QString& folder, QString& why)
{
    const std::unique_ptr<QWidget> map(pole_map_figure(run));
    if (!save_figure(map.get(), {1400, 820}, folder + "/pole_map", why)) return false;
    const std::unique_ptr<QWidget> periods(periodogram_figure(run));
    return save_figure(periods.get(), {1000, 520}, folder + "/periodogram", why);
}
