#pragma once

#include "engine/probe.h"
#include "fw/app.h"
#include "login/login_thread.h"

namespace vnk::test {

// The application object of a test executable. Like the program's, it
// hands the probe the login layer's threads.
class TestApp : public vnk::fw::App {
public:
    TestApp() { SetLoginThreadFactory(&BeginLoginThread); }
};

}  // namespace vnk::test
