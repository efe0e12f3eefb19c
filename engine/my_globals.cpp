#include "engine/my_globals.h"

#include <new>

#include "module/console_out.h"

namespace {

// Built while the module file loads, before the interpreter initialises it.
CMyGlobals theGlobals;

void CreateIfMissing(const WideString& path) {
  if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    CreateDirectoryW(path.c_str(), nullptr);
  }
}

}  // namespace

CMyGlobals::CMyGlobals() {
  SetLastError(ERROR_SUCCESS);
  mutex = CreateMutexW(nullptr, FALSE, KV_WIDE("kvdashengine"));
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    ConsoleOut("Kavu Engine already running!");
  }
}

CMyGlobals::~CMyGlobals() {
  if (mutex != nullptr) {
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    mutex = nullptr;
  }
}

CMyGlobals& TheGlobals() {
  return theGlobals;
}

int PrepareStorage() {
  WCHAR documents[MAX_PATH] = {};
  if (SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, documents) != S_OK) {
    ConsoleOut("Error: can't access the storage directory!");
    return -1;
  }
  documents[MAX_PATH - 1] = 0;
  try {
    CMyGlobals& globals = TheGlobals();
    globals.storageRoot = WideString(documents) + KV_WIDE("\\kvengine");
    CreateIfMissing(globals.storageRoot);
    const WideString config = WideString(documents) + KV_WIDE("\\kvengine\\cfg");
    CreateIfMissing(config);
    globals.configDirectory = config + KV_WIDE("\\");
  } catch (const std::bad_alloc&) {
    return -1;
  }
  return 0;
}
