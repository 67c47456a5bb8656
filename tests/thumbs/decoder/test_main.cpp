// Test entry: an offscreen GUI application (PDF fixtures are painted) and the worker's test
// hooks switched on before the first worker starts.
#include <QGuiApplication>
#include <cstdlib>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    // Discovery runs this binary at build time, without the test's environment.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("PICTOLITH_WORKER_TEST_HOOKS", "1", 1);
    QGuiApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
