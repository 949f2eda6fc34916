// The descriptor limit of a host process, which holds a descriptor per
// client connection.
#pragma once

#include <sys/resource.h>

namespace isapi {

// Raises the soft RLIMIT_NOFILE to the hard limit, as nginx's
// worker_rlimit_nofile does, and returns the soft limit in force afterwards
// (RLIM_INFINITY when unlimited). When the limit cannot be read it returns
// RLIM_INFINITY; when it cannot be raised, the unchanged soft limit. Call
// it in main before threads start: the limit is per process.
rlim_t RaiseDescriptorLimit();

}  // namespace isapi
