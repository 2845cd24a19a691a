#include "runs/refinement_reader.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "common/checked_file.hpp"
#include "common/input_file.hpp"

using json = nlohmann::json;

namespace {

// The deepest nesting uncertainty.json has (parameters.NAME.best) with room to spare.
constexpr int max_json_depth = 8;

// `name` inside the run's folder.
std::string in_folder(const std::string& folder, const std::string& name)
{
    return folder.empty() || folder == "." ? name : folder + "/" + name;
}

// A regular file's text, read no further than just past `limit` bytes (the
// parse refuses more); false with `why`.
bool read_limited(const std::string& path, std::size_t limit, std::string& text, std::string& why)
{
    input_file in(path);
    if (!in) {
        why = in.missing() ? path + " not found" : "cannot read " + in.error();
        return false;
    }
    text.clear();
    char piece[1 << 14];
    errno = 0;
    do {
        in.read(piece, sizeof piece);
        text.append(piece, static_cast<std::size_t>(in.gcount()));
    } while (in && text.size() <= limit);
    if (in.bad()) {
        why = file_failure("read", path, errno ? errno : EIO);
        return false;
    }
    return true;
}

// The parameter named `name`, or -1.
int param_named(const std::string& name)
{
    for (int p = 0; p < model_param::count; ++p)
        if (name == model_param_name(p)) return p;
    return -1;
}

// A number of a JSON object: finite, or NaN for null when `nullable`;
// false with `why` naming `where`.
bool json_number(const json& object, const std::string& where, const char* key, bool nullable, double& value,
                 std::string& why)
{
    const auto at = object.find(key);
    if (at != object.end() && at->is_number() && std::isfinite(at->get<double>())) {
        value = at->get<double>();
        return true;
    }
    if (at != object.end() && at->is_null() && nullable) {
        value = std::nan("");
        return true;
    }
    why = where + key +
          (at == object.end() ? " is missing"
           : nullable         ? " must be a finite number or null"
                              : " must be a finite number");
    return false;
}

// The acceptable ranges of "parameters": false with `why`.
bool read_ranges(const json& parameters, uncertainty_record& out, std::string& why)
{
    if (!parameters.is_object()) {
        why = "parameters must be an object";
        return false;
    }
    for (auto it = parameters.begin(); it != parameters.end(); ++it) {
        const int p = param_named(it.key());
        if (p < 0) continue;
        const std::string where = "parameters." + it.key() + ".";
        if (!it->is_object()) {
            why = "parameters." + it.key() + " must be an object";
            return false;
        }
        accepted_range& r = out.ranges[p];
        if (!json_number(*it, where, "best", false, r.best, why) ||
            !json_number(*it, where, "min", false, r.min, why) || !json_number(*it, where, "max", false, r.max, why))
            return false;
        if (r.min > r.max) {
            why = where + "min is above its max";
            return false;
        }
        r.listed = true;
    }
    return true;
}

// The jackknife's object (null or missing: none); false with `why`.
bool read_jackknife(const json& top, uncertainty_record& out, std::string& why)
{
    const auto at = top.find("jackknife");
    if (at == top.end() || at->is_null()) return true;
    if (!at->is_object()) {
        why = "jackknife must be an object or null";
        return false;
    }
    const auto blocks = at->find("blocks");
    if (blocks == at->end() || !blocks->is_number_unsigned() || blocks->get<uint64_t>() < 2 ||
        blocks->get<uint64_t>() > INT32_MAX) {
        why = "jackknife.blocks must be a whole number from 2 to " + std::to_string(INT32_MAX);
        return false;
    }
    out.jackknife_blocks = static_cast<int32_t>(blocks->get<uint64_t>());
    for (auto it = at->begin(); it != at->end(); ++it) {
        const int p = param_named(it.key());
        if (p < 0) continue;
        const std::string where = "jackknife." + it.key() + ".";
        if (!it->is_object()) {
            why = "jackknife." + it.key() + " must be an object";
            return false;
        }
        jackknife_range& r = out.jackknife[p];
        if (!json_number(*it, where, "spread", true, r.spread, why) ||
            !json_number(*it, where, "min", true, r.min, why) || !json_number(*it, where, "max", true, r.max, why))
            return false;
        if (r.spread < 0.0) {
            why = where + "spread must not be negative";
            return false;
        }
        r.listed = true;
    }
    return true;
}

// The names of "at_bound" (missing: none); false with `why`.
bool read_at_bound(const json& top, uncertainty_record& out, std::string& why)
{
    const auto at = top.find("at_bound");
    if (at == top.end()) return true;
    if (!at->is_array()) {
        why = "at_bound must be a list of names";
        return false;
    }
    for (const json& name : *at) {
        if (!name.is_string()) {
            why = "at_bound must be a list of names";
            return false;
        }
        const int p = param_named(name.get<std::string>());
        if (p >= 0) out.at_bound.push_back(p);
    }
    return true;
}

// The fields of a parsed uncertainty record; false with `why`.
bool read_uncertainty_fields(const json& top, uncertainty_record& out, std::string& why)
{
    if (!top.is_object()) {
        why = "it is not a JSON object";
        return false;
    }
    if (!json_number(top, "", "chi2_min", false, out.chi2_min, why) ||
        !json_number(top, "", "nu", false, out.nu, why) ||
        !json_number(top, "", "threshold", false, out.threshold, why) ||
        !json_number(top, "", "sigma_inflation", false, out.sigma_inflation, why))
        return false;
    if (out.chi2_min < 0.0 || out.nu <= 0.0 || out.threshold < out.chi2_min || out.sigma_inflation < 1.0) {
        why = "it needs chi2_min >= 0, nu > 0, threshold >= chi2_min and sigma_inflation >= 1";
        return false;
    }
    const auto parameters = top.find("parameters");
    if (parameters == top.end()) {
        why = "parameters is missing";
        return false;
    }
    return read_ranges(*parameters, out, why) && read_jackknife(top, out, why) && read_at_bound(top, out, why);
}

// The blank-separated fields of a line.
std::vector<std::string> fields_of(const std::string& line)
{
    std::vector<std::string> fields;
    std::size_t at = line.find_first_not_of(" \t");
    while (at != std::string::npos) {
        const std::size_t end = line.find_first_of(" \t", at);
        fields.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end == std::string::npos ? end : line.find_first_not_of(" \t", end);
    }
    return fields;
}

// A whole field as a number (strtod's forms); false when it is not one.
bool number_field(const std::string& field, double& value)
{
    if (field.empty() || field.find('\0') != std::string::npos) return false;
    char* end = nullptr;
    value = std::strtod(field.c_str(), &end);
    return end == field.c_str() + field.size();
}

// A whole field as a whole number from 0 to `high`.
bool whole_field(const std::string& field, int64_t high, int64_t& value)
{
    if (field.empty() || field.size() > 18 || field.find_first_not_of("0123456789") != std::string::npos) return false;
    value = std::strtoll(field.c_str(), nullptr, 10);
    return value <= high;
}

// What a column of refined.txt holds.
enum class column_kind { start, param, chi2, reduced_chi2, rms_mag, evaluations, unknown };

// One column: its kind, and for a parameter which.
struct column {
    column_kind kind = column_kind::unknown;
    int param = -1;
};

// The columns the header names; false with `why` when one is named twice
// or a column every line needs is missing.
bool read_header(const std::string& line, std::vector<column>& columns, refined_table& out, std::string& why)
{
    if (line.empty() || line[0] != '#') {
        why = "the header line must start with #";
        return false;
    }
    const struct {
        const char* name;
        column_kind kind;
    } fixed[] = {{"start_shape", column_kind::start},
                 {"chi2", column_kind::chi2},
                 {"reduced_chi2", column_kind::reduced_chi2},
                 {"rms_mag", column_kind::rms_mag},
                 {"evaluations", column_kind::evaluations}};
    std::vector<std::string> names = fields_of(line.substr(1));
    for (std::size_t i = 0; i < names.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j)
            if (names[j] == names[i]) {
                why = "the header names " + names[i] + " twice";
                return false;
            }
        column c;
        c.param = param_named(names[i]);
        if (c.param >= 0) {
            c.kind = column_kind::param;
            out.params.push_back(c.param);
        }
        for (const auto& f : fixed)
            if (names[i] == f.name) c.kind = f.kind;
        columns.push_back(c);
    }
    std::vector<std::string> needed = {"start_shape", "chi2", "reduced_chi2", "rms_mag", "evaluations"};
    for (int p = 0; p < model_param::shape_count; ++p) needed.push_back(model_param_name(p));
    for (const std::string& name : needed)
        if (std::find(names.begin(), names.end(), name) == names.end()) {
            why = "the header names no column " + name;
            return false;
        }
    return true;
}

// A fit value: finite and not negative, or NaN ("nan") when allowed.
bool fit_value(const std::string& field, bool nan_allowed, double& value)
{
    if (!number_field(field, value)) return false;
    return std::isnan(value) ? nan_allowed : std::isfinite(value) && value >= 0.0;
}

// One line of solutions by its columns; false with `why`.
bool read_row(const std::vector<std::string>& fields, const std::vector<column>& columns, bool first, refined_row& row,
              std::string& why)
{
    if (fields.size() != columns.size()) {
        why =
            std::to_string(fields.size()) + " fields, not the " + std::to_string(columns.size()) + " the header names";
        return false;
    }
    row.x.fill(std::nan(""));
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const std::string& f = fields[i];
        int64_t whole = 0;
        bool good = true;
        switch (columns[i].kind) {
        case column_kind::start:
            good = whole_field(f, INT32_MAX, whole);
            row.start_shape = static_cast<int32_t>(whole);
            break;
        case column_kind::evaluations:
            good = whole_field(f, INT64_MAX, whole);
            row.evaluations = whole;
            break;
        case column_kind::param:
            good = number_field(f, row.x[columns[i].param]) && std::isfinite(row.x[columns[i].param]);
            break;
        case column_kind::chi2: good = fit_value(f, !first, row.chi2); break;
        case column_kind::reduced_chi2: good = fit_value(f, !first, row.reduced_chi2); break;
        case column_kind::rms_mag: good = fit_value(f, true, row.rms_mag); break;
        case column_kind::unknown: break;
        }
        if (!good) {
            why = "field " + std::to_string(i + 1) + " \"" + f.substr(0, 40) + "\" is not what the column holds";
            return false;
        }
    }
    return true;
}

// Reads `text` with the parse of `parse`, refusing more than `limit` bytes.
template <typename Record, typename Parse>
bool read_file_as(const std::string& path, std::size_t limit, Record& out, std::string& why, Parse parse)
{
    std::string text;
    return read_limited(path, limit, text, why) && parse(text, path, out, why);
}

}  // namespace

bool parse_uncertainty(const std::string& text, const std::string& origin, uncertainty_record& out, std::string& why)
{
    const std::string refusal = origin + " is not a refinement's uncertainty record: ";
    if (text.size() > max_uncertainty_bytes) {
        why = refusal + "it is larger than " + std::to_string(max_uncertainty_bytes) + " bytes";
        return false;
    }
    json top;
    try {
        // Nothing deeper than the file's own nesting is built.
        top = json::parse(text, [](int depth, json::parse_event_t, json&) {
            if (depth > max_json_depth) throw std::length_error("it nests deeper than the file does");
            return true;
        });
    } catch (const std::exception& e) {
        why = refusal + e.what();
        return false;
    }
    uncertainty_record read;
    std::string problem;
    if (!read_uncertainty_fields(top, read, problem)) {
        why = refusal + problem;
        return false;
    }
    out = std::move(read);
    return true;
}

bool parse_refined(const std::string& text, const std::string& origin, refined_table& out, std::string& why)
{
    if (text.size() > max_refined_bytes) {
        why = origin + ": larger than " + std::to_string(max_refined_bytes) + " bytes, more than a refinement writes";
        return false;
    }
    if (!text.empty() && text.back() != '\n') {
        why = origin + ": cut short (its last line has no line break)";
        return false;
    }
    refined_table read;
    std::vector<column> columns;
    std::size_t start = 0;
    for (int64_t number = 1; start < text.size(); ++number) {
        const std::size_t end = text.find('\n', start);
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        std::string problem;
        refined_row row;
        if (number == 1 ? !read_header(line, columns, read, problem)
                        : !read_row(fields_of(line), columns, number == 2, row, problem)) {
            why = origin + ":" + std::to_string(number) + ": " + problem;
            return false;
        }
        if (number > 1) read.rows.push_back(row);
    }
    if (read.rows.empty()) {
        why = origin + ": no refined solution" + (columns.empty() ? " and no header" : "");
        return false;
    }
    out = std::move(read);
    return true;
}

bool read_refinement_files(const std::string& folder, refinement_files& out, std::string& why)
{
    refinement_files read;
    if (!read_file_as(in_folder(folder, uncertainty_file), max_uncertainty_bytes, read.uncertainty, why,
                      parse_uncertainty) ||
        !read_file_as(in_folder(folder, refined_file), max_refined_bytes, read.refined, why, parse_refined))
        return false;
    out = std::move(read);
    return true;
}
