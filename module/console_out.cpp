#include "module/console_out.h"

#include <cstdarg>
#include <cstdio>

void ConsoleOut(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::vprintf(format, arguments);  // NOLINT(clang-analyzer-valist.Uninitialized): started above
  va_end(arguments);
}
