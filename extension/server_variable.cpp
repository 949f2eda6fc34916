#include <stdlib.h>
#include <string.h>

#include "extension/module.h"

namespace {

// A host that keeps answering "buffer too small" is given this many tries.
constexpr int kMaxAttempts = 4;

}  // namespace

ServerVariable::ServerVariable(EXTENSION_CONTROL_BLOCK* ecb, const char* name)
    : larger_(NULL), value_(NULL) {
  DWORD offered = kFirstOffer;
  char* buffer = first_;
  for (int attempt = 1;; ++attempt) {
    memset(buffer, 0, size_t{offered} + 1);
    DWORD size = offered;
    if (ecb->GetServerVariable(ecb->ConnID, const_cast<char*>(name), buffer, &size) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
      break;
    }
    if (attempt == kMaxAttempts || size > kMaxServerVariableSize) {
      memset(buffer, 0, size_t{offered} + 1);
      break;
    }
    if (size > offered) offered = size;
    char* larger = static_cast<char*>(realloc(larger_, size_t{offered} + 1));
    if (larger == NULL) return;
    larger_ = buffer = larger;
  }
  value_ = buffer;
}

ServerVariable::~ServerVariable() { free(larger_); }
