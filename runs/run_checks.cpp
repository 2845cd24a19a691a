#include "runs/run_checks.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sys/statvfs.h>
#include <system_error>
#include <unistd.h>

#include "common/checked_file.hpp"
#include "common/vec3.hpp"
#include "sweep/sweep_records.hpp"

namespace {

// Available memory: MemAvailable of /proc/meminfo, else the physical pages.
double available_memory()
{
    std::ifstream in("/proc/meminfo");
    std::string key;
    double kib = 0.0;
    std::string unit;
    while (in >> key >> kib >> unit)
        if (key == "MemAvailable:") return kib * 1024.0;
    return static_cast<double>(sysconf(_SC_PHYS_PAGES)) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

// "1.2 GB", "340 MB": sizes as a person reads them.
std::string size_text(double bytes)
{
    const char* units[] = {"bytes", "kB", "MB", "GB", "TB", "PB"};
    int u = 0;
    while (bytes >= 1000.0 && u < 5) bytes /= 1000.0, ++u;
    char text[32];
    std::snprintf(text, sizeof text, u == 0 ? "%.0f %s" : "%.1f %s", bytes, units[u]);
    return text;
}

// "3.5 h", "12 min", "40 s".
std::string duration_text(double seconds)
{
    char text[32];
    if (seconds >= 86400.0 * 2)
        std::snprintf(text, sizeof text, "%.1f days", seconds / 86400.0);
    else if (seconds >= 3600.0)
        std::snprintf(text, sizeof text, "%.1f h", seconds / 3600.0);
    else if (seconds >= 60.0)
        std::snprintf(text, sizeof text, "%.0f min", seconds / 60.0);
    else
        std::snprintf(text, sizeof text, "%.0f s", seconds);
    return text;
}

}  // namespace

bool check_output_folder(bool make, std::string& why)
{
    namespace fs = std::filesystem;
    std::error_code error;
    // Made by whichever process comes first; one made meanwhile is as good.
    if (make) fs::create_directory("output", error);
    const bool there = fs::is_directory("output", error);
    if (!there && (make || fs::exists(fs::symlink_status("output", error)))) {
        why = "cannot create the directory output in the working directory";
        return false;
    }
    // Not made by a check: the folder it will be made in is tried.
    const std::string folder = there ? "output" : ".";
    // Permissions say little (root passes them all): write a probe instead,
    // under a name no other process uses at the same time.
    const std::string probe = folder + "/.morvane-probe-" + unique_suffix();
    checked_file file;
    if (file.open(probe)) {
        file.write("probe\n", 6);
        file.close();
    }
    std::remove(probe.c_str());
    if (!file.error().empty()) {
        why = (folder == "output" ? "the directory output is not usable: " : "the working directory is not usable: ") +
              file.error();
        return false;
    }
    return true;
}

sweep_needs estimate_sweep_needs(int64_t shapes, int64_t new_files, int64_t vertex_count, int threads, int blocks,
                                 int64_t samples)
{
    sweep_needs needs;
    needs.shapes = shapes;
    // Per shape: its row, its flags, its share of the block plan; per thread
    // two vertex arrays, and the base copy.
    needs.memory_bytes = static_cast<double>(shapes) * (sizeof(shape_result) + 2 + 12 + sizeof(block_fit) * blocks) +
                         static_cast<double>(vertex_count) * sizeof(vec3) * (2.0 * threads + 2.0);
    needs.free_memory_bytes = available_memory();
    struct statvfs fs {};
    const bool known = statvfs("output", &fs) == 0 || statvfs(".", &fs) == 0;
    // A lightcurve file holds 150 lines per block (or a line per observed
    // point) of about 26 bytes and takes whole blocks; the summary, the
    // journal and the partial table about 260 bytes a shape.
    const double block = known && fs.f_frsize > 0 ? static_cast<double>(fs.f_frsize) : 4096.0;
    const double lines = samples > 0 ? static_cast<double>(samples) : 150.0 * blocks;
    const double file_bytes = std::ceil(lines * 26.0 / block) * block;
    needs.disk_bytes = static_cast<double>(new_files) * file_bytes + static_cast<double>(shapes) * 260.0;
    needs.files = new_files;
    needs.free_disk_bytes = known ? static_cast<double>(fs.f_bavail) * static_cast<double>(fs.f_frsize) : INFINITY;
    needs.free_files = known && fs.f_files > 0 ? static_cast<int64_t>(fs.f_favail) : -1;
    return needs;
}

bool sweep_fits(const sweep_needs& n, double seconds_per_shape, int threads, std::string& why)
{
    const bool memory = n.memory_bytes > n.free_memory_bytes;
    const bool disk = n.disk_bytes > n.free_disk_bytes;
    const bool files = n.free_files >= 0 && n.files > n.free_files;
    if (!memory && !disk && !files) return true;
    std::string text = "a sweep of " + std::to_string(n.shapes) + " shapes does not fit: it needs " +
                       size_text(n.memory_bytes) + " of memory (" + size_text(n.free_memory_bytes) +
                       " available) and " + size_text(n.disk_bytes) + " of disk (" + size_text(n.free_disk_bytes) +
                       " free in the output folder)";
    if (files)
        text += ", and " + std::to_string(n.files) + " files where the file system has room for " +
                std::to_string(n.free_files);
    if (seconds_per_shape > 0.0)
        text += "; it would take about " +
                duration_text(seconds_per_shape * static_cast<double>(n.shapes) / std::max(threads, 1)) + " on " +
                std::to_string(threads) + (threads == 1 ? " thread" : " threads");
    why = text + ": choose a larger step";
    return false;
}
