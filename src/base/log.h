// Log lines and the error policy.
//
// Everything that goes wrong while serving mail becomes one timestamped line
// on the Log's stream, written by a single formatted write so that lines of
// concurrent connections never interleave within a line. Each line builds its
// own timestamp (no shared ctime buffer). The daemon's life (started,
// stopped, the pid file, a reload) is told in lifecycle lines on the same
// stream.
//
// Threads: a Log may be written from any thread. Its stream is set by the
// front end before the main loop and put back to standard error after it.
#pragma once

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

// Kinds of log_event line.
enum : int {
  LOG_NO_MEMORY = 0,
  LOG_NO_PRIVATE_DATA = 1,
  LOG_ERROR = 2,
  LOG_WARNING = 3,
};

// The ctime text (24 characters) of a time, without its newline.
struct Timestamp {
  char text[32];
};
Timestamp log_timestamp() noexcept;
Timestamp format_ctime(std::time_t when) noexcept;


// The error left by the failed call, read once: its number and strerror text,
// for the start-up messages that show "(errno: %d:%s)".
struct SystemError {
  int number;
  const char *text;
};
inline SystemError last_error() noexcept {
  const int number = errno;
  return {number, std::strerror(number)};
}

class Log {
 public:
  explicit Log(bool accept_on_error = true) noexcept : accept_on_error_(accept_on_error) {}
  Log(const Log &) = delete;
  Log &operator=(const Log &) = delete;

  // Where the lines go from now on; null: standard error.
  void set_stream(std::FILE *stream) noexcept { stream_.store(stream); }
  // The stream lines go to: the one set, or standard error.
  std::FILE *output() const noexcept;

  bool accept_on_error() const noexcept { return accept_on_error_; }
  // "Mail accepted despite error" or "Mail returned to sender".
  const char *policy_text() const noexcept;

  // Writes one line of `kind` for the operation `where`; `what` describes
  // the object or the failure. Kinds outside LOG_NO_MEMORY..LOG_WARNING write
  // nothing. errno is read on entry (call it right after the failed call)
  // and left as it was.
  void event(const char *where, const char *what, int kind) const noexcept;

  // Writes "<ctime> Quorvane: " and the formatted text as one line; the
  // format carries no newline.
  [[gnu::format(printf, 2, 3)]] void lifecycle(const char *format, ...) const noexcept;

  // Writes "<ctime> Quorvane(<where>): WARNING - " and the formatted text as
  // one line, for warnings that are not about a failed call (no errno); the
  // format carries no newline.
  [[gnu::format(printf, 3, 4)]] void warning(const char *where, const char *format, ...) const noexcept;

 private:
  void write_line(const char *head, const char *where, const char *format, va_list arguments) const noexcept;

  std::atomic<std::FILE *> stream_{nullptr};
  bool accept_on_error_;
};
