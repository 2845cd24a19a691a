#include "sweep/spin.hpp"

#include <cmath>

namespace {

// The first range the typed spin state leaves, as its refusal ("" for none).
std::string range_refusal(const spin_state& s)
{
    if (!(s.lambda_deg >= 0.0 && s.lambda_deg <= 360.0)) return "the pole longitude must lie between 0 and 360 degrees";
    if (!(s.beta_deg >= -90.0 && s.beta_deg <= 90.0)) return "the pole latitude must lie between -90 and 90 degrees";
    if (!(s.phi0_deg >= 0.0 && s.phi0_deg <= 360.0))
        return "the initial rotation phase must lie between 0 and 360 degrees";
    if (!(s.period_hours >= 0.0)) return "the sidereal period must not be negative";
    // Every phase computation divides by the period: refuse 0 (and infinity).
    if (!(s.period_hours > 0.0) || std::isinf(s.period_hours))
        return "the sidereal period must be greater than 0 hours";
    if (!(s.t0 == 0.0 || (s.t0 >= 2433283.0 && s.t0 <= 2524961.0)))
        return "the epoch must be 0 or a Julian date from 2433283 to 2524961";
    return "";
}

}  // namespace

bool check_spin_ranges(const spin_state& spin, std::string& why)
{
    why = range_refusal(spin);
    return why.empty();
}

void convert_spin(spin_state& spin)
{
    constexpr double degree = 0.017453292519943295;
    spin.lambda = spin.lambda_deg * degree;
    spin.beta = spin.beta_deg * degree;
    spin.phi0 = spin.phi0_deg * degree;
    spin.period = spin.period_hours / 24;
}

sweep_spin used_spin(const spin_state& spin)
{
    return {spin.lambda, spin.beta, spin.phi0, spin.t0, spin.period};
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
    return used_spin(s);
}
