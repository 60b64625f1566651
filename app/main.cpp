// The program's one application object. The drive table is made at its
// first use, after this object, and so goes before it at process exit.
#include "app/varnokd_app.h"

namespace {
CVarnokdApp theApp;
}  // namespace
