// What one request costs inside the module: HttpExtensionProc through the
// in-process fake host, against a copy of the example installation (notice
// page) and against an empty one (fallback page); and the notice page
// through the hosts' own core, which adds what every host does around the
// call (control block, server variables, the answer) but no network.
#include <dlfcn.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include <benchmark/benchmark.h>

#include "server/core/host_core.h"
#include "tests/extension/fake_host.h"
#include "tests/extension/installation.h"

namespace {

PFN_HTTPEXTENSIONPROC LoadProc() {
  void* module = dlopen(ORVANEHP_PATH, RTLD_NOW | RTLD_LOCAL);
  return module ? reinterpret_cast<PFN_HTTPEXTENSIONPROC>(dlsym(module, "HttpExtensionProc"))
                : nullptr;
}

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// A copy of the example installation's configuration and notice page.
void WriteNoticePage(testing_host::TempInstallation* installation) {
  const std::filesystem::path example = EXAMPLE_INSTALLATION;
  installation->WriteFile("data/dremgate_j.ini", "[Template]\r\nerr=" + installation->dir() +
                                                     "\\template\\dremerror.html\r\n");
  installation->WriteFile("help/nohp.html", ReadAll(example / "help" / "nohp.html"));
}

void RunRequests(benchmark::State& state, bool with_page) {
  static const PFN_HTTPEXTENSIONPROC proc = LoadProc();
  if (proc == nullptr) {
    state.SkipWithError("cannot load the module");
    return;
  }
  testing_host::TempInstallation installation;
  if (with_page) WriteNoticePage(&installation);
  setenv("ORVANE_INSDIR", installation.dir().c_str(), 1);
  size_t bytes = 0;
  for (auto _ : state) {
    testing_host::FakeRequest request;
    request.Run(proc);
    bytes += request.writes.empty() ? 0 : request.writes.back().size();
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  unsetenv("ORVANE_INSDIR");
}

// Takes the answer as a front end would, minus the sending.
class DiscardingSink : public isapi::ResponseSink {
 public:
  bool SendHead(const isapi::ResponseHead&) override { return true; }
  bool WriteBody(const void*, size_t size) override {
    bytes += size;
    return true;
  }
  void Finish(bool) override {}
  bool ClientKeepsAlive() override { return true; }

  size_t bytes = 0;
};

void BM_NoticePage(benchmark::State& state) { RunRequests(state, true); }
void BM_FallbackPage(benchmark::State& state) { RunRequests(state, false); }

void BM_HostCoreNoticePage(benchmark::State& state) {
  std::string error;
  const std::unique_ptr<isapi::Module> module = isapi::Module::Load(ORVANEHP_PATH, &error);
  if (module == nullptr) {
    state.SkipWithError(error.c_str());
    return;
  }
  testing_host::TempInstallation installation;
  WriteNoticePage(&installation);
  setenv("ORVANE_INSDIR", installation.dir().c_str(), 1);
  // What isapi-server fills in for the request wrk sends.
  isapi::Request request;
  request.method = "GET";
  request.target = request.path = "/nohp";
  request.protocol = "HTTP/1.1";
  request.headers = {{"Host", "127.0.0.1:8080"}};
  request.remote_addr = request.local_addr = request.server_name = "127.0.0.1";
  DiscardingSink sink;
  for (auto _ : state) module->Serve(request, &sink);
  state.SetBytesProcessed(static_cast<int64_t>(sink.bytes));
  unsetenv("ORVANE_INSDIR");
}

BENCHMARK(BM_NoticePage);
BENCHMARK(BM_FallbackPage);
BENCHMARK(BM_HostCoreNoticePage);

}  // namespace

BENCHMARK_MAIN();
