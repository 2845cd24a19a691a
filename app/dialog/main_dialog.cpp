#include "app/dialog/main_dialog.hpp"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <utility>

#include "app/dialog/refine_text.hpp"
#include "app/dialog/results_window.hpp"
#include "common/control_ids.hpp"
#include "runs/spin_file.hpp"
#include "runs/spin_results.hpp"
#include "sweep/run_sweep.hpp"
#include "workflow/controller.hpp"
#include "workflow/fields.hpp"

namespace {

enum class kind { button, label, right_label, edit, group, progress, choice };

// One control of the window; positions and sizes in dialog units.
struct control_layout {
    int id;  // 0 for the frames and the "Path" caption, which nobody addresses
    kind what;
    const char* text;
    int x, y, w, h;
};

// In creation order, which is also the tab order of the focusable controls.
const control_layout window_controls[] = {
    {0, kind::group, "Load Lightcurve", 6, 24, 356, 55},
    {0, kind::group, "Static", 6, 83, 356, 48},
    {0, kind::group, "Fit", 6, 133, 356, 42},
    {ctl::generate_geosphere, kind::button, "Generate Geosphere", 6, 6, 84, 14},
    {ctl::subdivisions_label, kind::right_label, "Subdivisions", 102, 6, 106, 8},
    {ctl::subdivisions, kind::edit, "", 219, 6, 40, 14},
    {0, kind::right_label, "Path", 114, 32, 18, 8},
    {ctl::path, kind::edit, "", 138, 31, 212, 14},
    {ctl::load_lightcurve, kind::button, "GO!", 18, 47, 84, 14},
    {ctl::lambda_label, kind::label, "\u03bb", 126, 49, 8, 8},
    {ctl::lambda, kind::edit, "", 138, 46, 40, 14},
    {ctl::period_label, kind::label, "P sid", 192, 48, 16, 8},
    {ctl::period, kind::edit, "", 219, 46, 40, 14},
    {ctl::epoch_label, kind::label, "t 0", 279, 49, 9, 8},
    {ctl::epoch, kind::edit, "", 298, 47, 48, 14},
    {ctl::beta_label, kind::label, "\u03b2", 126, 65, 8, 8},
    {ctl::beta, kind::edit, "", 138, 62, 40, 14},
    {ctl::phi0_label, kind::label, "\u03a6", 200, 66, 8, 8},
    {ctl::phi0, kind::edit, "", 219, 62, 40, 14},
    {dialog_ctl::spin_file, kind::button, "Spin file...", 18, 62, 84, 14},
    {ctl::generate_shapes, kind::button, "Generate Shapes", 18, 102, 84, 14},
    {ctl::step_size_label, kind::right_label, "Step Size", 138, 96, 70, 8},
    {ctl::step_size, kind::edit, "", 219, 92, 40, 14},
    {ctl::threads_label, kind::right_label, "Threads", 138, 113, 70, 8},
    {ctl::threads, kind::edit, "", 219, 110, 40, 14},
    {ctl::blocks_label, kind::right_label, "Blocks (e.g. 0,3,7-12; empty: whole file)", 18, 146, 190, 8},
    {ctl::blocks, kind::edit, "", 219, 143, 131, 14},
    {dialog_ctl::sigma_label, kind::right_label, "Sigma", 18, 161, 26, 8},
    {dialog_ctl::sigma, kind::edit, "", 48, 158, 40, 14},
    {dialog_ctl::pole_label, kind::right_label, "Pole K", 110, 161, 32, 8},
    {dialog_ctl::pole, kind::edit, "", 146, 158, 30, 14},
    {ctl::fit_label, kind::right_label, "Fit", 186, 161, 22, 8},
    {ctl::fit, kind::choice, "range|offset|chi2", 219, 158, 60, 14},
    {dialog_ctl::refine_label, kind::right_label, "Refine", 283, 161, 24, 8},
    {dialog_ctl::refine, kind::edit, "", 310, 158, 40, 14},
    {ctl::cancel, kind::button, "Cancel", 6, 177, 50, 14},
    {ctl::status_line, kind::label, "", 6, 196, 356, 8},
    {ctl::progress, kind::progress, "", 0, 211, 367, 14},
};

// What a field holds and in which unit: its tool tip, and a short unit
// label right of it where the layout has room (null: the tip alone).
struct field_unit {
    int field;
    const char* label;
    int x, y, w;
    const char* tip;
};

const field_unit field_units[] = {
    {ctl::subdivisions, nullptr, 0, 0, 0, "Subdivision passes of the geosphere: a count (0 to 10)"},
    {ctl::path, nullptr, 0, 0, 0, "The observation file: lightcurve blocks with their geometry"},
    {ctl::lambda, "\u00b0", 180, 49, 8, "\u03bb: ecliptic longitude of the spin axis, degrees"},
    {ctl::beta, "\u00b0", 180, 65, 8, "\u03b2: ecliptic latitude of the spin axis, degrees"},
    {ctl::period, "h", 261, 49, 8, "P sid: the sidereal rotation period, hours"},
    {ctl::epoch, "JD", 348, 49, 12, "t 0: the epoch of the rotation phase, a Julian date (days)"},
    {ctl::phi0, "\u00b0", 261, 65, 8, "\u03a6: the rotation phase at the epoch t 0, degrees"},
    {ctl::step_size, nullptr, 0, 0, 0, "The step of the shape grid in the scales and the shift: dimensionless"},
    {ctl::threads, nullptr, 0, 0, 0, "Worker threads of the sweep: a count (1 to 50)"},
    {ctl::blocks, nullptr, 0, 0, 0, "The lightcurve blocks to fit, by number (e.g. 0,3,7-12); empty: the whole file"},
    {dialog_ctl::sigma, "mag", 90, 161, 16,
     "chi2 fit: the sigma of every point, mag (as --sigma); blank: estimated per block"},
    {dialog_ctl::refine, nullptr, 0, 0, 0, "chi2 fit: starts of the refinement after the sweep: a count (0: none)"},
    {dialog_ctl::pole, nullptr, 0, 0, 0,
     "chi2 fit: search the spin before the sweep at the poles of HEALPix resolution K, a count (1, 2, 4 or 8: "
     "12 K\u00b2 poles), as --pole-nside; blank or 0: none"},
};

// The "..." button right of the path field, inside the frame around it.
constexpr control_layout browse_layout = {dialog_ctl::browse_path, kind::button, "...", 351, 31, 9, 14};

// How often the dialog looks whether its sweep or its refinement has ended,
// in milliseconds.
constexpr int sweep_watch_ms = 100;

// The buttons greyed while a refinement runs: those that start work.
constexpr int work_buttons[] = {ctl::generate_geosphere, ctl::load_lightcurve, ctl::generate_shapes};

// The fields that mean something for the chi2 fit only.
constexpr int chi2_fields[] = {dialog_ctl::refine, dialog_ctl::sigma, dialog_ctl::pole};

// The pole field's resolutions (0: no search).
constexpr int pole_resolutions[] = {0, 1, 2, 4, 8};

constexpr int dialog_width = 368;
constexpr int dialog_height = 225;

// Greyed until the controller unlocks them.
constexpr int locked_at_start[] = {ctl::load_lightcurve, ctl::generate_shapes};

// a * b / c rounded to nearest, halves away from zero.
int mul_div(int a, int b, int c)
{
    long long product = static_cast<long long>(a) * b;
    long long half = c / 2;
    return static_cast<int>(product >= 0 ? (product + half) / c : (product - half) / c);
}

// Dialog units to pixels for the dialog's font.
struct unit_map {
    int char_width;
    int char_height;
    int x(int units) const { return mul_div(units, char_width, 4); }
    int y(int units) const { return mul_div(units, char_height, 8); }
    QRect rect(int left, int top, int width, int height) const
    {
        return QRect(QPoint(x(left), y(top)), QPoint(x(left + width) - 1, y(top + height) - 1));
    }
};

}  // namespace

QString path_for_field(const QString& chosen, const QString& working_folder)
{
    const QString absolute = QFileInfo(chosen).absoluteFilePath();
    const QString relative = QDir(working_folder).relativeFilePath(absolute);
    const bool outside = relative == ".." || relative.startsWith("../") || QFileInfo(relative).isAbsolute();
    return outside ? absolute : relative;
}

std::string load_summary(const obs_set& set)
{
    const std::size_t points = set.times.size();
    const std::size_t blocks = block_runs(set, points).size();
    const auto [first, last] = std::minmax_element(set.times.begin(), set.times.end());
    const double span = points == 0 ? 0.0 : *last - *first;
    char text[160];
    std::snprintf(text, sizeof text, "loaded %zu block%s, %zu point%s over %.1f days", blocks, blocks == 1 ? "" : "s",
                  points, points == 1 ? "" : "s", span);
    return text;
}

int symbol_font_height(int dots_per_inch)
{
    return -mul_div(10, dots_per_inch, 72);
}

main_dialog::main_dialog(app_state& app, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      app_(app), search_(app), refinement_(app)
{
    setWindowTitle("Morvane");
    QFont dialog_font = font();
    dialog_font.setFamilies({"MS Sans Serif", dialog_font.family()});
    dialog_font.setPointSize(8);
    setFont(dialog_font);
    build_controls();

    // The Greek labels' font: 10 point at the screen's vertical resolution.
    greek_font_ = dialog_font;
    greek_font_.setPixelSize(-symbol_font_height(logicalDpiY()));
    greek_font_.setWeight(QFont::Normal);
    greek_font_.setItalic(false);
    greek_font_.setUnderline(false);
    greek_font_.setStrikeOut(false);

    // The refine count means something for the chi2 fit only.
    auto* fit = static_cast<QComboBox*>(control(ctl::fit));
    connect(fit, &QComboBox::currentTextChanged, this, [this](const QString& mode) {
        for (int id : chi2_fields) control(id)->setEnabled(mode == "chi2");
    });
    for (const auto& [id, text] : default_field_texts()) set_item_text(id, text);
    set_item_text(dialog_ctl::refine, "0");
    for (int id : chi2_fields) control(id)->setEnabled(fit->currentText() == "chi2");
    on_init(app_, this);
    for (int id : {ctl::lambda_label, ctl::beta_label, ctl::phi0_label}) {
        auto* label = static_cast<QLabel*>(control(id));
        label->setFont(greek_font_);
        fit_label(label);
    }
    auto* bar = static_cast<QProgressBar*>(control(ctl::progress));
    bar->setRange(0, 100);
    bar->setValue(0);
}

void main_dialog::build_controls()
{
    const QFontMetrics metrics(font());
    const unit_map units{metrics.averageCharWidth(), metrics.height()};
    setFixedSize(units.x(dialog_width), units.y(dialog_height));
    sweep_watch_ = new QTimer(this);
    sweep_watch_->setInterval(sweep_watch_ms);
    connect(sweep_watch_, &QTimer::timeout, this, &main_dialog::check_sweep_end);
    search_watch_ = new QTimer(this);
    search_watch_->setInterval(sweep_watch_ms);
    connect(search_watch_, &QTimer::timeout, this, &main_dialog::check_search_end);
    refine_watch_ = new QTimer(this);
    refine_watch_->setInterval(sweep_watch_ms);
    connect(refine_watch_, &QTimer::timeout, this, &main_dialog::check_refinement_end);

    for (const control_layout& item : window_controls) {
        const QString text = QString::fromUtf8(item.text);
        QWidget* widget = nullptr;
        switch (item.what) {
        case kind::button: {
            auto* button = new QPushButton(text, this);
            button->setAutoDefault(false);
            const int id = item.id;
            connect(button, &QPushButton::clicked, this, [this, id] { run_command(id); });
            widget = button;
            break;
        }
        case kind::label:
        case kind::right_label: {
            auto* label = new QLabel(text, this);
            label->setAlignment((item.what == kind::right_label ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignTop);
            widget = label;
            break;
        }
        case kind::edit: widget = new QLineEdit(this); break;
        case kind::group: {
            // The frame line runs through the middle of the title.
            auto* group = new QGroupBox(text, this);
            group->setStyleSheet(QString("QGroupBox { border: 1px solid palette(mid); margin-top: %1px; }"
                                         "QGroupBox::title { subcontrol-origin: margin; left: %2px; padding: 0 2px; }")
                                     .arg(metrics.height() / 2)
                                     .arg(units.x(4)));
            widget = group;
            break;
        }
        case kind::choice: {
            auto* box = new QComboBox(this);
            box->addItems(text.split('|'));
            widget = box;
            break;
        }
        case kind::progress: {
            auto* bar = new QProgressBar(this);
            bar->setTextVisible(false);
            widget = bar;
            break;
        }
        }
        widget->setGeometry(units.rect(item.x, item.y, item.w, item.h));
        if (auto* label = qobject_cast<QLabel*>(widget)) {
            label_rects_[label] = widget->geometry();
            fit_label(label);
        }
        if (item.id != 0) {
            widget->setProperty("controlId", item.id);
            widget->setObjectName(QString("control_%1").arg(item.id));
            controls_[item.id] = widget;
        }
    }
    add_browse_button(units.char_width, units.char_height);
    add_unit_labels(units.char_width, units.char_height);
    // The frames stay behind the controls they surround.
    for (QGroupBox* group : findChildren<QGroupBox*>()) group->lower();
    for (int id : locked_at_start) control(id)->setEnabled(false);
}

void main_dialog::add_browse_button(int char_width, int char_height)
{
    const unit_map units{char_width, char_height};
    const control_layout& item = browse_layout;
    auto* button = new QToolButton(this);
    button->setText(item.text);
    button->setToolTip("Choose the observation file");
    button->setGeometry(units.rect(item.x, item.y, item.w, item.h));
    button->setProperty("controlId", item.id);
    button->setObjectName(QString("control_%1").arg(item.id));
    controls_[item.id] = button;
    connect(button, &QToolButton::clicked, this, &main_dialog::browse_for_path);
    // In tab order right after the field it fills.
    setTabOrder(control(ctl::path), button);
}

void main_dialog::add_unit_labels(int char_width, int char_height)
{
    const unit_map units{char_width, char_height};
    for (const field_unit& unit : field_units) {
        const QString tip = QString::fromUtf8(unit.tip);
        control(unit.field)->setToolTip(tip);
        if (!unit.label) continue;
        auto* label = new QLabel(QString::fromUtf8(unit.label), this);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        label->setToolTip(tip);
        label->setObjectName(QString("unit_%1").arg(unit.field));
        label->setGeometry(units.rect(unit.x, unit.y, unit.w, 8));
        label_rects_[label] = label->geometry();
        fit_label(label);
    }
}

void main_dialog::browse_for_path()
{
    auto* field = static_cast<QLineEdit*>(control(ctl::path));
    const QFileInfo current(field->text());
    const QString start = current.exists() ? current.absoluteFilePath() : QDir::currentPath();
    const QString chosen =
        QFileDialog::getOpenFileName(this, "Observation file", start, "Lightcurves (*.zel *.txt *.dat);;All files (*)");
    if (!chosen.isEmpty()) field->setText(path_for_field(chosen, QDir::currentPath()));
}

void main_dialog::fit_label(QLabel* label)
{
    QRect rect = label_rects_.at(label);
    const QFontMetrics metrics(label->font());
    const int width = metrics.horizontalAdvance(label->text()) + 1;
    if (width > rect.width()) {
        if (label->alignment() & Qt::AlignRight)
            rect.setLeft(std::max(0, rect.right() + 1 - width));
        else
            rect.setRight(std::min(this->width() - 1, rect.left() + width - 1));
    }
    rect.setHeight(std::max(rect.height(), metrics.height()));
    label->setGeometry(rect);
}

QWidget* main_dialog::control(int id) const
{
    auto found = controls_.find(id);
    return found == controls_.end() ? nullptr : found->second;
}

void main_dialog::run_command(int id)
{
    if (id == dialog_ctl::spin_file) return browse_for_spin_file();
    if (id == ctl::load_lightcurve) {
        load_with_sigma();
        return;
    }
    int starts = 0;
    if (id == ctl::generate_shapes && !read_refine_field(starts)) return;
    int nside = 0;
    if (id == ctl::generate_shapes && !read_pole_field(nside)) return;
    if (id == ctl::generate_shapes && nside > 0) return start_pole_search(nside);
    if (is_close_command(id)) {
        stop_search();
        stop_refinement();
    }
    const command_outcome outcome = on_command(app_, id);
    if (id == ctl::generate_shapes) start_watching_sweep(outcome, starts, nullptr);
    if (is_close_command(id)) done(id);
}

void main_dialog::start_watching_sweep(const command_outcome& outcome, int starts,
                                       std::shared_ptr<const spin_end> search)
{
    if (!outcome.done) return;
    // The folder's run is being replaced: its old results go away.
    if (results_) results_->hide();
    control(ctl::status_line)->setToolTip("");
    pending_ = {starts, app_.reference, app_.base, app_.step, std::move(search)};
    sweep_watch_->start();
}

bool main_dialog::read_pole_field(int& nside)
{
    nside = 0;
    if (read_item_text(ctl::fit, 64) != "chi2") return true;
    const std::string text = read_item_text(dialog_ctl::pole, 64);
    if (text.find_first_not_of(" \t") == std::string::npos) return true;
    if (read_item_int(dialog_ctl::pole, nside) &&
        std::find(std::begin(pole_resolutions), std::end(pole_resolutions), nside) != std::end(pole_resolutions))
        return true;
    nside = 0;
    show_error("Pole K must be 1, 2, 4 or 8 (the pole search's HEALPix resolution: 12 K\u00b2 poles), or blank or 0 "
               "(no search)");
    return false;
}

void main_dialog::start_pole_search(int nside)
{
    if (app_.sweep_running.load() || refinement_.running()) {
        show_error("the pole search waits for the running sweep or refinement: Cancel it first");
        return;
    }
    if (!app_.reference || !observed_points(*app_.reference) || !app_.base) {
        show_error("the pole search needs the observed points: choose the chi2 fit and press GO! first");
        return;
    }
    int threads = 0;
    std::string why;
    if (!read_item_int(ctl::threads, threads) || !check_thread_count(threads, why)) {
        show_error(why.empty() ? "Threads must be a whole number from 1 to 50" : why);
        return;
    }
    app_.thread_count = threads;
    app_.cancel.store(0);  // a Cancel pressed before must not stop the search
    spin_search_settings settings = dialog_search_settings(nside, app_.subdivisions);
    settings.levels = pole_levels_;
    if (!search_.start(settings, why)) {
        show_error("pole search failed: " + why);
        return;
    }
    hold_work_buttons(true);
    if (results_) results_->hide();
    set_item_text(ctl::status_line, "searching the spin at " + std::to_string(12 * nside * nside) + " poles...");
    control(ctl::status_line)->setToolTip("");
    static_cast<QProgressBar*>(control(ctl::progress))->setRange(0, 0);  // busy: the later levels' counts are unknown
    search_watch_->start();
}

void main_dialog::check_search_end()
{
    if (!search_.running()) return;
    if (!search_.finished()) {
        const int fitted = search_.fitted();
        set_item_text(ctl::status_line, "searching the spin: " + std::to_string(fitted) +
                                            (fitted == 1 ? " spin" : " spins") + " fitted...");
        return;
    }
    search_watch_->stop();
    auto end = std::make_shared<spin_end>(search_.collect());
    static_cast<QProgressBar*>(control(ctl::progress))->setRange(0, 100);
    set_progress(0);
    hold_work_buttons(false);
    if (end->cancelled) {
        set_item_text(ctl::status_line, "pole search cancelled");
        return;
    }
    if (!end->done) {
        show_error("pole search failed: " + end->why);
        return;
    }
    // The sweep at the best spin, as the command line's: the spin fields
    // take it, and the points are loaded again at it.
    std::string words[5];
    best_spin_words(end->result, app_.spin.t0, words);
    for (const auto& [id, word] : {std::pair{ctl::lambda, words[0]}, std::pair{ctl::beta, words[1]},
                                   std::pair{ctl::period, words[2]}, std::pair{ctl::phi0, words[4]}})
        show_spin_word(id, word);
    if (!load_with_sigma()) return;
    int starts = 0;
    if (!read_refine_field(starts)) return;
    start_watching_sweep(on_command(app_, ctl::generate_shapes), starts, std::move(end));
}

void main_dialog::stop_search()
{
    if (!search_.running()) return;
    search_.stop();
    search_watch_->stop();
    search_.collect();
    static_cast<QProgressBar*>(control(ctl::progress))->setRange(0, 100);
    hold_work_buttons(false);
}

void main_dialog::browse_for_spin_file()
{
    const QString chosen =
        QFileDialog::getOpenFileName(this, "Spin file", QDir::currentPath(), "Spin files (*.txt);;All files (*)");
    if (!chosen.isEmpty()) fill_spin_fields(chosen.toStdString());
}

void main_dialog::show_spin_word(int id, const std::string& word)
{
    set_item_text(id, word);
    static_cast<QLineEdit*>(control(id))->setCursorPosition(0);
}

bool main_dialog::fill_spin_fields(const std::string& path)
{
    std::string words[5];
    std::string why;
    if (!read_spin_words(path, words, why)) {
        show_error(why);
        return false;
    }
    // The file's order: lambda beta P, then JD0 phi0.
    const int fields[5] = {ctl::lambda, ctl::beta, ctl::period, ctl::epoch, ctl::phi0};
    for (int i = 0; i < 5; ++i) show_spin_word(fields[i], words[i]);
    set_item_text(ctl::status_line, "spin read from " + path);
    control(ctl::status_line)->setToolTip("");
    return true;
}

bool main_dialog::read_sigma_field(double& sigma)
{
    sigma = 0.0;
    if (read_item_text(ctl::fit, 64) != "chi2") return true;
    const std::string text = read_item_text(dialog_ctl::sigma, 80);
    if (text.find_first_not_of(" \t") == std::string::npos) return true;
    if (parse_decimal(text, sigma) && std::isfinite(sigma) && sigma > 0.0) return true;
    show_error("Sigma must be a number of magnitudes greater than 0, or blank (estimated per block)");
    return false;
}

bool main_dialog::load_with_sigma()
{
    double sigma = 0.0;
    if (!read_sigma_field(sigma)) return false;
    // The load applies the sigma to the points it keeps; a refused load
    // keeps the previous load's points and so its sigma.
    const double previous = std::exchange(app_.sigma, sigma);
    warnings_.clear();
    const command_outcome outcome = on_command(app_, ctl::load_lightcurve);
    if (!outcome.done) {
        app_.sigma = previous;
        return false;
    }
    std::string line = load_summary(app_.observations);
    if (!warnings_.empty()) line += "; " + warnings_.back();
    QStringList tip;
    for (const std::string& warning : warnings_) tip << QString::fromStdString(warning);
    set_item_text(ctl::status_line, line);
    control(ctl::status_line)->setToolTip(tip.join('\n'));
    return true;
}

void main_dialog::show_warning(const std::string& text)
{
    // A sweep's worker may warn too: the list is kept on the dialog's thread.
    on_dialog_thread([&] { warnings_.push_back(text); });
    status_ops::show_warning(text);
}

bool main_dialog::read_refine_field(int& starts)
{
    starts = 0;
    if (read_item_text(ctl::fit, 64) != "chi2") return true;
    if (read_item_int(dialog_ctl::refine, starts) && starts >= 0 && starts <= max_refine_starts) return true;
    show_error("Refine must be a whole number from 0 to " + std::to_string(max_refine_starts) +
               " (the starts of the refinement after the sweep; 0: none)");
    return false;
}

void main_dialog::check_sweep_end()
{
    if (!sweep_watch_->isActive() || app_.sweep_running.load()) return;
    sweep_watch_->stop();
    const pending_refinement pending = std::exchange(pending_, {});
    // Only a complete sweep opens its results; the status line says how any
    // other ended.
    if (app_.last_sweep_result.load() != 1) return;
    std::string why;
    if (pending.search &&
        !record_spin_search(pending.search->settings, pending.search->periods, pending.search->result, why)) {
        show_error(why);
        return;
    }
    open_results(QDir::currentPath().toStdString(), why);
    if (pending.starts == 0) return;
    // A load, a geosphere or a step typed while the sweep ran has replaced
    // what the refinement would read.
    if (pending.reference != app_.reference || pending.base != app_.base || pending.step != app_.step) {
        show_error("refinement failed: the lightcurve, the geosphere or the step changed during the sweep");
        return;
    }
    start_refinement(pending.starts, pending.search.get());
}

void main_dialog::start_refinement(int starts, const spin_end* search)
{
    refine_settings settings;
    settings.starts = starts;
    settings.budget = refine_budget_;
    if (search) {
        // After a pole search the spin is refined too, and the last level's
        // spins count as models of known chi2 when fitted at the run's model.
        settings.spin = true;
        const spin_level_result& last = search->result.levels.back();
        if (last.subdivisions == app_.subdivisions)
            for (const spin_fit& s : last.spins)
                if (std::isfinite(s.chi2)) settings.known.push_back({0, s.x, s.chi2});
    }
    std::string why;
    if (!refinement_.start(settings, why)) {
        show_error("refinement failed: " + why);
        return;
    }
    hold_work_buttons(true);
    set_item_text(ctl::status_line, "refining the sweep's best fit from " + std::to_string(starts) +
                                        (starts == 1 ? " start..." : " starts..."));
    control(ctl::status_line)->setToolTip("");
    static_cast<QProgressBar*>(control(ctl::progress))->setRange(0, 0);  // busy: a refinement has no count
    refine_watch_->start();
}

void main_dialog::check_refinement_end()
{
    if (!refinement_.running() || !refinement_.finished()) return;
    refine_watch_->stop();
    const refine_end end = refinement_.collect();
    static_cast<QProgressBar*>(control(ctl::progress))->setRange(0, 100);
    set_progress(0);
    hold_work_buttons(false);
    if (end.cancelled) {
        set_item_text(ctl::status_line, "refinement cancelled; the sweep's files are complete");
        return;
    }
    if (!end.done) {
        show_error("refinement failed: " + end.why);
        return;
    }
    QStringList lines;
    for (const std::string& line : refinement_lines(end.result, false)) lines << QString::fromStdString(line);
    set_item_text(ctl::status_line, refinement_summary(end.result));
    control(ctl::status_line)->setToolTip(lines.join('\n'));
    // The results window shows the refined run when it is open.
    std::string why;
    if (results_ && results_->isVisible()) open_results(QDir::currentPath().toStdString(), why);
}

void main_dialog::hold_work_buttons(bool hold)
{
    for (int id : work_buttons) {
        QWidget* button = control(id);
        if (hold) {
            held_buttons_[id] = button->isEnabled();
            button->setEnabled(false);
        } else if (auto held = held_buttons_.find(id); held != held_buttons_.end()) {
            button->setEnabled(held->second);
        }
    }
    if (!hold) held_buttons_.clear();
}

void main_dialog::stop_refinement()
{
    if (!refinement_.running()) return;
    refinement_.stop();
    check_refinement_end();
}

bool main_dialog::open_results(const std::string& folder, std::string& why)
{
    if (!results_) results_ = new results_window(this);
    if (!results_->load(folder, why)) {
        results_->hide();
        return false;
    }
    results_->show();
    results_->raise();
    results_->activateWindow();
    return true;
}

void main_dialog::reject()
{
    run_command(ctl::close);
}

void main_dialog::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        // Enter presses the focused button, otherwise it means OK.
        auto* button = qobject_cast<QPushButton*>(focusWidget());
        if (button && button->isEnabled())
            button->click();
        else
            run_command(ctl::ok);
        return;
    }
    QDialog::keyPressEvent(event);  // Escape arrives at reject()
}

void main_dialog::on_dialog_thread(const std::function<void()>& work)
{
    if (QThread::currentThread() == thread())
        work();
    else
        QMetaObject::invokeMethod(
            this, [&work] { work(); }, Qt::BlockingQueuedConnection);
}

void main_dialog::set_item_text(int id, const std::string& text)
{
    on_dialog_thread([&] {
        const QString value = QString::fromStdString(text);
        QWidget* widget = control(id);
        if (auto* label = qobject_cast<QLabel*>(widget)) {
            label->setText(value);
            fit_label(label);
        } else if (auto* edit = qobject_cast<QLineEdit*>(widget))
            edit->setText(value);
        else if (auto* button = qobject_cast<QPushButton*>(widget))
            button->setText(value);
        else if (auto* box = qobject_cast<QComboBox*>(widget))
            box->setCurrentText(value);
    });
}

void main_dialog::set_progress(int percent)
{
    on_dialog_thread([&] {
        if (auto* bar = qobject_cast<QProgressBar*>(control(ctl::progress))) {
            bar->setValue(percent);
            if (percent <= 0) bar->setTextVisible(false);  // a sweep's end clears its rate
        }
    });
}

void main_dialog::show_rate(int64_t done, int64_t total, double seconds)
{
    const double rate = seconds > 0.0 ? static_cast<double>(done) / seconds : 0.0;
    const double left = rate > 0.0 ? static_cast<double>(total - done) / rate : 0.0;
    const QString text = left >= 5400.0 ? QString("%1 h").arg(left / 3600.0, 0, 'f', 1)
                         : left >= 90.0 ? QString("%1 min").arg(left / 60.0, 0, 'f', 0)
                                        : QString("%1 s").arg(left, 0, 'f', 0);
    const QString format =
        QString("%1 / %2 shapes, %3 shapes/s, about %4 left").arg(done).arg(total).arg(rate, 0, 'f', 1).arg(text);
    on_dialog_thread([&] {
        if (auto* bar = qobject_cast<QProgressBar*>(control(ctl::progress))) {
            bar->setFormat(format);
            bar->setTextVisible(true);
        }
    });
}

void main_dialog::enable_item(int id)
{
    on_dialog_thread([&] {
        if (QWidget* widget = control(id)) widget->setEnabled(true);
    });
}

void main_dialog::message_box(const std::string& text, const std::string& caption, box_icon icon, box_owner owner)
{
    on_dialog_thread([&] {
        QMessageBox::Icon shown = QMessageBox::NoIcon;
        if (icon == box_icon::error) shown = QMessageBox::Critical;
        if (icon == box_icon::information) shown = QMessageBox::Information;
        QMessageBox box(shown, QString::fromStdString(caption), QString::fromStdString(text), QMessageBox::Ok,
                        owner == box_owner::dialog ? this : nullptr);
        box.setWindowModality(owner == box_owner::dialog ? Qt::WindowModal : Qt::ApplicationModal);
        box.exec();
    });
}

std::string main_dialog::read_item_text(int id, int max)
{
    std::string result;
    on_dialog_thread([&] {
        QString text;
        QWidget* widget = control(id);
        if (auto* edit = qobject_cast<QLineEdit*>(widget))
            text = edit->text();
        else if (auto* label = qobject_cast<QLabel*>(widget))
            text = label->text();
        else if (auto* button = qobject_cast<QPushButton*>(widget))
            text = button->text();
        else if (auto* box = qobject_cast<QComboBox*>(widget))
            text = box->currentText();
        // At most max - 1 characters, never half of a surrogate pair.
        qsizetype keep = std::max(0, max - 1);
        if (keep < text.size()) {
            if (keep > 0 && text[keep - 1].isHighSurrogate()) --keep;
            text.truncate(keep);
        }
        result = text.toStdString();
    });
    return result;
}

bool main_dialog::read_item_int(int id, int& value)
{
    return parse_whole_number(read_item_text(id, 1 << 16), value);
}
