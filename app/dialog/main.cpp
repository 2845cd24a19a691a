// morvane: the desktop dialog.

#include <QApplication>

#include <clocale>
#include <cstdio>
#include <cstdlib>

#include "workflow/app_state.hpp"
#include "app/dialog/dialog_script.hpp"
#include "app/dialog/main_dialog.hpp"

namespace {

// The one global: the controller's state.
app_state the_app;

}  // namespace

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
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
