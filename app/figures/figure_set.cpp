#include "app/figures/figure_set.hpp"

#include <memory>

#include "app/figures/charts.hpp"
#include "app/figures/figure_file.hpp"
#include "app/figures/shape_picture.hpp"
#include "app/figures/spin_charts.hpp"

namespace {

// "NAME_NNNNN" for a shape.
QString shape_stem(const char* name, int32_t shape)
{
    return QString("%1_%2").arg(name).arg(shape, 5, 10, QChar('0'));
}

// The page size of a fit figure: taller with more blocks.
QSize fit_size(int32_t blocks)
{
    const int rows = blocks > 2 ? (blocks + 1) / 2 : blocks;
    return {blocks > 2 ? 1500 : 1000, 80 + 520 * rows};
}

}  // namespace

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
    const std::unique_ptr<QWidget> fit(fit_figure(run, curves));
    if (!save_figure(fit.get(), fit_size(curves.block_count), folder + "/" + shape_stem("fit", curves.shape), why))
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
