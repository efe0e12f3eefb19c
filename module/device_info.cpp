// get_device_info: one value per call, selected by a text key.
#include <cstring>
#include <exception>
#include <string>

#include "module/console_out.h"
#include "module/engine_object.h"
#include "module/info_key.h"

namespace {

constexpr const char kVersion[] = "0.2.0.1 (Lite)";
constexpr const char kModuleName[] = "kvdash";
constexpr int kPanelCount = 2;
constexpr int kGearCount = 1;
constexpr int kTypeDivisor = 1000;

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

// Null for kUnknown, with no exception set.
PyObject* Answer(const Engine& engine, InfoKey key) {
  const DisplayState& display = engine.display;
  const HidDevice& device = display.device;
  switch (key) {
    case InfoKey::kVersion:
      return Py_BuildValue("s", kVersion);
    case InfoKey::kName:
      return Py_BuildValue("s", kModuleName);
    case InfoKey::kTicks:
      return Py_BuildValue("i", static_cast<int>(static_cast<int32_t>(GetTickCount())));
    case InfoKey::kType: {
      const int32_t code = display.deviceTypeCode;
      return Py_BuildValue("i", code < kTypeDivisor ? code : code / kTypeDivisor);
    }
    case InfoKey::kVendorId:
      return Py_BuildValue("i", device.vendorFilter);
    case InfoKey::kProductId:
      return Py_BuildValue("i", device.productFilter);
    case InfoKey::kFirmware:
      return Utf16Value(device.firmware);
    case InfoKey::kPanelCount:
      return Py_BuildValue("i", kPanelCount);
    case InfoKey::kSerialNumber:
      return Utf16Value(device.serialNumber);
    case InfoKey::kDevicePath:
      return Utf16Value(device.devicePath.data(), device.devicePath.size());
    case InfoKey::kDigits:
      return Py_BuildValue("i", display.digitsPerPanel);
    case InfoKey::kGear:
      return Py_BuildValue("i", kGearCount);
    case InfoKey::kMaxRpmLed:
      return Py_BuildValue("i", display.maxRpmLed);
    case InfoKey::kMaxWarningLed:
      return Py_BuildValue("i", display.maxWarningLed);
    case InfoKey::kMaxExternalLed:
      return Py_BuildValue("i", display.maxExternalLed);
    case InfoKey::kBrightness:
      return Py_BuildValue("i", display.brightness);
    case InfoKey::kDigital:
      return Py_BuildValue("i", device.buttonCount);
    case InfoKey::kAnalog:
      return Py_BuildValue("i", static_cast<int>(display.capsCopy.NumberInputValueCaps));
    case InfoKey::kRumbleMotor:
      return Py_BuildValue("i", display.rumbleMotors);
    case InfoKey::kUnknown:
      break;
  }
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
    const InfoKey key = MatchInfoKey(text);
    if (key == InfoKey::kUnknown) {
      PyErr_SetString(PyExc_ValueError, "Unknown parameter for get_device_info");
      return nullptr;
    }
    return Answer(*engine, key);
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "Unknown error in get_device_info");
  }
  return nullptr;
}
