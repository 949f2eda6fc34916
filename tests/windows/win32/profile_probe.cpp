// Runs a batch of single-key GetPrivateProfileStringA reads with the
// platform's own implementation, for the differential test of the POSIX one.
//
//   profile_probe.exe <queries file>
//
// Each line of the queries file is
//   <file path> <TAB> <section, hex> <TAB> <key, hex> <TAB> <buffer size>
// Section and key are hex so that any byte but NUL can be asked for. For
// each line the probe prints one line of profile_query::Describe() to
// stdout, in order. The first line of stdout reports the ANSI code page as
// "ACP=<number>". Exit status 2 when the queries file cannot be read or a
// line is malformed.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <string>

#include "tests/windows/profile_query.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s <queries file>\n", argv[0]);
    return 2;
  }
  _setmode(_fileno(stdout), _O_BINARY);
  std::ifstream queries(argv[1], std::ios::binary);
  if (!queries) {
    fprintf(stderr, "cannot read %s\n", argv[1]);
    return 2;
  }
  printf("ACP=%u\n", GetACP());
  std::string line;
  for (int number = 1; std::getline(queries, line); ++number) {
    std::istringstream fields(line);
    std::string path, section_hex, key_hex, size_text, section, key;
    if (!std::getline(fields, path, '\t') || !std::getline(fields, section_hex, '\t') ||
        !std::getline(fields, key_hex, '\t') || !std::getline(fields, size_text) ||
        !profile_query::FromHex(section_hex, &section) ||
        !profile_query::FromHex(key_hex, &key)) {
      fprintf(stderr, "line %d: malformed query\n", number);
      return 2;
    }
    unsigned long size = strtoul(size_text.c_str(), nullptr, 10);
    std::vector<char> buffer = profile_query::FreshBuffer(size);
    DWORD count = GetPrivateProfileStringA(section.c_str(), key.c_str(), "", buffer.data(),
                                           size, path.c_str());
    printf("%s\n", profile_query::Describe(buffer, size, count).c_str());
  }
  return 0;
}
