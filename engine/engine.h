// The native object behind one kvengine object.
#pragma once

#include <cstdint>

#include "engine/display_state.h"

struct InitResult {
  bool storageReady = false;
  int32_t deviceStatus = kDeviceNone;

  bool Succeeded() const { return storageReady && deviceStatus == kDeviceReady; }
};

struct Engine {
  DisplayState display;
  bool initialized = false;

  Engine();
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Timer resolution, storage directories, then the display; sets the
  // initialized flag when both storage and display are ready.
  InitResult Init();
};
