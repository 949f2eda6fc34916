// The tests only orvanehp.so runs; module_suite.cpp holds those both
// builds run.
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/extension/module_suite.h"

namespace {

using module_suite::FallbackAnswer;
using module_suite::kHeaderBlock;
using module_suite::ModuleTest;
using testing_host::FakeRequest;

TEST(Exports, AreExactlyTheThreeEntryPoints) {
  std::string command = "nm -D --defined-only '" + module_platform::module_path + "'";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::vector<std::string> names;
  char line[512];
  while (fgets(line, sizeof line, pipe) != nullptr) {
    std::string entry(line);
    entry.erase(entry.find_last_not_of("\r\n") + 1);
    names.push_back(entry.substr(entry.rfind(' ') + 1));
  }
  ASSERT_EQ(pclose(pipe), 0);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"GetExtensionVersion", "HttpExtensionProc",
                                             "TerminateExtension"}));
}

TEST_F(ModuleTest, DefaultInstallationDirectoryIsOnDriveC) {
  module_platform::RemoveInstallDir();
  unsetenv("WIN32_DRIVE_C");
  EXPECT_EQ(Request(), FallbackAnswer());

  std::filesystem::path root = installation.dir();
  std::filesystem::create_directories(root / "Program Files" / "Orvane" / "data");
  std::filesystem::create_directories(root / "Program Files" / "Orvane" / "help");
  installation.WriteFile("Program Files/Orvane/data/dremgate_j.ini",
                         "[Template]\r\nerr=C:\\Program Files\\Orvane\\template\\dremerror.html\r\n");
  installation.WriteFile("Program Files/Orvane/help/nohp.html", "default place");
  setenv("WIN32_DRIVE_C", installation.dir().c_str(), 1);
  EXPECT_EQ(Request(), kHeaderBlock + std::string("default place"));

  // Present but empty is not absent: the default is not used.
  module_platform::SetInstallDir("");
  EXPECT_EQ(Request(), FallbackAnswer());
  unsetenv("WIN32_DRIVE_C");
}

// Runs `request` with standard error captured; returns what was written.
template <typename Request>
std::string CapturedStderr(Request request) {
  fflush(stderr);
  const int saved = dup(2);
  FILE* capture = tmpfile();
  if (saved < 0 || capture == nullptr) return "<cannot capture stderr>";
  dup2(fileno(capture), 2);
  request();
  fflush(stderr);
  dup2(saved, 2);
  close(saved);
  std::string text(static_cast<size_t>(lseek(fileno(capture), 0, SEEK_END)), '\0');
  pread(fileno(capture), &text[0], text.size(), 0);
  fclose(capture);
  return text;
}

TEST_F(ModuleTest, WritesNothingToStderrNorAsksForTheTracedVariables) {
  if (ORVANE_TRACE) GTEST_SKIP() << "this build's module traces";
  UseStandardInstallation("quiet");
  FakeRequest request;
  EXPECT_EQ(CapturedStderr([&] { Request(request); }), "");
  EXPECT_EQ(request.variable_calls, 0);
}

TEST_F(ModuleTest, TraceBuildShowsThePathResolution) {
  void* traced = dlopen(ORVANEHP_TRACE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(traced, nullptr) << dlerror();
  auto proc = reinterpret_cast<PFN_HTTPEXTENSIONPROC>(dlsym(traced, "HttpExtensionProc"));
  ASSERT_NE(proc, nullptr);
  // Conversion characters in a path are text, never a format.
  const std::string dir = installation.dir() + "/odd%s%n%d";
  std::filesystem::create_directories(std::filesystem::path(dir) / "data");
  std::filesystem::create_directories(std::filesystem::path(dir) / "help");
  installation.WriteFile("odd%s%n%d/data/dremgate_j.ini",
                         "[Template]\r\nerr=" + dir + "\\template\\dremerror.html\r\n");
  installation.WriteFile("odd%s%n%d/help/nohp.html", "traced");
  module_platform::SetInstallDir(dir);
  FakeRequest request;
  request.variables["QUERY_STRING"] = "q=1";
  request.variables["HTTP_COOKIE"] = "a=b; orvane-color=blue; c=d";
  std::string trace = CapturedStderr([&] { request.Run(proc); });
  EXPECT_EQ(request.Answer(), kHeaderBlock + std::string("traced"));
  EXPECT_EQ(trace,
            "CGI DEBUG START!!\n"
            "Log(Remoto IP ADDRESS) : 192.0.2.7\n"
            "QUERY_STRING : q=1\n"
            "Cookie(orvane-color) : blue\n" +
                dir + "\\data\\dremgate_j.ini\n" + dir + "\\help\\nohp.html\n");
  dlclose(traced);
}

}  // namespace
