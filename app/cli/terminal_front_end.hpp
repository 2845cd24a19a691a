#pragma once

#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include "common/status_ops.hpp"

// The command line's front end: fields come from options, status texts go
// to standard output, message boxes to standard error, and the progress
// bar is one line updated in place on a terminal (plain lines otherwise).
class terminal_front_end : public status_ops {
public:
    explicit terminal_front_end(std::FILE* out = stdout, std::FILE* err = stderr);

    void set_item_text(int id, const std::string& text) override;
    void set_progress(int percent) override;
    void enable_item(int id) override;
    void message_box(const std::string& text, const std::string& caption, box_icon icon, box_owner owner) override;
    std::string read_item_text(int id, int max) override;
    bool read_item_int(int id, int& value) override;
    void show_error(const std::string& text) override;
    void show_warning(const std::string& text) override;
    // The last text show_error printed ("" when none).
    std::string last_error();
    void show_note(const std::string& text) override;
    void show_rate(int64_t done, int64_t total, double seconds) override;

    // Puts `text` into field `id`.
    void set_field(int id, const std::string& text);

private:
    // Ends an in-place progress line before other output.
    void end_bar_line();
    // Draws the in-place progress line.
    void draw_bar();
    // One line on standard error, after any progress line (lock held).
    void error_line(const std::string& prefix, const std::string& text);

    std::mutex lock_;
    std::FILE* out_;
    std::FILE* err_;
    bool terminal_;
    bool bar_shown_ = false;
    int last_percent_ = -1;
    std::map<int, std::string> fields_;
    std::string last_error_;
    std::string rate_;            // "1234/44388 shapes, 138 shapes/s, about 5 min left"
    double rate_printed_ = -1e9;  // when a plain rate line was last printed (seconds)
};
