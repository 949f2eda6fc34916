#include <stdlib.h>
#include <string.h>

#include "extension/module.h"

namespace {

// A host that keeps answering "buffer too small" is given this many tries.
constexpr int kMaxAttempts = 4;
constexpr DWORD kFirstOffer = 257;

}  // namespace

char* ReadServerVariable(EXTENSION_CONTROL_BLOCK* ecb, const char* name) {
  DWORD offered = kFirstOffer;
  // One byte past the offer stays zero, so the value is terminated even
  // when the host fills every offered byte.
  char* value = static_cast<char*>(malloc(size_t{offered} + 1));
  for (int attempt = 1; value != NULL; ++attempt) {
    memset(value, 0, size_t{offered} + 1);
    DWORD size = offered;
    if (ecb->GetServerVariable(ecb->ConnID, const_cast<char*>(name), value, &size)) return value;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return value;
    if (attempt == kMaxAttempts || size > kMaxServerVariableSize) {
      memset(value, 0, size_t{offered} + 1);
      return value;
    }
    if (size > offered) offered = size;
    char* larger = static_cast<char*>(realloc(value, size_t{offered} + 1));
    if (larger == NULL) free(value);
    value = larger;
  }
  return NULL;
}
