// The test programs' entry: a headless Qt application around GoogleTest.
#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char **argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // Qt wants a private runtime folder; a headless test machine may have none.
    if (!getenv("XDG_RUNTIME_DIR")) {
        static char runtime[] = "/tmp/kestrune-test-XXXXXX";
        if (mkdtemp(runtime))
            setenv("XDG_RUNTIME_DIR", runtime, 1);
    }
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
