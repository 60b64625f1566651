// The product's application object.
#include "fw/app.h"

namespace {
class Placeholder : public fw::App {
public:
    BOOL InitInstance() override { return FALSE; }
};
Placeholder theApp;
}  // namespace
