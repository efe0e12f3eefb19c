// get_device_info: one value per call, selected by a text key.
#include <cstring>
#include <exception>
#include <string>

#include "module/console_out.h"
#include "module/engine_object.h"

namespace {

constexpr const char kVersion[] = "0.2.0.1 (Lite)";
constexpr const char kModuleName[] = "kvdash";
constexpr int kPanelCount = 2;
constexpr int kGearCount = 1;
constexpr int kTypeDivisor = 1000;

// Lowers A to Z only; every other byte, those above 0x7F included, stays.
void LowerAscii(std::string& text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
}

PyObject* Utf16Value(const WCHAR* text, std::size_t length) {
  int byteorder = -1;  // little-endian, as the record holds it on every platform we build
  return PyUnicode_DecodeUTF16(reinterpret_cast<const char*>(text),
                               static_cast<Py_ssize_t>(length * sizeof(WCHAR)), "replace",
                               &byteorder);
}

template <std::size_t N>
PyObject* Utf16Value(const WCHAR (&text)[N]) {
  std::size_t length = 0;
  while (length < N && text[length] != 0) {
    ++length;
  }
  return Utf16Value(text, length);
}

PyObject* Answer(const Engine& engine, const std::string& key, bool* matched) {
  const DisplayState& display = engine.display;
  const HidDevice& device = display.device;
  *matched = true;
  if (key == "version") return Py_BuildValue("s", kVersion);
  if (key == "name") return Py_BuildValue("s", kModuleName);
  if (key == "ticks") return Py_BuildValue("i", static_cast<int>(static_cast<int32_t>(GetTickCount())));
  if (key == "type") {
    const int32_t code = display.deviceTypeCode;
    return Py_BuildValue("i", code < kTypeDivisor ? code : code / kTypeDivisor);
  }
  if (key == "vendor id") return Py_BuildValue("i", device.vendorFilter);
  if (key == "product id") return Py_BuildValue("i", device.productFilter);
  if (key == "firmware") return Utf16Value(device.firmware);
  if (key == "panel count") return Py_BuildValue("i", kPanelCount);
  if (key == "serial number") return Utf16Value(device.serialNumber);
  if (key == "device path") return Utf16Value(device.devicePath.data(), device.devicePath.size());
  if (key == "digits") return Py_BuildValue("i", display.digitsPerPanel);
  if (key == "gear") return Py_BuildValue("i", kGearCount);
  if (key == "max rpm led") return Py_BuildValue("i", display.maxRpmLed);
  if (key == "max warning led") return Py_BuildValue("i", display.maxWarningLed);
  if (key == "max external led") return Py_BuildValue("i", display.maxExternalLed);
  if (key == "brightness") return Py_BuildValue("i", display.brightness);
  if (key == "digital") return Py_BuildValue("i", device.buttonCount);
  if (key == "analog") return Py_BuildValue("i", static_cast<int>(display.capsCopy.NumberInputValueCaps));
  if (key == "rumble motor") return Py_BuildValue("i", display.rumbleMotors);
  *matched = false;
  return nullptr;
}

}  // namespace

PyObject* PyGetDeviceInfo(PyObject* self, PyObject* args) {
  Engine* engine = EngineOf(self);
  if (engine == nullptr) {
    return NotInitialized("Error: kvengine Not initialized!\n");
  }
  const char* text = nullptr;
  if (!PyArg_ParseTuple(args, "s", &text)) {
    PyErr_Clear();
    PyErr_SetString(PyExc_ValueError, "Invalid parameter for get_device_info");
    return nullptr;
  }
  try {
    std::string key(text);
    LowerAscii(key);
    bool matched = false;
    PyObject* answer = Answer(*engine, key, &matched);
    if (!matched) {
      PyErr_SetString(PyExc_ValueError, "Unknown parameter for get_device_info");
    }
    return answer;
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "Unknown error in get_device_info");
  }
  return nullptr;
}
