// Entry point of every test executable: the calling thread stands in for
// the program's main thread (it owns the application object).
#include <gtest/gtest.h>

#include "tests/support/test_app.h"

int wmain(int argc, wchar_t** argv) {
    testing::InitGoogleTest(&argc, argv);
    vnk::test::TestApp app;
    app.AttachToCurrentThread();
    return RUN_ALL_TESTS();
}
