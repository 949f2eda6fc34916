// Conversions between the Japanese ANSI code page (932, Shift_JIS with the
// Windows extensions) and the encodings a POSIX system uses.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace win32compat {

// True when `byte` starts a double-byte cp932 character (0x81-0x9F,
// 0xE0-0xFC); the byte after it is its trail byte, whatever its value.
inline bool IsCp932LeadByte(unsigned char byte) {
  return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

// Converts cp932 text to UTF-16 code units as Windows' MultiByteToWideChar
// does for code page 932: a lead byte with no valid trail byte after it
// (end of text, NUL, or a byte outside the table) becomes U+30FB and takes
// the following non-NUL byte with it. Writes to `out`, which has room for
// `size` units (a character never takes more units than bytes), and
// returns the number of units written. Never fails. Thread-safe.
size_t Cp932ToUtf16(const char* text, size_t size, char16_t* out);
std::u16string Cp932ToUtf16(const char* text, size_t size);

// Converts cp932 text to UTF-8, with the same mapping as Cp932ToUtf16.
// Writes at most `room` bytes to `out` and returns the length of the whole
// UTF-8 text, so a result above `room` means it was cut. Never fails.
// Thread-safe.
size_t Cp932ToUtf8(const char* text, size_t size, char* out, size_t room);
std::string Cp932ToUtf8(const char* text, size_t size);

// The cp932 code of one UTF-16 unit as Windows' WideCharToMultiByte gives
// it for code page 932 with best fit: a byte, or lead << 8 | trail. A
// character cp932 lacks becomes its best-fit character or '?', one '?' per
// code unit (each half of a surrogate pair is '?'). Thread-safe.
uint16_t Cp932CodeOf(char16_t unit);

// Converts UTF-16 code units to cp932 with Cp932CodeOf. Thread-safe.
std::string Utf16ToCp932(const char16_t* units, size_t count);

}  // namespace win32compat
