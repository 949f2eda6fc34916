// Differential test of the POSIX GetPrivateProfileStringA against Wine's.
//
//   profile_differential <work dir> <regressions dir> <wine loader> <probe.exe>
//
// Generates INI files from a seed (ORVANE_PROFILE_SEED, default: from the
// clock; ORVANE_PROFILE_FILES files, default 5000) and reads the stored
// regression files listed in <regressions dir>/regressions.tsv. Every query
// goes to Wine in one run of the probe and to libwin32compat in this
// process. Results must be equal, except where Windows is known to read a
// file differently from Wine (a UTF-8 or UTF-16BE byte-order mark, a
// section header without exactly one ']', a quoted value that exactly fills
// the buffer) and where Wine's result is undefined (a cut through a
// double-byte character). A file that shows any other difference is copied
// to <work dir>/new-regressions/ with its queries, ready to be kept.
//
// The environment must already make Wine use ANSI code page 932
// (LC_ALL=ja_JP.UTF-8) and name its prefix (WINEPREFIX).
#include <stdio.h>
#include <stdlib.h>
#include <iconv.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "tests/windows/profile_query.h"

namespace fs = std::filesystem;

namespace {

struct Query {
  std::string file;  // POSIX path
  std::string section;
  std::string key;
  unsigned long size;
};

struct Section {
  std::string name;
  std::vector<std::string> keys;
};

// Double-byte cp932 characters that every conversion table has, among them
// ones whose trail byte is '[', '\' or ']'.
const char* const kKanji[] = {"\x93\xfa", "\x96\x7b", "\x8c\xea", "\x83\x47", "\x83\x89",
                              "\x81\x5b", "\x83\x5c", "\x83\x5d", "\x83\x5b", "\x95\x5c",
                              "\x94\x5c", "\x8f\x5c", "\x81\x40", "\x82\xa0", "\x87\x40",
                              "\xfa\x40", "\xed\x40", "\x81\x60", "\x81\x5f", "\x81\x7c"};

// Characters no cp932 byte sequence stands for, for UTF-16 files: best-fit
// and '?' replacement on the way back to cp932.
const char16_t* const kNotInCp932[] = {u"\u00e9", u"\u00c5", u"\u0101", u"\U0001F600",
                                       u"\u20ac", u"\u00a0", u"\u2603"};

bool IsLeadByte(unsigned char byte) {
  return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

// True when cp932 `text` holds a ']' character (not a trail byte 5D).
bool HasBracket(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (IsLeadByte(text[i])) {
      ++i;
    } else if (text[i] == ']') {
      return true;
    }
  }
  return false;
}

class Generator {
 public:
  explicit Generator(uint64_t seed) : rng_(seed) {}

  int Uniform(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }
  bool Chance(int percent) { return Uniform(1, 100) <= percent; }
  template <typename T, size_t N>
  const T& Pick(const T (&items)[N]) {
    return items[Uniform(0, N - 1)];
  }
  template <typename T>
  const T& Pick(const std::vector<T>& items) {
    return items[Uniform(0, static_cast<int>(items.size()) - 1)];
  }

  char PickChar(const std::string& alphabet) {
    return alphabet[Uniform(0, static_cast<int>(alphabet.size()) - 1)];
  }

  // One character of a name or value. `anything` allows bytes outside the
  // cp932 table and bytes only some readers treat specially; without it,
  // U+0001 now and then marks a place for a character outside cp932.
  std::string Char(bool anything) {
    int roll = Uniform(1, 100);
    if (roll <= 55) {
      return std::string(1, PickChar("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                     "0123456789_.-/\\:"));
    }
    if (roll <= 75) return Pick(kKanji);
    if (roll <= 82) return std::string(1, static_cast<char>(Uniform(0xA1, 0xDF)));  // kana
    if (roll <= 88) return " ";
    if (!anything) return roll <= 92 ? " " : "\x01";
    if (roll <= 93) {
      // A random lead byte with a random trail: often outside the table.
      std::string pair(1, static_cast<char>(Chance(50) ? Uniform(0x81, 0x9F) : Uniform(0xE0, 0xFC)));
      pair += static_cast<char>(Uniform(0x40, 0xFC));
      return pair;
    }
    return std::string(1, PickChar(std::string("\x80\xa0\xfd\xfe\xff\x7f\x01")));
  }

  std::string Name(bool anything) {
    std::string name;
    int length = Chance(3) ? Uniform(100, 3000) : Uniform(1, 10);
    while (static_cast<int>(name.size()) < length) name += Char(anything);
    // Names begin and end with something other than a blank, so that a
    // query for them is the same on Windows (which trims only spaces from
    // the query) and Wine (which trims every blank).
    if (name.front() == ' ') name.front() = 'n';
    if (name.back() == ' ') name.back() = 'e';
    return name;
  }

  std::string Blanks(bool anything) {
    if (Chance(50)) return "";
    if (Chance(2)) return std::string(Uniform(100, 3000), ' ');
    std::string blanks;
    for (int i = Uniform(1, 3); i > 0; --i) {
      int roll = Uniform(1, 10);
      blanks += roll <= 5 ? ' ' : roll <= 8 ? '\t' : roll == 9 || !anything ? '\v' : Chance(50) ? '\f' : '\x1a';
    }
    return blanks;
  }

  std::string Value(bool anything) {
    std::string value;
    int length = Chance(4) ? Uniform(200, 5000) : Uniform(0, 24);
    while (static_cast<int>(value.size()) < length) {
      int roll = Uniform(1, 100);
      if (roll <= 8) {
        value += PickChar("=[];#\"'%");
      } else if (roll == 9 && anything && Chance(30)) {
        value += '\0';
      } else {
        value += Char(anything);
      }
    }
    if (Chance(20)) {
      char quote = Chance(70) ? '"' : '\'';
      char close = Chance(85) ? quote : Chance(50) ? '"' : '\'';
      value = quote + value + close;
    }
    return value;
  }

  std::string LineEnd() {
    const char* const ends[] = {"\r\n", "\r\n", "\r\n", "\n", "\n", "\r", "\r\r\n", "\n\r",
                                "\n\n"};
    return Pick(ends);
  }

  // Builds one INI file's bytes (cp932) and the names it holds. With
  // `diverge`, the file may also use what Windows reads differently from
  // Wine.
  std::string File(bool anything, bool diverge, std::vector<Section>* sections) {
    std::string text;
    sections->push_back({"", {}});
    int lines = Chance(5) ? Uniform(50, 200) : Uniform(1, 25);
    for (int i = 0; i < lines; ++i) {
      int roll = Uniform(1, 100);
      std::string line;
      if (roll <= 18) {
        // Names repeat now and then, in another case, to exercise the
        // first-match rules.
        std::string name = sections->size() > 1 && Chance(15) ? FlipCase(Pick(*sections).name)
                                                                : Name(anything);
        if (HasBracket(name)) name = "s" + std::to_string(i);
        line = Blanks(anything) + "[" + Blanks(anything) + name + Blanks(anything);
        if (diverge && Chance(20)) {
          line += Chance(50) ? "" : "]" + Blanks(anything) + "; see [x]";
        } else {
          line += "]";
          if (Chance(15)) line += Blanks(anything) + (Chance(50) ? "; note" : "key=value");
        }
        sections->push_back({name, {}});
      } else if (roll <= 80) {
        std::string key = !sections->back().keys.empty() && Chance(15)
                              ? FlipCase(Pick(sections->back().keys))
                              : Name(anything);
        if (key.find('=') != std::string::npos) key = "k" + std::to_string(i);
        if (key[0] == '[') key[0] = 'k';
        line = Blanks(anything) + key + Blanks(anything);
        if (Chance(92)) line += "=" + Blanks(anything) + Value(anything) + Blanks(anything);
        sections->back().keys.push_back(key);
      } else if (roll <= 87) {
        line = std::string(Chance(50) ? ";" : "#") + Value(anything);
      } else if (roll <= 92) {
        line = Blanks(anything);
      } else if (roll <= 95) {
        line = "=" + Value(anything);
      } else {
        line = Char(anything) + Value(anything);
      }
      text += line;
      if (i + 1 < lines || Chance(70)) text += LineEnd();
    }
    if (diverge && Chance(50)) text.insert(0, Chance(50) ? "\xef\xbb\xbf" : "\xfe\xff");
    return text;
  }

  std::string FlipCase(std::string name) {
    for (char& c : name) {
      if (Chance(50) && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) c ^= 0x20;
    }
    return name;
  }

  unsigned long BufferSize() {
    const unsigned long sizes[] = {0, 1, 2, 3, 4, 5, 7, 8, 16, 33, 64, 1024, 1024, 1024, 6000};
    return Chance(20) ? static_cast<unsigned long>(Uniform(1, 300)) : Pick(sizes);
  }

 private:
  std::mt19937_64 rng_;
};

// cp932 text as UTF-16LE with a byte-order mark; U+0001 marks where a
// character outside cp932 goes. Returns false when iconv cannot convert.
bool ToUtf16File(Generator& generator, const std::string& cp932, std::string* out) {
  iconv_t converter = iconv_open("UTF-16LE", "CP932");
  if (converter == reinterpret_cast<iconv_t>(-1)) return false;
  std::string wide(cp932.size() * 4 + 4, '\0');
  char* in = const_cast<char*>(cp932.data());
  size_t in_left = cp932.size();
  char* at = &wide[0];
  size_t out_left = wide.size();
  size_t result = iconv(converter, &in, &in_left, &at, &out_left);
  iconv_close(converter);
  if (result == static_cast<size_t>(-1)) return false;
  wide.resize(wide.size() - out_left);
  *out = "\xff\xfe";
  for (size_t i = 0; i + 1 < wide.size(); i += 2) {
    if (wide[i] == '\x01' && wide[i + 1] == '\0') {
      for (const char16_t* unit = generator.Pick(kNotInCp932); *unit != 0; ++unit) {
        *out += static_cast<char>(*unit & 0xFF);
        *out += static_cast<char>(*unit >> 8);
      }
    } else {
      *out += wide.substr(i, 2);
    }
  }
  return true;
}

// Queries for one file: mostly names the file holds (in either case), now
// and then names it does not have.
void AddQueries(Generator& generator, const std::string& path,
                const std::vector<Section>& sections, std::vector<Query>* queries) {
  std::vector<const Section*> with_keys;
  for (const Section& section : sections) {
    if (!section.name.empty() && !section.keys.empty()) with_keys.push_back(&section);
  }
  for (int i = generator.Uniform(2, 6); i > 0; --i) {
    std::string section_name = "Template";
    std::string key = "err";
    if (!with_keys.empty() && generator.Chance(90)) {
      const Section& section = *generator.Pick(with_keys);
      section_name = section.name;
      if (generator.Chance(90)) key = generator.Pick(section.keys);
    }
    if (generator.Chance(30)) section_name = generator.FlipCase(section_name);
    if (generator.Chance(30)) key = generator.FlipCase(key);
    // A query stops at its first NUL, like the C string it becomes.
    section_name = section_name.c_str();
    key = key.c_str();
    if (section_name.empty() || key.empty()) continue;
    queries->push_back({path, section_name, key, generator.BufferSize()});
  }
}

bool WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::string WindowsPath(const fs::path& path) {
  std::string text = "Z:" + fs::absolute(path).string();
  for (char& c : text) {
    if (c == '/') c = '\\';
  }
  return text;
}

// Features of a file that Windows reads differently from Wine.
bool ReadsDifferentlyOnWindows(const std::string& bytes) {
  if (bytes.compare(0, 3, "\xef\xbb\xbf") == 0 || bytes.compare(0, 2, "\xfe\xff") == 0) {
    return true;
  }
  if (bytes.compare(0, 2, "\xff\xfe") == 0) {
    // The bracket rules below apply to UTF-16 text too: scan it with every
    // non-ASCII unit standing in as an ordinary letter.
    std::string ascii;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      const unsigned unit = static_cast<unsigned char>(bytes[i]) |
                            static_cast<unsigned char>(bytes[i + 1]) << 8;
      ascii += unit < 0x80 ? static_cast<char>(unit) : 'x';
    }
    return ReadsDifferentlyOnWindows(ascii);
  }
  // A header line holding no ']' or more than one: Windows ends the name at
  // the first, Wine at the last, and Windows accepts a header without one.
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t end = bytes.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = bytes.size();
    size_t first = bytes.find_first_not_of(" \t\v\f\x1a", pos);
    if (first < end && bytes[first] == '[') {
      int brackets = 0;
      for (size_t i = first; i < end; ++i) {
        unsigned char byte = bytes[i];
        if (IsLeadByte(byte)) {
          ++i;  // a trail byte is never a bracket
        } else if (byte == ']') {
          ++brackets;
        }
      }
      if (brackets != 1) return true;
    }
    pos = end + 1;
  }
  return false;
}

struct Outcome {
  unsigned long count = 0;
  std::string bytes;
  std::string state;
};

bool ParseOutcome(const std::string& line, Outcome* outcome) {
  std::istringstream fields(line);
  std::string count, hex;
  if (!std::getline(fields, count, '\t') || !std::getline(fields, hex, '\t') ||
      !std::getline(fields, outcome->state)) {
    return false;
  }
  outcome->count = strtoul(count.c_str(), nullptr, 10);
  if (hex == "-") hex.clear();
  return profile_query::FromHex(hex, &outcome->bytes);
}

// Wine quirk: a quoted value of exactly size - 1 bytes loses its last byte.
bool IsQuotedValueFillingTheBuffer(const Outcome& wine, const Outcome& posix,
                                   unsigned long size) {
  return size >= 2 && posix.count == size - 1 && wine.count == size - 2 &&
         posix.bytes.compare(0, wine.count, wine.bytes) == 0;
}

// Cutting through a double-byte character: Wine copies whole characters,
// still reports size - 1 and leaves the last byte as it was.
bool IsCutThroughDoubleByte(const Outcome& wine, const Outcome& posix, unsigned long size) {
  if (size < 2 || wine.count != size - 1) return false;
  if (static_cast<unsigned char>(wine.bytes.back()) != profile_query::kCanary) return false;
  const std::string whole = wine.bytes.substr(0, size - 2);
  if (posix.bytes.compare(0, whole.size(), whole) != 0) return false;
  // `whole` must end at a character boundary, with a lead byte next.
  size_t i = 0;
  while (i < whole.size()) i += IsLeadByte(whole[i]) ? 2 : 1;
  return i == whole.size() && posix.count >= size - 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: %s <work dir> <regressions dir> <wine loader> <probe.exe>\n",
            argv[0]);
    return 2;
  }
  const auto started = std::chrono::steady_clock::now();
  const fs::path work = argv[1];
  const fs::path regressions = argv[2];
  const std::string wine = argv[3];
  const std::string probe = argv[4];

  const char* seed_text = getenv("ORVANE_PROFILE_SEED");
  const uint64_t seed =
      seed_text != nullptr
          ? strtoull(seed_text, nullptr, 10)
          : static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
  const char* files_text = getenv("ORVANE_PROFILE_FILES");
  const int file_count = files_text != nullptr ? atoi(files_text) : 5000;
  printf("seed %llu, %d generated files (repeat with ORVANE_PROFILE_SEED=%llu)\n",
         static_cast<unsigned long long>(seed), file_count,
         static_cast<unsigned long long>(seed));

  fs::remove_all(work);
  fs::create_directories(work / "files");
  Generator generator(seed);
  std::vector<Query> queries;
  for (int i = 0; i < file_count; ++i) {
    const bool utf16 = generator.Chance(8);
    const bool diverge = !utf16 && generator.Chance(10);
    std::vector<Section> sections;
    std::string bytes = generator.File(!utf16, diverge, &sections);
    if (utf16 && !ToUtf16File(generator, bytes, &bytes)) {
      fprintf(stderr, "iconv cannot convert generated file %d to UTF-16\n", i);
      return 2;
    }
    const fs::path path = work / "files" / (std::to_string(i) + ".ini");
    if (!WriteFile(path, bytes)) {
      fprintf(stderr, "cannot write %s\n", path.c_str());
      return 2;
    }
    AddQueries(generator, path.string(), sections, &queries);
  }
  const size_t generated_queries = queries.size();

  // Stored regression files: file, section (hex), key (hex), buffer size.
  std::ifstream manifest(regressions / "regressions.tsv");
  std::string line;
  while (std::getline(manifest, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string file, section_hex, key_hex, size;
    Query query;
    if (!std::getline(fields, file, '\t') || !std::getline(fields, section_hex, '\t') ||
        !std::getline(fields, key_hex, '\t') || !std::getline(fields, size) ||
        !profile_query::FromHex(section_hex, &query.section) ||
        !profile_query::FromHex(key_hex, &query.key)) {
      fprintf(stderr, "malformed line in %s: %s\n", (regressions / "regressions.tsv").c_str(),
              line.c_str());
      return 2;
    }
    query.file = (regressions / file).string();
    query.size = strtoul(size.c_str(), nullptr, 10);
    queries.push_back(query);
  }

  {
    std::ofstream list(work / "queries.tsv", std::ios::binary);
    for (const Query& query : queries) {
      list << WindowsPath(query.file) << '\t' << profile_query::ToHex(query.section) << '\t'
           << profile_query::ToHex(query.key) << '\t' << query.size << '\n';
    }
  }
  const std::string command = "'" + wine + "' '" + probe + "' '" +
                              WindowsPath(work / "queries.tsv") + "' > '" +
                              (work / "wine.tsv").string() + "'";
  const auto wine_started = std::chrono::steady_clock::now();
  if (system(command.c_str()) != 0) {
    fprintf(stderr, "the probe failed under Wine: %s\n", command.c_str());
    return 1;
  }
  const double wine_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wine_started).count();

  std::ifstream wine_results(work / "wine.tsv", std::ios::binary);
  std::getline(wine_results, line);
  if (line != "ACP=932") {
    fprintf(stderr, "Wine reports '%s', expected ACP=932 (LC_ALL=ja_JP.UTF-8)\n", line.c_str());
    return 1;
  }

  std::map<std::string, int> known;
  std::map<std::string, bool> file_differs_on_windows;
  int equal = 0;
  int equal_found = 0;  // equal, and the key was found with a value
  int different = 0;
  fs::path kept = work / "new-regressions";
  std::ofstream kept_manifest;
  for (const Query& query : queries) {
    Outcome wine_outcome;
    if (!std::getline(wine_results, line) || !ParseOutcome(line, &wine_outcome)) {
      fprintf(stderr, "the probe's output ends early or is malformed\n");
      return 1;
    }
    std::vector<char> buffer = profile_query::FreshBuffer(query.size);
    DWORD count = GetPrivateProfileStringA(query.section.c_str(), query.key.c_str(), "",
                                           buffer.data(), query.size, query.file.c_str());
    Outcome posix_outcome;
    ParseOutcome(profile_query::Describe(buffer, query.size, count), &posix_outcome);
    if (posix_outcome.state != "ok") {
      ++different;  // a broken buffer contract is never a platform difference
    } else if (wine_outcome.count == posix_outcome.count &&
               wine_outcome.bytes == posix_outcome.bytes && wine_outcome.state == "ok") {
      ++equal;
      if (wine_outcome.count > 0) ++equal_found;
      continue;
    } else {
      auto cached = file_differs_on_windows.find(query.file);
      if (cached == file_differs_on_windows.end()) {
        cached = file_differs_on_windows
                     .emplace(query.file, ReadsDifferentlyOnWindows(ReadFile(query.file)))
                     .first;
      }
      const char* reason = nullptr;
      if (cached->second) {
        reason = "file read differently on Windows";
      } else if (IsQuotedValueFillingTheBuffer(wine_outcome, posix_outcome, query.size)) {
        reason = "quoted value filling the buffer";
      } else if (IsCutThroughDoubleByte(wine_outcome, posix_outcome, query.size)) {
        reason = "cut through a double-byte character";
      }
      if (reason != nullptr) {
        ++known[reason];
        continue;
      }
      ++different;
    }
    if (different <= 20) {
      printf("DIFFERENT %s [%s] %s size %lu\n  wine:  %s\n  posix: %lu %s %s\n",
             query.file.c_str(), profile_query::ToHex(query.section).c_str(),
             profile_query::ToHex(query.key).c_str(), query.size, line.c_str(),
             posix_outcome.count, profile_query::ToHex(posix_outcome.bytes).c_str(),
             posix_outcome.state.c_str());
    }
    if (!kept_manifest.is_open()) {
      fs::create_directories(kept);
      kept_manifest.open(kept / "regressions.tsv", std::ios::app);
    }
    const std::string name = std::to_string(seed) + "-" + fs::path(query.file).filename().string();
    if (!fs::exists(kept / name)) fs::copy_file(query.file, kept / name);
    kept_manifest << name << '\t' << profile_query::ToHex(query.section) << '\t'
                  << profile_query::ToHex(query.key) << '\t' << query.size << '\n';
  }

  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  printf("%d files, %zu queries (%zu generated, %zu from regression files): %d equal (%d of "
         "them with a value), %d different\n",
         file_count, queries.size(), generated_queries, queries.size() - generated_queries, equal,
         equal_found, different);
  for (const auto& entry : known) {
    printf("  known Windows/Wine difference, %s: %d\n", entry.first.c_str(), entry.second);
  }
  printf("%.1f s in all, %.1f s of them in Wine\n", seconds, wine_seconds);
  if (different > 0) {
    printf("The files that differ are in %s; to keep them, append its regressions.tsv to %s "
           "and copy the files there.\n",
           kept.c_str(), (regressions / "regressions.tsv").c_str());
    return 1;
  }
  return 0;
}
