// get_device_info's key matching: a key matches only when its bytes, A to Z
// lowered, equal one key's name; the case of ASCII letters never changes the
// answer; no byte above 0x7F is lowered.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "module/info_key.h"

namespace {

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

bool Equal(const std::string& text, const char* name) {
  std::string lowered;
  for (char c : text) lowered += Lower(c);
  return lowered == name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  // The binding hands over the key as a C string: up to the first zero byte.
  const uint8_t flips = data[0];
  std::string key;
  for (std::size_t i = 1; i < size && data[i] != 0; ++i) key += static_cast<char>(data[i]);

  const InfoKey answer = MatchInfoKey(key);
  int matches = 0;
  for (int k = 0; k < static_cast<int>(InfoKey::kUnknown); ++k) {
    const auto candidate = static_cast<InfoKey>(k);
    if (Equal(key, InfoKeyName(candidate))) {
      ++matches;
      if (answer != candidate) std::abort();
    }
  }
  if (matches > 1) std::abort();  // names are distinct
  if (matches == 0 && answer != InfoKey::kUnknown) std::abort();
  if (answer != InfoKey::kUnknown && key.size() != std::string(InfoKeyName(answer)).size()) {
    std::abort();
  }
  for (unsigned char c : key) {
    if (c > 0x7F && answer != InfoKey::kUnknown) std::abort();
  }

  // The same key with some ASCII letters in the other case.
  std::string flipped = key;
  for (std::size_t i = 0; i < flipped.size(); ++i) {
    char& c = flipped[i];
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (letter && ((flips >> (i % 8)) & 1) != 0) c = static_cast<char>(c ^ 0x20);
  }
  if (MatchInfoKey(flipped) != answer) std::abort();
  return 0;
}
