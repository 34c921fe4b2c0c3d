// Text conversions used at the boundaries of the core. Inside the core text is UTF-16.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tokengate::text {

// UTF-8 <-> UTF-16. Malformed input (bad UTF-8 sequences, lone surrogates) becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

// Byte-for-unit narrowing: every unit up to U+00FF becomes the byte of the same value. Returns
// nullopt when any unit is above U+00FF.
std::optional<std::string> NarrowBytes(std::u16string_view units);
// The same appended to `out`: false, and `out` as it was, when any unit is above U+00FF.
bool AppendNarrowBytes(std::string& out, std::u16string_view units);
// Byte-for-unit widening: every byte becomes the UTF-16 unit of the same value.
std::u16string WidenBytes(std::string_view bytes);
// The same into a caller's array of at least `bytes.size()` units (no terminator is written).
void WidenBytesInto(std::string_view bytes, char16_t* out) noexcept;

// True when every byte is below 0x80. ASCII reads the same in every ANSI code page, so text that
// is ASCII can pass a boundary byte for unit without a conversion.
bool IsAscii(std::string_view bytes) noexcept;
// Appends `units` byte for unit when every unit is below 0x80 (the ANSI form of ASCII text) and
// returns true; otherwise leaves `out` as it was and returns false.
bool AppendAscii(std::string& out, std::u16string_view units);

// The platform's single-byte ("ANSI") code page: UTF-8 on Linux, the process code page on
// Windows. Characters the code page lacks become its substitute character. Implemented by the
// platform layer.
std::string ToAnsi(std::u16string_view utf16);
std::u16string FromAnsi(std::string_view ansi);

// ASCII-only case helpers, as the gate compares header and attribute names.
char16_t AsciiLower(char16_t c);
bool EqualsIgnoreAsciiCase(std::u16string_view a, std::u16string_view b);

}  // namespace tokengate::text
