#pragma once

#include <filesystem>
#include <map>
#include <string>

// The files of a finished run that must not depend on how it was computed
// (threads, ranks, shards): every file in `folder`/output except the
// records of how it ran (manifests, journals, shard tables), name to content.
std::map<std::string, std::string> result_files(const std::filesystem::path& folder);

// The names where two sets of result files differ ("" when they agree).
std::string result_differences(const std::map<std::string, std::string>& a,
                               const std::map<std::string, std::string>& b);

// The rows of a journal: its lines after the header that names the run
// (0 when it is missing).
std::size_t journal_rows(const std::filesystem::path& journal);
