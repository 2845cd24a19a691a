#include "support/run_files.hpp"

#include "support/scratch_dir.hpp"

std::map<std::string, std::string> result_files(const std::filesystem::path& folder)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder / "output")) {
        const std::string name = entry.path().filename().string();
        if (name.find(".json") != std::string::npos || name.find("journal") != std::string::npos ||
            name.find(".shard-") != std::string::npos)
            continue;
        files[name] = read_file(entry.path());
    }
    return files;
}

std::string result_differences(const std::map<std::string, std::string>& a, const std::map<std::string, std::string>& b)
{
    std::string out;
    for (const auto& [name, text] : a) {
        const auto it = b.find(name);
        if (it == b.end())
            out += name + " (only in the first) ";
        else if (it->second != text)
            out += name + " (differs) ";
    }
    for (const auto& [name, text] : b)
        if (!a.count(name)) out += name + " (only in the second) ";
    return out;
}

std::size_t journal_rows(const std::filesystem::path& journal)
{
    const std::vector<std::string> lines = read_lines(journal);
    return lines.empty() ? 0 : lines.size() - (lines[0].rfind("run ", 0) == 0 ? 1 : 0);
}
