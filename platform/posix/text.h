// UTF-16 <-> UTF-8 for the stand-in's file and device paths and strings.
#pragma once

#include <string>

namespace standin {

std::string ToUtf8(const char16_t* text);
std::u16string ToUtf16(const std::string& text);
// A Windows-style path as a POSIX one: UTF-8, '\' becomes '/'.
std::string ToPosixPath(const char16_t* path);

}  // namespace standin
