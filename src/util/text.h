// Small text helpers shared by every layer.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// The format check follows the printf the program links: mingw builds use
// the GNU one (__USE_MINGW_ANSI_STDIO), so "%zu" and friends are checked as
// such; clang knows only "printf", which is the same thing elsewhere.
#if defined(__MINGW32__)
#define QUORREL_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define QUORREL_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#endif

namespace quorrel {

// printf-style formatting into a std::string of any length.
std::string Format(const char* format, ...) QUORREL_PRINTF_FORMAT(1, 2);
std::string FormatV(const char* format, va_list args);

// Bytes as lower-case hexadecimal digits, two per byte.
std::string LowerHex(std::span<const uint8_t> bytes);

// ASCII-only case folding and comparison (the phone's texts are ASCII).
std::string ToUpperAscii(std::string_view text);
std::string ToLowerAscii(std::string_view text);
bool EqualsIgnoreCaseAscii(std::string_view a, std::string_view b);

}  // namespace quorrel
