#include "module/info_key.h"

#include <cstddef>

namespace {

constexpr const char* kNames[] = {"version",
                                  "name",
                                  "ticks",
                                  "type",
                                  "vendor id",
                                  "product id",
                                  "firmware",
                                  "panel count",
                                  "serial number",
                                  "device path",
                                  "digits",
                                  "gear",
                                  "max rpm led",
                                  "max warning led",
                                  "max external led",
                                  "brightness",
                                  "digital",
                                  "analog",
                                  "rumble motor"};

constexpr std::size_t kKeyCount = sizeof kNames / sizeof kNames[0];
static_assert(kKeyCount == static_cast<std::size_t>(InfoKey::kUnknown), "one name per key");

// The C runtime's tolower in the "C" locale, without depending on the locale
// the host application may have set.
void LowerAscii(std::string& text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
}

}  // namespace

const char* InfoKeyName(InfoKey key) {
  const auto index = static_cast<std::size_t>(key);
  return index < kKeyCount ? kNames[index] : "";
}

InfoKey MatchInfoKey(const std::string& text) {
  std::string key(text);
  LowerAscii(key);
  for (std::size_t i = 0; i < kKeyCount; ++i) {
    if (key == kNames[i]) {
      return static_cast<InfoKey>(i);
    }
  }
  return InfoKey::kUnknown;
}
