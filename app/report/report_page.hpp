#pragma once

#include <QString>
#include <vector>

#include "runs/run_results.hpp"

// One shape of a report: its curves as recomputed, and the misfit the run's
// table holds for it (NaN when the table has no row for it).
struct reported_shape {
    shape_curves curves;
    double table_misfit;
};

// Escapes &, <, > and " for HTML text and attributes.
QString html_escaped(const QString& text);

// The report page: the run's record, the best-fits table (`best` rows) and
// the figures of each shape, naming the files of figure_set. `notes` are
// shown above everything (disagreements found while reporting).
QString report_page(const run_results& run, const std::vector<summary_row>& best,
                    const std::vector<reported_shape>& shapes, const QStringList& notes, const QString& manifest_json);
