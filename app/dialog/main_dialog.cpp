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

#include <string>
#include <utility>

#include "app/dialog/refine_text.hpp"
#include "app/dialog/results_window.hpp"
#include "common/control_ids.hpp"
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
    {ctl::epoch, kind::edit, "", 310, 47, 40, 14},
    {ctl::beta_label, kind::label, "\u03b2", 126, 65, 8, 8},
    {ctl::beta, kind::edit, "", 138, 62, 40, 14},
    {ctl::phi0_label, kind::label, "\u03a6", 200, 66, 8, 8},
    {ctl::phi0, kind::edit, "", 219, 62, 40, 14},
    {ctl::generate_shapes, kind::button, "Generate Shapes", 18, 102, 84, 14},
    {ctl::step_size_label, kind::right_label, "Step Size", 138, 96, 70, 8},
    {ctl::step_size, kind::edit, "", 219, 92, 40, 14},
    {ctl::threads_label, kind::right_label, "Threads", 138, 113, 70, 8},
    {ctl::threads, kind::edit, "", 219, 110, 40, 14},
    {ctl::blocks_label, kind::right_label, "Blocks (e.g. 0,3,7-12; empty: whole file)", 18, 146, 190, 8},
    {ctl::blocks, kind::edit, "", 219, 143, 131, 14},
    {ctl::fit_label, kind::right_label, "Fit", 138, 161, 70, 8},
    {ctl::fit, kind::choice, "range|offset|chi2", 219, 158, 60, 14},
    {dialog_ctl::refine_label, kind::right_label, "Refine", 283, 161, 24, 8},
    {dialog_ctl::refine, kind::edit, "", 310, 158, 40, 14},
    {ctl::cancel, kind::button, "Cancel", 6, 177, 50, 14},
    {ctl::status_line, kind::label, "", 6, 196, 356, 8},
    {ctl::progress, kind::progress, "", 0, 211, 367, 14},
};

// The "..." button right of the path field, inside the frame around it.
constexpr control_layout browse_layout = {dialog_ctl::browse_path, kind::button, "...", 351, 31, 9, 14};

// How often the dialog looks whether its sweep or its refinement has ended,
// in milliseconds.
constexpr int sweep_watch_ms = 100;

// The buttons greyed while a refinement runs: those that start work.
constexpr int work_buttons[] = {ctl::generate_geosphere, ctl::load_lightcurve, ctl::generate_shapes};

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

int symbol_font_height(int dots_per_inch)
{
    return -mul_div(10, dots_per_inch, 72);
}

main_dialog::main_dialog(app_state& app, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      app_(app), refinement_(app)
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
    connect(fit, &QComboBox::currentTextChanged, this,
            [this](const QString& mode) { control(dialog_ctl::refine)->setEnabled(mode == "chi2"); });
    for (const auto& [id, text] : default_field_texts()) set_item_text(id, text);
    set_item_text(dialog_ctl::refine, "0");
    control(dialog_ctl::refine)->setEnabled(fit->currentText() == "chi2");
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
    int starts = 0;
    if (id == ctl::generate_shapes && !read_refine_field(starts)) return;
    if (is_close_command(id)) stop_refinement();
    const command_outcome outcome = on_command(app_, id);
    if (id == ctl::generate_shapes && outcome.done) {
        // The folder's run is being replaced: its old results go away.
        if (results_) results_->hide();
        control(ctl::status_line)->setToolTip("");
        pending_ = {starts, app_.reference, app_.base, app_.step};
        sweep_watch_->start();
    }
    if (is_close_command(id)) done(id);
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
    open_results(QDir::currentPath().toStdString(), why);
    if (pending.starts == 0) return;
    // A load, a geosphere or a step typed while the sweep ran has replaced
    // what the refinement would read.
    if (pending.reference != app_.reference || pending.base != app_.base || pending.step != app_.step) {
        show_error("refinement failed: the lightcurve, the geosphere or the step changed during the sweep");
        return;
    }
    start_refinement(pending.starts);
}

void main_dialog::start_refinement(int starts)
{
    refine_settings settings;
    settings.starts = starts;
    settings.budget = refine_budget_;
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
