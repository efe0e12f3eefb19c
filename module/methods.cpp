// The methods of kvengine objects, but get_device_info: parse, check, call
// one operation of the Engine, answer.
#include <climits>
#include <cstdint>
#include <exception>
#include <new>

#include "module/console_out.h"
#include "module/engine_object.h"

namespace {

constexpr long kGearCodePoint = 128;
constexpr int32_t kWarningLeds = 6;
constexpr int32_t kExternalSlotOffset = 6;

int32_t ClampState(int32_t state) {
  if (state < 0) {
    return 0;
  }
  return state > 1 ? 1 : state;
}

// The gear code of a str: the first byte of its ASCII form, "0" when there is
// none. False with an exception set when encode raised.
bool GearCodeOfText(PyObject* gear, long* code) {
  PyObject* encoded = PyObject_CallMethod(gear, "encode", "ss", "ascii", "ignore");
  if (encoded == nullptr) {
    return false;
  }
  *code = '0';
  if (PyBytes_Check(encoded)) {
    const char* bytes = PyBytes_AsString(encoded);
    if (bytes != nullptr && bytes[0] != 0) {
      *code = static_cast<unsigned char>(bytes[0]);
    }
  }
  Py_DECREF(encoded);
  return !PyErr_Occurred();
}

// A C long is 32 bits on Windows; the same range holds everywhere.
bool GearCodeOfNumber(PyObject* gear, long* code) {
  const long value = PyLong_AsLong(gear);
  if (value == -1 && PyErr_Occurred()) {
    return false;
  }
  if (value > INT32_MAX || value < INT32_MIN) {
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
    return false;
  }
  *code = value;
  return true;
}

// Replaces a panel's text with the argument and encodes it.
PyObject* SetPanel(PyObject* self, PyObject* args, bool left) {
  const char* text = nullptr;
  if (!PyArg_ParseTuple(args, "s", &text)) {
    return nullptr;
  }
  Engine* engine = EngineOf(self);
  if (engine == nullptr) {
    return NotInitialized(kNotInitialized);
  }
  DisplayState& display = engine->display;
  try {
    if (left) {
      display.leftText = text;
      display.SetLeftDigits(display.leftText.c_str());
    } else {
      display.rightText = text;
      display.SetRightDigits(display.rightText.c_str());
    }
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  Py_RETURN_NONE;
}

// Parses the (led, state) of an LED method and finds the Engine; null, with
// the failure raised, when either is missing.
Engine* LedCall(PyObject* self, PyObject* args, int* led, int* state) {
  if (!PyArg_ParseTuple(args, "ii", led, state)) {
    return nullptr;
  }
  Engine* engine = EngineOf(self);
  if (engine == nullptr) {
    NotInitialized(kNotInitialized);
  }
  return engine;
}

PyObject* LiteNotice() {
  ConsoleOut("%s", kLiteNotice);
  Py_RETURN_NONE;
}

}  // namespace

PyObject* PyDev_set_gear(PyObject* self, PyObject* args, PyObject* /*kwargs*/) {
  PyObject* gear = nullptr;
  int point = 0;
  if (!PyArg_ParseTuple(args, "O|p", &gear, &point)) {
    return nullptr;
  }
  long code = 0;
  const unsigned long flags = PyType_GetFlags(Py_TYPE(gear));
  if ((flags & Py_TPFLAGS_UNICODE_SUBCLASS) != 0) {
    if (!GearCodeOfText(gear, &code)) {
      return nullptr;
    }
  } else if ((flags & Py_TPFLAGS_LONG_SUBCLASS) != 0) {
    if (!GearCodeOfNumber(gear, &code)) {
      return nullptr;
    }
  } else {
    PyErr_SetString(PyExc_TypeError, "set_gear - First argument must be a string or integer.");
    return nullptr;
  }
  if (code > kGearCodePoint) {
    point = 1;
    code -= kGearCodePoint;
  }
  Engine* engine = EngineOf(self);
  if (engine == nullptr) {
    return NotInitialized(kNotInitialized);
  }
  engine->display.SetGear(static_cast<int32_t>(code), point);
  Py_RETURN_NONE;
}

PyObject* PyInitMgr(PyObject* self, PyObject* /*unused*/) {
  Engine* engine = EngineOf(self);
  if (engine == nullptr) {
    ConsoleOut("%s", kNotInitialized);
    Py_RETURN_FALSE;
  }
  if (engine->initialized) {
    Py_RETURN_TRUE;
  }
  try {
    if (engine->Init().Succeeded()) {
      Py_RETURN_TRUE;
    }
    return BuildEx("error: device init failed!", 1001, "init", nullptr, nullptr, nullptr);
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "Unknown error in init");
  }
  return nullptr;
}

PyObject* PyGetInputData(PyObject* /*self*/, PyObject* /*unused*/) {
  ConsoleOut("%s", kLiteNotice);
  return Py_BuildValue("iiiii", -3, 0, 0, 0, 0);
}

PyObject* PyStartInputListener(PyObject* /*self*/, PyObject* /*unused*/) {
  return LiteNotice();
}

PyObject* PyStopInputListener(PyObject* self, PyObject* unused) {
  // One implementation under two names.
  return PyStartInputListener(self, unused);
}

PyObject* PySendReport(PyObject* self, PyObject* /*unused*/) {
  Engine* engine = EngineOf(self);
  if (engine == nullptr) {
    return NotInitialized(kNotInitialized);
  }
  engine->display.SendReport();
  Py_RETURN_NONE;
}

PyObject* PySetOneRPMLed(PyObject* self, PyObject* args) {
  int led = 0;
  int state = 0;
  Engine* engine = LedCall(self, args, &led, &state);
  if (engine == nullptr) {
    return nullptr;
  }
  DisplayState& display = engine->display;
  if (led >= 1 && led <= display.maxRpmLed) {
    display.SetLed(led - 1, state, true);
  }
  Py_RETURN_NONE;
}

PyObject* PySetWarnLed(PyObject* self, PyObject* args) {
  int led = 0;
  int state = 0;
  Engine* engine = LedCall(self, args, &led, &state);
  if (engine == nullptr) {
    return nullptr;
  }
  if (led >= 1 && led <= kWarningLeds) {
    engine->display.SetLed(led - 1, ClampState(state), false);
  }
  Py_RETURN_NONE;
}

PyObject* PySetExternalLed(PyObject* self, PyObject* args) {
  int led = 0;
  int state = 0;
  Engine* engine = LedCall(self, args, &led, &state);
  if (engine == nullptr) {
    return nullptr;
  }
  // This edition drives no external LED: the state is parsed and dropped.
  const DisplayState& display = engine->display;
  if (led >= 1 && led <= display.maxExternalLed) {
    led += kExternalSlotOffset;
  }
  if (led >= kExternalSlotOffset + 1 && led <= display.warningLedSlots) {
    ConsoleOut("%s", kLiteNotice);
  }
  Py_RETURN_NONE;
}

PyObject* PySetGlobalBrightness(PyObject* self, PyObject* args) {
  int level = 0;
  if (!PyArg_ParseTuple(args, "i", &level)) {
    return nullptr;
  }
  if (EngineOf(self) == nullptr) {
    return NotInitialized(kNotInitialized);
  }
  return LiteNotice();
}

PyObject* PySetRightDigits(PyObject* self, PyObject* args) {
  return SetPanel(self, args, false);
}

PyObject* PySetLeftDigits(PyObject* self, PyObject* args) {
  return SetPanel(self, args, true);
}

PyObject* PyClose(PyObject* /*self*/, PyObject* /*unused*/) {
  Py_RETURN_TRUE;
}
