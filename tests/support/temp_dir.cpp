#include "tests/support/temp_dir.h"

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace test_support {

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/orvane-test-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  nftw(
      path_.c_str(),
      [](const char* path, const struct stat*, int, struct FTW*) { return remove(path); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

std::string TempDir::Write(const std::string& name, const std::string& bytes) const {
  const std::string full = path_ + "/" + name;
  for (size_t slash = full.find('/', path_.size() + 1); slash != std::string::npos;
       slash = full.find('/', slash + 1)) {
    mkdir(full.substr(0, slash).c_str(), 0755);
  }
  FILE* file = fopen(full.c_str(), "wb");
  if (file == nullptr) throw std::runtime_error("cannot create " + full);
  const bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  if (fclose(file) != 0 || !written) throw std::runtime_error("cannot write " + full);
  return full;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

DriveMapping::DriveMapping(char letter, const std::string& root)
    : variable_(std::string("WIN32_DRIVE_") + letter) {
  const char* previous = getenv(variable_.c_str());
  had_previous_ = previous != nullptr;
  if (had_previous_) previous_ = previous;
  setenv(variable_.c_str(), root.c_str(), 1);
}

DriveMapping::~DriveMapping() {
  if (had_previous_) {
    setenv(variable_.c_str(), previous_.c_str(), 1);
  } else {
    unsetenv(variable_.c_str());
  }
}

}  // namespace test_support
