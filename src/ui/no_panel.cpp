// The native build is headless: there is no control panel to start or wait for.
#include "app/application.h"

namespace qc {

int StartUiThread(Application&) { return 1; }
void WaitForUiThread(Application&) {}
void EndUiThread(Application&) {}

}  // namespace qc
