// The keys of get_device_info and their matching, kept apart from the
// binding so that the matching of untrusted key texts runs without Python.
#pragma once

#include <string>

// In the order in which a key is tested.
enum class InfoKey {
  kVersion,
  kName,
  kTicks,
  kType,
  kVendorId,
  kProductId,
  kFirmware,
  kPanelCount,
  kSerialNumber,
  kDevicePath,
  kDigits,
  kGear,
  kMaxRpmLed,
  kMaxWarningLed,
  kMaxExternalLed,
  kBrightness,
  kDigital,
  kAnalog,
  kRumbleMotor,
  kUnknown
};

// The key's own text, in lower case; "" for kUnknown.
const char* InfoKeyName(InfoKey key);

// Lowers A to Z of text (every other byte, those above 0x7F included, stays)
// and answers the key whose name equals it byte for byte, or kUnknown.
// Throws std::bad_alloc when the lowered copy cannot be made.
InfoKey MatchInfoKey(const std::string& text);
