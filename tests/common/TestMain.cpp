// Shared main of the test executables. Engine tests run under a QCoreApplication (they link no widgets, which
// keeps the engine honest about its dependencies); GUI tests under a QApplication on the offscreen platform.
// Every run gets a fresh configuration folder, so no test ever reads or writes a real operator's settings.

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <cstdlib>

#ifdef KOLVANE_TEST_GUI
#include <QApplication>
using TestApplication = QApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QTemporaryDir config;
    if (!config.isValid())
        return 2;
    setenv("XDG_CONFIG_HOME", config.path().toLocal8Bit().constData(), 1);
    setenv("XDG_STATE_HOME", (config.path() + "/state").toLocal8Bit().constData(), 1);
    // No test reaches the operator's own desktop session (the secret store above all) unless it is run in a
    // session of its own made for it (tests/sitebook/with-keyring.sh).
    if (!qEnvironmentVariableIsSet("KOLVANE_KEYRING_TEST")) {
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        setenv("XDG_RUNTIME_DIR", config.path().toLocal8Bit().constData(), 1);
    }
    TestApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
