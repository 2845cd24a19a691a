#pragma once

#include <string>

#include "support/recording_front_end.hpp"
#include "workflow/app_state.hpp"

// Path of a file shipped in the repository's data/ folder.
std::string data_file(const std::string& name);

// A small valid observation file: one block of `points` observations over
// one day with a smoothly varying brightness.
std::string small_observation_file(int points);

// Runs "Generate Geosphere" with n subdivisions and "GO!" on `path` with
// the dialog's default spin state; true when both completed.
bool geosphere_and_load(app_state& app, recording_front_end& ui, int n, const std::string& path);
