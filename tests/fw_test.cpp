#include <gtest/gtest.h>

#include "fw/thread.h"

TEST(Framework, Smoke) { EXPECT_NE(fw::CurrentThread(), nullptr); }
