#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "runs/run_results.hpp"
#include "sweep/shape_export.hpp"

class QLabel;
class QPushButton;
class QScrollArea;
class QSortFilterProxyModel;
class QStandardItemModel;
class QTabWidget;
class QTableView;

// Columns of the best-fits table.
namespace results_column {
constexpr int shape = 0;
constexpr int first_param = 1;  // y_scale_1 .. x_shift: a row's params[1 .. 6]
constexpr int best_shift = 7;
constexpr int misfit = 8;
constexpr int count = 9;
}  // namespace results_column

// The tabs of the selected shape's figures, in order.
namespace results_tab {
constexpr int fit = 0;
constexpr int profiles = 1;
constexpr int shape = 2;
constexpr int rotation = 3;
constexpr int composite = 4;
constexpr int count = 5;
}  // namespace results_tab

// The uncertainty ranges of a refined chi2 run, one line each: the reduced
// chi2 and rms (mag) of the refined best, then each refined parameter's
// best, min and max with its unit.
QString uncertainty_text(const refinement_files& files);

// A finished run at a glance: its best fits in a sortable table, and the
// figures of the shape selected there (the best one at first), which can be
// exported as an OBJ file or as PNG and SVG figures. A window of its own,
// not modal.
class results_window : public QWidget {
    Q_OBJECT

public:
    // The table holds at most this many rows, those of lowest misfit.
    static constexpr std::size_t table_limit = 500;

    explicit results_window(QWidget* parent = nullptr);

    // Reads the run of `folder` and shows it with its best shape selected;
    // false with `why` when the run cannot be read (what was shown stays).
    bool load(const std::string& folder, std::string& why);
    // Shows the figures of shape `shape` and selects its row when the table
    // holds it; false (saying why on the status label) when the run has no
    // such shape or its curves cannot be computed.
    bool select_shape(int32_t shape);

    // The shape whose figures are shown; 0 before any.
    int32_t selected_shape() const { return curves_.shape; }
    const run_results& run() const { return run_; }
    const shape_curves& curves() const { return curves_; }
    QTableView* table() const { return table_; }
    QTabWidget* tabs() const { return tabs_; }
    // The figure on tab `tab` (results_tab), or null before any shape.
    QWidget* figure(int tab) const;
    QLabel* count_label() const { return count_label_; }
    // The refinement's ranges; hidden for a run without them.
    QLabel* uncertainty_label() const { return uncertainty_label_; }
    QLabel* status_label() const { return status_label_; }
    QPushButton* export_obj_button() const { return export_obj_button_; }
    QPushButton* export_figures_button() const { return export_figures_button_; }

    // The selected shape as a welded OBJ file at `path`; false with `why`.
    bool export_obj(const QString& path, QString& why) const;
    // The selected shape written at `path` as `how` asks (OBJ or DAMIT, the
    // two lobes or their union); false with `why`, nothing written, when it
    // cannot (a union that fails its checks included).
    bool export_shape(const QString& path, const shape_export_options& how, QString& why) const;
    // The export's file dialog filters, the default (the two lobes as OBJ) first.
    static QStringList export_filters();
    // What export filter `filter` asks for; the default for any other text.
    static shape_export_options export_options_of(const QString& filter);
    // The selected shape's figures and the misfit profiles into `folder`;
    // false with `why`.
    bool export_figures(const QString& folder, QString& why) const;

    // The default file name of a shape's OBJ export.
    static QString obj_file_name(int32_t shape);

private:
    void fill_table();
    // Shows the run's uncertainty ranges, or why they cannot be read.
    void show_uncertainty();
    void show_figures();
    // The shape of the table's (proxy) row `row`.
    int32_t shape_at(int row) const;
    // Makes the row of the selected shape current, or none when absent.
    void mark_selected_row();
    void ask_obj_file();
    void ask_figure_folder();

    run_results run_;
    shape_curves curves_;
    std::size_t shape_count_ = 0;
    bool marking_ = false;  // set while the table's current row follows a selection

    QStandardItemModel* model_ = nullptr;
    QSortFilterProxyModel* order_ = nullptr;
    QTableView* table_ = nullptr;
    QLabel* count_label_ = nullptr;
    QLabel* uncertainty_label_ = nullptr;
    QLabel* heading_ = nullptr;
    QTabWidget* tabs_ = nullptr;
    std::array<QScrollArea*, results_tab::count> pages_{};
    QPushButton* export_obj_button_ = nullptr;
    QPushButton* export_figures_button_ = nullptr;
    QLabel* status_label_ = nullptr;
};
