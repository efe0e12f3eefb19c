#include "module/console_out.h"

#include <cstdarg>
#include <cstdio>

void ConsoleOut(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::vprintf(format, arguments);
  va_end(arguments);
}
