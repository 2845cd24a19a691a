#include "app/dialog/results_window.hpp"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSortFilterProxyModel>
#include <QSplitter>
#include <QStandardItemModel>
#include <QTabWidget>
#include <QTableView>
#include <QVBoxLayout>

#include <cmath>
#include <vector>

#include "app/figures/charts.hpp"
#include "app/figures/composite_chart.hpp"
#include "app/figures/figure_set.hpp"
#include "app/figures/shape_picture.hpp"
#include "sweep/shape_export.hpp"

namespace {

// The role that holds a cell's number, by which its column sorts.
constexpr int number_role = Qt::UserRole;

// Orders the table by the cells' numbers, not their text; a missing misfit
// (NaN) sorts after every number.
class numeric_order : public QSortFilterProxyModel {
public:
    using QSortFilterProxyModel::QSortFilterProxyModel;

protected:
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override
    {
        const double a = left.data(number_role).toDouble();
        const double b = right.data(number_role).toDouble();
        if (std::isnan(a) || std::isnan(b)) return !std::isnan(a) && std::isnan(b);
        return a < b;
    }
};

// A read-only cell showing `text` and sorting by `value`.
QStandardItem* cell(const QString& text, double value)
{
    auto* item = new QStandardItem(text);
    item->setData(value, number_role);
    item->setEditable(false);
    item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return item;
}

// A misfit as the command line prints it.
QString misfit_text(double misfit)
{
    return std::isnan(misfit) ? QString("none") : QString::number(misfit, 'g', 6);
}

// The unit of model parameter `p` as the ranges show it ("" for the
// dimensionless scales and shift).
const char* parameter_unit(int p)
{
    switch (p) {
    case model_param::phi0_deg:
    case model_param::lambda_deg:
    case model_param::beta_deg: return " deg";
    case model_param::period_h: return " h";
    default: return "";
    }
}

}  // namespace

QString uncertainty_text(const refinement_files& files)
{
    QStringList lines;
    if (!files.refined.rows.empty()) {
        const refined_row& best = files.refined.rows.front();
        lines << QString("Refined best: reduced chi2 %1, rms %2 mag")
                     .arg(best.reduced_chi2, 0, 'g', 6)
                     .arg(best.rms_mag, 0, 'g', 4);
    }
    lines << QString("Uncertainty ranges (chi2 under %1):").arg(files.uncertainty.threshold, 0, 'g', 6);
    for (int p = 0; p < model_param::count; ++p) {
        const accepted_range& r = files.uncertainty.ranges[p];
        if (!r.listed) continue;
        const int digits = p == model_param::period_h ? 8 : 4;
        const QString unit = parameter_unit(p);
        lines << QString("%1 = %2%5 (%3 to %4%5)")
                     .arg(QString::fromUtf8(model_param_name(p)))
                     .arg(r.best, 0, 'f', digits)
                     .arg(r.min, 0, 'f', digits)
                     .arg(r.max, 0, 'f', digits)
                     .arg(unit);
    }
    return lines.join('\n');
}

results_window::results_window(QWidget* parent) : QWidget(parent, Qt::Window)
{
    setWindowTitle("Morvane: results");

    model_ = new QStandardItemModel(0, results_column::count, this);
    QStringList headers{"shape"};
    for (int p = 1; p <= 6; ++p) headers << grid_parameter_name(p);
    headers << "best_shift"
            << "misfit";
    model_->setHorizontalHeaderLabels(headers);
    order_ = new numeric_order(this);
    order_->setSourceModel(model_);

    table_ = new QTableView;
    table_->setModel(order_);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setAlternatingRowColors(true);
    table_->verticalHeader()->hide();
    table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 6);
    table_->horizontalHeader()->setHighlightSections(false);
    table_->setSortingEnabled(true);
    table_->sortByColumn(results_column::misfit, Qt::AscendingOrder);
    connect(table_->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) {
                if (!marking_ && current.isValid()) select_shape(shape_at(current.row()));
            });

    count_label_ = new QLabel;
    count_label_->setWordWrap(true);
    uncertainty_label_ = new QLabel;
    uncertainty_label_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    uncertainty_label_->hide();
    export_obj_button_ = new QPushButton("Export OBJ...");
    export_obj_button_->setToolTip("Write the selected shape as a Wavefront OBJ file");
    export_figures_button_ = new QPushButton("Export figures...");
    export_figures_button_->setToolTip("Write the selected shape's figures and the misfit profiles as PNG and SVG");
    connect(export_obj_button_, &QPushButton::clicked, this, &results_window::ask_obj_file);
    connect(export_figures_button_, &QPushButton::clicked, this, &results_window::ask_figure_folder);
    status_label_ = new QLabel;
    status_label_->setWordWrap(true);
    status_label_->setTextInteractionFlags(Qt::TextSelectableByMouse);

    // Above: the table, and beside it what it holds and the exports; below:
    // the figures, which want the window's whole width.
    auto* side = new QVBoxLayout;
    side->addWidget(count_label_);
    side->addWidget(uncertainty_label_);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(export_obj_button_);
    buttons->addWidget(export_figures_button_);
    buttons->addStretch(1);
    side->addLayout(buttons);
    side->addWidget(status_label_);
    side->addStretch(1);
    auto* top = new QWidget;
    auto* top_layout = new QHBoxLayout(top);
    top_layout->setContentsMargins(0, 0, 0, 0);
    top_layout->addWidget(table_);
    top_layout->addLayout(side, 1);

    heading_ = new QLabel;
    QFont bold = heading_->font();
    bold.setBold(true);
    heading_->setFont(bold);
    tabs_ = new QTabWidget;
    const char* names[results_tab::count] = {"Fit", "Misfit profiles", "Shape", "Rotation", "Composite"};
    for (int t = 0; t < results_tab::count; ++t) {
        pages_[t] = new QScrollArea;
        pages_[t]->setWidgetResizable(true);
        pages_[t]->setFrameShape(QFrame::NoFrame);
        tabs_->addTab(pages_[t], names[t]);
    }
    auto* bottom = new QWidget;
    auto* bottom_layout = new QVBoxLayout(bottom);
    bottom_layout->setContentsMargins(0, 0, 0, 0);
    bottom_layout->addWidget(heading_);
    bottom_layout->addWidget(tabs_, 1);

    auto* split = new QSplitter(Qt::Vertical);
    split->addWidget(top);
    split->addWidget(bottom);
    split->setStretchFactor(0, 0);
    split->setStretchFactor(1, 1);
    split->setChildrenCollapsible(false);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(split);

    // As large as the figures are drawn for files, within the screen.
    QSize size(1400, 1000);
    if (const QScreen* screen = this->screen())
        size = size.boundedTo(screen->availableGeometry().size() - QSize(40, 60));
    resize(size);
    split->setSizes({size.height() / 4, size.height() - size.height() / 4});
}

bool results_window::load(const std::string& folder, std::string& why)
{
    run_results run;
    if (!read_run(folder, run, why)) return false;
    run_ = std::move(run);
    curves_ = shape_curves{};
    status_label_->clear();
    setWindowTitle(QString("Morvane: results in %1").arg(QFileInfo(QString::fromStdString(folder)).absoluteFilePath()));
    fill_table();
    show_uncertainty();
    const std::vector<summary_row> best = best_fits(run_.rows, 1);
    if (!select_shape(best.front().shape)) {
        // The table stays usable; the status label says why nothing is drawn.
        for (QScrollArea* page : pages_) delete page->takeWidget();
        heading_->clear();
    }
    export_obj_button_->setEnabled(curves_.shape != 0);
    export_figures_button_->setEnabled(curves_.shape != 0);
    return true;
}

void results_window::fill_table()
{
    const std::vector<summary_row> rows = best_fits(run_.rows, table_limit);
    shape_count_ = run_.rows.size();
    // Filled unsorted, then sorted once: the rows stay in best-fit order
    // wherever the sort column ties.
    table_->setSortingEnabled(false);
    model_->removeRows(0, model_->rowCount());
    for (const summary_row& r : rows) {
        QList<QStandardItem*> items{cell(QString::number(r.shape), r.shape)};
        for (int p = 1; p <= 6; ++p) items << cell(QString::number(r.params[p], 'f', 4), r.params[p]);
        items << cell(QString::number(r.best_shift, 'f', 6), r.best_shift) << cell(misfit_text(r.misfit), r.misfit);
        model_->appendRow(items);
    }
    table_->setSortingEnabled(true);
    table_->sortByColumn(results_column::misfit, Qt::AscendingOrder);
    table_->resizeColumnsToContents();
    // Every column in view; the rows scroll.
    table_->setFixedWidth(table_->horizontalHeader()->length() + table_->verticalScrollBar()->sizeHint().width() +
                          2 * table_->frameWidth());

    QString words = shape_count_ == 1 ? QString("1 shape") : QString("%1 shapes").arg(shape_count_);
    if (shape_count_ > rows.size()) words += QString("; the table holds the %1 of lowest misfit").arg(rows.size());
    words += QString(", step %1").arg(run_.manifest.inputs.step, 0, 'g', 6);
    if (run_.table_file != "output/main.txt")
        words += QString(" (from %1: the run did not finish)").arg(QString::fromStdString(run_.table_file));
    words += ". Click a row to show its shape; click a heading to sort.";
    count_label_->setText(words);
}

void results_window::show_uncertainty()
{
    if (run_.refinement)
        uncertainty_label_->setText(uncertainty_text(*run_.refinement));
    else if (!run_.refinement_problem.empty())
        uncertainty_label_->setText(QString::fromStdString("The refinement's files: " + run_.refinement_problem));
    uncertainty_label_->setVisible(run_.refinement || !run_.refinement_problem.empty());
}

bool results_window::select_shape(int32_t shape)
{
    if (shape == curves_.shape && shape != 0) {
        mark_selected_row();
        return true;
    }
    shape_curves curves;
    std::string why;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const bool computed = compute_shape_curves(run_, shape, 0, curves, why);
    QApplication::restoreOverrideCursor();
    if (!computed) {
        status_label_->setText(QString::fromStdString(why));
        mark_selected_row();  // back to the shape still shown
        return false;
    }
    curves_ = std::move(curves);
    status_label_->clear();
    show_figures();
    export_obj_button_->setEnabled(true);
    export_figures_button_->setEnabled(true);
    mark_selected_row();
    return true;
}

void results_window::show_figures()
{
    heading_->setText(QString("Shape %1: misfit %2, best shift %3")
                          .arg(curves_.shape)
                          .arg(misfit_text(curves_.misfit))
                          .arg(curves_.best_shift, 0, 'f', 6));
    // setWidget deletes the figure a page showed before.
    pages_[results_tab::fit]->setWidget(fit_figure(run_, curves_));
    pages_[results_tab::profiles]->setWidget(profile_figure(run_, curves_.shape));
    pages_[results_tab::shape]->setWidget(new shape_picture(curves_));
    pages_[results_tab::rotation]->setWidget(rotation_figure(run_, curves_));
    pages_[results_tab::composite]->setWidget(composite_figure(run_, curves_));
}

QWidget* results_window::figure(int tab) const
{
    return tab >= 0 && tab < results_tab::count ? pages_[tab]->widget() : nullptr;
}

int32_t results_window::shape_at(int row) const
{
    return order_->index(row, results_column::shape).data(number_role).toInt();
}

void results_window::mark_selected_row()
{
    marking_ = true;
    QModelIndex found;
    for (int row = 0; row < order_->rowCount() && !found.isValid(); ++row)
        if (shape_at(row) == curves_.shape) found = order_->index(row, results_column::shape);
    if (found.isValid()) {
        table_->selectionModel()->setCurrentIndex(found,
                                                  QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        table_->scrollTo(found);
    } else {
        table_->selectionModel()->clear();
    }
    marking_ = false;
}

QString results_window::obj_file_name(int32_t shape)
{
    return QString("shape_%1.obj").arg(shape, 5, 10, QChar('0'));
}

bool results_window::export_obj(const QString& path, QString& why) const
{
    return export_shape(path, shape_export_options{}, why);
}

bool results_window::export_shape(const QString& path, const shape_export_options& how, QString& why) const
{
    if (curves_.shape == 0 || !run_.base) {
        why = "no shape is selected";
        return false;
    }
    export_mesh shape;
    std::string reason;
    if (build_export_mesh(*run_.base, curves_.params, how, shape, reason) &&
        write_export_mesh(shape, curves_.params, how, path.toStdString(), reason))
        return true;
    why = QString::fromStdString(reason);
    return false;
}

QStringList results_window::export_filters()
{
    return {"Wavefront OBJ (*.obj)", "Wavefront OBJ, union of the lobes (*.obj)", "DAMIT shape (*.txt)",
            "DAMIT shape, union of the lobes (*.txt)"};
}

shape_export_options results_window::export_options_of(const QString& filter)
{
    shape_export_options how;
    const QStringList filters = export_filters();
    const auto chosen = filters.indexOf(filter);
    if (chosen < 0) return how;
    how.format = chosen >= 2 ? shape_format::damit : shape_format::obj;
    how.lobe_union = chosen % 2 == 1;
    return how;
}

bool results_window::export_figures(const QString& folder, QString& why) const
{
    if (curves_.shape == 0) {
        why = "no shape is selected";
        return false;
    }
    return write_shape_figures(run_, curves_, folder, why) && write_profile_figure(run_, curves_.shape, folder, why);
}

void results_window::ask_obj_file()
{
    const QString folder = QFileInfo(QString::fromStdString(run_.folder)).absoluteFilePath();
    QString filter = export_filters().front();
    QString path = QFileDialog::getSaveFileName(this, "Export the shape", folder + "/" + obj_file_name(curves_.shape),
                                                export_filters().join(";;") + ";;All files (*)", &filter);
    if (path.isEmpty()) return;
    const shape_export_options how = export_options_of(filter);
    // A name typed without a suffix takes the chosen format's.
    if (QFileInfo(path).suffix().isEmpty()) path += how.format == shape_format::damit ? ".txt" : ".obj";
    QString why;
    if (!export_shape(path, how, why)) {
        QMessageBox::critical(this, "Export the shape", why);
        return;
    }
    status_label_->setText(QString("shape %1 written to %2").arg(curves_.shape).arg(path));
}

void results_window::ask_figure_folder()
{
    const QString start = QFileInfo(QString::fromStdString(run_.folder)).absoluteFilePath();
    const QString folder = QFileDialog::getExistingDirectory(this, "Export the figures into", start);
    if (folder.isEmpty()) return;
    QString why;
    if (!export_figures(folder, why)) {
        QMessageBox::critical(this, "Export figures", why);
        return;
    }
    status_label_->setText(
        QString("figures of shape %1 and the misfit profiles written to %2").arg(curves_.shape).arg(folder));
}
