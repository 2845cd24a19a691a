// morvane: the desktop dialog.

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QMessageBox>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "app/dialog/dialog_script.hpp"
#include "app/dialog/main_dialog.hpp"
#include "runs/run_manifest.hpp"
#include "workflow/app_state.hpp"

namespace {

// The one global: the controller's state.
app_state the_app;

// The dialog's event loop, whose every event is an entry of the window's
// thread: out of memory in what an event started (drawing a shape's
// figures, exporting it) is said in a box and the dialog goes on.
class dialog_application : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override
    {
        try {
            return QApplication::notify(receiver, event);
        } catch (const std::bad_alloc&) {
            QMessageBox::critical(nullptr, "Error", "Not enough memory for that: the previous results are kept.");
            return false;
        }
    }
};

// Whether the words ask for the help or the version text (and nothing else is done).
bool asks_for_help_or_version(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        for (const char* word : {"-h", "--help", "-?", "--help-all", "-v", "--version"}) {
            if (std::strcmp(argv[i], word) == 0) return true;
        }
    }
    return false;
}

// Prints the help or the version text and exits; needs no display, so a
// QCoreApplication is enough.
int help_or_version(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName("morvane");
    QCoreApplication::setApplicationVersion(program_version());
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "morvane: the desktop dialog that fits two-lobed asteroid shapes to a lightcurve. Besides Qt's own options it "
        "takes none: generate the geosphere, load the observations with the spin state, then sweep the shapes "
        "(files are written in the working directory). morvane-cli runs the same steps without a window.");
    parser.addHelpOption();
    parser.addVersionOption();
    parser.process(application);  // prints the text asked for and exits
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (asks_for_help_or_version(argc, argv)) return help_or_version(argc, argv);
    dialog_application application(argc, argv);
    // Qt adopts the user's locale; the files are written and fields read
    // with the C formatting functions, which must keep '.' as the decimal point.
    std::setlocale(LC_NUMERIC, "C");
    main_dialog dialog(the_app);
    // Hook for screenshots and tests of the whole program.
    if (const char* script = std::getenv("MORVANE_DIALOG_SCRIPT")) start_dialog_script(dialog, the_app, script);
    dialog.exec();

    // A sweep still running is not waited for: the worker may be blocked in
    // a call to the dialog, and the state's destructor would join it.
    if (the_app.sweep_running.load()) {
        std::fflush(nullptr);
        std::_Exit(0);
    }
    return 0;
}
