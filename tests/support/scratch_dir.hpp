#pragma once

#include <filesystem>
#include <string>
#include <vector>

// A fresh temporary directory that becomes the working directory for the
// life of the object; the previous working directory is restored and the
// directory removed afterwards.
class scratch_dir {
public:
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
    std::filesystem::path previous_;
};

// The whole content of a text file ("" when it cannot be read).
std::string read_file(const std::filesystem::path& path);

// The lines of a text file, without their line breaks.
std::vector<std::string> read_lines(const std::filesystem::path& path);

// Writes `text` to `path`, replacing it.
void write_file(const std::filesystem::path& path, const std::string& text);
