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
#include "common/program_entry.hpp"
#include "runs/run_manifest.hpp"
#include "workflow/app_state.hpp"

namespace {

// The one global: the controller's state.
app_state the_app;

// The dialog's event loop, whose every event is an entry of the window's
// thread: out of memory in what an event started (drawing a shape's
// figures, exporting it) is said in a box and the dialog goes on. Any other
// exception leaves the dialog in a state nobody planned for: it is printed
// ("morvane: <text>") and every event loop ends, so that the program exits
// with code 1.
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
        } catch (...) {
            std::fprintf(stderr, "morvane: %s\n", escaped_exception_text());
            escaped = true;
            QCoreApplication::exit(1);
            return false;
        }
    }
    bool escaped = false;  // an exception ended the event loops
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

// The dialog's run; the exit code.
int dialog_main(int argc, char** argv)
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
    const int code = application.escaped ? 1 : 0;
    if (the_app.sweep_running.load()) {
        std::fflush(nullptr);
        std::_Exit(code);
    }
    return code;
}

}  // namespace

int main(int argc, char** argv)
{
    // The entry of the window's thread: an exception outside the event loop
    // (building the dialog, say) ends the program with code 1 and its text.
    return guarded_entry("morvane", [&] { return dialog_main(argc, argv); });
}
