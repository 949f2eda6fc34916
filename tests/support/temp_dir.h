// Scratch directories, the files in them, and drive mappings for the tests.
#pragma once

#include <string>

namespace test_support {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it
// on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }

  // Creates (or replaces) the file `name` under this directory with the
  // given bytes, creating missing parent directories; returns its path.
  std::string Write(const std::string& name, const std::string& bytes) const;

 private:
  std::string path_;
};

// The contents of the file at `path`; "" when it cannot be read.
std::string ReadFile(const std::string& path);

// Points the drive letter `letter` at `root` (WIN32_DRIVE_<letter>) for the
// lifetime of the object, then restores the previous mapping.
class DriveMapping {
 public:
  DriveMapping(char letter, const std::string& root);
  ~DriveMapping();
  DriveMapping(const DriveMapping&) = delete;
  DriveMapping& operator=(const DriveMapping&) = delete;

 private:
  std::string variable_;
  bool had_previous_;
  std::string previous_;
};

}  // namespace test_support
