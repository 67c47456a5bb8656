// Test entry point: the thumbnail layer renders icons with Qt, which wants a GUI application;
// the off-screen platform also serves test discovery, which runs the binary at build time.
#include <QGuiApplication>

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
