#include <cstdio>
#include <new>
#include <string>

#include "module/console_out.h"
#include "module/exports.h"

namespace {

constexpr std::size_t kStepSize = 256;

// The last composed message, shared by the process. A function-local static
// is built once even when threads race for it.
std::string& MessageBuffer() {
  static std::string* buffer = new std::string;  // lives to process end
  return *buffer;
}

const char* OrEmpty(const char* text) {
  return text != nullptr ? text : "";
}

}  // namespace

PyObject* BuildEx(const char* message, int code, const char* function, const char* detail1,
                  const char* detail2, const char* detail3) {
  static const char kUnknown[] = "Unknown error occurred.";
  std::string& buffer = MessageBuffer();
  const char* text = kUnknown;
  try {
    buffer.clear();
    // Each step composes into a fixed text; snprintf cuts what does not fit.
    char first[kStepSize];
    std::snprintf(first, sizeof first, "%s #%d\n", OrEmpty(message), code);
    buffer = first;

    const char* formats[] = {"%s F:%s\n", "%s P1:%s\n", "%s P2:%s\n", "%s P3:%s\n"};
    const char* values[] = {function, detail1, detail2, detail3};
    for (int i = 0; i < 4; ++i) {
      if (values[i] != nullptr) {
        char second[kStepSize];
        std::snprintf(second, sizeof second, formats[i], buffer.c_str(), values[i]);
        buffer = second;
        break;
      }
    }
    text = buffer.c_str();
  } catch (const std::bad_alloc&) {
    buffer.clear();
  }
  ConsoleOut("Error %s\n", text);
  Py_RETURN_FALSE;
}
