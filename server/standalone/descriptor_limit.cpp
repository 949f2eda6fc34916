#include "server/standalone/descriptor_limit.h"

namespace isapi {

rlim_t RaiseDescriptorLimit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return RLIM_INFINITY;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = {limit.rlim_max, limit.rlim_max};
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur;
}

}  // namespace isapi
