// Start-up failures: the message, then the exit status.
#include "base/fatal.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

void fail_start(int status, const char *format, ...) noexcept {
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(stderr, format, arguments);
  va_end(arguments);
  std::exit(status);
}
