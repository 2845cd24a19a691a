// The Python module `morvane`: the model and the sweep of the core library,
// numpy in and out, for notebooks. No second implementation: every number
// comes from the same functions as the command line's.

#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "inversion/chi2_evaluator.hpp"
#include "inversion/noise_estimate.hpp"
#include "inversion/period_scan.hpp"
#include "inversion/pole_grid.hpp"
#include "inversion/refinement.hpp"
#include "inversion/spin_search.hpp"
#include "lightcurve/lc_reader.hpp"
#include "lightcurve/observed_points.hpp"
#include "lightcurve/resample.hpp"
#include "mesh/base_shape.hpp"
#include "runs/spin_file.hpp"
#include "sweep/eval_shape.hpp"
#include "sweep/fast_eval.hpp"
#include "sweep/run_sweep.hpp"
#include "sweep/shape_export.hpp"
#include "sweep/shape_grid.hpp"
#include "sweep/spin.hpp"
#include "workflow/fields.hpp"
#include "workflow/preflight.hpp"

namespace py = pybind11;

namespace {

using double_array = py::array_t<double, py::array::c_style | py::array::forcecast>;

// Observations as read, with how they were chosen.
struct observations {
    obs_set set;
    bool whole = true;  // the file as one series (else each block its own)
    std::string path;
    block_selection points;  // the blocks the chi2 fit takes, each its own (every block when none is listed)
    std::string refusal;     // why the samples cannot be taken (only the chi2 fit can use the points)
};

// The spin state as typed: degrees, hours, Julian date.
struct spin {
    double lambda_deg = 0.0;
    double beta_deg = 0.0;
    double period_hours = 0.0;
    double t0 = 0.0;
    double phi0_deg = 0.0;
};

// A shape of the grid's family, ready for the model.
struct twin {
    std::shared_ptr<const mesh> base;
    int subdivisions = 0;
    double params[param::count] = {};
    std::vector<vec3> deformed;  // before the lobes are moved apart
};

// One row of the summary table, as numpy sees it.
struct table_row {
    int32_t shape;
    double x_scale_1, y_scale_1, z_scale_1, x_scale_2, y_scale_2, z_scale_2, x_shift;
    double best_shift;
    double misfit;
};

// The spin state checked and in the sweep's units; ValueError when refused.
sweep_spin checked_spin(const spin& s)
{
    spin_state typed;
    typed.lambda_deg = s.lambda_deg;
    typed.beta_deg = s.beta_deg;
    typed.period_hours = s.period_hours;
    typed.t0 = s.t0;
    typed.phi0_deg = s.phi0_deg;
    std::string refusal;
    if (!check_spin_ranges(typed, refusal)) throw py::value_error(refusal);
    return typed_spin(s.lambda_deg, s.beta_deg, s.period_hours, s.t0, s.phi0_deg);
}

// The base shape of n subdivisions; ValueError outside 1 to 10.
std::shared_ptr<const mesh> base_of(int n)
{
    if (std::string refusal; !check_subdivisions(n, refusal)) throw py::value_error(refusal);
    std::shared_ptr<const mesh> base = build_base_mesh(n);
    if (!base) throw std::bad_alloc();
    return base;
}

// Whether an array holds real numbers (floating or integer), which convert
// to doubles; strings, objects, booleans and complex numbers do not.
bool is_numeric(const py::array& array)
{
    const char kind = array.dtype().kind();
    return kind == 'f' || kind == 'i' || kind == 'u';
}

// A 1-D float64 array of `what`; ValueError otherwise.
double_array vector_of(const py::handle& values, const char* what)
{
    auto array = py::array::ensure(values);
    if (!array || array.ndim() != 1) throw py::value_error(std::string(what) + " must be a 1-D array");
    if (!is_numeric(array)) throw py::value_error(std::string(what) + " must hold numbers");
    return double_array::ensure(array);
}

// An N x 3 float64 array of `what`; ValueError otherwise.
std::vector<vec3> vectors_of(const py::handle& values, py::ssize_t n, const char* what)
{
    auto array = py::array::ensure(values);
    if (!array || array.ndim() != 2 || array.shape(1) != 3 || array.shape(0) != n)
        throw py::value_error(std::string(what) + " must be an array of shape (" + std::to_string(n) + ", 3)");
    if (!is_numeric(array)) throw py::value_error(std::string(what) + " must hold numbers");
    const double_array values64 = double_array::ensure(array);
    std::vector<vec3> out(static_cast<std::size_t>(n));
    const auto v = values64.unchecked<2>();
    for (py::ssize_t i = 0; i < n; ++i) out[static_cast<std::size_t>(i)] = {v(i, 0), v(i, 1), v(i, 2)};
    return out;
}

// An N x 3 array of vectors.
py::array_t<double> array_of(const std::vector<vec3>& v, std::size_t first, std::size_t end)
{
    py::array_t<double> out({static_cast<py::ssize_t>(end - first), py::ssize_t{3}});
    auto o = out.mutable_unchecked<2>();
    for (std::size_t i = first; i < end; ++i) {
        o(static_cast<py::ssize_t>(i - first), 0) = v[i].x;
        o(static_cast<py::ssize_t>(i - first), 1) = v[i].y;
        o(static_cast<py::ssize_t>(i - first), 2) = v[i].z;
    }
    return out;
}

// Reads an observation file; `blocks` as --block / --blocks take it.
observations read_file(const std::string& path, const py::object& blocks)
{
    observations obs;
    obs.path = path;
    std::string reason;
    int32_t read = 0;
    if (blocks.is_none()) {
        read = read_lc_file(path, obs.set, nullptr, reason, all_blocks);
    } else if (py::isinstance<py::int_>(blocks)) {
        const int block = blocks.cast<int>();
        if (block < 0) throw py::value_error("the block index must be 0 or more");
        read = read_lc_file(path, obs.set, nullptr, reason, block);
        obs.points.blocks = {block};
    } else {
        block_selection selection;
        if (py::isinstance<py::str>(blocks)) {
            if (!parse_block_list(blocks.cast<std::string>(), selection, reason)) throw py::value_error(reason);
        } else {
            std::vector<int> list;
            try {
                list = blocks.cast<std::vector<int>>();
            } catch (const py::cast_error&) {
                throw py::value_error("blocks must be None, an int, a list of ints or \"all\"");
            }
            std::string text;
            for (int b : list) text += (text.empty() ? "" : ",") + std::to_string(b);
            if (list.empty() || !parse_block_list(text, selection, reason))
                throw py::value_error(list.empty() ? "the list of blocks is empty" : reason);
        }
        obs.whole = false;
        read = read_lc_file(path, obs.set, nullptr, reason, selection);
        obs.points.blocks = selection.blocks;
    }
    obs.points.whole = false;
    obs.points.resampled = false;
    // Points that cannot be resampled (a block of one point) may still suit
    // the chi2 fit: kept as read for it, the other fits refused with why.
    if (read == 0) {
        std::string ignored;
        if (read_lc_file(path, obs.set, nullptr, ignored, obs.points) == 0) throw py::value_error(reason);
        obs.refusal = reason;
    }
    return obs;
}

// The blocks of a set as dictionaries of numpy arrays.
py::list block_list(const observations& obs)
{
    py::list out;
    for (const block_run& run : block_runs(obs.set, static_cast<std::size_t>(obs.set.count))) {
        const std::size_t n = run.end - run.first;
        py::array_t<double> times(static_cast<py::ssize_t>(n)), magnitude(static_cast<py::ssize_t>(n)),
            brightness(static_cast<py::ssize_t>(n));
        for (std::size_t i = 0; i < n; ++i) {
            times.mutable_at(static_cast<py::ssize_t>(i)) = obs.set.times[run.first + i];
            const double m = obs.set.photometry[run.first + i].magnitude;
            magnitude.mutable_at(static_cast<py::ssize_t>(i)) = m;
            brightness.mutable_at(static_cast<py::ssize_t>(i)) = std::pow(10.0, m / -2.5);
        }
        py::dict block;
        block["block"] = obs.whole ? py::object(py::none()) : py::object(py::int_(run.block));
        block["times"] = times;
        block["magnitude"] = magnitude;
        block["brightness"] = brightness;
        block["sun"] = array_of(obs.set.sun, run.first, run.end);
        block["earth"] = array_of(obs.set.earth, run.first, run.end);
        out.append(block);
    }
    return out;
}

// The shape of six grid parameters, as the sweep evaluates it.
twin twin_shape(const double_array& values, int subdivisions)
{
    if (values.ndim() != 1 || values.shape(0) != 6)
        throw py::value_error("params must hold the six grid parameters y_scale_1, z_scale_1, x_scale_2, "
                              "y_scale_2, z_scale_2, x_shift");
    twin t;
    t.base = base_of(subdivisions);
    t.subdivisions = subdivisions;
    t.params[0] = 1.0;
    for (int i = 0; i < 6; ++i) {
        t.params[i + 1] = values.at(i);
        if (!std::isfinite(t.params[i + 1])) throw py::value_error("the shape parameters must be finite");
    }
    deform_vertices(t.base->vertices, t.params, t.deformed);
    return t;
}

// A job for one shape: the arrays point into `t` and the given samples.
shape_job job_of(const twin& t, int32_t samples, const vec3* earth, const vec3* sun, const double* times,
                 const sweep_spin& s)
{
    return one_shape_job(*t.base, t.deformed, t.params, {samples, earth, sun, times}, s);
}

// The vertices of a shape with its lobes moved apart, as the model sees them.
py::array_t<double> shape_vertices(const twin& t)
{
    shape_job job = job_of(t, 0, nullptr, nullptr, nullptr, {});
    prepared_shape prepared;
    shape_outcome outcome;
    if (!prepare_shape(job, prepared, nullptr, outcome)) throw std::runtime_error(outcome.failure);
    return array_of(prepared.vertices, 0, prepared.vertices.size());
}

// The facets of a shape, 0-based.
py::array_t<int32_t> shape_facets(const twin& t)
{
    const std::size_t n = t.base->facets.size();
    py::array_t<int32_t> out({static_cast<py::ssize_t>(n), py::ssize_t{3}});
    auto o = out.mutable_unchecked<2>();
    for (std::size_t i = 0; i < n; ++i) {
        o(static_cast<py::ssize_t>(i), 0) = t.base->facets[i].a - 1;
        o(static_cast<py::ssize_t>(i), 1) = t.base->facets[i].b - 1;
        o(static_cast<py::ssize_t>(i), 2) = t.base->facets[i].c - 1;
    }
    return out;
}

// The brightness of a shape at each time, as the sweep computes it.
py::object lightcurve(const twin& t, const py::object& times_in, const py::object& sun_in, const py::object& earth_in,
                      const spin& s, bool visibility)
{
    const double_array times = vector_of(times_in, "times");
    const py::ssize_t n = times.shape(0);
    if (n < 1) throw py::value_error("times must hold at least one time");
    const std::vector<vec3> sun = vectors_of(sun_in, n, "sun");
    const std::vector<vec3> earth = vectors_of(earth_in, n, "earth");
    const std::vector<double> when(times.data(), times.data() + n);
    const sweep_spin converted = checked_spin(s);
    const shape_job job = job_of(t, static_cast<int32_t>(n), earth.data(), sun.data(), when.data(), converted);
    // One working store per thread, kept from call to call as the sweep keeps
    // it from shape to shape: a call then allocates (and faults in) nothing.
    thread_local shape_scratch scratch;
    std::vector<uint8_t> bytes;
    scratch.visibility_log = visibility ? &bytes : nullptr;
    shape_outcome outcome;
    bool done = false;
    {
        py::gil_scoped_release unlocked;
        const std::vector<sample_view> views = shared_sample_views(job);
        done = fast_shape_brightness(job, views.data(), scratch, nullptr, outcome, {});
    }
    if (!done) throw std::runtime_error(outcome.failure.empty() ? "the model failed" : outcome.failure);
    py::array_t<double> brightness(n);
    std::copy(scratch.brightness.begin(), scratch.brightness.end(), brightness.mutable_data());
    if (!visibility) return brightness;
    const py::ssize_t facets = static_cast<py::ssize_t>(t.base->facets.size());
    py::array_t<uint8_t> seen({n, facets});
    std::copy(bytes.begin(), bytes.end(), seen.mutable_data());
    return py::make_tuple(brightness, seen);
}

// The chi2 fit's sigma of every point: None (0) estimates each block's;
// ValueError with the command line's text for anything not above 0.
double sigma_of(const py::object& sigma)
{
    if (sigma.is_none()) return 0.0;
    const double value = sigma.cast<double>();
    if (!(value > 0.0) || !std::isfinite(value))
        throw py::value_error("the sigma must be a number of magnitudes greater than 0");
    return value;
}

// The chi2 fit's observed points, read again from the observations' file
// as the command line reads them for that fit: the chosen blocks (every
// block for the whole file), each its own, each point with its block's
// sigma (`given`, or estimated over `period_days`). ValueError with the
// command line's reason when the points cannot be fitted.
std::shared_ptr<ref_curve> observed_points_of(const observations& obs, double period_days, double given,
                                              std::vector<block_sigma>& sigmas)
{
    obs_set set;
    std::string reason;
    if (read_lc_file(obs.path, set, nullptr, reason, obs.points) == 0)
        throw py::value_error(reason.empty() ? "cannot read " + obs.path : reason);
    auto points = std::make_shared<ref_curve>();
    take_observed_points(set, *points);
    sigmas = block_sigmas(*points, period_days, given);
    apply_block_sigmas(*points, sigmas);
    if (!check_observed_points(*points, reason)) throw py::value_error(obs.path + ": " + reason);
    return points;
}

// The name of how a block's sigma was obtained.
const char* sigma_source_name(sigma_source source)
{
    switch (source) {
    case sigma_source::given: return "given";
    case sigma_source::estimated: return "estimated";
    case sigma_source::median_of_others: return "median_of_others";
    case sigma_source::fallback: return "fallback";
    }
    return "";
}

// The points each block of observed points holds.
std::vector<int32_t> points_per_block(const ref_curve& points)
{
    std::vector<int32_t> out;
    for (std::size_t b = 0; b + 1 < points.block_starts.size(); ++b)
        out.push_back(points.block_starts[b + 1] - points.block_starts[b]);
    return out;
}

// One shape's chi2 at the observed points; see the docstring.
py::dict chi2_of_shape(const py::object& shape, const observations& obs, const spin& s, const py::object& sigma,
                       const py::object& subdivisions_in)
{
    chi2_point p;
    int subdivisions = 3;
    if (py::isinstance<twin>(shape)) {
        const twin& t = shape.cast<const twin&>();
        subdivisions = t.subdivisions;
        if (!subdivisions_in.is_none() && subdivisions_in.cast<int>() != subdivisions)
            throw py::value_error("the shape was built with " + std::to_string(subdivisions) + " subdivisions, not " +
                                  std::to_string(subdivisions_in.cast<int>()));
        std::copy(t.params + 1, t.params + param::count, p.shape);
    } else {
        if (!subdivisions_in.is_none()) subdivisions = subdivisions_in.cast<int>();
        const twin t = twin_shape(vector_of(shape, "params"), subdivisions);
        std::copy(t.params + 1, t.params + param::count, p.shape);
    }
    const sweep_spin converted = checked_spin(s);
    if (std::string refusal; !check_subdivisions(subdivisions, refusal)) throw py::value_error(refusal);
    p.lambda_deg = s.lambda_deg;
    p.beta_deg = s.beta_deg;
    p.period_hours = s.period_hours;
    p.t0 = s.t0;
    p.phi0_deg = s.phi0_deg;
    std::vector<block_sigma> sigmas;
    const std::shared_ptr<ref_curve> points = observed_points_of(obs, converted.period, sigma_of(sigma), sigmas);
    chi2_evaluator evaluator;
    chi2_evaluation fit;
    std::string why;
    bool done = false;
    {
        py::gil_scoped_release unlocked;
        done = evaluator.prepare(*points, subdivisions, why) && evaluator.evaluate(p, fit, why);
    }
    if (!done) throw py::value_error(why);
    py::list per_block;
    for (std::size_t b = 0; b < fit.per_block.size(); ++b) {
        py::dict block;
        block["block"] = points->blocks[b];
        block["points"] = fit.per_block[b].points;
        block["chi2"] = fit.per_block[b].chi2;
        block["zero_point"] = fit.per_block[b].zero_point;
        block["sigma"] = sigmas[b].sigma;
        block["sigma_source"] = sigma_source_name(sigmas[b].source);
        per_block.append(block);
    }
    py::dict out;
    out["chi2"] = fit.chi2;
    out["reduced_chi2"] = fit.reduced_chi2;
    out["rms_mag"] = fit.rms;
    out["points"] = fit.points;
    out["blocks"] = fit.blocks;
    out["per_block"] = per_block;
    return out;
}

// The sweep's front end here: only the progress counts and the failure.
class progress_front_end : public null_front_end {
public:
    void show_rate(int64_t done, int64_t total, double) override
    {
        done_.store(done);
        total_.store(total);
    }
    int64_t done() const { return done_.load(); }

private:
    std::atomic<int64_t> done_{0};
    std::atomic<int64_t> total_{0};
};

// Raises MemoryError with `text`: the sweep ran out of memory.
[[noreturn]] void raise_memory_error(const std::string& text)
{
    PyErr_SetString(PyExc_MemoryError, text.c_str());
    throw py::error_already_set();
}

// The grid's rows as a numpy structured array.
py::array_t<table_row> table_of(const std::vector<shape_result>& rows)
{
    py::array_t<table_row> out(static_cast<py::ssize_t>(rows.size()));
    table_row* o = out.mutable_data();
    for (std::size_t k = 0; k < rows.size(); ++k) {
        const double* p = rows[k].shape_params;
        o[k] = {static_cast<int32_t>(k + 1), p[0],          p[1], p[2], p[3], p[4], p[5], p[6],
                rows[k].best_shift,          rows[k].misfit};
    }
    return out;
}

// The whole sweep in memory; see the docstring.
py::object sweep(const observations& obs, const spin& s, double step, int subdivisions, const std::string& fit,
                 const py::object& threads_in, bool curves, const py::object& progress, const py::object& sigma)
{
    sweep_plan plan;
    plan.step = step;
    if (std::string refusal; !check_sweep_grid(step, plan.count, refusal)) throw py::value_error(refusal);
    if (!parse_fit_mode(fit, plan.fit)) throw py::value_error("fit must be \"range\", \"offset\" or \"chi2\"");
    const bool chi2 = plan.fit == fit_mode::chi2;
    if (!sigma.is_none() && !chi2) throw py::value_error("sigma is for fit=\"chi2\" only");
    plan.threads = threads_in.is_none() ? default_thread_count() : threads_in.cast<int>();
    if (std::string refusal; !check_thread_count(plan.threads, refusal)) throw py::value_error(refusal);
    const sweep_spin converted = checked_spin(s);
    if (std::string refusal; !check_subdivisions(subdivisions, refusal)) throw py::value_error(refusal);

    // The chi2 fit takes the observed points, the others the samples.
    std::shared_ptr<ref_curve> reference;
    std::vector<block_sigma> sigmas;
    if (chi2) {
        reference = observed_points_of(obs, converted.period, sigma_of(sigma), sigmas);
    } else {
        if (!obs.refusal.empty()) throw py::value_error(obs.refusal);
        reference = std::make_shared<ref_curve>();
        if (obs.whole)
            resample_reference(obs.set, *reference);
        else
            resample_blocks(obs.set, *reference);
        std::string reason;
        if (!check_reference(*reference, reason)) throw py::value_error(reason);
    }

    // The command line's memory check before anything is allocated: no
    // lightcurve file is written here, and the magnitudes asked for are held
    // twice (the sweep's and the array returned).
    const std::size_t shapes = static_cast<std::size_t>(plan.count.shapes);
    const std::size_t samples = reference->times.size();
    const double curve_bytes = curves ? 2.0 * static_cast<double>(shapes * samples) * sizeof(double) : 0.0;
    const std::string refusal = sweep_size_refusal(plan, subdivisions, nullptr, reference, converted, 0, curve_bytes);
    if (!refusal.empty()) throw py::value_error(refusal);

    sweep_args args = make_sweep_args(base_of(subdivisions), reference, converted, step, plan.threads);
    args.job.fit = plan.fit;
    args.job.no_curves = true;
    const int32_t blocks = args.job.block_count;
    std::vector<double> magnitudes;
    progress_front_end ui;
    std::atomic<int32_t> cancel{0};
    sweep_sinks sinks;
    sinks.ui = &ui;
    sinks.cancel = &cancel;
    const grid_count count = plan.count;

    // The sweep runs on its own threads; this thread reports progress and
    // watches for Ctrl-C, taking the GIL only for that. The sweep's thread
    // also allocates its table, so that a large one is filled without the
    // GIL; whatever escapes it comes back here.
    std::mutex lock;
    std::condition_variable ended_signal;
    bool ended = false;
    sweep_result result;
    std::exception_ptr escaped;
    std::thread worker([&] {
        try {
            if (curves) {
                magnitudes.assign(shapes * samples, std::nan(""));
                args.job.curves_out = magnitudes.data();
            }
            result = run_sweep(make_sweep_request(std::move(args), count), sinks);
        } catch (...) {
            escaped = std::current_exception();
        }
        std::lock_guard guard(lock);
        ended = true;
        ended_signal.notify_all();
    });
    // Ends the sweep and waits for it, for an exception leaving here.
    const auto stop_worker = [&] {
        cancel.store(1);
        py::gil_scoped_release unlocked;
        worker.join();
    };
    int64_t shown = -1;
    for (;;) {
        {
            py::gil_scoped_release unlocked;
            std::unique_lock guard(lock);
            ended_signal.wait_for(guard, std::chrono::milliseconds(100), [&] { return ended; });
            if (ended) break;
        }
        if (PyErr_CheckSignals() != 0) {
            py::error_already_set interrupted;  // KeyboardInterrupt, taken out of the interpreter
            stop_worker();
            throw interrupted;
        }
        if (!progress.is_none() && ui.done() != shown) {
            shown = ui.done();
            try {
                progress(shown, count.shapes);
            } catch (py::error_already_set&) {
                stop_worker();
                throw;
            }
        }
    }
    worker.join();
    if (escaped) {
        try {
            std::rethrow_exception(escaped);
        } catch (const std::bad_alloc&) {
            raise_memory_error(sweep_failure_text("not enough memory for the sweep"));
        }
    }
    const sweep_outcome& outcome = result.outcome;
    if (outcome.status == sweep_status::cancelled) {
        PyErr_SetNone(PyExc_KeyboardInterrupt);
        throw py::error_already_set();
    }
    if (outcome.status != sweep_status::complete) {
        if (outcome.out_of_memory) raise_memory_error(sweep_failure_text(outcome.reason));
        throw std::runtime_error(sweep_failure_text(outcome.reason));
    }
    if (!progress.is_none()) progress(count.shapes, count.shapes);
    py::array_t<table_row> table = table_of(result.table);
    if (blocks <= 1 && !curves && !chi2) return table;
    py::dict extra;
    if (chi2) {
        extra["blocks"] =
            py::array_t<int32_t>(static_cast<py::ssize_t>(reference->blocks.size()), reference->blocks.data());
        const std::vector<int32_t> counts = points_per_block(*reference);
        extra["block_points"] = py::array_t<int32_t>(static_cast<py::ssize_t>(counts.size()), counts.data());
        py::array_t<double> sigma_out(static_cast<py::ssize_t>(sigmas.size()));
        for (std::size_t b = 0; b < sigmas.size(); ++b) sigma_out.mutable_data()[b] = sigmas[b].sigma;
        extra["sigma"] = sigma_out;
        py::array_t<double> zero({static_cast<py::ssize_t>(shapes), static_cast<py::ssize_t>(blocks)});
        py::array_t<double> block_chi2({static_cast<py::ssize_t>(shapes), static_cast<py::ssize_t>(blocks)});
        for (std::size_t i = 0; i < result.block_fits.size(); ++i) {
            zero.mutable_data()[i] = result.block_fits[i].best_shift;
            block_chi2.mutable_data()[i] = result.block_fits[i].misfit;
        }
        extra["block_zero_point"] = zero;
        extra["block_chi2"] = block_chi2;
    } else if (blocks > 1) {
        extra["blocks"] =
            py::array_t<int32_t>(static_cast<py::ssize_t>(reference->blocks.size()), reference->blocks.data());
        py::array_t<double> shift({static_cast<py::ssize_t>(shapes), static_cast<py::ssize_t>(blocks)});
        py::array_t<double> misfit({static_cast<py::ssize_t>(shapes), static_cast<py::ssize_t>(blocks)});
        for (std::size_t i = 0; i < result.block_fits.size(); ++i) {
            shift.mutable_data()[i] = result.block_fits[i].best_shift;
            misfit.mutable_data()[i] = result.block_fits[i].misfit;
        }
        extra["block_shift"] = shift;
        extra["block_misfit"] = misfit;
    }
    if (curves) {
        py::array_t<double> m({static_cast<py::ssize_t>(shapes), static_cast<py::ssize_t>(samples)});
        std::copy(magnitudes.begin(), magnitudes.end(), m.mutable_data());
        extra["magnitudes"] = m;
    }
    return py::make_tuple(table, extra);
}

// Runs `work` on a thread of its own while this one, holding the GIL only
// to look, watches for Ctrl-C: then `cancel` is set, the work is waited for
// and KeyboardInterrupt raised. Rethrows what escaped the work.
void run_interruptibly(const std::function<void()>& work, std::atomic<int32_t>& cancel)
{
    std::mutex lock;
    std::condition_variable ended_signal;
    bool ended = false;
    std::exception_ptr escaped;
    std::thread worker([&] {
        try {
            work();
        } catch (...) {
            escaped = std::current_exception();
        }
        std::lock_guard guard(lock);
        ended = true;
        ended_signal.notify_all();
    });
    for (;;) {
        {
            py::gil_scoped_release unlocked;
            std::unique_lock guard(lock);
            if (ended_signal.wait_for(guard, std::chrono::milliseconds(100), [&] { return ended; })) break;
        }
        if (PyErr_CheckSignals() != 0) {
            py::error_already_set interrupted;
            cancel.store(1);
            {
                py::gil_scoped_release unlocked;
                worker.join();
            }
            throw interrupted;
        }
    }
    worker.join();
    if (escaped) std::rethrow_exception(escaped);
}

// The budget of a refinement: the default scaled by `effort` (as
// --refine-effort), then the counts of a dict of the same keys.
refine_budget budget_of(const py::object& given, double effort)
{
    if (!(effort > 0.0 && effort <= 100.0)) throw py::value_error("effort must be above 0, at most 100");
    refine_budget b = scaled_budget(effort);
    if (given.is_none()) return b;
    const py::dict d = given.cast<py::dict>();
    const std::pair<const char*, int*> fields[] = {
        {"local", &b.local}, {"global", &b.global},           {"hop", &b.hop},
        {"range", &b.range}, {"range_seeds", &b.range_seeds}, {"jackknife", &b.jackknife}};
    for (const auto& key : d) {
        const std::string name = py::str(key.first);
        const auto* field =
            std::find_if(std::begin(fields), std::end(fields), [&](const auto& f) { return name == f.first; });
        if (field == std::end(fields)) throw py::value_error("budget has no '" + name + "'");
        *field->second = key.second.cast<int>();
        if (*field->second < 0) throw py::value_error("budget '" + name + "' must not be negative");
    }
    return b;
}

// A model's free parameters by name.
py::dict named_params(const model_space& space, const model_point& x)
{
    py::dict out;
    for (int p : free_params(space)) out[model_param_name(p)] = x[p];
    return out;
}

// A refinement's acceptable set and jackknife, as output/uncertainty.json holds them.
py::dict uncertainty_of(const refinement_result& r)
{
    py::dict out;
    out["chi2_min"] = r.set.accept.chi2_min;
    out["nu"] = r.set.accept.nu;
    out["threshold"] = r.set.accept.threshold;
    out["sigma_inflation"] = r.set.accept.sigma_inflation;
    py::dict params;
    for (int p : r.set.params)
        params[model_param_name(p)] =
            py::dict(py::arg("best") = r.set.ranges[p].best, py::arg("min") = r.set.ranges[p].min,
                     py::arg("max") = r.set.ranges[p].max);
    out["parameters"] = params;
    if (r.has_jackknife) {
        py::dict jack;
        jack["blocks"] = r.jackknife.blocks;
        for (int p : r.jackknife.params)
            jack[model_param_name(p)] =
                py::dict(py::arg("spread") = r.jackknife.spread[p].spread, py::arg("min") = r.jackknife.spread[p].min,
                         py::arg("max") = r.jackknife.spread[p].max);
        out["jackknife"] = jack;
    } else {
        out["jackknife"] = py::none();
    }
    py::list at_bound;
    for (int p : r.set.at_bound) at_bound.append(model_param_name(p));
    out["at_bound"] = at_bound;
    return out;
}

// The refinement after a chi2 sweep; see the docstring.
py::dict refine(const observations& obs, const spin& s, const py::array_t<table_row>& table, int starts,
                int subdivisions, const py::object& refine_subdivisions, const py::object& sigma, bool refine_spin,
                const py::object& threads_in, double effort, const py::object& budget)
{
    if (starts < 1) throw py::value_error("starts must be 1 or more");
    const int model_subdivisions = refine_subdivisions.is_none() ? subdivisions : refine_subdivisions.cast<int>();
    for (int n : {subdivisions, model_subdivisions})
        if (std::string refusal; !check_subdivisions(n, refusal)) throw py::value_error(refusal);
    refinement_request request;
    request.starts = starts;
    request.spin = refine_spin;
    request.budget = budget_of(budget, effort);
    request.threads = threads_in.is_none() ? default_thread_count() : threads_in.cast<int>();
    if (std::string refusal; !check_thread_count(request.threads, refusal)) throw py::value_error(refusal);
    const sweep_spin converted = checked_spin(s);
    std::vector<block_sigma> sigmas;
    const std::shared_ptr<ref_curve> points = observed_points_of(obs, converted.period, sigma_of(sigma), sigmas);

    // The rows scored as output/main.txt writes their misfit (six decimals),
    // so that the starts and the acceptable grid rows are the command line's.
    chi2_point at;
    at.lambda_deg = s.lambda_deg;
    at.beta_deg = s.beta_deg;
    at.period_hours = s.period_hours;
    at.phi0_deg = s.phi0_deg;
    std::vector<scored_point> rows;
    const table_row* t = table.data();
    for (py::ssize_t k = 0; k < table.size(); ++k) {
        char text[64];
        std::snprintf(text, sizeof text, "%lf", t[k].misfit);
        const double params[model_param::shape_count] = {t[k].y_scale_1, t[k].z_scale_1, t[k].x_scale_2,
                                                         t[k].y_scale_2, t[k].z_scale_2, t[k].x_shift};
        rows.push_back(grid_model(t[k].shape, params, std::strtod(text, nullptr), at));
    }
    std::atomic<int32_t> cancel{0};
    request.stop = stop_request{&cancel, nullptr};
    refinement_result result;
    std::string why;
    bool done = false;
    run_interruptibly(
        [&] {
            auto ev = std::make_shared<chi2_evaluator>();
            done = ev->prepare(*points, model_subdivisions, why) &&
                   refine_after_grid(ev, s.t0, rows, model_subdivisions == subdivisions, request, result, why);
        },
        cancel);
    if (!done) throw py::value_error(why);

    py::list solutions;
    for (const refined& r : result.solutions) {
        py::dict one = named_params(result.space, r.x);
        one["start_shape"] = r.start_shape;
        one["chi2"] = r.f.chi2;
        one["reduced_chi2"] = r.f.chi2 / result.nu;
        one["rms_mag"] = r.f.rms_mag;
        one["evaluations"] = r.evaluations;
        solutions.append(one);
    }
    py::dict out;
    out["refined"] = solutions;
    out["uncertainty"] = uncertainty_of(result);
    out["times"] = py::dict(py::arg("refine_s") = result.times.refine_s, py::arg("ranges_s") = result.times.ranges_s,
                            py::arg("jackknife_s") = result.times.jackknife_s);
    return out;
}

// The periods of a spin search: None (the spin's alone), "P0:P1[:STEP]" or
// a tuple (P0, P1[, STEP]), over the points' time span.
std::vector<double> search_periods_of(const py::object& given, double spin_period, const ref_curve& points)
{
    if (given.is_none()) return {spin_period};
    std::string text;
    if (py::isinstance<py::str>(given)) {
        text = given.cast<std::string>();
    } else {
        const std::vector<double> v = given.cast<std::vector<double>>();
        if (v.size() < 2 || v.size() > 3) throw py::value_error("periods takes (P0, P1) or (P0, P1, STEP)");
        char words[128];
        std::snprintf(words, sizeof words, v.size() == 2 ? "%.17g:%.17g" : "%.17g:%.17g:%.17g", v[0], v[1],
                      v.size() == 3 ? v[2] : 0.0);
        text = words;
    }
    period_range r;
    std::string why;
    std::vector<double> periods;
    if (!parse_period_range(text, r, why)) throw py::value_error(why);
    const auto [lo, hi] = std::minmax_element(points.times.begin(), points.times.end());
    if (!period_list(r, points.times.empty() ? 0.0 : *hi - *lo, periods, why)) throw py::value_error(why);
    return periods;
}

// A spin as output/spins.txt's line holds it, by name.
py::dict spin_row(const spin_fit& f)
{
    py::dict row;
    row["lambda_deg"] = f.at.lambda_deg;
    row["beta_deg"] = f.at.beta_deg;
    row["period_h"] = f.x[model_param::period_h];
    row["phi0_deg"] = f.x[model_param::phi0_deg];
    row["chi2"] = f.chi2;
    row["reduced_chi2"] = f.reduced_chi2;
    for (int p = 0; p < model_param::shape_count; ++p) row[model_param_name(p)] = f.x[p];
    return row;
}

// The spin search; see the docstring.
py::dict spin_search(const observations& obs, const spin& s, int nside, const py::object& periods_in, int levels,
                     int subdivisions, int scan_subdivisions, int carry, const py::object& sigma,
                     const py::object& threads_in)
{
    std::string why;
    if (!check_pole_nside(nside, why)) throw py::value_error(why);
    if (levels < 1 || levels > 4 || (int64_t{nside} << (levels - 1)) > max_pole_nside)
        throw py::value_error("levels takes 1 to 4, the last one's resolution nside 2^(levels-1) at most " +
                              std::to_string(max_pole_nside));
    for (int n : {subdivisions, scan_subdivisions})
        if (!check_subdivisions(n, why)) throw py::value_error(why);
    if (scan_subdivisions > subdivisions) throw py::value_error("scan_subdivisions must not pass subdivisions");
    spin_search_request request;
    request.nside = nside;
    request.levels = levels;
    if (carry < 0) throw py::value_error("carry takes a count of 0 or more");
    request.carry = carry;
    request.threads = threads_in.is_none() ? default_thread_count() : threads_in.cast<int>();
    if (!check_thread_count(request.threads, why)) throw py::value_error(why);
    const sweep_spin converted = checked_spin(s);
    std::vector<block_sigma> sigmas;
    const std::shared_ptr<ref_curve> points = observed_points_of(obs, converted.period, sigma_of(sigma), sigmas);
    request.periods = search_periods_of(periods_in, s.period_hours, *points);
    std::atomic<int32_t> cancel{0};
    request.stop = stop_request{&cancel, nullptr};
    spin_search_result result;
    bool done = false;
    run_interruptibly(
        [&] {
            auto coarse = std::make_shared<chi2_evaluator>();
            if (!coarse->prepare(*points, scan_subdivisions, why)) return;
            std::shared_ptr<chi2_evaluator> fine = coarse;
            if (scan_subdivisions != subdivisions) {
                fine = std::make_shared<chi2_evaluator>();
                if (!fine->prepare(*points, subdivisions, why)) return;
            }
            done = search_spins(coarse, scan_subdivisions, fine, subdivisions, s.t0, request, result, why);
        },
        cancel);
    if (!done) throw py::value_error(why);
    py::list spins;
    for (const spin_fit& f : result.levels.back().spins) spins.append(spin_row(f));
    py::list each;
    for (const spin_level_result& level : result.levels) {
        int64_t under = 0;
        for (const spin_fit& f : level.spins) under += f.chi2 <= level.threshold.threshold;
        each.append(py::dict(py::arg("nside") = level.nside, py::arg("subdivisions") = level.subdivisions,
                             py::arg("spins") = level.spins.size(), py::arg("under_threshold") = under,
                             py::arg("threshold") = level.threshold.threshold, py::arg("seconds") = level.seconds));
    }
    py::dict out;
    out["spins"] = spins;
    out["best"] = spin_row(result.best());
    out["levels"] = each;
    out["periods"] = request.periods;
    return out;
}

}  // namespace

PYBIND11_MODULE(morvane, m)
{
    PYBIND11_NUMPY_DTYPE(table_row, shape, x_scale_1, y_scale_1, z_scale_1, x_scale_2, y_scale_2, z_scale_2, x_shift,
                         best_shift, misfit);
    m.doc() = "Morvane's faceted two-lobe lightcurve model and shape sweep, with numpy arrays.\n\n"
              "The same core as morvane-cli: every brightness, misfit and shift is the command line's, "
              "bit for bit. Times are Julian dates, vectors are ecliptic (AU), angles degrees, periods hours.";

    py::class_<observations>(m, "Observations", "Observations read from a file (see read_observations).")
        .def_property_readonly("blocks", &block_list,
                               "The blocks read: a list of dicts with 'block' (the file's 0-based block, or None "
                               "when the file is read as one series), 'times' (N, JD), 'magnitude' (N, as fitted: "
                               "-2.5 log10 brightness), 'brightness' (N), 'sun' and 'earth' (N x 3, AU, from the "
                               "body).")
        .def_property_readonly("path", [](const observations& o) { return o.path; })
        .def("__len__", [](const observations& o) { return o.set.count; })
        .def("__repr__", [](const observations& o) {
            return "<morvane.Observations of " + o.path + ": " + std::to_string(o.set.count) + " points>";
        });

    m.def("read_observations", &read_file, py::arg("path"), py::arg("blocks") = py::none(),
          "Reads an observation file. blocks: None (the whole file as one series, the command line's default), "
          "an int K (only block K, as --block K), a list of ints or \"all\" (each block its own series, as "
          "--blocks). Raises ValueError with the command line's reason for a bad file; a file only the chi2 fit "
          "can take (a block of a single point) is read, and the other fits raise that reason.");

    py::class_<spin>(m, "Spin",
                     "The spin state: pole longitude and latitude (degrees), sidereal period (hours), "
                     "epoch (Julian date, or 0) and initial rotation phase (degrees).")
        .def(py::init<double, double, double, double, double>(), py::arg("lambda_deg"), py::arg("beta_deg"),
             py::arg("period_hours"), py::arg("t0") = 0.0, py::arg("phi0_deg") = 0.0)
        .def_static(
            "from_file",
            [](const std::string& path) {
                std::string words[5], why;
                if (!read_spin_words(path, words, why)) throw py::value_error(why);
                spin s;
                double* fields[5] = {&s.lambda_deg, &s.beta_deg, &s.period_hours, &s.t0, &s.phi0_deg};
                // Each word read by the rule of a typed field, as --spin reads it.
                for (int i = 0; i < 5; ++i)
                    if (!parse_decimal(words[i], *fields[i]))
                        throw py::value_error(path + ": '" + words[i] + "' is not a number");
                return s;
            },
            py::arg("path"), "Reads a two-line spin file: 'lambda beta P' then 'JD0 phi0' (as data/*_spin.txt).")
        .def_readwrite("lambda_deg", &spin::lambda_deg)
        .def_readwrite("beta_deg", &spin::beta_deg)
        .def_readwrite("period_hours", &spin::period_hours)
        .def_readwrite("t0", &spin::t0)
        .def_readwrite("phi0_deg", &spin::phi0_deg)
        .def("__repr__", [](const spin& s) {
            return "morvane.Spin(lambda_deg=" + std::to_string(s.lambda_deg) +
                   ", beta_deg=" + std::to_string(s.beta_deg) + ", period_hours=" + std::to_string(s.period_hours) +
                   ", t0=" + std::to_string(s.t0) + ", phi0_deg=" + std::to_string(s.phi0_deg) + ")";
        });

    py::class_<twin>(m, "Shape", "A two-lobed shape of the grid's family (see twin_shape).")
        .def_property_readonly("vertices", &shape_vertices,
                               "V x 3 vertices, both lobes deformed and moved apart as the sweep evaluates them "
                               "(unwelded: each lobe's records as the model uses them).")
        .def_property_readonly("facets", &shape_facets, "F x 3 vertex indices (0-based), outward.")
        .def_property_readonly(
            "params", [](const twin& t) { return py::array_t<double>(6, t.params + 1); }, "The six grid parameters.")
        .def_readonly("subdivisions", &twin::subdivisions);

    m.def("twin_shape", &twin_shape, py::arg("params"), py::arg("subdivisions") = 3,
          "The shape of the six grid parameters (y_scale_1, z_scale_1, x_scale_2, y_scale_2, z_scale_2, x_shift), "
          "exactly as the sweep evaluates it, on the base shape of `subdivisions` passes (1 to 10).");

    m.def("lightcurve", &lightcurve, py::arg("shape"), py::arg("times"), py::arg("sun"), py::arg("earth"),
          py::arg("spin"), py::arg("visibility") = false,
          "The brightness of `shape` at each time (T, JD), seen with the sun and earth vectors (T x 3, AU, from "
          "the body, ecliptic), bit-identical to the sweep's. With visibility=True returns (brightness, bytes): "
          "bytes (T x F, uint8) is the model's visibility byte of each facet at each time, 0 for a facet that "
          "is not lit and seen (night side, shadowed by the other lobe, hidden, or facing away).");

    m.def("sweep", &sweep, py::arg("observations"), py::arg("spin"), py::arg("step"), py::arg("subdivisions") = 3,
          py::arg("fit") = "range", py::arg("threads") = py::none(), py::arg("curves") = false,
          py::arg("progress") = py::none(), py::arg("sigma") = py::none(),
          "Sweeps the shape grid of `step` against the observations, as morvane-cli does, in memory (no files). "
          "Returns a structured array with the fields of output/main.txt (shape, x_scale_1 .. x_shift, "
          "best_shift, misfit), the same doubles. For a joint fit (observations read with a list of blocks "
          "or \"all\") or with curves=True, returns (table, extra): extra['blocks'] (B), "
          "extra['block_shift'] and extra['block_misfit'] (shapes x B), and with curves=True "
          "extra['magnitudes'] (shapes x samples, the synthetic magnitudes). Runs on `threads` threads "
          "(default: every core) with the GIL released; progress(done, total) is called from the calling "
          "thread; Ctrl-C cancels within a second (KeyboardInterrupt). A grid or a table that would not fit "
          "raises ValueError with the command line's reason before anything is allocated; running out of "
          "memory raises MemoryError. fit: \"range\" (the default), \"offset\" or \"chi2\". The chi2 fit, as "
          "--fit chi2, reads the observed points of the observations' blocks (every block, each its own, when "
          "the file was read whole) again from their file, each block with its own zero point, each point "
          "weighted by 1/sigma^2 (sigma in mag for every point, or None: each block's estimated); misfit is "
          "the reduced chi2 and best_shift 0, and it always returns (table, extra) with extra['blocks'], "
          "extra['block_points'], extra['sigma'] (B) and extra['block_zero_point'], extra['block_chi2'] "
          "(shapes x B).");

    m.def("refine", &refine, py::arg("observations"), py::arg("spin"), py::arg("table"), py::arg("starts") = 10,
          py::arg("subdivisions") = 3, py::arg("refine_subdivisions") = py::none(), py::arg("sigma") = py::none(),
          py::arg("refine_spin") = false, py::arg("threads") = py::none(), py::arg("effort") = 1.0,
          py::arg("budget") = py::none(),
          "The refinement after a chi2 sweep, as morvane-cli --refine K runs it: `table` is sweep(..., "
          "fit=\"chi2\")[0] of these observations and spin on `subdivisions` passes (its misfits taken as "
          "output/main.txt writes them, six decimals, so that the starts are the command line's). The best "
          "`starts` rows of distinct regions are refined, then hops from the best, in the six shape parameters and "
          "phi0 (and lambda, beta and the period with refine_spin), on `refine_subdivisions` passes (default: "
          "`subdivisions`); then the acceptable ranges and the leave-one-block-out jackknife. effort scales "
          "every budget as --refine-effort does; budget: a dict overriding its counts of objective calls ('local' per "
          "start, 'global' of the hops from the best, 'hop' per hop, 'range' per "
          "range search, 'range_seeds', 'jackknife' per block; the command line's by default). Returns a dict: "
          "'refined' (a list, best "
          "first, of dicts of the free parameters, 'start_shape', 'chi2', 'reduced_chi2', 'rms_mag', "
          "'evaluations': output/refined.txt's lines), 'uncertainty' (output/uncertainty.json's object) and "
          "'times' (seconds per stage). Ctrl-C cancels (KeyboardInterrupt).");

    m.def("spin_search", &spin_search, py::arg("observations"), py::arg("spin"), py::arg("nside") = 2,
          py::arg("periods") = py::none(), py::arg("levels") = 2, py::arg("subdivisions") = 3,
          py::arg("scan_subdivisions") = 2, py::arg("carry") = default_spin_carry, py::arg("sigma") = py::none(),
          py::arg("threads") = py::none(),
          "The spin search, as morvane-cli --fit chi2 --pole-nside K runs it before its sweep: poles at the "
          "centres of the HEALPix pixels of resolution `nside` (12 nside^2), periods None (the spin's alone), "
          "\"P0:P1[:STEP]\" or (P0, P1[, STEP]) in hours (the default step: a tenth of a turn's drift over the "
          "data's span), phi0 and the shape fitted at each spin; `levels` levels, the first on "
          "`scan_subdivisions` passes, each next over the sub-pixels of the spins under the threshold (and of "
          "the `carry` best) on `subdivisions`. The spin's lambda, beta and phi0 are not used; its period sets each "
          "block's "
          "estimated sigma (as --period does) and its epoch the phase's. Returns a dict: 'spins' (the last "
          "level's, best first: dicts of output/spins.txt's columns), 'best', 'levels' (each level's nside, "
          "subdivisions, spins, under_threshold, threshold, seconds) and 'periods'. Ctrl-C cancels "
          "(KeyboardInterrupt).");

    m.def("chi2", &chi2_of_shape, py::arg("shape"), py::arg("observations"), py::arg("spin"),
          py::arg("sigma") = py::none(), py::arg("subdivisions") = py::none(),
          "The chi2 of one shape at the observed points, as sweep(..., fit=\"chi2\") computes it for a grid "
          "shape (bit for bit), for any shape: a Shape (its own subdivisions) or the six grid parameters "
          "(on `subdivisions` passes, default 3). sigma as for sweep. Returns a dict: 'chi2', "
          "'reduced_chi2' (chi2 / (points - blocks)), 'rms_mag' (of the residuals after the zero points), "
          "'points', 'blocks' and 'per_block', a list of dicts with 'block', 'points', 'chi2', 'zero_point' "
          "(mag, added to the model), 'sigma' and 'sigma_source' (given, estimated, median_of_others or "
          "fallback). Raises ValueError with the command line's reason.");
}
