#include "app/cli/terminal_front_end.hpp"

#include <unistd.h>

#include "app/fields.hpp"
#include "common/control_ids.hpp"

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

void terminal_front_end::set_progress(int percent)
{
    std::lock_guard guard(lock_);
    if (percent == last_percent_) return;
    last_percent_ = percent;
    if (!terminal_) {
        if (percent > 0) std::fprintf(out_, "progress %d%%\n", percent);
    } else if (percent <= 0) {
        end_bar_line();
    } else {
        constexpr int width = 40;
        const int filled = percent * width / 100;
        std::string bar(static_cast<std::size_t>(filled), '#');
        bar.append(static_cast<std::size_t>(width - filled), '.');
        std::fprintf(out_, "\r[%s] %3d%%", bar.c_str(), percent);
        bar_shown_ = true;
    }
    std::fflush(out_);
}

void terminal_front_end::enable_item(int) {}

void terminal_front_end::message_box(const std::string& text, const std::string& caption, box_icon, box_owner)
{
    std::lock_guard guard(lock_);
    end_bar_line();
    std::fflush(out_);
    std::fprintf(err_, "[%s] %s\n", caption.c_str(), text.c_str());
    std::fflush(err_);
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

void terminal_front_end::show_warning(const std::string& text)
{
    std::lock_guard guard(lock_);
    end_bar_line();
    std::fflush(out_);
    std::fprintf(err_, "warning: %s\n", text.c_str());
    std::fflush(err_);
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
    end_bar_line();
    std::fflush(out_);
    std::fprintf(err_, "morvane-cli: %s\n", text.c_str());
    std::fflush(err_);
    last_error_ = text;
}

std::string terminal_front_end::last_error()
{
    std::lock_guard guard(lock_);
    return last_error_;
}
