// The verbose trace's formatted write.
#include "base/trace.h"

#include <cstdarg>

void Trace::print(const char *format, ...) const noexcept {
  if (out == nullptr) return;
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(out, format, arguments);
  va_end(arguments);
}
