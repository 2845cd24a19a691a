#pragma once

#include <string>
#include <sys/types.h>

// Runs a shell command line and captures its output (stdout and stderr);
// returns its exit code, or 128 + the signal that ended it.
int run_command(const std::string& command, std::string& output);

// Starts a shell command line in the background; returns its pid.
pid_t start_command(const std::string& command);

// Waits for a started command; its exit code, or 128 + the signal.
int wait_command(pid_t pid);
