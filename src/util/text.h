// Small text helpers shared by every layer.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

namespace quorrel {

// printf-style formatting into a std::string of any length.
std::string Format(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
std::string FormatV(const char* format, va_list args);

// ASCII-only case folding and comparison (the phone's texts are ASCII).
std::string ToUpperAscii(std::string_view text);
std::string ToLowerAscii(std::string_view text);
bool EqualsIgnoreCaseAscii(std::string_view a, std::string_view b);

}  // namespace quorrel
