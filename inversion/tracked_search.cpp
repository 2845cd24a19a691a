#include "inversion/tracked_search.hpp"

#include <cmath>
#include <stdexcept>

double tracked_objective::chi2_at(const double* u)
{
    if (stopped || failure) return HUGE_VAL;
    if (stop && stop->requested()) {
        stopped = true;
        if (run) run->force_stop();
        return HUGE_VAL;
    }
    const model_point x = from_unit(*space, u);
    fit_value v;
    try {
        v = (*f)(x);
    } catch (...) {
        failure = std::current_exception();
        if (run) run->force_stop();
        return HUGE_VAL;
    }
    ++evaluations;
    if (seen) seen(x, v);
    const double chi2 = std::isfinite(v.chi2) ? v.chi2 : HUGE_VAL;
    if (!any || chi2 < (std::isfinite(best_f.chi2) ? best_f.chi2 : HUGE_VAL)) {
        any = true;
        best_x = x;
        best_f = v;
    }
    return chi2;
}

double tracked_chi2(unsigned, const double* u, double*, void* data)
{
    return static_cast<tracked_objective*>(data)->chi2_at(u);
}

double minimise_from(nlopt::opt& run, tracked_objective& track, std::vector<double>& u)
{
    track.run = &run;
    double value = HUGE_VAL;
    try {
        run.optimize(u, value);
    } catch (const nlopt::forced_stop&) {
    } catch (const nlopt::roundoff_limited&) {
    } catch (const std::runtime_error&) {  // NLopt's own failure: the best so far stands
    }
    track.run = nullptr;
    if (track.failure) std::rethrow_exception(track.failure);
    return value;
}

void minimise_tracked(nlopt::opt& run, tracked_objective& track, std::vector<double> u)
{
    minimise_from(run, track, u);
}

nlopt::algorithm local_algorithm(local_method method)
{
    return method == local_method::sbplx ? nlopt::LN_SBPLX : nlopt::LN_BOBYQA;
}

nlopt::opt local_optimiser(const model_space& space, local_method method, const refine_options& options, int max_evals)
{
    nlopt::opt run(local_algorithm(method), static_cast<unsigned>(free_count(space)));
    run.set_lower_bounds(0.0);
    run.set_upper_bounds(1.0);
    run.set_ftol_rel(options.ftol_rel);
    run.set_xtol_abs(unit_steps(space, options.xtol_abs));
    run.set_initial_step(unit_steps(space, options.initial_step));
    run.set_maxeval(max_evals);
    return run;
}
