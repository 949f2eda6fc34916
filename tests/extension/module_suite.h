// The fixture of the module's behaviour tests, shared by the suite both
// builds run (module_suite.cpp) and the tests only one platform runs.
#pragma once

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tests/extension/fake_host.h"
#include "tests/extension/installation.h"
#include "tests/extension/module_platform.h"

namespace module_suite {

inline constexpr char kHeaderBlock[] =
    "Content-type: text/html\r\nCache-Control: no-cache\r\nPragma: no-cache\r\n"
    "TrResult: -1\r\n\r\n";

// The header block and the fallback page, encoded independently of the module.
std::string FallbackAnswer();

// Gives each test a fresh installation, named by ORVANE_INSDIR.
class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(module_platform::LoadedModule().handle, nullptr)
        << module_platform::LoadedModule().error;
    ASSERT_NE(module_platform::LoadedModule().proc, nullptr);
    module_platform::SetInstallDir(installation.dir());
  }
  void TearDown() override { module_platform::RemoveInstallDir(); }

  // Runs one request and checks what every answer must be: one header call
  // with a null status and the block's exact length, nothing written before
  // it, and HSE_STATUS_SUCCESS.
  std::string Request(testing_host::FakeRequest& request) {
    EXPECT_EQ(request.Run(module_platform::LoadedModule().proc), HSE_STATUS_SUCCESS);
    EXPECT_EQ(request.header_calls.size(), 1u);
    EXPECT_FALSE(request.wrote_before_header);
    for (const auto& call : request.header_calls) {
      EXPECT_TRUE(call.status_was_null);
      EXPECT_EQ(call.size, call.block.size());
      EXPECT_EQ(call.block, kHeaderBlock);
    }
    return request.Answer();
  }
  std::string Request() {
    testing_host::FakeRequest request;
    return Request(request);
  }
  // A configuration naming this installation, and `page` as its page.
  void UseStandardInstallation(const std::string& page) {
    installation.WriteFile("data/dremgate_j.ini",
                           "[Template]\r\nerr=" + installation.dir() +
                               "\\template\\dremerror.html\r\n");
    installation.WriteFile("help/nohp.html", page);
  }
  std::string PagePath() const {
    return (std::filesystem::path(installation.dir()) / "help" / "nohp.html").string();
  }

  testing_host::TempInstallation installation;
};

}  // namespace module_suite
