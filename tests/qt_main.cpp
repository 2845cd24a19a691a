// The Qt tests (the dialog, the figures) need a QApplication around GoogleTest.

#include <QApplication>

#include <clocale>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    // Qt adopts the user's locale; the files are written and fields read
    // with the C formatting functions, which must keep '.' as the decimal point.
    std::setlocale(LC_NUMERIC, "C");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
