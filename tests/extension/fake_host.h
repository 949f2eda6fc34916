// A host for driving the module in-process: it plays the web server's side
// of one request and records what the module sends.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "isapi/isapi.h"

namespace testing_host {

// How GetServerVariable treats the module.
enum class VariableMode {
  kHonest,             // IIS semantics over `variables`
  kAlwaysTooSmall,     // FALSE/122 forever, asking for 300 bytes more each time
  kNearFourGiB,        // FALSE/122 asking for 0xFFFFFFFF bytes
  kFillWithoutNul,     // TRUE after filling every offered byte with 'x'
  kFailEverything,     // FALSE/1413 for every name
};

struct HeaderCall {
  bool status_was_null;
  DWORD size;
  std::string block;
};

class FakeRequest {
 public:
  FakeRequest();

  // Runs the module's HttpExtensionProc on this request.
  DWORD Run(PFN_HTTPEXTENSIONPROC proc);

  // The header block followed by every byte written.
  std::string Answer() const;

  std::map<std::string, std::string> variables;
  VariableMode mode = VariableMode::kHonest;

  std::vector<HeaderCall> header_calls;
  std::vector<std::string> writes;
  // Set when a write arrived before any header call.
  bool wrote_before_header = false;
  int variable_calls = 0;

 private:
  static BOOL WINAPI GetServerVariable(HCONN conn, LPSTR name, LPVOID buffer, LPDWORD size);
  static BOOL WINAPI WriteClient(HCONN conn, LPVOID buffer, LPDWORD bytes, DWORD flags);
  static BOOL WINAPI ReadClient(HCONN conn, LPVOID buffer, LPDWORD size);
  static BOOL WINAPI ServerSupportFunction(HCONN conn, DWORD request, LPVOID buffer,
                                           LPDWORD size, LPDWORD data_type);

  EXTENSION_CONTROL_BLOCK ecb_;
  std::string method_ = "GET";
  std::string empty_;
};

}  // namespace testing_host
