#include "app/cli/synth_command.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "app/cli/pipeline.hpp"
#include "runs/spin_file.hpp"
#include "workflow/fields.hpp"

namespace {

// The spin options, in the order of a spin file's words.
const char* const spin_names[5] = {"--lambda", "--beta", "--period", "--t0", "--phi0"};

// The options that lay out the invented geometry, which --like replaces.
const char* const invented_names[5] = {"--points", "--hours", "--phase-angle", "--start", "--blocks-geometry"};

// "10:0,40:30" as (phase, latitude) pairs; "" gives none.
bool parse_geometries(const std::string& text, std::vector<std::pair<double, double>>& out)
{
    out.clear();
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t comma = std::min(text.find(',', at), text.size());
        const std::string item = text.substr(at, comma - at);
        double phase = 0.0, latitude = 0.0;
        int used = 0;
        if (std::sscanf(item.c_str(), "%lf:%lf%n", &phase, &latitude, &used) != 2 ||
            used != static_cast<int>(item.size()) || !(phase >= 0.0 && phase < 180.0) ||
            !(latitude >= -90.0 && latitude <= 90.0))
            return false;
        out.push_back({phase, latitude});
        at = comma + 1;
    }
    return true;
}

// A whole decimal number from 0 to 2^64 - 1, nothing around it.
bool parse_seed(const std::string& text, uint64_t& seed)
{
    const char* end = text.data() + text.size();
    const auto [stop, ec] = std::from_chars(text.data(), end, seed);
    return !text.empty() && ec == std::errc() && stop == end;
}

// The spin state: each option typed, or else the spin file's word, or else
// its default, read by the decimal-field rule as the sweep reads its
// fields. False with `why`.
bool take_spin(synth_command& c, std::string& why)
{
    std::string words[5];
    if (!c.spin_file.empty() && !read_spin_words(c.spin_file, words, why)) {
        why = "--spin " + why;
        return false;
    }
    double* const values[5] = {&c.options.lambda_deg, &c.options.beta_deg, &c.options.period_hours, &c.options.t0,
                               &c.options.phi0_deg};
    for (int i = 0; i < 5; ++i) {
        const bool typed = c.app->count(spin_names[i]) > 0 || c.spin_file.empty();
        const std::string& text = typed ? c.spin[i] : words[i];
        if (!parse_decimal(text, *values[i])) {
            why = std::string(spin_names[i]) + (typed ? "" : " (from " + c.spin_file + ")") + ": \"" + text +
                  "\" is not a number";
            return false;
        }
    }
    return true;
}

// The options checked after parsing, into c.options; false with `why`.
bool take_options(synth_command& c, std::string& why)
{
    synth_options& o = c.options;
    std::copy(c.shape.begin(), c.shape.end(), o.shape);
    if (!parse_geometries(c.geometries, o.geometries)) {
        why = "--blocks-geometry takes PHASE:LATITUDE[,PHASE:LATITUDE...]";
        return false;
    }
    if (!take_spin(c, why)) return false;
    if (!o.like.empty())
        for (const char* name : invented_names)
            if (c.app->count(name) > 0) {
                why = std::string("--like takes the times and the geometry from the file: leave out ") + name;
                return false;
            }
    if (c.app->count("--blocks") > 0 && o.like.empty()) {
        why = "--blocks chooses blocks of the --like file: give --like FILE";
        return false;
    }
    if (c.app->count("--blocks") > 0 && !parse_block_list(c.blocks, o.like_blocks, why)) {
        why = "--blocks: " + why;
        return false;
    }
    o.noisy = c.app->count("--noise") > 0;
    if (o.noisy && !parse_decimal(c.noise, o.noise_mag)) {
        why = "--noise: \"" + c.noise + "\" is not a number";
        return false;
    }
    if (c.app->count("--seed") > 0 && !o.noisy) {
        why = "--seed draws the noise: give --noise MAG";
        return false;
    }
    if (c.app->count("--seed") > 0 && !parse_seed(c.seed, o.seed)) {
        why = "--seed takes a whole number from 0 to 18446744073709551615, not \"" + c.seed + "\"";
        return false;
    }
    return true;
}

}  // namespace

void add_synth_command(CLI::App& cli, synth_command& c)
{
    synth_options& s = c.options;
    CLI::App* synth = cli.add_subcommand("synth", "write an observation file computed from a chosen shape");
    c.app = synth;
    synth->add_option("--output", s.output, "file to write")->capture_default_str()->type_name("FILE");
    synth->add_option("--subdivisions", s.subdivisions, "subdivision passes, 1 to 7")
        ->capture_default_str()
        ->type_name("N");
    c.shape.assign(std::begin(s.shape), std::end(s.shape));
    synth
        ->add_option("--shape", c.shape,
                     "y_scale_1 z_scale_1 x_scale_2 y_scale_2 z_scale_2 x_shift, any values within the grid's "
                     "ranges (x_shift from 1 - x_scale_2 to 1 + x_scale_2)")
        ->expected(6)
        ->delimiter(',')
        ->type_name("SCALE");
    const char* spin_help[5] = {"pole ecliptic longitude, degrees (0 to 360)",
                                "pole ecliptic latitude, degrees (-90 to 90)", "sidereal period, hours (> 0)",
                                "epoch, Julian date (0, or 2433283 to 2524961)",
                                "initial rotation phase, degrees (0 to 360)"};
    const char* spin_types[5] = {"DEG", "DEG", "HOURS", "JD", "DEG"};
    for (int i = 0; i < 5; ++i)
        synth->add_option(spin_names[i], c.spin[i], spin_help[i])->capture_default_str()->type_name(spin_types[i]);
    synth
        ->add_option("--spin", c.spin_file,
                     "spin state from FILE in the two-line layout 'lambda beta P' / 'JD0 phi0', as data/*_spin.txt; "
                     "options given explicitly win")
        ->type_name("FILE");
    synth->add_option("--phase-angle", s.phase_deg, "sun-body-earth angle, degrees")
        ->capture_default_str()
        ->type_name("DEG");
    synth->add_option("--start", s.start, "Julian date of the first observation")
        ->capture_default_str()
        ->type_name("JD");
    synth->add_option("--hours", s.hours, "time span of the observations, hours")
        ->capture_default_str()
        ->type_name("HOURS");
    synth->add_option("--points", s.points, "number of observations (per block)")
        ->capture_default_str()
        ->type_name("COUNT");
    synth
        ->add_option("--blocks-geometry", c.geometries,
                     "one block per PHASE:LATITUDE (degrees: phase angle, sub-earth latitude from the pole's "
                     "equator), e.g. 10:0,40:30,70:-20; each block over --hours, 30 days apart")
        ->type_name("PHASE:LAT,...");
    synth
        ->add_option("--like", s.like,
                     "take the times and the sun and earth vectors of an observation file's blocks (see --blocks) "
                     "instead of the invented geometry; each block keeps its number in the file written")
        ->type_name("FILE");
    synth
        ->add_option("--blocks", c.blocks,
                     "the blocks of the --like file, counted from 0: all, or a list such as 0,3,7-12 (as the "
                     "sweep's --blocks)")
        ->type_name("LIST");
    synth
        ->add_option("--noise", c.noise,
                     "relative photometry: Gaussian noise of this standard deviation (0 to 1 mag) on every magnitude, "
                     "and each block moved by a zero point drawn uniformly from -1 to 1 mag")
        ->type_name("MAG");
    synth->add_option("--seed", c.seed, "seed of the noise (std::mt19937_64), 0 to 2^64 - 1; default 1")
        ->type_name("N");
}

int run_synth_command(synth_command& c)
{
    std::string why;
    if (!take_options(c, why)) {
        std::fprintf(stderr, "morvane-cli synth: %s\n", why.c_str());
        return exit_refused;
    }
    const synth_result result = run_synth(c.options);
    if (!result.reason.empty()) {
        std::fprintf(stderr, "morvane-cli synth: %s\n", result.reason.c_str());
        return result.refused ? exit_refused : exit_failed;
    }
    std::printf("wrote %s\n", c.options.output.c_str());
    return exit_complete;
}
