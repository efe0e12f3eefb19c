// Links the core and writes nothing of its own: the only text it can print is
// the single-instance message of the process-wide globals, built at load.
// Exit code 0 when it holds the marker's handle.
#include "engine/my_globals.h"

int main() {
  return TheGlobals().mutex != nullptr ? 0 : 1;
}
