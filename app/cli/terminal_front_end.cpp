#include "app/cli/terminal_front_end.hpp"

#include <unistd.h>

#include <algorithm>

#include "common/control_ids.hpp"
#include "workflow/fields.hpp"

terminal_front_end::terminal_front_end(std::FILE* out, std::FILE* err)
    : out_(out), err_(err), terminal_(isatty(fileno(out)) != 0)
{
    for (const auto& [id, text] : default_field_texts()) fields_[id] = text;
}

void terminal_front_end::end_bar_line()
{
    if (bar_shown_) {
        std::fputs("\r\033[K", out_);
        bar_shown_ = false;
    }
}

void terminal_front_end::set_item_text(int id, const std::string& text)
{
    std::lock_guard guard(lock_);
    end_bar_line();
    if (id == ctl::status_line || id == ctl::subdivisions_label || id == ctl::step_size_label)
        std::fprintf(out_, "%s\n", text.c_str());
    std::fflush(out_);
}

void terminal_front_end::draw_bar()
{
    constexpr int width = 40;
    const int filled = std::clamp(last_percent_, 0, 100) * width / 100;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(width - filled), '.');
    std::fprintf(out_, "\r\033[K[%s] %3d%%%s%s", bar.c_str(), std::max(last_percent_, 0), rate_.empty() ? "" : "  ",
                 rate_.c_str());
    bar_shown_ = true;
}

void terminal_front_end::set_progress(int percent)
{
    std::lock_guard guard(lock_);
    if (percent == last_percent_) return;
    last_percent_ = percent;
    if (!terminal_) {
        if (percent > 0) std::fprintf(out_, "progress %d%%\n", percent);
    } else if (percent <= 0) {
        rate_.clear();
        end_bar_line();
    } else {
        draw_bar();
    }
    std::fflush(out_);
}

void terminal_front_end::show_rate(int64_t done, int64_t total, double seconds)
{
    std::lock_guard guard(lock_);
    const double rate = seconds > 0.0 ? static_cast<double>(done) / seconds : 0.0;
    char text[160];
    if (rate > 0.0) {
        const double left = static_cast<double>(total - done) / rate;
        char when[32];
        if (left >= 5400.0)
            std::snprintf(when, sizeof when, "%.1f h", left / 3600.0);
        else if (left >= 90.0)
            std::snprintf(when, sizeof when, "%.0f min", left / 60.0);
        else
            std::snprintf(when, sizeof when, "%.0f s", left);
        std::snprintf(text, sizeof text, "%lld/%lld shapes, %.1f shapes/s, about %s left", static_cast<long long>(done),
                      static_cast<long long>(total), rate, when);
    } else {
        std::snprintf(text, sizeof text, "%lld/%lld shapes", static_cast<long long>(done),
                      static_cast<long long>(total));
    }
    rate_ = text;
    if (terminal_) {
        draw_bar();
    } else if (seconds - rate_printed_ >= 30.0) {
        // A log gets a line now and then, not one per update.
        std::fprintf(out_, "progress: %s\n", text);
        rate_printed_ = seconds;
    }
    std::fflush(out_);
}

void terminal_front_end::enable_item(int) {}

void terminal_front_end::message_box(const std::string& text, const std::string& caption, box_icon, box_owner)
{
    std::lock_guard guard(lock_);
    error_line("[" + caption + "] ", text);
}

std::string terminal_front_end::read_item_text(int id, int max)
{
    std::lock_guard guard(lock_);
    return clipped_field(fields_[id], max);
}

bool terminal_front_end::read_item_int(int id, int& value)
{
    std::lock_guard guard(lock_);
    return parse_whole_number(fields_[id], value);
}

void terminal_front_end::set_field(int id, const std::string& text)
{
    std::lock_guard guard(lock_);
    fields_[id] = text;
}

void terminal_front_end::error_line(const std::string& prefix, const std::string& text)
{
    end_bar_line();
    std::fflush(out_);
    std::fprintf(err_, "%s%s\n", prefix.c_str(), text.c_str());
    std::fflush(err_);
}

void terminal_front_end::show_warning(const std::string& text)
{
    std::lock_guard guard(lock_);
    error_line("warning: ", text);
}

void terminal_front_end::show_note(const std::string& text)
{
    std::lock_guard guard(lock_);
    end_bar_line();
    std::fprintf(out_, "%s\n", text.c_str());
    std::fflush(out_);
}

void terminal_front_end::show_error(const std::string& text)
{
    std::lock_guard guard(lock_);
    error_line("morvane-cli: ", text);
    last_error_ = text;
}

std::string terminal_front_end::last_error()
{
    std::lock_guard guard(lock_);
    return last_error_;
}
