#include "tests/extension/fake_host.h"

#include <string.h>

namespace testing_host {

namespace {

FakeRequest* RequestOf(HCONN conn) { return static_cast<FakeRequest*>(conn); }

}  // namespace

FakeRequest::FakeRequest() {
  memset(&ecb_, 0, sizeof ecb_);
  ecb_.cbSize = sizeof ecb_;
  ecb_.dwVersion = kIsapiVersion;
  ecb_.ConnID = this;
  ecb_.lpszMethod = &method_[0];
  ecb_.lpszQueryString = &empty_[0];
  ecb_.lpszPathInfo = &empty_[0];
  ecb_.lpszPathTranslated = &empty_[0];
  ecb_.lpszContentType = &empty_[0];
  ecb_.GetServerVariable = &FakeRequest::GetServerVariable;
  ecb_.WriteClient = &FakeRequest::WriteClient;
  ecb_.ReadClient = &FakeRequest::ReadClient;
  ecb_.ServerSupportFunction = &FakeRequest::ServerSupportFunction;
  variables["REMOTE_ADDR"] = "192.0.2.7";
  variables["QUERY_STRING"] = "";
}

DWORD FakeRequest::Run(PFN_HTTPEXTENSIONPROC proc) { return proc(&ecb_); }

std::string FakeRequest::Answer() const {
  std::string answer;
  for (const HeaderCall& call : header_calls) answer += call.block;
  for (const std::string& write : writes) answer += write;
  return answer;
}

BOOL WINAPI FakeRequest::GetServerVariable(HCONN conn, LPSTR name, LPVOID buffer,
                                           LPDWORD size) {
  FakeRequest* request = RequestOf(conn);
  ++request->variable_calls;
  switch (request->mode) {
    case VariableMode::kAlwaysTooSmall:
      *size += 300;
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    case VariableMode::kNearFourGiB:
      *size = 0xFFFFFFFFu;
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    case VariableMode::kFillWithoutNul:
      memset(buffer, 'x', *size);
      return TRUE;
    case VariableMode::kFailEverything:
      SetLastError(ERROR_INVALID_INDEX);
      return FALSE;
    case VariableMode::kHonest:
      break;
  }
  auto found = request->variables.find(name);
  if (found == request->variables.end()) {
    SetLastError(ERROR_INVALID_INDEX);
    return FALSE;
  }
  DWORD needed = static_cast<DWORD>(found->second.size() + 1);
  if (*size < needed) {
    *size = needed;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  memcpy(buffer, found->second.c_str(), needed);
  *size = needed;
  return TRUE;
}

BOOL WINAPI FakeRequest::WriteClient(HCONN conn, LPVOID buffer, LPDWORD bytes, DWORD) {
  FakeRequest* request = RequestOf(conn);
  if (request->header_calls.empty()) request->wrote_before_header = true;
  request->writes.emplace_back(static_cast<const char*>(buffer), *bytes);
  return TRUE;
}

BOOL WINAPI FakeRequest::ReadClient(HCONN, LPVOID, LPDWORD size) {
  *size = 0;
  return TRUE;
}

BOOL WINAPI FakeRequest::ServerSupportFunction(HCONN conn, DWORD request_code, LPVOID buffer,
                                               LPDWORD size, LPDWORD data_type) {
  FakeRequest* request = RequestOf(conn);
  if (request_code != HSE_REQ_SEND_RESPONSE_HEADER) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const char* block = reinterpret_cast<const char*>(data_type);
  request->header_calls.push_back(
      {buffer == nullptr, size ? *size : 0, block ? std::string(block) : std::string()});
  return TRUE;
}

}  // namespace testing_host
