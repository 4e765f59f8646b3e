// The test programs' entry: the program's own application (with its error
// guard), headless, around GoogleTest.
#include "app/Application.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char **argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // Qt wants a private runtime folder; a headless test machine may have none.
    if (!getenv("XDG_RUNTIME_DIR")) {
        const std::string runtime = "/tmp/kestrune-test-runtime-" + std::to_string(getuid());
        mkdir(runtime.c_str(), 0700);
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    }
    TApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
