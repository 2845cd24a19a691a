#pragma once

#include <string>
#include <vector>

// The periods a spin search tries: P0 to P1 in hours, by a given step or
// by the default one.

// The drift of the rotation count across the data's time span that the
// default step allows between neighbouring periods: a tenth of a turn, so
// that the best period lies within 0.05 of a turn's drift of a tried one.
constexpr double period_drift_turns = 0.1;

// The most periods one scan takes.
constexpr int max_periods = 100000;

// "P0:P1" or "P0:P1:STEP", hours, as the command line takes it.
struct period_range {
    double first_h = 0.0;
    double last_h = 0.0;
    double step_h = 0.0;  // 0: the default step
};

// Parses "P0:P1[:STEP]" (0 < P0 <= P1, STEP > 0); false with `why`.
bool parse_period_range(const std::string& text, period_range& out, std::string& why);

// The default step at period `period_h` over a span of `span_days`: the
// change of period that moves the rotation count across the span by
// period_drift_turns, drift P^2 / (24 span) hours (N = 24 span / P turns).
double default_period_step(double period_h, double span_days);

// The periods P0, P0 + s, P0 + 2s, ... up to P1 (P1 itself when the steps
// land on it within a millionth of a step), s the range's step or the
// default at P0 (the smallest, so the finest); a single period when P0 is
// P1. False with `why` when there would be more than max_periods.
bool period_list(const period_range& r, double span_days, std::vector<double>& out, std::string& why);
