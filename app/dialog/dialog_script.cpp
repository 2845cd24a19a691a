#include "app/dialog/dialog_script.hpp"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPixmap>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <vector>

#include "app/dialog/main_dialog.hpp"
#include "app/dialog/results_window.hpp"

namespace {

std::string trimmed(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\n");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\n") - first + 1);
}

[[noreturn]] void script_error(const std::string& step, const char* why)
{
    std::fprintf(stderr, "morvane: script step \"%s\": %s\n", step.c_str(), why);
    std::fflush(nullptr);
    std::_Exit(2);
}

struct script_runner : std::enable_shared_from_this<script_runner> {
    main_dialog* dialog = nullptr;
    app_state* app = nullptr;
    std::vector<std::string> steps;
    std::size_t next = 0;

    void schedule(int delay_ms)
    {
        QTimer::singleShot(delay_ms, dialog, [self = shared_from_this()] { self->run_step(); });
    }

    // The control of a step's id argument, which must be of type T.
    template <class T>
    T* control_of(std::istringstream& in, const std::string& step)
    {
        int id = 0;
        if (!(in >> id)) script_error(step, "missing control id");
        auto* widget = qobject_cast<T*>(dialog->control(id));
        if (!widget) script_error(step, "no such control");
        return widget;
    }

    void run_step()
    {
        if (next >= steps.size()) return;
        const std::string step = steps[next];
        std::istringstream in(step);
        std::string verb;
        in >> verb;
        int delay_ms = 0;
        if (verb == "set") {
            auto* edit = control_of<QLineEdit>(in, step);
            std::string text;
            std::getline(in, text);
            edit->setText(QString::fromStdString(trimmed(text)));
        } else if (verb == "choose") {
            auto* box = control_of<QComboBox>(in, step);
            std::string text;
            std::getline(in, text);
            const int index = box->findText(QString::fromStdString(trimmed(text)));
            if (index < 0) script_error(step, "no such choice");
            box->setCurrentIndex(index);
        } else if (verb == "click") {
            auto* button = control_of<QAbstractButton>(in, step);
            if (!button->isEnabled()) std::fprintf(stderr, "morvane: script step \"%s\": greyed\n", step.c_str());
            button->click();
        } else if (verb == "wait") {
            // The refinement after a chi2 sweep begins when the dialog notices the sweep's end.
            dialog->check_sweep_end();
            dialog->check_search_end();
            if (app->sweep_running.load() || dialog->searching() || dialog->refining())
                return schedule(20);  // the same step again
        } else if (verb == "sleep") {
            if (!(in >> delay_ms) || delay_ms < 0) script_error(step, "missing milliseconds");
        } else if (verb == "grab") {
            std::string file;
            std::getline(in, file);
            if (!dialog->grab().save(QString::fromStdString(trimmed(file)), "PNG"))
                script_error(step, "cannot save the picture");
        } else if (verb == "results") {
            std::string file;
            std::getline(in, file);
            dialog->check_sweep_end();
            results_window* panel = dialog->results();
            if (!panel || !panel->isVisible()) script_error(step, "no results window is open");
            // The charts lay themselves out through posted events.
            QApplication::processEvents();
            if (!panel->grab().save(QString::fromStdString(trimmed(file)), "PNG"))
                script_error(step, "cannot save the picture");
        } else if (verb == "running") {
            if (!app->sweep_running.load()) {
                std::fprintf(stderr, "morvane: script step \"running\": no sweep runs\n");
                std::fflush(nullptr);
                std::_Exit(3);
            }
        } else if (verb == "close") {
            dialog->close();
        } else {
            script_error(step, "unknown step");
        }
        ++next;
        schedule(delay_ms);
    }
};

}  // namespace

void start_dialog_script(main_dialog& dialog, app_state& app, const std::string& script)
{
    auto runner = std::make_shared<script_runner>();
    runner->dialog = &dialog;
    runner->app = &app;
    std::istringstream in(script);
    for (std::string step; std::getline(in, step, ';');)
        if (!trimmed(step).empty()) runner->steps.push_back(trimmed(step));
    runner->schedule(0);
}
