// The instance record of the kvengine type, and the checks every method
// shares on the way to its Engine.
#pragma once

#include "engine/engine.h"
#include "module/exports.h"

struct EngineObject {
  PyObject ob_base;  // the object header
  Engine* engine;
};

// The kvengine type, created at module initialisation.
PyTypeObject* EngineType();
void SetEngineType(PyTypeObject* type);

// The Engine behind self, or null when self is not a kvengine object (the
// module-level functions pass the module) or has no Engine.
Engine* EngineOf(PyObject* self);

// Prints the not-initialized message and raises; answers null.
PyObject* NotInitialized(const char* message);

constexpr const char kNotInitialized[] = "Error: kvengine Not initialized!";
constexpr const char kLiteNotice[] = "Not Implemented In Lite Version - Use The Full Version.\n";
