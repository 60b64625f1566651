// The program's one application object. Its InitInstance stops everything
// the program started before it returns; nothing is left to run while the
// static objects go at process exit.
#include "app/varnokd_app.h"

namespace {
CVarnokdApp theApp;
}  // namespace
