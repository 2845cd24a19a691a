#pragma once

// The spin search before a chi2 sweep, with the files it writes: the pole
// map's and period scan's spins, and the best spin as a spin file.

#include <functional>
#include <string>
#include <vector>

#include "inversion/period_scan.hpp"
#include "inversion/spin_search.hpp"
#include "workflow/app_state.hpp"

// What to search.
struct spin_search_settings {
    int32_t nside = 2;           // the first level's pole resolution
    int levels = 2;              // the first and the finer ones
    bool periods_given = false;  // else the loaded spin's period alone
    period_range periods;
    int scan_subdivisions = 2;       // the first level's model; the finer ones use the run's
    int carry = default_spin_carry;  // a level's best spins passed on, at least
    spin_fit_settings coarse;
    spin_fit_settings fine;
    // Several processes sharing the search (MPI ranks): which spins this one
    // fits and the exchange of each level (spin_search_request's), whether
    // it writes the files and the journal (one process does), and how the
    // journal's text read by that one reaches every process (empty: one
    // process).
    std::function<bool(std::size_t index)> mine;
    std::function<bool(std::vector<spin_fit>& level, const std::vector<uint8_t>& own, bool stopped, std::string& why)>
        exchange;
    bool writes = true;
    std::function<void(std::string& text)> share_journal;
    // A shard K of S of the search (0 of 0: none): it fits spins K - 1,
    // K - 1 + S, ... of each level, journals them to its own journal, and
    // takes the others' from their shards' journals in this folder,
    // waiting for them (and telling `waiting` so); `morvane-cli merge`
    // writes the files.
    int32_t shard = 0;
    int32_t shards = 0;
    std::function<void(const std::string& what)> waiting;
    // Told of each spin this process fits, as it ends (one at a time): a
    // front end's progress. Empty: none.
    std::function<void(const spin_fit&)> fitted;
};

// The periods of the search: the scan's, over the loaded points' time span,
// or the loaded spin's period alone. False with `why`.
bool search_periods(const app_state& app, const spin_search_settings& s, std::vector<double>& periods,
                    std::string& why);

// Runs the search over the observed points loaded in `app` (a chi2 load) on
// app.thread_count threads, stopped by app.cancel, and writes
// output/spins.txt (the finest level's spins, best first) and
// output/spin.txt (the best, in the two-line layout --spin reads). Fills
// `out`; false with `why` ("stopped" after a stop request).
// A shard writes neither (merge does).
// Every spin fitted goes to output/spins.journal (a shard's to its own) as
// it ends; with `resume`
// the spins a journal of the same search (the same points, settings and
// periods) holds are taken over instead of fitted again, so that a stopped
// search ends with the files an uninterrupted one writes.
bool search_and_write_spins(app_state& app, const spin_search_settings& s, const std::vector<double>& periods,
                            bool resume, spin_search_result& out, std::string& why);

// Adds the search's record to output/run.json, or the shard's manifest
// (written by the sweep that followed it). False with `why`.
bool record_spin_search(const spin_search_settings& s, const std::vector<double>& periods, const spin_search_result& r,
                        std::string& why);
