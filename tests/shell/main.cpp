#include <cstdlib>

#include <gtest/gtest.h>

#include "application.h"

int main(int argc, char** argv) {
    // No test may need a display, nor wait for a person.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    testing::InitGoogleTest(&argc, argv);
    lmk::TApplication application(argc, argv);
    // A window closing in a test must not end the run.
    application.setQuitOnLastWindowClosed(false);
    return RUN_ALL_TESTS();
}
