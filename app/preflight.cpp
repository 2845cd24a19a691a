#include "app/preflight.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <system_error>
#include <unistd.h>

#include "app/fields.hpp"
#include "common/checked_file.hpp"
#include "common/control_ids.hpp"
#include "lightcurve/lc_reader.hpp"
#include "lightcurve/resample.hpp"
#include "sweep/sweep_records.hpp"
#include "sweep/sweep_worker.hpp"

namespace {


// One spin-state field: its id, its name for refusals, where it goes.
struct spin_field {
    int id;
    const char* name;
    double spin_state::*typed;
};

// The fields in the order they are read.
constexpr spin_field spin_fields[] = {
    {ctl::lambda, "pole longitude", &spin_state::lambda_deg},
    {ctl::beta, "pole latitude", &spin_state::beta_deg},
    {ctl::phi0, "initial rotation phase", &spin_state::phi0_deg},
    {ctl::period, "sidereal period", &spin_state::period_hours},
    {ctl::epoch, "epoch", &spin_state::t0},
};


// Available memory: MemAvailable of /proc/meminfo, else the physical pages.
double available_memory()
{
    std::ifstream in("/proc/meminfo");
    std::string key;
    double kib = 0.0;
    std::string unit;
    while (in >> key >> kib >> unit)
        if (key == "MemAvailable:") return kib * 1024.0;
    return static_cast<double>(sysconf(_SC_PHYS_PAGES)) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

// "1.2 GB", "340 MB": sizes as a person reads them.
std::string size_text(double bytes)
{
    const char* units[] = {"bytes", "kB", "MB", "GB", "TB", "PB"};
    int u = 0;
    while (bytes >= 1000.0 && u < 5) bytes /= 1000.0, ++u;
    char text[32];
    std::snprintf(text, sizeof text, u == 0 ? "%.0f %s" : "%.1f %s", bytes, units[u]);
    return text;
}

// "3.5 h", "12 min", "40 s".
std::string duration_text(double seconds)
{
    char text[32];
    if (seconds >= 86400.0 * 2)
        std::snprintf(text, sizeof text, "%.1f days", seconds / 86400.0);
    else if (seconds >= 3600.0)
        std::snprintf(text, sizeof text, "%.1f h", seconds / 3600.0);
    else if (seconds >= 60.0)
        std::snprintf(text, sizeof text, "%.0f min", seconds / 60.0);
    else
        std::snprintf(text, sizeof text, "%.0f s", seconds);
    return text;
}

}  // namespace

std::string spin_range_refusal(const spin_state& s)
{
    if (!(s.lambda_deg >= 0.0 && s.lambda_deg <= 360.0)) return "the pole longitude must lie between 0 and 360 degrees";
    if (!(s.beta_deg >= -90.0 && s.beta_deg <= 90.0)) return "the pole latitude must lie between -90 and 90 degrees";
    if (!(s.phi0_deg >= 0.0 && s.phi0_deg <= 360.0)) return "the initial rotation phase must lie between 0 and 360 degrees";
    if (!(s.period_hours >= 0.0)) return "the sidereal period must not be negative";
    // Every phase computation divides by the period: refuse 0 (and infinity).
    if (!(s.period_hours > 0.0) || std::isinf(s.period_hours)) return "the sidereal period must be greater than 0 hours";
    if (!(s.t0 == 0.0 || (s.t0 >= 2433283.0 && s.t0 <= 2524961.0)))
        return "the epoch must be 0 or a Julian date from 2433283 to 2524961";
    return "";
}

command_outcome check_geosphere_fields(app_state& app, int& n)
{
    if (!app.target->read_item_int(ctl::subdivisions, n)) return {false, "the subdivision count must be a whole number"};
    if (n < 1 || n > 10) return {false, "the subdivision count must lie between 1 and 10"};
    return {true, ""};
}

command_outcome check_load_fields(app_state& app, std::string& path, spin_state& typed)
{
    status_ops& ui = *app.target;
    // The path is taken whole, whatever its length.
    path = ui.read_item_text(ctl::path, 1 << 16);
    typed = app.spin;
    for (const spin_field& field : spin_fields)
        if (!read_decimal_field(ui, field.id, typed.*field.typed))
            return {false, std::string("the ") + field.name + " field must hold a single number"};
    std::string refusal = spin_range_refusal(typed);
    if (!refusal.empty()) return {false, refusal};
    struct stat info {};
    if (path.find('\0') != std::string::npos) return {false, "the path holds a NUL character"};
    if (stat(path.c_str(), &info) != 0) return {false, path + ": " + std::strerror(errno)};
    if (!S_ISREG(info.st_mode)) return {false, path + ": it is not a regular file"};
    return {true, ""};
}

command_outcome check_shapes_fields(app_state& app, sweep_plan& plan)
{
    status_ops& ui = *app.target;
    if (!read_decimal_field(ui, ctl::step_size, plan.step))
        return {false, "the step size field must hold a single number"};
    if (!ui.read_item_int(ctl::threads, plan.threads)) return {false, "the thread count must be a whole number"};
    if (plan.threads < 1 || plan.threads > 50) return {false, "the thread count must lie between 1 and 50"};
    const std::string fit = ui.read_item_text(ctl::fit, 64);
    if (fit != "range" && fit != "offset") return {false, "the fit must be range or offset, not \"" + fit + "\""};
    plan.fit = fit == "offset" ? fit_mode::offset : fit_mode::range;
    if (!(plan.step > 0.0) || std::isinf(plan.step))
        return refuse_visibly(app, "the step size must be a number greater than 0");
    plan.count = count_grid(plan.step, INT_MAX);
    if (plan.count.too_large) {
        char text[200];
        std::snprintf(text, sizeof text, "step size %g gives more than %i shapes: choose a larger step", plan.step,
                      INT_MAX);
        return refuse_visibly(app, text);
    }
    return {true, ""};
}

command_outcome check_output_folder(bool keep)
{
    std::error_code error;
    const bool made = std::filesystem::create_directory("output", error);
    if (error || !std::filesystem::is_directory("output", error))
        return {false, "cannot create the directory output in the working directory"};
    // A check alone leaves nothing behind.
    struct unmake {
        bool undo;
        ~unmake()
        {
            std::error_code ignored;
            if (undo) std::filesystem::remove("output", ignored);
        }
    } cleanup{made && !keep};
    // Permissions say little (root passes them all): write a probe instead.
    const std::string probe = "output/.morvane-probe-" + std::to_string(getpid());
    checked_file file;
    if (file.open(probe)) {
        file.write("probe\n", 6);
        file.close();
    }
    std::remove(probe.c_str());
    if (!file.error().empty()) return {false, "the directory output is not usable: " + file.error()};
    return {true, ""};
}

int64_t base_vertex_count(int n)
{
    // 20 * 4^n facets per sphere, three vertex records for every two facets,
    // two spheres.
    return 60 * (int64_t{1} << (2 * n));
}

sweep_needs estimate_sweep_needs(int64_t shapes, int64_t new_files, int64_t vertex_count, int threads, int blocks)
{
    sweep_needs needs;
    needs.shapes = shapes;
    // Per shape: its row, its flags, its share of the block plan; per thread
    // two vertex arrays, and the base copy.
    needs.memory_bytes = static_cast<double>(shapes) * (sizeof(shape_result) + 2 + 12 + sizeof(block_fit) * blocks) +
                         static_cast<double>(vertex_count) * sizeof(vec3) * (2.0 * threads + 2.0);
    needs.free_memory_bytes = available_memory();
    struct statvfs fs {};
    const bool known = statvfs("output", &fs) == 0 || statvfs(".", &fs) == 0;
    // A lightcurve file holds 150 lines of about 26 bytes and takes whole
    // blocks; the summary, the journal and the partial table about 260 bytes
    // a shape.
    const double block = known && fs.f_frsize > 0 ? static_cast<double>(fs.f_frsize) : 4096.0;
    const double file_bytes = std::ceil(150.0 * blocks * 26.0 / block) * block;
    needs.disk_bytes = static_cast<double>(new_files) * file_bytes + static_cast<double>(shapes) * 260.0;
    needs.files = new_files;
    needs.free_disk_bytes = known ? static_cast<double>(fs.f_bavail) * static_cast<double>(fs.f_frsize) : INFINITY;
    needs.free_files = known && fs.f_files > 0 ? static_cast<int64_t>(fs.f_favail) : -1;
    return needs;
}

std::string sweep_size_refusal(const sweep_needs& n, double seconds_per_shape, int threads)
{
    const bool memory = n.memory_bytes > n.free_memory_bytes;
    const bool disk = n.disk_bytes > n.free_disk_bytes;
    const bool files = n.free_files >= 0 && n.files > n.free_files;
    if (!memory && !disk && !files) return "";
    std::string text = "a sweep of " + std::to_string(n.shapes) + " shapes does not fit: it needs " +
                       size_text(n.memory_bytes) + " of memory (" + size_text(n.free_memory_bytes) +
                       " available) and " + size_text(n.disk_bytes) + " of disk (" + size_text(n.free_disk_bytes) +
                       " free in the output folder)";
    if (files)
        text += ", and " + std::to_string(n.files) + " files where the file system has room for " +
                std::to_string(n.free_files);
    if (seconds_per_shape > 0.0)
        text += "; it would take about " +
                duration_text(seconds_per_shape * static_cast<double>(n.shapes) / std::max(threads, 1)) + " on " +
                std::to_string(threads) + (threads == 1 ? " thread" : " threads");
    return text + ": choose a larger step";
}
void convert_spin(spin_state& spin)
{
    constexpr double degree = 0.017453292519943295;
    spin.lambda = spin.lambda_deg * degree;
    spin.beta = spin.beta_deg * degree;
    spin.phi0 = spin.phi0_deg * degree;
    spin.period = spin.period_hours / 24;
}

sweep_spin typed_spin(double lambda_deg, double beta_deg, double period_hours, double t0, double phi0_deg)
{
    spin_state s;
    s.lambda_deg = lambda_deg;
    s.beta_deg = beta_deg;
    s.period_hours = period_hours;
    s.t0 = t0;
    s.phi0_deg = phi0_deg;
    convert_spin(s);
    return {s.lambda, s.beta, s.phi0, s.t0, s.period};
}

command_outcome check_pipeline(app_state& app, pipeline_end last)
{
    int n = 0;
    command_outcome outcome = check_geosphere_fields(app, n);
    if (!outcome.done || last == pipeline_end::geosphere) return outcome;
    std::string path;
    spin_state spin;
    outcome = check_load_fields(app, path, spin);
    if (!outcome.done) return outcome;
    convert_spin(spin);
    obs_set observations;
    std::shared_ptr<ref_curve> reference;
    outcome = read_observations(app, path, spin, observations, reference);
    if (!outcome.done || last == pipeline_end::load) return outcome;
    sweep_plan plan;
    outcome = check_shapes_fields(app, plan);
    if (!outcome.done) return outcome;
    // The coordinator alone tries the folder: a probe of one rank must not
    // meet the folder another rank made and removed.
    outcome = app.share.follower ? command_outcome{true, ""} : check_output_folder(false);
    if (!outcome.done) return outcome;
    const int64_t files = app.resume ? 0 : plan.count.shapes;
    const int blocks = std::max<int>(1, static_cast<int>(reference->times.size() / reference_samples));
    const sweep_needs needs =
        estimate_sweep_needs(plan.count.shapes, files, base_vertex_count(n), plan.threads, blocks);
    if (sweep_size_refusal(needs, 0.0, plan.threads).empty()) return {true, ""};
    // Refused: time a few shapes of the real inputs, in memory, for the estimate.
    double per_shape = 0.0;
    try {
        if (const std::shared_ptr<const mesh> base = build_base_mesh(n)) {
            const sweep_spin s{spin.lambda, spin.beta, spin.phi0, spin.t0, spin.period};
            per_shape = time_per_shape(make_sweep_args(base, reference, s, plan.step, 1), 3);
        }
    } catch (const std::bad_alloc&) {
    }
    return {false, sweep_size_refusal(needs, per_shape, plan.threads)};
}
