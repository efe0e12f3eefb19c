// Loads kvdash.pyd beside a python3.dll stand-in and calls its exported
// BuildEx with one set of arguments, named by argv[2]. After BuildEx's own
// text it prints "<False>" when BuildEx answered a new reference to False.
//   pyd_probe <path of kvdash.pyd> init|bare|details|third|long
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

using BuildExFunction = void* (*)(const char*, int, const char*, const char*, const char*,
                                  const char*);

struct ObjectHead {
  long long refcnt;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    return 2;
  }
  HMODULE pyd = LoadLibraryExW(argv[1], nullptr, 0);
  HMODULE python = GetModuleHandleW(L"python3.dll");
  if (pyd == nullptr || python == nullptr) {
    std::printf("<load failed: %lu>", GetLastError());
    return 3;
  }
  auto buildEx =
      reinterpret_cast<BuildExFunction>(reinterpret_cast<void*>(GetProcAddress(pyd, "BuildEx")));
  auto* falseObject = reinterpret_cast<ObjectHead*>(GetProcAddress(python, "_Py_FalseStruct"));
  if (buildEx == nullptr || falseObject == nullptr) {
    return 4;
  }
  const std::wstring which = argv[2];
  const std::string longText(600, 'a');
  const long long before = falseObject->refcnt;
  void* answer = nullptr;
  if (which == L"init") {
    answer = buildEx("error: device init failed!", 1001, "init", nullptr, nullptr, nullptr);
  } else if (which == L"bare") {
    answer = buildEx("no details", 7, nullptr, nullptr, nullptr, nullptr);
  } else if (which == L"details") {
    answer = buildEx("two details", -3, nullptr, "first", "second", nullptr);
  } else if (which == L"third") {
    answer = buildEx("last only", 0, nullptr, nullptr, nullptr, "third");
  } else if (which == L"long") {
    answer = buildEx(longText.c_str(), 1, longText.c_str(), nullptr, nullptr, nullptr);
  } else {
    return 2;
  }
  const bool isFalse = answer == falseObject && falseObject->refcnt == before + 1;
  std::printf(isFalse ? "<False>" : "<wrong answer>");
  return isFalse ? 0 : 1;
}
