// GetPrivateProfileStringA: reads one key of an INI file the way Windows
// does under the Japanese ANSI code page (932).
//
// The whole file is decoded to UTF-16 first (UTF-16LE after an FF FE mark,
// cp932 otherwise), parsed on UTF-16 units, and the value found goes back to
// cp932. Parsing decoded units is what keeps a byte that belongs to a
// double-byte character (a 5D trail byte, or the CR or '=' a stray lead byte
// swallows) from being taken for ']', '=' or a line break, just as
// MultiByteToWideChar decides. Nothing is cached: every call reads the file
// afresh.
//
// Where Windows behaviour is unknown the reader follows Wine. It parts from
// Wine only where Windows is known to differ: a UTF-8 or UTF-16BE byte-order
// mark is plain text, a header ends at its first ']' or, lacking one, at the
// end of its line, and a quoted value that exactly fills the buffer keeps its
// last character.
#include <stdint.h>
#include <string.h>

#include <string>
#include <string_view>

#include "platform/posix/cp932.h"
#include "platform/win32.h"

namespace {

using Text = std::u16string_view;

// Larger files are refused rather than read into memory.
constexpr uint64_t kMaxProfileSize = uint64_t{64} << 20;

// Space, tab, VT, FF, CR, LF and Ctrl-Z (an old end-of-file mark).
bool IsBlank(char16_t unit) {
  return (unit >= 0x09 && unit <= 0x0D) || unit == 0x1A || unit == 0x20;
}

bool IsLineBreak(char16_t unit) { return unit == '\r' || unit == '\n'; }

Text TrimStart(Text text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  return text;
}

Text TrimEnd(Text text) {
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

Text Trim(Text text) { return TrimEnd(TrimStart(text)); }

// Names and values are C strings on Windows: a NUL in the file ends them.
Text UpToNul(Text text) { return text.substr(0, text.find(u'\0')); }

char16_t AsciiLower(char16_t unit) {
  return unit >= 'A' && unit <= 'Z' ? static_cast<char16_t>(unit + ('a' - 'A')) : unit;
}

// Section and key names match without regard to ASCII case. (Windows folds
// Latin-1 letters too, but a cp932 query cannot hold one.)
bool SameName(Text a, Text b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

// Finds `key` in the first section named `section` and stores its value,
// blanks and NUL tail removed, in *value. Lines before the first header
// form the section named "". Returns false when the section or key is
// missing, and for a key line without '=', which hides any later line with
// the same key.
bool FindValue(Text file, Text section, Text key, Text* value) {
  bool in_section = section.empty();
  bool section_seen = in_section;
  size_t pos = 0;
  while (pos < file.size()) {
    const size_t line_start = pos;
    while (pos < file.size() && !IsLineBreak(file[pos])) ++pos;
    const Text line = Trim(file.substr(line_start, pos - line_start));
    while (pos < file.size() && IsLineBreak(file[pos])) ++pos;
    if (line.empty()) continue;

    if (line.front() == '[') {
      // A later section with the same name is never searched.
      if (section_seen) return false;
      const size_t close = line.find(']');
      const Text name = close == Text::npos ? line.substr(1) : line.substr(1, close - 1);
      in_section = SameName(UpToNul(Trim(name)), section);
      section_seen = in_section;
      continue;
    }
    if (!in_section) continue;

    const size_t equals = line.find('=');
    const Text name = equals == Text::npos ? line : TrimEnd(line.substr(0, equals));
    if (!SameName(UpToNul(name), key)) continue;
    if (equals == Text::npos) return false;
    *value = UpToNul(TrimStart(line.substr(equals + 1)));
    return true;
  }
  return false;
}

// A value of two or more characters enclosed in a matching pair of '"' or
// '\'' loses that pair.
Text StripQuotes(Text value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

std::u16string Decode(const std::string& bytes) {
  const unsigned char* data = reinterpret_cast<const unsigned char*>(bytes.data());
  if (bytes.size() >= 2 && data[0] == 0xFF && data[1] == 0xFE) {
    // An odd last byte is the low half of a unit whose high half is 0.
    std::u16string units((bytes.size() - 1) / 2, u'\0');
    for (size_t i = 0; i < units.size(); ++i) {
      const size_t low = 2 + 2 * i;
      units[i] =
          static_cast<char16_t>(data[low] | (low + 1 < bytes.size() ? data[low + 1] << 8 : 0));
    }
    return units;
  }
  return win32compat::Cp932ToUtf16(bytes.data(), bytes.size());
}

std::u16string Decode(const char* text) { return win32compat::Cp932ToUtf16(text, strlen(text)); }

// A bare file name ("app.ini") lives in the Windows directory; a name with a
// separator or a drive ("C:app.ini") is a path of its own.
std::string ProfilePath(const char* file_name) {
  const std::u16string name = Decode(file_name);
  const bool bare =
      name.find_first_of(u"\\/") == std::u16string::npos && !(name.size() >= 2 && name[1] == ':');
  return bare ? std::string("C:\\Windows\\") + file_name : std::string(file_name);
}

enum class FileState { kRead, kMissing, kUnusable };

// Reads and decodes the whole profile file into *text. kMissing: no such
// file (the profile is simply empty); kUnusable: anything else that stops
// the read (a directory, a FIFO, no drive mapping, too large), with the last
// error set.
FileState ReadProfile(const char* file_name, std::u16string* text) {
  const HANDLE file = CreateFileA(ProfilePath(file_name).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return GetLastError() == ERROR_FILE_NOT_FOUND ? FileState::kMissing : FileState::kUnusable;
  }
  DWORD size_high = 0;
  const DWORD size_low = GetFileSize(file, &size_high);
  const uint64_t size = uint64_t{size_high} << 32 | size_low;
  std::string bytes;
  DWORD bytes_read = 0;
  bool read = false;
  if (size_low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) {
    // GetFileSize has set the last error.
  } else if (size > kMaxProfileSize) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  } else {
    bytes.resize(static_cast<size_t>(size));
    read = ReadFile(file, &bytes[0], static_cast<DWORD>(size), &bytes_read, nullptr) != FALSE;
  }
  CloseHandle(file);
  if (!read) return FileState::kUnusable;
  bytes.resize(bytes_read);
  *text = Decode(bytes);
  return FileState::kRead;
}

// Copies the cp932 form of `value` into `out`: as many whole characters as
// fit in size - 1 bytes, then a NUL. Returns the number of bytes copied.
DWORD CopyOut(Text value, LPSTR out, DWORD size) {
  const std::string bytes = win32compat::Utf16ToCp932(value.data(), value.size());
  const size_t room = size - 1;
  size_t count = 0;
  while (count < bytes.size()) {
    const size_t next =
        count + (win32compat::IsCp932LeadByte(static_cast<unsigned char>(bytes[count])) ? 2 : 1);
    if (next > room || next > bytes.size()) break;
    count = next;
  }
  memcpy(out, bytes.data(), count);
  out[count] = '\0';
  return static_cast<DWORD>(count);
}

}  // namespace

extern "C" W32COMPAT_API DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key,
                                                        LPCSTR default_value, LPSTR out, DWORD size,
                                                        LPCSTR file_name) {
  if (out == nullptr || size == 0) return 0;

  // Trailing spaces of the default are dropped, all but a first character.
  std::u16string fallback = Decode(default_value != nullptr ? default_value : "");
  while (fallback.size() > 1 && fallback.back() == ' ') fallback.pop_back();

  if (section == nullptr || key == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return CopyOut(fallback, out, size);
  }
  std::u16string file;
  const FileState state = ReadProfile(file_name != nullptr ? file_name : "win.ini", &file);
  if (state == FileState::kUnusable) return CopyOut(fallback, out, size);

  const std::u16string section_name = Decode(section);
  const std::u16string key_name = Decode(key);
  Text value = fallback;
  if (state == FileState::kRead) {
    FindValue(file, Trim(section_name), Trim(key_name), &value);
  }
  // Once the file could be opened, or is merely missing, quotes come off the
  // default as well.
  return CopyOut(StripQuotes(value), out, size);
}
