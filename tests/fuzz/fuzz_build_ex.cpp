// BuildEx with any message parts and code: it answers False and prints one
// line, "Error ", the composed message cut as each step allows, "\n". An
// interpreter is embedded, started once, because the answer is a Python
// object; the console is captured in a memory file.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "module/exports.h"

namespace {

constexpr std::size_t kStepLimit = 255;  // each composing step keeps this many bytes
int consoleFd = -1;

std::string Cut(const std::string& text) {
  return text.substr(0, kStepLimit);
}

std::string Captured() {
  std::fflush(stdout);
  std::string out;
  char chunk[512];
  off_t at = 0;
  for (;;) {
    const ssize_t n = pread(consoleFd, chunk, sizeof chunk, at);
    if (n <= 0) break;
    out.append(chunk, static_cast<std::size_t>(n));
    at += n;
  }
  return out;
}

void ClearConsole() {
  std::fflush(stdout);
  if (ftruncate(consoleFd, 0) != 0 || lseek(consoleFd, 0, SEEK_SET) != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  Py_InitializeEx(0);
  consoleFd = memfd_create("console", 0);
  if (consoleFd < 0 || dup2(consoleFd, STDOUT_FILENO) < 0) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const int code = input.ConsumeIntegral<int>();
  const uint8_t present = input.ConsumeIntegral<uint8_t>();
  // C strings: each part ends at its first zero byte, as a caller's would.
  std::string parts[5];
  for (std::string& part : parts) {
    part = input.ConsumeRandomLengthString(600);
    part = std::string(part.c_str());
  }
  const auto arg = [&](int i) { return (present >> i) & 1 ? parts[i].c_str() : nullptr; };

  ClearConsole();
  PyObject* answer = BuildEx(arg(0), code, arg(1), arg(2), arg(3), arg(4));
  const std::string printed = Captured();
  if (answer != Py_False) std::abort();
  Py_DECREF(answer);

  std::string expected =
      Cut(std::string(arg(0) ? arg(0) : "") + " #" + std::to_string(code) + "\n");
  const char* labels[] = {"F", "P1", "P2", "P3"};
  for (int i = 0; i < 4; ++i) {
    if (arg(i + 1) != nullptr) {
      expected = Cut(expected + " " + labels[i] + ":" + arg(i + 1) + "\n");
      break;
    }
  }
  if (printed != "Error " + expected + "\n") std::abort();
  return 0;
}
