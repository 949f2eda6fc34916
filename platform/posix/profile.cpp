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

#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include "platform/posix/cp932.h"
#include "platform/posix/file.h"
#include "platform/win32.h"

namespace {

// The file is parsed on UTF-16 units, or on its bytes when it is all ASCII
// (bytes and units are then the same characters).
template <typename Char>
using View = std::basic_string_view<Char>;
using Text = View<char16_t>;

// Larger files are refused rather than read into memory.
constexpr uint64_t kMaxProfileSize = uint64_t{64} << 20;

// Space, tab, VT, FF, CR, LF and Ctrl-Z (an old end-of-file mark).
bool IsBlank(char16_t unit) {
  return (unit >= 0x09 && unit <= 0x0D) || unit == 0x1A || unit == 0x20;
}

bool IsLineBreak(char16_t unit) { return unit == '\r' || unit == '\n'; }

// Where the line starting at `pos` ends: its first CR or LF, or the end.
size_t LineEnd(Text text, size_t pos) {
  while (pos < text.size() && !IsLineBreak(text[pos])) ++pos;
  return pos;
}

// The same over bytes, with memchr: a profile's lines are read on every call.
size_t LineEnd(View<char> text, size_t pos) {
  const char* start = text.data() + pos;
  const char* end = text.data() + text.size();
  const char* lf = static_cast<const char*>(memchr(start, '\n', end - start));
  if (lf != nullptr) end = lf;
  const char* cr = static_cast<const char*>(memchr(start, '\r', end - start));
  return static_cast<size_t>((cr != nullptr ? cr : end) - text.data());
}

template <typename Char>
View<Char> TrimStart(View<Char> text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  return text;
}

template <typename Char>
View<Char> TrimEnd(View<Char> text) {
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

template <typename Char>
View<Char> Trim(View<Char> text) {
  return TrimEnd(TrimStart(text));
}

// Names and values are C strings on Windows: a NUL in the file ends them.
template <typename Char>
View<Char> UpToNul(View<Char> text) {
  return text.substr(0, text.find(Char{0}));
}

char16_t AsciiLower(char16_t unit) {
  return unit >= 'A' && unit <= 'Z' ? static_cast<char16_t>(unit + ('a' - 'A')) : unit;
}

// Section and key names match without regard to ASCII case. (Windows folds
// Latin-1 letters too, but a cp932 query cannot hold one.)
template <typename Char>
bool SameName(View<Char> a, View<Char> b) {
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
template <typename Char>
bool FindValue(View<Char> file, View<Char> section, View<Char> key, View<Char>* value) {
  bool in_section = section.empty();
  bool section_seen = in_section;
  size_t pos = 0;
  while (pos < file.size()) {
    const size_t line_start = pos;
    pos = LineEnd(file, pos);
    const View<Char> line = Trim(file.substr(line_start, pos - line_start));
    while (pos < file.size() && IsLineBreak(file[pos])) ++pos;
    if (line.empty()) continue;

    if (line.front() == '[') {
      // A later section with the same name is never searched.
      if (section_seen) return false;
      const size_t close = line.find(']');
      const View<Char> name =
          close == View<Char>::npos ? line.substr(1) : line.substr(1, close - 1);
      in_section = SameName(UpToNul(Trim(name)), section);
      section_seen = in_section;
      continue;
    }
    if (!in_section) continue;

    const size_t equals = line.find('=');
    const View<Char> name = equals == View<Char>::npos ? line : TrimEnd(line.substr(0, equals));
    if (!SameName(UpToNul(name), key)) continue;
    if (equals == View<Char>::npos) return false;
    *value = UpToNul(TrimStart(line.substr(equals + 1)));
    return true;
  }
  return false;
}

// A value of two or more characters enclosed in a matching pair of '"' or
// '\'' loses that pair.
template <typename Char>
View<Char> StripQuotes(View<Char> value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

// Eight bytes at a time: every profile read checks its whole file.
bool IsAscii(View<char> bytes) {
  const uint64_t kHighBits = 0x8080808080808080u;
  uint64_t any = 0;
  size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) {
    uint64_t word;
    memcpy(&word, bytes.data() + i, 8);
    any |= word;
  }
  for (; i < bytes.size(); ++i) any |= static_cast<unsigned char>(bytes[i]);
  return (any & kHighBits) == 0;
}

// Room for per-call work: on the stack while it is small, on the heap only
// when it is not, so the usual call allocates nothing.
template <typename T, size_t kOnStack>
class Scratch {
 public:
  // Room for `count` elements (contents undefined), or nullptr when memory
  // runs out.
  T* Reserve(size_t count) {
    if (count <= kOnStack) return on_stack_;
    heap_.reset(new (std::nothrow) T[count]);
    return heap_.get();
  }

 private:
  T on_stack_[kOnStack];
  std::unique_ptr<T[]> heap_;
};

// A profile file of this size or less is read and decoded on the stack.
constexpr size_t kSmallProfile = 4096;
constexpr size_t kSmallName = 256;

using Units = Scratch<char16_t, kSmallProfile>;
using Name = Scratch<char16_t, kSmallName>;

// Decodes cp932 text (a C string) into `units`. False when memory runs out.
bool Decode(const char* text, Name* units, Text* decoded) {
  const size_t size = strlen(text);
  char16_t* out = units->Reserve(size);
  if (out == nullptr) return false;
  *decoded = Text(out, win32compat::Cp932ToUtf16(text, size, out));
  return true;
}

// Decodes a profile file's bytes: UTF-16LE after an FF FE mark, cp932
// otherwise. Returns false when memory runs out.
bool DecodeFile(View<char> bytes, Units* units, Text* text) {
  // Neither decoding gives more units than there are bytes.
  char16_t* out = units->Reserve(bytes.size());
  if (out == nullptr) return false;
  const unsigned char* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t size = bytes.size();
  if (size >= 2 && data[0] == 0xFF && data[1] == 0xFE) {
    // An odd last byte is the low half of a unit whose high half is 0.
    const size_t count = (size - 1) / 2;
    for (size_t i = 0; i < count; ++i) {
      const size_t low = 2 + 2 * i;
      out[i] = static_cast<char16_t>(data[low] | (low + 1 < size ? data[low + 1] << 8 : 0));
    }
    *text = Text(out, count);
  } else {
    *text = Text(out, win32compat::Cp932ToUtf16(bytes.data(), size, out));
  }
  return true;
}

// Whether a cp932 file name is bare ("app.ini"): no separator and no drive
// ("C:app.ini"). Walks characters, so a trail byte 5C is no backslash.
bool IsBareName(const char* name) {
  size_t character = 0;
  for (const char* next = name; *next != '\0'; ++character) {
    const unsigned char byte = static_cast<unsigned char>(*next);
    if (win32compat::IsCp932LeadByte(byte) && next[1] != '\0') {
      next += 2;
      continue;
    }
    if (byte == '\\' || byte == '/' || (character == 1 && byte == ':')) return false;
    ++next;
  }
  return true;
}

// A bare file name lives in the Windows directory; a name with a separator
// or a drive is a path of its own. Returns the path to open, in `prefixed`
// when it needed the directory; nullptr when memory runs out.
const char* ProfilePath(const char* file_name, Scratch<char, kSmallName>* prefixed) {
  static const char kWindowsDirectory[] = "C:\\Windows\\";
  if (!IsBareName(file_name)) return file_name;
  const size_t length = strlen(file_name);
  char* path = prefixed->Reserve(sizeof kWindowsDirectory + length);
  if (path == nullptr) return nullptr;
  memcpy(path, kWindowsDirectory, sizeof kWindowsDirectory - 1);
  memcpy(path + sizeof kWindowsDirectory - 1, file_name, length + 1);
  return path;
}

enum class FileState { kRead, kMissing, kUnusable };

using FileBytes = Scratch<char, kSmallProfile>;

// Reads the whole profile file into *bytes, held by `storage`: an open, the
// size the open took, one read and a close. kMissing: no such file (the
// profile is simply empty); kUnusable: anything else that stops the read (a
// directory, a FIFO, no drive mapping, too large, no memory), with the last
// error set.
FileState ReadProfile(const char* file_name, FileBytes* storage, View<char>* bytes) {
  Scratch<char, kSmallName> prefixed;
  const char* path = ProfilePath(file_name, &prefixed);
  if (path == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FileState::kUnusable;
  }
  uint64_t size = 0;
  const HANDLE file = win32compat::OpenRegularFile(path, &size);
  if (file == INVALID_HANDLE_VALUE) {
    return GetLastError() == ERROR_FILE_NOT_FOUND ? FileState::kMissing : FileState::kUnusable;
  }
  char* data = nullptr;
  DWORD bytes_read = 0;
  bool read = false;
  if (size > kMaxProfileSize ||
      (data = storage->Reserve(static_cast<size_t>(size))) == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  } else {
    read = ReadFile(file, data, static_cast<DWORD>(size), &bytes_read, nullptr) != FALSE;
  }
  CloseHandle(file);
  if (!read) return FileState::kUnusable;
  *bytes = View<char>(data, bytes_read);
  return FileState::kRead;
}

// Copies the cp932 form of `value` into `out`: as many whole characters as
// fit in size - 1 bytes, then a NUL, and nothing after it. Returns the
// number of bytes copied.
DWORD CopyOut(Text value, LPSTR out, DWORD size) {
  // The value's cp932 bytes, one at a time; -1 past the end.
  size_t unit = 0;
  int pending = -1;
  auto next_byte = [&]() -> int {
    if (pending >= 0) return std::exchange(pending, -1);
    if (unit == value.size()) return -1;
    const uint16_t code = win32compat::Cp932CodeOf(value[unit++]);
    if (code <= 0xFF) return code;
    pending = code & 0xFF;
    return code >> 8;
  };
  const size_t room = size - 1;
  size_t count = 0;
  for (int byte; count < room;) {
    // An ASCII unit is one byte that starts no pair: copied as it is.
    if (pending < 0 && unit < value.size() && value[unit] < 0x80) {
      out[count++] = static_cast<char>(value[unit++]);
      continue;
    }
    if ((byte = next_byte()) < 0) break;
    if (!win32compat::IsCp932LeadByte(static_cast<unsigned char>(byte))) {
      out[count++] = static_cast<char>(byte);
      continue;
    }
    const int trail = next_byte();
    if (trail < 0 || count + 2 > room) break;
    out[count++] = static_cast<char>(byte);
    out[count++] = static_cast<char>(trail);
  }
  out[count] = '\0';
  return static_cast<DWORD>(count);
}

}  // namespace

extern "C" W32COMPAT_API DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key,
                                                        LPCSTR default_value, LPSTR out, DWORD size,
                                                        LPCSTR file_name) {
  if (out == nullptr || size == 0) return 0;

  // Trailing spaces of the default are dropped, all but a first character.
  Name fallback_units;
  Text fallback;
  if (!Decode(default_value != nullptr ? default_value : "", &fallback_units, &fallback)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return CopyOut(Text(), out, size);
  }
  while (fallback.size() > 1 && fallback.back() == ' ') fallback.remove_suffix(1);

  if (section == nullptr || key == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return CopyOut(fallback, out, size);
  }
  FileBytes file_storage;
  View<char> file_bytes;
  const FileState state =
      ReadProfile(file_name != nullptr ? file_name : "win.ini", &file_storage, &file_bytes);
  if (state == FileState::kUnusable) return CopyOut(fallback, out, size);

  // An all-ASCII file and query are their own units: no decoding needed.
  const View<char> section_bytes(section);
  const View<char> key_bytes(key);
  View<char> ascii_value;
  if (state == FileState::kRead && IsAscii(file_bytes) && IsAscii(section_bytes) &&
      IsAscii(key_bytes)) {
    if (!FindValue(file_bytes, Trim(section_bytes), Trim(key_bytes), &ascii_value)) {
      return CopyOut(StripQuotes(fallback), out, size);
    }
    ascii_value = StripQuotes(ascii_value);
    const size_t count = ascii_value.size() < size - 1 ? ascii_value.size() : size - 1;
    memcpy(out, ascii_value.data(), count);
    out[count] = '\0';
    return static_cast<DWORD>(count);
  }

  Units file_units;
  Text file;
  Name section_units;
  Name key_units;
  Text section_name;
  Text key_name;
  if ((state == FileState::kRead && !DecodeFile(file_bytes, &file_units, &file)) ||
      !Decode(section, &section_units, &section_name) || !Decode(key, &key_units, &key_name)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return CopyOut(fallback, out, size);
  }
  Text value = fallback;
  if (state == FileState::kRead) {
    FindValue(file, Trim(section_name), Trim(key_name), &value);
  }
  // Once the file could be opened, or is merely missing, quotes come off the
  // default as well.
  return CopyOut(StripQuotes(value), out, size);
}
