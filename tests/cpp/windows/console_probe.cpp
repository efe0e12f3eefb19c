// Prints through the core's ConsoleOut, for the console tests.
//   plain:     a message without arguments
//   formats:   printf conversions the module's messages use
//   unflushed: a ConsoleOut text, then bytes written straight to the output
//              handle; the text comes last if ConsoleOut left it buffered
#include <cstring>

#include "module/console_out.h"
#include "platform/win32.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    return 2;
  }
  if (std::strcmp(argv[1], "plain") == 0) {
    ConsoleOut("Error: kvengine Not initialized!");
    return 0;
  }
  if (std::strcmp(argv[1], "formats") == 0) {
    ConsoleOut("%s #%d\n", "error: device init failed!", 1001);
    ConsoleOut("[%x.%02x|%5.1f|%%|%c|%u]", 1u, 5u, 2.5, 'z', 4294967295u);
    return 0;
  }
  if (std::strcmp(argv[1], "unflushed") == 0) {
    ConsoleOut("buffered");
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "direct|", 7, &written, nullptr);
    return 0;
  }
  return 2;
}
