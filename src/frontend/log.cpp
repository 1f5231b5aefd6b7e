#include "frontend/log.h"

#include <cerrno>
#include <cstring>

std::FILE *log_stream = nullptr;
int accept_on_error = 1;
int verbose_level = 0;

Timestamp format_ctime(std::time_t when) noexcept {
  Timestamp stamp{};
  char buffer[32];
  std::tm local{};
  // ctime_r would do, but it is marked obsolescent; asctime_r of localtime_r
  // gives the same fixed layout without a shared buffer.
  if (localtime_r(&when, &local) == nullptr || asctime_r(&local, buffer) == nullptr) {
    std::strcpy(stamp.text, "Thu Jan  1 00:00:00 1970");
    return stamp;
  }
  std::size_t length = std::strlen(buffer);
  if (length > 0 && buffer[length - 1] == '\n') --length;
  if (length >= sizeof stamp.text) length = sizeof stamp.text - 1;
  std::memcpy(stamp.text, buffer, length);
  stamp.text[length] = '\0';
  return stamp;
}

Timestamp log_timestamp() noexcept { return format_ctime(std::time(nullptr)); }

const char *policy_text() noexcept {
  return accept_on_error != 0 ? "Mail accepted despite error" : "Mail returned to sender";
}

std::FILE *log_output() noexcept { return log_stream != nullptr ? log_stream : stderr; }

void log_event(const char *where, const char *what, int kind) noexcept {
  const int saved_errno = errno;
  const char *policy = policy_text();
  if (kind < LOG_NO_MEMORY || kind > LOG_WARNING) return;
  const Timestamp stamp = log_timestamp();
  char reason[256];
  const char *reason_text = strerror_r(saved_errno, reason, sizeof reason);
  std::FILE *out = log_output();
  switch (kind) {
  case LOG_NO_MEMORY:
    std::fprintf(out,
                 "%s Quorvane(%s): ERROR - Could not allocate memory for %s. \t\t\t\t\tperhaps system or "
                 "process memory limits have been reached? %s.\n",
                 stamp.text, where, what, policy);
    break;
  case LOG_NO_PRIVATE_DATA:
    std::fprintf(out,
                 "%s Quorvane(%s): ERROR - Private data was not found \t\t\t\t\tdurining %s. This should "
                 "never happen!\n",
                 stamp.text, where, policy);
    break;
  case LOG_ERROR:
    std::fprintf(out, "%s Quorvane(%s): ERROR - %s (errno: %d:%s). %s.\n", stamp.text, where, what, saved_errno,
                 reason_text, policy);
    break;
  default:
    std::fprintf(out, "%s Quorvane(%s): WARNING - %s (errno: %d:%s).\n", stamp.text, where, what, saved_errno,
                 reason_text);
    break;
  }
  errno = saved_errno;
}
