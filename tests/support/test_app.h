#pragma once

#include "fw/app.h"

namespace vnk::test {

// The application object of a test executable.
class TestApp : public fw::App {};

}  // namespace vnk::test
