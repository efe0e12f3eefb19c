// The C entry points that the module file exports by name: the module's
// initialisation, BuildEx and the method implementations.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if defined(_WIN32)
#define KV_EXPORT extern "C" __declspec(dllexport)
#else
#define KV_EXPORT extern "C" __attribute__((visibility("default")))
#endif

KV_EXPORT PyObject* BuildEx(const char* message, int code, const char* function,
                            const char* detail1, const char* detail2, const char* detail3);

KV_EXPORT PyObject* PyDev_set_gear(PyObject* self, PyObject* args, PyObject* kwargs);
KV_EXPORT PyObject* PyInitMgr(PyObject* self, PyObject* unused);
KV_EXPORT PyObject* PyGetDeviceInfo(PyObject* self, PyObject* args);
KV_EXPORT PyObject* PyGetInputData(PyObject* self, PyObject* unused);
KV_EXPORT PyObject* PyStartInputListener(PyObject* self, PyObject* unused);
KV_EXPORT PyObject* PyStopInputListener(PyObject* self, PyObject* unused);
KV_EXPORT PyObject* PySendReport(PyObject* self, PyObject* unused);
KV_EXPORT PyObject* PySetOneRPMLed(PyObject* self, PyObject* args);
KV_EXPORT PyObject* PySetWarnLed(PyObject* self, PyObject* args);
KV_EXPORT PyObject* PySetExternalLed(PyObject* self, PyObject* args);
KV_EXPORT PyObject* PySetGlobalBrightness(PyObject* self, PyObject* args);
KV_EXPORT PyObject* PySetRightDigits(PyObject* self, PyObject* args);
KV_EXPORT PyObject* PySetLeftDigits(PyObject* self, PyObject* args);
KV_EXPORT PyObject* PyClose(PyObject* self, PyObject* unused);
