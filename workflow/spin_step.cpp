#include "workflow/spin_step.hpp"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <system_error>
#include <thread>
#include <tuple>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "common/checked_file.hpp"
#include "common/fnv1a.hpp"
#include "inversion/spin_journal.hpp"
#include "runs/run_folder.hpp"
#include "runs/run_manifest.hpp"
#include "runs/spin_results.hpp"

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
                              double(s.carry),
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

// The other shards' spins, read from their journals in output/ as they
// grow: each shard of a search fits its share of a level, then waits here
// for the rest.
class shard_peers {
public:
    shard_peers(int32_t k, int32_t s, uint64_t key) : key_(key)
    {
        for (int32_t j = 1; j <= s; ++j)
            if (j != k) peers_.push_back({files_of_shard(j, s).spin_journal});
    }
    // Fills the entries of `level` not marked in `own` from the peers'
    // journals, waiting until every one is there (telling `waiting` once
    // how many are missing); false with "stopped" when `stop` asks.
    bool fill(std::vector<spin_fit>& level, const std::vector<uint8_t>& own, const stop_request& stop,
              const std::function<void(const std::string&)>& waiting, std::string& why)
    {
        for (bool told = false;; std::this_thread::sleep_for(std::chrono::milliseconds(300))) {
            for (peer& p : peers_) read_more(p);
            std::size_t missing = 0;
            for (std::size_t i = 0; i < level.size(); ++i) {
                if (own[i]) continue;
                const auto f = found_.find(where(level[i]));
                if (f == found_.end())
                    ++missing;
                else
                    level[i] = f->second;
            }
            if (missing == 0) return true;
            if (stop.requested()) {
                why = "stopped";
                return false;
            }
            if (!told && waiting)
                waiting("waiting for the other shards' spins of level " + std::to_string(level.front().level + 1) +
                        " (" + std::to_string(missing) + " of " + std::to_string(level.size()) +
                        " not yet in their journals; the shards run at the same time in this folder)");
            told = true;
        }
    }

private:
    struct peer {
        std::string path;
        std::size_t read = 0;  // bytes taken, up to a line's end
    };
    using key_type = std::tuple<int, int32_t, int64_t, int32_t>;
    static key_type where(const spin_fit& s) { return {s.level, s.at.nside, s.at.pixel, s.period_index}; }

    // Takes the whole lines a peer's journal gained since the last read; a
    // journal started again (shorter than what was read) is read afresh,
    // one of another search not at all.
    void read_more(peer& p)
    {
        std::ifstream in(p.path, std::ios::binary | std::ios::ate);
        if (!in) return;
        if (static_cast<std::size_t>(in.tellg()) < p.read) p.read = 0;
        in.seekg(static_cast<std::streamoff>(p.read));
        const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        std::size_t at = 0;
        if (p.read == 0) {
            uint64_t key = 0;
            if (!spin_journal_key(text, key) || key != key_) return;
            at = text.find('\n') + 1;
        }
        for (std::size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
            spin_fit s;
            if (!parse_spin_journal_line(std::string_view(text).substr(at, end - at), s)) break;
            found_[where(s)] = s;
        }
        p.read += at;
    }

    uint64_t key_;
    std::vector<peer> peers_;
    std::map<key_type, spin_fit> found_;
};

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
    request.carry = s.carry;
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
    const std::string journal_path = files_of_shard(s.shard, s.shards).spin_journal;
    std::string shared = resume && s.writes ? file_text(journal_path) : std::string();
    request.done = parse_spin_journal(shared, key);
    spin_journal journal;
    if (s.writes) shared = journal.start(journal_path, key, request.done, why) ? "+" + shared : "-" + why;
    if (s.share_journal) s.share_journal(shared);
    if (shared.empty() || shared[0] == '-') {
        why = shared.empty() ? "the journal was not shared" : shared.substr(1);
        return false;
    }
    request.done = parse_spin_journal(std::string_view(shared).substr(1), key);
    if (s.writes || s.fitted)
        request.fitted = [&journal, &s](const spin_fit& spin) {
            if (s.writes) journal.append(spin);
            if (s.fitted) s.fitted(spin);
        };
    request.mine = s.mine;
    shard_peers peers(s.shard, s.shards, key);
    if (s.shards > 0) {
        // Shard k fits spins k, k + S, ... of each level and waits for the rest.
        const std::size_t k = static_cast<std::size_t>(s.shard - 1), count = static_cast<std::size_t>(s.shards);
        request.mine = [k, count](std::size_t i) { return i % count == k; };
        request.exchange = [&](std::vector<spin_fit>& level, const std::vector<uint8_t>& own, bool stopped,
                               std::string& failed) {
            return stopped || peers.fill(level, own, stop_request{&app.cancel, nullptr}, s.waiting, failed);
        };
    } else if (s.exchange)
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
        why = "cannot write " + journal_path + ": " + std::strerror(journal.failed());
        return false;
    }
    if (!searched) return false;
    if (!s.writes || s.shards > 0) return true;
    std::string words[5];
    best_spin_words(out, app.spin.t0, words);
    return write_spin_rows("output/spins.txt", out.levels.back(), why) &&
           write_spin_file("output/spin.txt", words, why);
}

bool record_spin_search(const spin_search_settings& s, const std::vector<double>& periods, const spin_search_result& r,
                        std::string& why)
{
    const std::string manifest = files_of_shard(s.shard, s.shards).manifest;
    run_manifest m;
    if (!read_manifest(manifest, m, why)) return false;
    spin_search_record& rec = m.spin_search;
    rec.nside = s.nside;
    rec.levels = static_cast<int32_t>(r.levels.size());
    rec.scan_subdivisions = s.scan_subdivisions;
    rec.carry = s.carry;
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
    return write_manifest(manifest, m, why);
}
