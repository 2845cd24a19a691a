#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "common/status_ops.hpp"

// One status call as the front end saw it.
struct status_call {
    std::string op;  // "text", "progress", "enable", "box", "warning", "note"
    int id = 0;      // control id, or the percent for "progress"
    std::string text;
    std::string caption;
    box_icon icon = box_icon::none;
    box_owner owner = box_owner::dialog;
};

// A front end for tests: records every status call, answers field reads
// from a table. Safe to call from the sweep's worker thread.
class recording_front_end : public status_ops {
public:
    // Fills the fields with the dialog's defaults.
    recording_front_end();

    void set_item_text(int id, const std::string& text) override;
    void set_progress(int percent) override;
    void enable_item(int id) override;
    void message_box(const std::string& text, const std::string& caption, box_icon icon, box_owner owner) override;
    std::string read_item_text(int id, int max) override;
    bool read_item_int(int id, int& value) override;
    void show_warning(const std::string& text) override;
    void show_note(const std::string& text) override;
    // Recorded as op "rate", id the shapes done, text "done/total".
    void show_rate(int64_t done, int64_t total, double seconds) override;

    // Puts `text` into field `id`.
    void set_field(int id, const std::string& text);
    // Every call so far (a copy).
    std::vector<status_call> calls() const;
    // The last text set on control `id` ("" when none).
    std::string text_of(int id) const;
    // Whether control `id` has been enabled.
    bool enabled(int id) const;
    // The progress positions in the order they were set.
    std::vector<int> progress() const;
    // The message boxes shown so far.
    std::vector<status_call> boxes() const;
    // The texts of the calls of one op, in order.
    std::vector<std::string> texts_of(const std::string& op) const;
    // Forgets the recorded calls (fields and enabled set stay).
    void clear_calls();

    // Called with each text set on the status line, on the thread that set
    // it, after it is recorded (a test's way to act at a point of a sweep).
    std::function<void(const std::string& text)> on_status_text;

private:
    mutable std::mutex lock_;
    std::map<int, std::string> fields_;
    std::map<int, std::string> texts_;
    std::set<int> enabled_;
    std::vector<status_call> calls_;
};
