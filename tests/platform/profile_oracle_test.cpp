// Runs every row of profile-cases/expected.tsv (Wine's results for the
// evidence corpus under ANSI code page 932) against GetPrivateProfileStringA,
// with Windows' results in place of Wine's for the "-wine-only" files.
#include <stdio.h>

#include <algorithm>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/win32.h"
#include "tests/support/temp_dir.h"

namespace {

const char kCasesDir[] = PROFILE_CASES_DIR;
const char kCasesDrive = 'T';

struct Row {
  int line;  // in expected.tsv, for test names and messages
  std::string file;
  std::string section;
  std::string key;
  DWORD size;
  DWORD count;
  std::string bytes;
};

void PrintTo(const Row& row, std::ostream* out) {
  *out << row.file << " [" << row.section << "] " << row.key << " n=" << row.size;
}

// Windows' results where they are reported to differ from Wine's.
struct WindowsResult {
  const char* file;
  DWORD size;
  DWORD count;
  std::string bytes;
};

const std::vector<WindowsResult>& WindowsResults() {
  static const std::vector<WindowsResult> results = {
      {"046-quoted-value-exact-fit-wine-only.ini", 7, 6, "abcdef"},
      {"070-header-no-close-bracket-wine-only.ini", 1024, 8, "unclosed"},
      {"072-header-comment-with-bracket-wine-only.ini", 1024, 15, "bracket comment"},
      {"080-utf8-bom-header-on-line1-wine-only.ini", 1024, 0, ""},
      {"082-utf8-bom-nonascii-value-wine-only.ini", 1024, 9,
       "\xe3\x82\xa8\xe3\x83\xa9\xe3\x83\xbc"},
      {"114-value-1023-quoted-wine-only.ini", 1024, 1023, std::string(1022, 'q') + "Z"},
  };
  return results;
}

bool IsWineOnly(const std::string& file) { return file.find("-wine-only") != std::string::npos; }

std::string FromHex(const std::string& hex) {
  std::string bytes;
  if (hex == "-") return bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::vector<Row> LoadRows() {
  std::vector<Row> rows;
  std::ifstream in(std::string(kCasesDir) + "/expected.tsv");
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (number == 1) continue;  // header
    std::vector<std::string> fields;
    std::stringstream stream(line);
    for (std::string field; std::getline(stream, field, '\t');) fields.push_back(field);
    if (fields.size() != 6) continue;
    Row row{number,
            fields[0],
            fields[1],
            fields[2],
            static_cast<DWORD>(std::stoul(fields[3])),
            static_cast<DWORD>(std::stoul(fields[4])),
            FromHex(fields[5])};
    if (IsWineOnly(row.file)) {
      for (const WindowsResult& windows : WindowsResults()) {
        if (row.file == windows.file && row.size == windows.size) {
          row.count = windows.count;
          row.bytes = windows.bytes;
        }
      }
    }
    rows.push_back(row);
  }
  return rows;
}

std::string Printable(const std::string& bytes) {
  std::string text;
  char hex[4];
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      text.push_back(static_cast<char>(c));
    } else {
      snprintf(hex, sizeof hex, "%02x", c);
      text += std::string("\\x") + hex;
    }
  }
  return text;
}

class ProfileOracle : public ::testing::TestWithParam<Row> {
 protected:
  test_support::DriveMapping drive_{kCasesDrive, kCasesDir};
};

TEST_P(ProfileOracle, MatchesWindows) {
  const Row& row = GetParam();
  const size_t kGuard = 64;
  const char kCanary = static_cast<char>(0xCC);
  std::string buffer(row.size + kGuard, kCanary);
  const std::string path = std::string(1, kCasesDrive) + ":\\cases\\" + row.file;

  const DWORD count = GetPrivateProfileStringA(row.section.c_str(), row.key.c_str(), "", &buffer[0],
                                               row.size, path.c_str());

  ASSERT_EQ(count, row.count) << row.file << " (expected.tsv line " << row.line << ")";
  EXPECT_EQ(Printable(buffer.substr(0, count)), Printable(row.bytes)) << row.file;
  if (row.size > 0) {
    EXPECT_EQ(buffer[count], '\0') << "no terminator right after the value";
  }
  // Nothing is written after the terminator, so nothing at or past `size`.
  const size_t untouched_from = row.size == 0 ? 0 : count + 1;
  EXPECT_EQ(buffer.find_first_not_of(kCanary, untouched_from), std::string::npos)
      << "a byte after the terminator was written";
}

std::string RowName(const ::testing::TestParamInfo<Row>& info) {
  const Row& row = info.param;
  return "line" + std::to_string(row.line) + "_case" + row.file.substr(0, 3) + "_n" +
         std::to_string(row.size);
}

INSTANTIATE_TEST_SUITE_P(ExpectedTsv, ProfileOracle, ::testing::ValuesIn(LoadRows()), RowName);

// Guards the table itself: a missing copy of the corpus, or a Windows result
// that no longer matches a row, must fail rather than shrink the test.
TEST(ProfileOracleTable, EveryWineOnlyRowHasAWindowsResult) {
  const std::vector<Row> rows = LoadRows();
  ASSERT_GE(rows.size(), 75u) << "profile-cases/expected.tsv is missing or truncated";
  size_t wine_only_rows = 0;
  for (const Row& row : rows) {
    if (!IsWineOnly(row.file)) continue;
    ++wine_only_rows;
    const auto& results = WindowsResults();
    EXPECT_TRUE(std::any_of(results.begin(), results.end(),
                            [&](const WindowsResult& windows) {
                              return row.file == windows.file && row.size == windows.size;
                            }))
        << row.file << " has no Windows result";
  }
  EXPECT_EQ(wine_only_rows, WindowsResults().size());
}

}  // namespace
