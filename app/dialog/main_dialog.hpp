#pragma once

#include <QDialog>
#include <QFont>
#include <QRect>
#include <QString>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/dialog/refine_job.hpp"
#include "app/dialog/spin_job.hpp"
#include "common/status_ops.hpp"
#include "lightcurve/obs_set.hpp"
#include "workflow/app_state.hpp"

class QLabel;
class QTimer;
class QWidget;
class results_window;

// Controls of this window that the controller does not know: numbered far
// above the controller's ids so that neither set can take the other's.
namespace dialog_ctl {
constexpr int browse_path = 2001;   // "..." beside the path field
constexpr int refine = 2002;        // starts of the refinement after a chi2 sweep (0: none)
constexpr int refine_label = 2003;  // its caption
constexpr int spin_file = 2004;     // "Spin file..." fills the five spin fields from a spin file
constexpr int sigma = 2005;         // the chi2 fit's sigma of every point, mag (blank: estimated per block)
constexpr int sigma_label = 2006;   // its caption
constexpr int pole = 2007;          // the pole search's resolution K before a chi2 sweep (blank or 0: none)
constexpr int pole_label = 2008;    // its caption
}  // namespace dialog_ctl

// The most starts the Refine field takes.
constexpr int max_refine_starts = 50;

// The path to put into the path field for a file chosen in a file dialog:
// relative to `working_folder` when the file lies inside it, else absolute.
QString path_for_field(const QString& chosen, const QString& working_folder);

// The status line after a load: the blocks, points and time span of the
// observations it read ("loaded 3 blocks, 300 points over 12.4 days").
std::string load_summary(const obs_set& set);

// Pixel height (negative: the character height, as a font request takes
// it) of a 10 point font at `dots_per_inch`, rounded to nearest.
int symbol_font_height(int dots_per_inch);

// The one window of the program. It forwards every button to the
// controller and implements the status operations on its controls; the
// sweep's worker thread may call them, and they then run on the dialog's
// thread while the worker waits.
class main_dialog : public QDialog, public status_ops {
    Q_OBJECT

public:
    explicit main_dialog(app_state& app, QWidget* parent = nullptr);

    // The control with identifier `id`, or null.
    QWidget* control(int id) const;
    // The font of the Greek labels.
    const QFont& greek_font() const { return greek_font_; }
    // Runs command `id` as if its button had been pressed; a close command
    // ends the dialog with `id` as its result.
    void run_command(int id);

    // Fills the five spin fields with the words of the spin file at `path`
    // exactly as --spin reads them; false, the fields left as they were and
    // the reason on the status line, when the file cannot be read.
    bool fill_spin_fields(const std::string& path);

    // The results window of the last finished sweep, or null before any.
    results_window* results() const { return results_; }
    // Opens (or refreshes) the results window on the run of `folder`; false
    // with `why`, the window then left closed.
    bool open_results(const std::string& folder, std::string& why);
    // Notices that the sweep this dialog started has ended (it also looks on
    // its own, a few times a second), opens the results of a complete one and
    // starts the refinement the Refine field asked for after a chi2 sweep.
    void check_sweep_end();
    // Whether a pole search runs (or has ended and is not yet acted on).
    bool searching() const { return search_.running(); }
    // Notices that the pole search has ended (it also looks on its own) and
    // then fills the spin fields with the best spin, loads the points again
    // at it and starts the sweep; while it runs, shows the spins fitted.
    void check_search_end();
    // Whether a refinement runs (or has ended and is not yet shown).
    bool refining() const { return refinement_.running(); }
    // Notices that the refinement has ended (it also looks on its own) and
    // shows how: the refined best on the status line (the command line's
    // lines in its tool tip) and in an open results window.
    void check_refinement_end();
    // The budget of the refinements this dialog runs: by default the command
    // line's (--refine-effort 1).
    void set_refine_budget(const refine_budget& budget) { refine_budget_ = budget; }
    // The levels of the pole searches this dialog runs: by default the
    // command line's (--pole-levels 2).
    void set_pole_levels(int levels) { pole_levels_ = levels; }

    // A load's warnings go to the status line and are kept for its summary.
    void show_warning(const std::string& text) override;
    void set_item_text(int id, const std::string& text) override;
    void set_progress(int percent) override;
    void enable_item(int id) override;
    void message_box(const std::string& text, const std::string& caption, box_icon icon,
                     box_owner owner = box_owner::dialog) override;
    std::string read_item_text(int id, int max) override;
    bool read_item_int(int id, int& value) override;
    // During a sweep the bar's text tells shapes done, rate and time left.
    void show_rate(int64_t done, int64_t total, double seconds) override;

public slots:
    // The close box and Escape: command 2.
    void reject() override;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void build_controls();
    // Adds the "..." button beside the path field.
    void add_browse_button(int char_width, int char_height);
    // Adds the unit labels right of the spin and sigma fields and each
    // field's tool tip naming its unit.
    void add_unit_labels(int char_width, int char_height);
    // Asks for an observation file and puts its path into the path field.
    void browse_for_path();
    // Puts `word` into spin field `id`, its start in view (a spin file's
    // words can be longer than the field).
    void show_spin_word(int id, const std::string& word);
    // Asks for a spin file and fills the spin fields from it.
    void browse_for_spin_file();
    // The Sigma field for the load about to run: 0 (estimated per block)
    // unless the fit is chi2 and the field holds a number; false, saying why
    // on the status line, when it holds anything but a positive number.
    bool read_sigma_field(double& sigma);
    // GO!: the load at the Sigma field's sigma, then what it loaded on the
    // status line (with its last warning; all of them in the tool tip);
    // false when the field or the load was refused.
    bool load_with_sigma();
    // Widens (or heightens) a label whose text would be clipped in its
    // place; right-aligned labels grow to the left, others to the right.
    void fit_label(QLabel* label);
    // Runs `work` on the dialog's thread and returns when it is done.
    void on_dialog_thread(const std::function<void()>& work);
    // The refinement's starts for the sweep about to start: 0 unless the fit
    // is chi2; false, saying why on the status line, when the Refine field
    // holds no whole number from 0 to max_refine_starts.
    bool read_refine_field(int& starts);
    // Starts the refinement of the sweep that has just ended (after the
    // pole search `search`, or null), or says why not.
    void start_refinement(int starts, const spin_end* search = nullptr);
    // The Pole K field for the sweep about to start: 0 unless the fit is
    // chi2 and it holds 1, 2, 4 or 8; false, saying why on the status line,
    // when it holds anything else but blank or 0.
    bool read_pole_field(int& nside);
    // Starts the pole search of resolution `nside` over the loaded points,
    // or says why not.
    void start_pole_search(int nside);
    // Cancels a running pole search and waits for it.
    void stop_search();
    // Watches the sweep `outcome` started (when it did), to be refined from
    // `starts` after the pole search `search` (or null).
    void start_watching_sweep(const command_outcome& outcome, int starts, std::shared_ptr<const spin_end> search);
    // Greys the buttons that start work while a refinement runs, or gives
    // them back the state they had.
    void hold_work_buttons(bool hold);
    // Cancels a running refinement, waits for it and shows its end.
    void stop_refinement();

    app_state& app_;
    std::map<int, QWidget*> controls_;
    std::map<QLabel*, QRect> label_rects_;  // the places of the window's layout
    QFont greek_font_;
    std::vector<std::string> warnings_;  // the warnings of the load that runs
    QTimer* sweep_watch_ = nullptr;      // runs while a sweep this dialog started may still run
    results_window* results_ = nullptr;

    // What the running sweep is to be refined with, and the inputs it was
    // started on (a refinement of other inputs than the sweep's is refused).
    struct pending_refinement {
        int starts = 0;
        std::shared_ptr<const ref_curve> reference;
        std::shared_ptr<const mesh> base;
        double step = 0.0;
        std::shared_ptr<const spin_end> search;  // the pole search before the sweep, or null
    };
    pending_refinement pending_;
    refine_budget refine_budget_ = scaled_budget(1.0);
    int pole_levels_ = spin_search_settings{}.levels;
    QTimer* refine_watch_ = nullptr;    // runs while the refinement runs
    QTimer* search_watch_ = nullptr;    // runs while the pole search runs
    std::map<int, bool> held_buttons_;  // the buttons greyed for it, and whether they were usable
    spin_job search_;                   // these two declared last: waited for before the rest goes
    refine_job refinement_;
};
