// A throw-away installation directory for one test, removed on destruction.
#pragma once

#include <string>

#include "tests/extension/cases.h"

namespace testing_host {

class TempInstallation {
 public:
  TempInstallation();
  ~TempInstallation();
  TempInstallation(const TempInstallation&) = delete;
  TempInstallation& operator=(const TempInstallation&) = delete;

  // Lays out data/dremgate_j.ini, help/nohp.html and template/ as `setup`
  // describes, with "{INS}" in the INI text replaced by `insdir_text`.
  void Populate(const cases::Installation& setup, const std::string& insdir_text);
  void WriteFile(const std::string& relative, const std::string& contents);

  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
};

// Replaces every "{INS}" in `text` with `insdir`.
std::string ExpandInsdir(const std::string& text, const std::string& insdir);

}  // namespace testing_host
