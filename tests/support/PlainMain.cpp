// The entry of the test programs of the layers below the window: GoogleTest
// alone, without Qt.
#include <gtest/gtest.h>

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
