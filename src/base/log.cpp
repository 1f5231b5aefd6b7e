// Log lines: the ctime date, the event lines of the error policy and the
// lifecycle lines.
#include "base/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <new>

Timestamp format_ctime(std::time_t when) noexcept {
  // The ctime layout, "Thu Jan  1 00:00:00 1970", written straight from
  // localtime_r: no shared buffer, and none of asctime's formatting cost,
  // which shows in every mailbox record.
  static constexpr char kDays[] = "SunMonTueWedThuFriSat";
  static constexpr char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  Timestamp stamp{};
  std::tm local{};
  if (localtime_r(&when, &local) == nullptr || local.tm_wday < 0 || local.tm_wday > 6 || local.tm_mon < 0 ||
      local.tm_mon > 11 || local.tm_year < 1000 - 1900 || local.tm_year > 9999 - 1900) {
    // Out of the four-digit range: fall back to the library's own text.
    char buffer[64];
    if (localtime_r(&when, &local) != nullptr && asctime_r(&local, buffer) != nullptr) {
      std::size_t length = std::strcspn(buffer, "\n");
      if (length >= sizeof stamp.text) length = sizeof stamp.text - 1;
      std::memcpy(stamp.text, buffer, length);
    }
    return stamp;
  }
  char *out = stamp.text;
  auto two = [&out](int value, char pad) {
    *out++ = value >= 10 ? static_cast<char>('0' + value / 10) : pad;
    *out++ = static_cast<char>('0' + value % 10);
  };
  std::memcpy(out, kDays + 3 * local.tm_wday, 3);
  out += 3;
  *out++ = ' ';
  std::memcpy(out, kMonths + 3 * local.tm_mon, 3);
  out += 3;
  *out++ = ' ';
  two(local.tm_mday, ' ');
  *out++ = ' ';
  two(local.tm_hour, '0');
  *out++ = ':';
  two(local.tm_min, '0');
  *out++ = ':';
  two(local.tm_sec, '0');
  *out++ = ' ';
  const int year = local.tm_year + 1900;
  two(year / 100, '0');
  two(year % 100, '0');
  *out = '\0';
  return stamp;
}

Timestamp log_timestamp() noexcept { return format_ctime(std::time(nullptr)); }

const char *Log::policy_text() const noexcept {
  return accept_on_error_ ? "Mail accepted despite error" : "Mail returned to sender";
}

std::FILE *Log::output() const noexcept {
  std::FILE *stream = stream_.load();
  return stream != nullptr ? stream : stderr;
}

void Log::write_line(const char *head, const char *where, const char *format, va_list arguments) const noexcept {
  const int saved_errno = errno;
  const Timestamp stamp = log_timestamp();
  va_list measuring;
  va_copy(measuring, arguments);
  const int length = std::vsnprintf(nullptr, 0, format, measuring);
  va_end(measuring);
  // Put together whole, so that the line reaches the stream in one write.
  char fallback[1024];
  std::unique_ptr<char[]> exact(length >= 0 && static_cast<std::size_t>(length) >= sizeof fallback
                                    ? new (std::nothrow) char[static_cast<std::size_t>(length) + 1]
                                    : nullptr);
  char *text = exact ? exact.get() : fallback;
  std::vsnprintf(text, exact ? static_cast<std::size_t>(length) + 1 : sizeof fallback, format, arguments);
  if (where == nullptr)
    std::fprintf(output(), "%s Quorvane: %s\n", stamp.text, text);
  else
    std::fprintf(output(), "%s Quorvane(%s): %s%s\n", stamp.text, where, head, text);
  errno = saved_errno;
}

void Log::lifecycle(const char *format, ...) const noexcept {
  va_list arguments;
  va_start(arguments, format);
  write_line("", nullptr, format, arguments);
  va_end(arguments);
}

void Log::warning(const char *where, const char *format, ...) const noexcept {
  va_list arguments;
  va_start(arguments, format);
  write_line("WARNING - ", where, format, arguments);
  va_end(arguments);
}

void Log::event(const char *where, const char *what, int kind) const noexcept {
  const int saved_errno = errno;
  const char *policy = policy_text();
  if (kind < LOG_NO_MEMORY || kind > LOG_WARNING) return;
  const Timestamp stamp = log_timestamp();
  char reason[256];
  const char *reason_text = strerror_r(saved_errno, reason, sizeof reason);
  std::FILE *out = output();
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
