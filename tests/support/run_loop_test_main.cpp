#include "platform/RunLoop.h"

#include <gtest/gtest.h>

#include <cstdlib>

// The main thread of every test program that links this file owns the platform's run loop.
int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // Windows are drawn off screen: tests never need a display, not even to list themselves.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    platform::RunLoop::initialize(argc, argv, platform::RunLoop::Kind::Windows);
    return RUN_ALL_TESTS();
}
