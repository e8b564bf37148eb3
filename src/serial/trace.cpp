// The trace hook of the serial and protocol layers.
#include "trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace trn {

namespace {
std::atomic<TraceHook> hook{nullptr};
}  // namespace

void set_trace_hook(TraceHook h) { hook = h; }

void stdio_trace(TraceTo to, const char *text) {
  fputs(text, to == TraceTo::Out ? stdout : stderr);
}

void trace(TraceTo to, const char *format, ...) {
  const TraceHook h = hook.load();
  if (!h) return;
  // Trace lines are short; a long device path takes the slow way.
  char line[256];
  va_list args;
  va_start(args, format);
  const int n = vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof line) {
    h(to, line);
    return;
  }
  std::string text(static_cast<size_t>(n) + 1, '\0');
  va_start(args, format);
  vsnprintf(&text[0], text.size(), format, args);
  va_end(args);
  h(to, text.c_str());
}

}  // namespace trn
