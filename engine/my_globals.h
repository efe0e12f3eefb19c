// The one process-wide object, built when the module file is loaded: the
// single-instance marker between processes and the storage paths.
#pragma once

#include <string>

#include "platform/win32.h"

using WideString = std::basic_string<WCHAR>;

class CMyGlobals {
 public:
  CMyGlobals();
  virtual ~CMyGlobals();
  CMyGlobals(const CMyGlobals&) = delete;
  CMyGlobals& operator=(const CMyGlobals&) = delete;

  WideString storageRoot;
  WideString configDirectory;
  HANDLE mutex = nullptr;
};

// The process's instance.
CMyGlobals& TheGlobals();

// Creates Documents\kvengine and Documents\kvengine\cfg where missing and
// records both paths. 0 on success, -1 when the Documents folder is unknown
// or memory runs out.
int PrepareStorage();
