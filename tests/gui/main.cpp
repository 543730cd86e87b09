// The shell's tests need widgets: one QApplication on the offscreen platform, so they run
// without a display.
#include <QApplication>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <csignal>

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // The window's remembered place goes to a test folder, not the user's.
    QStandardPaths::setTestModeEnabled(true);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
