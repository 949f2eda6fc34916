#include <stdarg.h>
#include <stdio.h>

#include "extension/module.h"

extern const bool kTraceOn = ORVANE_TRACE;

#if ORVANE_TRACE

void TraceLog(const char* format, ...) {
  char line[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line - 1, format, args);
  va_end(args);
#ifdef _WIN32
  OutputDebugStringA(line);
  OutputDebugStringA("\n");
#else
  fprintf(stderr, "%s\n", line);
#endif
}

#else

void TraceLog(const char*, ...) {}

#endif
