#include "support/recording_front_end.hpp"

#include "common/control_ids.hpp"
#include "workflow/fields.hpp"

recording_front_end::recording_front_end()
{
    for (const auto& [id, text] : default_field_texts()) fields_[id] = text;
}

void recording_front_end::set_item_text(int id, const std::string& text)
{
    {
        std::lock_guard guard(lock_);
        texts_[id] = text;
        calls_.push_back({"text", id, text, "", box_icon::none, box_owner::dialog});
    }
    if (id == ctl::status_line && on_status_text) on_status_text(text);
}

void recording_front_end::set_progress(int percent)
{
    std::lock_guard guard(lock_);
    calls_.push_back({"progress", percent, "", "", box_icon::none, box_owner::dialog});
}

void recording_front_end::enable_item(int id)
{
    std::lock_guard guard(lock_);
    enabled_.insert(id);
    calls_.push_back({"enable", id, "", "", box_icon::none, box_owner::dialog});
}

void recording_front_end::message_box(const std::string& text, const std::string& caption, box_icon icon,
                                      box_owner owner)
{
    std::lock_guard guard(lock_);
    calls_.push_back({"box", 0, text, caption, icon, owner});
}

std::string recording_front_end::read_item_text(int id, int max)
{
    std::lock_guard guard(lock_);
    return clipped_field(fields_[id], max);
}

bool recording_front_end::read_item_int(int id, int& value)
{
    std::string text;
    {
        std::lock_guard guard(lock_);
        text = fields_[id];
    }
    return parse_whole_number(text, value);
}

void recording_front_end::set_field(int id, const std::string& text)
{
    std::lock_guard guard(lock_);
    fields_[id] = text;
}

std::vector<status_call> recording_front_end::calls() const
{
    std::lock_guard guard(lock_);
    return calls_;
}

std::string recording_front_end::text_of(int id) const
{
    std::lock_guard guard(lock_);
    auto it = texts_.find(id);
    return it == texts_.end() ? std::string() : it->second;
}

bool recording_front_end::enabled(int id) const
{
    std::lock_guard guard(lock_);
    return enabled_.count(id) != 0;
}

std::vector<int> recording_front_end::progress() const
{
    std::lock_guard guard(lock_);
    std::vector<int> out;
    for (const auto& c : calls_)
        if (c.op == "progress") out.push_back(c.id);
    return out;
}

std::vector<status_call> recording_front_end::boxes() const
{
    std::lock_guard guard(lock_);
    std::vector<status_call> out;
    for (const auto& c : calls_)
        if (c.op == "box") out.push_back(c);
    return out;
}

void recording_front_end::clear_calls()
{
    std::lock_guard guard(lock_);
    calls_.clear();
}

void recording_front_end::show_warning(const std::string& text)
{
    std::lock_guard guard(lock_);
    calls_.push_back({"warning", 0, text, "", box_icon::none, box_owner::dialog});
}

void recording_front_end::show_note(const std::string& text)
{
    std::lock_guard guard(lock_);
    calls_.push_back({"note", 0, text, "", box_icon::none, box_owner::dialog});
}

std::vector<std::string> recording_front_end::texts_of(const std::string& op) const
{
    std::lock_guard guard(lock_);
    std::vector<std::string> texts;
    for (const status_call& call : calls_)
        if (call.op == op) texts.push_back(call.text);
    return texts;
}

void recording_front_end::show_rate(int64_t done, int64_t total, double)
{
    std::lock_guard guard(lock_);
    calls_.push_back({"rate", static_cast<int>(done), std::to_string(done) + "/" + std::to_string(total), "",
                      box_icon::none, box_owner::dialog});
}
