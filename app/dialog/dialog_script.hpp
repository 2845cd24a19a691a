#pragma once

#include <string>

#include "workflow/app_state.hpp"

class main_dialog;

// Drives the dialog from a script, for screenshots and for tests of the
// whole program: steps separated by ';', run one after the other on the
// dialog's thread once its event loop runs.
//   set ID TEXT   put TEXT into field ID
//   choose ID TEXT  choose item TEXT of choice ID (the fit mode)
//   click ID      press button ID
//   wait          until no pole search or sweep runs, nor the refinement after it
//   sleep MS      let MS milliseconds pass
//   grab FILE     save a picture of the window as FILE (PNG)
//   results FILE  save a picture of the results window of the sweep that
//                 has just ended as FILE (PNG); there must be one
//   running       end the program with exit code 3 unless a sweep runs
//   close         close the window, like its close box
// A step that cannot be understood ends the program with exit code 2.
void start_dialog_script(main_dialog& dialog, app_state& app, const std::string& script);
