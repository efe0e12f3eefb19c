// The extension module kvdash and its type kvengine: object record,
// finalization, slot table and type, method table, module.
#include <exception>
#include <new>

#include "module/console_out.h"
#include "module/engine_object.h"

namespace {

PyTypeObject* engineType = nullptr;

// Tears the Engine down: the display is blanked and released.
void DestroyEngine(EngineObject* object) {
  Engine* engine = object->engine;
  object->engine = nullptr;
  delete engine;
}

int EngineObject_init(PyObject* self, PyObject* args, PyObject* /*kwargs*/) {
  const char* text = nullptr;
  if (!PyArg_ParseTuple(args, "|s", &text)) {
    return -1;
  }
  auto* object = reinterpret_cast<EngineObject*>(self);
  // A second run of the slot replaces the Engine; the old one must not stay
  // behind with its device open.
  DestroyEngine(object);
  try {
    object->engine = new Engine();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
    return -1;
  }
  return 0;
}

void EngineObject_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  DestroyEngine(reinterpret_cast<EngineObject*>(self));
  PyObject_Free(self);
  // An instance of a heap type holds a reference to its type.
  Py_DECREF(type);
}

// Each documentation text starts with the method's signature and the "--"
// line: the interpreter strips both from __doc__ and hands the signature to
// inspect and help(). "$self" is the bound object, the module for the
// module-level functions that share this table; inspect leaves it out there.
PyMethodDef methods[] = {
    {"set_gear", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(PyDev_set_gear)),
     METH_VARARGS | METH_KEYWORDS,
     "set_gear($self, gear, point=False, /)\n--\n\n"
     "Set gear"},
    {"init", PyInitMgr, METH_NOARGS,
     "init($self, /)\n--\n\n"
     "Initialize the manager."},
    {"get_device_info", PyGetDeviceInfo, METH_VARARGS,
     "get_device_info($self, key, /)\n--\n\n"
     "Retrieve device information."},
    {"get_input_data", PyGetInputData, METH_NOARGS,
     "get_input_data($self, /)\n--\n\n"
     "Retrieve input data."},
    {"start_input_listener", PyStartInputListener, METH_NOARGS,
     "start_input_listener($self, /)\n--\n\n"
     "Start Input Listener"},
    {"stop_input_listener", PyStopInputListener, METH_NOARGS,
     "stop_input_listener($self, /)\n--\n\n"
     "Stop Input Listener"},
    {"show_me", PySendReport, METH_NOARGS,
     "show_me($self, /)\n--\n\n"
     "Send report to board"},
    {"set_rpm_led", PySetOneRPMLed, METH_VARARGS,
     "set_rpm_led($self, led, state, /)\n--\n\n"
     "Set one RPM LED state"},
    {"set_warning_led", PySetWarnLed, METH_VARARGS,
     "set_warning_led($self, led, state, /)\n--\n\n"
     "Set warning LED state"},
    {"set_external_led", PySetExternalLed, METH_VARARGS,
     "set_external_led($self, led, state, /)\n--\n\n"
     "Set external LED state"},
    {"set_brightness", PySetGlobalBrightness, METH_VARARGS,
     "set_brightness($self, level, /)\n--\n\n"
     "Set global brightness"},
    {"set_right_panel", PySetRightDigits, METH_VARARGS,
     "set_right_panel($self, text, /)\n--\n\n"
     "Set right digits display"},
    {"set_left_panel", PySetLeftDigits, METH_VARARGS,
     "set_left_panel($self, text, /)\n--\n\n"
     "Set left digits display"},
    {"terminate", PyClose, METH_NOARGS,
     "terminate($self, /)\n--\n\n"
     "Close Python module"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot engineSlots[] = {
    {Py_tp_init, reinterpret_cast<void*>(EngineObject_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(EngineObject_dealloc)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec engineSpec = {
    "kvdash.kvengine", sizeof(EngineObject), 0, Py_TPFLAGS_DEFAULT, engineSlots,
};

PyModuleDef moduleDef = {
    PyModuleDef_HEAD_INIT,
    "kvdash",
    "Manages SLI-PRO device Lite Version",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyTypeObject* EngineType() {
  return engineType;
}

void SetEngineType(PyTypeObject* type) {
  engineType = type;
}

Engine* EngineOf(PyObject* self) {
  if (self == nullptr || engineType == nullptr || Py_TYPE(self) != engineType) {
    return nullptr;
  }
  return reinterpret_cast<EngineObject*>(self)->engine;
}

PyObject* NotInitialized(const char* message) {
  ConsoleOut("%s", message);
  PyErr_SetString(PyExc_RuntimeError, "kvengine Not initialized");
  return nullptr;
}

KV_EXPORT PyObject* PyInit_kvdash() {
  if (!Py_IsInitialized()) {
    ConsoleOut("Python interpreter not initialized");
    return nullptr;
  }
  PyObject* module = PyModule_Create2(&moduleDef, 3);
  if (module == nullptr) {
    return nullptr;
  }
  PyObject* type = PyType_FromSpec(&engineSpec);
  if (type == nullptr) {
    Py_DECREF(module);
    return nullptr;
  }
  // EngineOf compares against the type for the life of the process: keep a
  // reference of our own besides the module's.
  Py_INCREF(type);
  SetEngineType(reinterpret_cast<PyTypeObject*>(type));
  if (PyModule_AddObject(module, "kvengine", type) < 0) {
    Py_DECREF(type);
  }
  return module;
}
