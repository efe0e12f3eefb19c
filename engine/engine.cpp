#include "engine/engine.h"

#include "engine/my_globals.h"

// The display state raises the timer resolution as it is built; if anything
// after it throws, its destructor blanks and releases what was built.
Engine::Engine() = default;

Engine::~Engine() {
  initialized = false;
}

InitResult Engine::Init() {
  timeBeginPeriod(1);
  InitResult result;
  result.storageReady = PrepareStorage() == 0;
  result.deviceStatus = display.InitDevice();
  if (result.Succeeded()) {
    initialized = true;
  }
  return result;
}
