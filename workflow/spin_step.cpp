#include "workflow/spin_step.hpp"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "common/checked_file.hpp"
#include "common/fnv1a.hpp"
#include "inversion/spin_journal.hpp"
#include "runs/run_manifest.hpp"

namespace {

// The time span of the loaded points, days.
double span_days(const ref_curve& points)
{
    if (points.times.empty()) return 0.0;
    const auto [lo, hi] = std::minmax_element(points.times.begin(), points.times.end());
    return *hi - *lo;
}

// An evaluator of the loaded points at n subdivisions, or null with `why`.
std::shared_ptr<const chi2_evaluator> evaluator_at(const app_state& app, int n, std::string& why)
{
    auto ev = std::make_shared<chi2_evaluator>();
    if (!app.reference || !ev->prepare(*app.reference, n, why)) {
        if (why.empty()) why = "no observations loaded";
        return nullptr;
    }
    return ev;
}

// Continues `hash` over the bytes of a vector's elements.
template <class T>
uint64_t hash_all(uint64_t hash, const std::vector<T>& v)
{
    return fnv1a(hash, v.data(), v.size() * sizeof(T));
}

// The key of a search: its observed points, epoch, models, settings and
// periods, so that a journal is never taken for another search's.
uint64_t search_key(const app_state& app, const spin_search_settings& s, const std::vector<double>& periods)
{
    const ref_curve& r = *app.reference;
    uint64_t h = fnv1a_start;
    h = hash_all(h, r.times);
    for (const phot_point& p : r.photometry) {
        h = fnv1a(h, &p.magnitude, sizeof p.magnitude);
        h = fnv1a(h, &p.sigma, sizeof p.sigma);
    }
    h = hash_all(h, r.sun);
    h = hash_all(h, r.earth);
    h = hash_all(h, r.block_starts);
    const double numbers[] = {app.spin.t0,
                              s.coarse.grid_step,
                              s.fine.grid_step,
                              double(app.subdivisions),
                              double(s.scan_subdivisions),
                              double(s.nside),
                              double(s.levels),
                              double(s.coarse.phases),
                              double(s.fine.phases),
                              double(s.coarse.starts),
                              double(s.fine.starts),
                              double(s.coarse.local_evals),
                              double(s.fine.local_evals)};
    h = fnv1a(h, numbers, sizeof numbers);
    return hash_all(h, periods);
}

// The whole content of a file, or "" when there is none.
std::string file_text(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The search's journal: the header and the spins kept, then one line per
// spin as it ends, each synced to disk.
class spin_journal {
public:
    ~spin_journal()
    {
        if (fd_ >= 0) ::close(fd_);
    }
    // Starts `path` afresh with the header of `key` and the `kept` spins.
    bool start(const std::string& path, uint64_t key, const std::vector<spin_fit>& kept, std::string& why)
    {
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
        std::string text = spin_journal_header(key);
        for (const spin_fit& s : kept) text += spin_journal_line(s);
        if (fd_ < 0 || !write_synced(text)) {
            why = "cannot write " + path + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }
    // Appends one spin; a failure is kept for failed() to tell.
    void append(const spin_fit& s)
    {
        if (!write_synced(spin_journal_line(s))) failed_ = errno;
    }
    int failed() const { return failed_; }

private:
    bool write_synced(const std::string& text)
    {
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return ::fdatasync(fd_) == 0;
    }
    int fd_ = -1;
    int failed_ = 0;
};

// Writes the finest level's spins, best first, to `path`.
bool write_spins(const std::string& path, const spin_level_result& level, std::string& why)
{
    checked_file out;
    if (!out.open(path)) {
        why = out.error();
        return false;
    }
    out.printf("# lambda_deg beta_deg period_h phi0_deg chi2 reduced_chi2 y_scale_1 z_scale_1 x_scale_2 y_scale_2 "
               "z_scale_2 x_shift\n");
    for (const spin_fit& s : level.spins) {
        out.printf("%.6f %.6f %.9f %.6f %.10g %.6g", s.at.lambda_deg, s.at.beta_deg, s.x[model_param::period_h],
                   s.x[model_param::phi0_deg], s.chi2, s.reduced_chi2);
        for (int p = 0; p < model_param::shape_count; ++p) out.printf(" %.6f", s.x[p]);
        out.printf("\n");
    }
    if (!out.close()) {
        why = out.error();
        out.discard();
        return false;
    }
    return true;
}

// Writes the five words as a spin file.
bool write_spin_file(const std::string& path, const std::string words[5], std::string& why)
{
    checked_file out;
    if (!out.open(path)) {
        why = out.error();
        return false;
    }
    out.printf("%s %s %s\n%s %s\n", words[0].c_str(), words[1].c_str(), words[2].c_str(), words[3].c_str(),
               words[4].c_str());
    if (!out.close()) {
        why = out.error();
        out.discard();
        return false;
    }
    return true;
}

// "%.<digits>f" of v.
std::string fixed(double v, int digits)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", digits, v);
    return text;
}

}  // namespace

bool search_periods(const app_state& app, const spin_search_settings& s, std::vector<double>& periods, std::string& why)
{
    if (!s.periods_given) {
        periods = {app.spin.period_hours};
        return true;
    }
    return period_list(s.periods, app.reference ? span_days(*app.reference) : 0.0, periods, why);
}

bool search_and_write_spins(app_state& app, const spin_search_settings& s, const std::vector<double>& periods,
                            bool resume, spin_search_result& out, std::string& why)
{
    const auto coarse = evaluator_at(app, s.scan_subdivisions, why);
    if (!coarse) return false;
    const auto fine = s.scan_subdivisions == app.subdivisions ? coarse : evaluator_at(app, app.subdivisions, why);
    if (!fine) return false;
    spin_search_request request;
    request.nside = s.nside;
    request.levels = s.levels;
    request.periods = periods;
    request.coarse = s.coarse;
    request.fine = s.fine;
    request.threads = app.thread_count;
    request.stop = stop_request{&app.cancel, nullptr};
    std::error_code made;
    std::filesystem::create_directories("output", made);
    if (made) {
        why = "cannot make the folder output: " + made.message();
        return false;
    }
    const uint64_t key = search_key(app, s, periods);
    // The writing process starts the journal with the spins it keeps; its
    // text, or why it could not, reaches every process ("+" or "-" first).
    std::string shared = resume && s.writes ? file_text(spin_journal_file) : std::string();
    request.done = parse_spin_journal(shared, key);
    spin_journal journal;
    if (s.writes) shared = journal.start(spin_journal_file, key, request.done, why) ? "+" + shared : "-" + why;
    if (s.share_journal) s.share_journal(shared);
    if (shared.empty() || shared[0] == '-') {
        why = shared.empty() ? "the journal was not shared" : shared.substr(1);
        return false;
    }
    request.done = parse_spin_journal(std::string_view(shared).substr(1), key);
    if (s.writes) request.fitted = [&journal](const spin_fit& spin) { journal.append(spin); };
    request.mine = s.mine;
    if (s.exchange)
        // The writing process journals the others' spins as they arrive.
        request.exchange = [&](std::vector<spin_fit>& level, const std::vector<uint8_t>& own, bool stopped,
                               std::string& failed) {
            if (!s.exchange(level, own, stopped, failed)) return false;
            for (std::size_t i = 0; i < level.size() && s.writes; ++i)
                if (!own[i]) journal.append(level[i]);
            return true;
        };
    const bool searched =
        search_spins(coarse, s.scan_subdivisions, fine, app.subdivisions, app.spin.t0, request, out, why);
    if (journal.failed() != 0) {
        why = std::string("cannot write ") + spin_journal_file + ": " + std::strerror(journal.failed());
        return false;
    }
    if (!searched) return false;
    if (!s.writes) return true;
    std::string words[5];
    best_spin_words(out, app.spin.t0, words);
    return write_spins("output/spins.txt", out.levels.back(), why) && write_spin_file("output/spin.txt", words, why);
}

void best_spin_words(const spin_search_result& r, double t0, std::string words[5])
{
    const spin_fit& best = r.best();
    words[0] = fixed(best.at.lambda_deg, 6);
    words[1] = fixed(best.at.beta_deg, 6);
    words[2] = fixed(best.x[model_param::period_h], 9);
    words[3] = fixed(t0, 6);
    words[4] = fixed(best.x[model_param::phi0_deg], 6);
}

bool record_spin_search(const spin_search_settings& s, const std::vector<double>& periods, const spin_search_result& r,
                        std::string& why)
{
    run_manifest m;
    if (!read_manifest(manifest_file, m, why)) return false;
    spin_search_record& rec = m.spin_search;
    rec.nside = s.nside;
    rec.levels = static_cast<int32_t>(r.levels.size());
    rec.scan_subdivisions = s.scan_subdivisions;
    rec.period_first_h = periods.front();
    rec.period_last_h = periods.back();
    rec.periods = static_cast<int32_t>(periods.size());
    rec.spins = 0;
    rec.seconds = 0.0;
    rec.each_level.clear();
    for (const spin_level_result& level : r.levels) {
        rec.spins += static_cast<int64_t>(level.spins.size());
        rec.seconds += level.seconds;
        spin_search_record::level l;
        l.nside = level.nside;
        l.subdivisions = level.subdivisions;
        l.spins = static_cast<int64_t>(level.spins.size());
        for (const spin_fit& spin : level.spins) l.under += spin.chi2 <= level.threshold.threshold;
        l.threshold = level.threshold.threshold;
        l.seconds = level.seconds;
        rec.each_level.push_back(l);
    }
    const spin_fit& best = r.best();
    rec.lambda_deg = best.at.lambda_deg;
    rec.beta_deg = best.at.beta_deg;
    rec.period_h = best.x[model_param::period_h];
    rec.phi0_deg = best.x[model_param::phi0_deg];
    rec.best_chi2 = best.chi2;
    rec.reduced_chi2 = best.reduced_chi2;
    return write_manifest(manifest_file, m, why);
}
