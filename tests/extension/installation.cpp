#include "tests/extension/installation.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

namespace testing_host {

TempInstallation::TempInstallation() {
  static std::atomic<unsigned> counter{0};
  static const unsigned process_tag = std::random_device{}();
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int attempt = 0; dir_.empty(); ++attempt) {
    if (attempt == 100) throw std::runtime_error("cannot create a temporary installation");
    const std::filesystem::path candidate =
        base / ("orvane-" + std::to_string(process_tag) + "-" + std::to_string(++counter));
    if (std::filesystem::create_directory(candidate)) dir_ = candidate.string();
  }
  for (const char* sub : {"data", "help", "template"}) {
    std::filesystem::create_directory(std::filesystem::path(dir_) / sub);
  }
}

TempInstallation::~TempInstallation() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

void TempInstallation::WriteFile(const std::string& relative, const std::string& contents) {
  std::ofstream out(std::filesystem::path(dir_) / relative, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  if (!out) throw std::runtime_error("cannot write " + relative);
}

void TempInstallation::Populate(const cases::Installation& setup,
                                const std::string& insdir_text) {
  if (setup.ini != nullptr) WriteFile("data/dremgate_j.ini", ExpandInsdir(setup.ini, insdir_text));
  WriteFile("template/dremerror.html", "<html>error template</html>");
  if (setup.has_page) WriteFile("help/nohp.html", setup.page);
  if (setup.page_is_directory) {
    std::filesystem::create_directory(std::filesystem::path(dir_) / "help" / "nohp.html");
  }
}

std::string ExpandInsdir(const std::string& text, const std::string& insdir) {
  std::string out = text;
  const std::string token = "{INS}";
  for (size_t at = out.find(token); at != std::string::npos; at = out.find(token, at)) {
    out.replace(at, token.size(), insdir);
    at += insdir.size();
  }
  return out;
}

}  // namespace testing_host
