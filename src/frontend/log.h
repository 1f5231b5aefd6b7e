// Log lines and the error policy.
//
// Everything that goes wrong while serving mail becomes one timestamped line
// on `log_stream`, written by a single formatted write so that lines of
// concurrent connections never interleave within a line. Each line builds its
// own timestamp (no shared ctime buffer). Safe on any thread once start-up has
// set the globals below; they are not changed while the main loop runs.
#pragma once

#include <cerrno>
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

extern std::FILE *log_stream;  // standard error when null
extern int accept_on_error;    // 1 unless -a
extern int verbose_level;      // count of -v

// The ctime text (24 characters) of a time, without its newline.
struct Timestamp {
  char text[32];
};
Timestamp log_timestamp() noexcept;
Timestamp format_ctime(std::time_t when) noexcept;

// "Mail accepted despite error" or "Mail returned to sender".
const char *policy_text() noexcept;

// Writes one line of `kind` for the operation `where`; `what` describes the
// object or the failure. Kinds outside LOG_NO_MEMORY..LOG_WARNING write nothing.
// errno is read on entry: call it right after the failed call.
void log_event(const char *where, const char *what, int kind) noexcept;

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

// The stream log lines go to: log_stream, or standard error while unset.
std::FILE *log_output() noexcept;
