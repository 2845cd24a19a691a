#pragma once

#include <cstdint>
#include <string>

#include "common/control_ids.hpp"

// Icon of a message box.
enum class box_icon { none, error, information };

// Who owns a message box: the dialog window, or no window at all.
enum class box_owner { dialog, none };

// The status operations every front end implements. The sweep worker calls
// them from its own thread, so an implementation must accept that.
class status_ops {
public:
    virtual ~status_ops() = default;

    // Replace the text of control `id`.
    virtual void set_item_text(int id, const std::string& text) = 0;
    // Move the progress bar (0 to 100).
    virtual void set_progress(int percent) = 0;
    // Make control `id` usable.
    virtual void enable_item(int id) = 0;
    // A modal box; returns once the user has closed it.
    virtual void message_box(const std::string& text, const std::string& caption, box_icon icon,
                             box_owner owner = box_owner::dialog) = 0;
    // The field's text, at most max - 1 characters of it.
    virtual std::string read_item_text(int id, int max) = 0;
    // The field's value as a signed whole number; false when it holds none.
    virtual bool read_item_int(int id, int& value) = 0;

    // Why a command was refused or failed: by default on the status line.
    virtual void show_error(const std::string& text) { set_item_text(ctl::status_line, text); }
    // A warning that does not stop the work: by default on the status line.
    virtual void show_warning(const std::string& text) { set_item_text(ctl::status_line, text); }
    // An informative line (what was loaded); by default not shown.
    virtual void show_note(const std::string&) {}
    // How far a sweep is: `done` of the `total` shapes it computes, after
    // `seconds`; by default not shown (the progress bar moves anyway).
    virtual void show_rate(int64_t /*done*/, int64_t /*total*/, double /*seconds*/) {}
};

// A front end that shows nothing and holds no fields: for tools and checks
// that run the core without anyone watching.
class null_front_end : public status_ops {
public:
    void set_item_text(int, const std::string&) override {}
    void set_progress(int) override {}
    void enable_item(int) override {}
    void message_box(const std::string&, const std::string&, box_icon, box_owner) override {}
    std::string read_item_text(int, int) override { return {}; }
    bool read_item_int(int, int&) override { return false; }
};
