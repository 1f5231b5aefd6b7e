// The pid file: exclusive record lock, decimal id, guarded removal.
#include "frontend/pid_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "frontend/log.h"

namespace {

struct PidFile {
  const char *path = nullptr;       // the -r text, for messages
  std::unique_ptr<char[]> located;  // absolute form of `path`, for stat and unlink
  int descriptor = -1;
  struct stat identity {};
};

PidFile held;

// The whole file, however long it grows.
struct flock whole_file_lock(short type) noexcept {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  return lock;
}

// A failed acquisition: one message on standard error, then status 70.
[[gnu::format(printf, 1, 2)]] [[noreturn]] void fail(const char *format, ...) noexcept {
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(stderr, format, arguments);
  va_end(arguments);
  std::exit(70);
}

// A problem at release: one timestamped line on the log stream.
[[gnu::format(printf, 1, 2)]] void log_line(const char *format, ...) noexcept {
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(log_output(), format, arguments);
  va_end(arguments);
}

// `path` resolved against the working directory of the moment; the path as
// given when it is absolute or the directory cannot be read.
std::unique_ptr<char[]> absolute_path(const char *path) noexcept {
  const std::size_t length = std::strlen(path);
  char *directory = path[0] == '/' ? nullptr : getcwd(nullptr, 0);
  const std::size_t prefix = directory != nullptr ? std::strlen(directory) + 1 : 0;
  std::unique_ptr<char[]> result(new (std::nothrow) char[prefix + length + 1]);
  if (result) {
    if (directory != nullptr) {
      std::memcpy(result.get(), directory, prefix - 1);
      result[prefix - 1] = '/';
    }
    std::memcpy(result.get() + prefix, path, length + 1);
  }
  std::free(directory);
  return result;
}

// Another process holds the lock: show what its file says, or why it cannot.
[[noreturn]] void refuse_second_instance(int descriptor) noexcept {
  char running[16];
  const ssize_t count = pread(descriptor, running, 15, 0);
  if (count < 0) {
    const SystemError error = last_error();
    fail("Program is already running, but pidfile was unreadable (errno: %d:%s)\n", error.number, error.text);
  }
  running[count] = '\0';
  fail("Program is already running, pid: %s\n", running);
}

bool same_file(const struct stat &a, const struct stat &b) noexcept {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_mode == b.st_mode && a.st_uid == b.st_uid &&
         a.st_gid == b.st_gid && a.st_rdev == b.st_rdev;
}

}  // namespace

void acquire_pid_file(const char *path) noexcept {
  // Close-on-exec: commands run by Pipe actions have no business with it.
  const int descriptor = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (descriptor < 0) {
    const SystemError error = last_error();
    fail("Unable to write pid to: %s (errno: %d:%s)\n", path, error.number, error.text);
  }

  struct flock lock = whole_file_lock(F_WRLCK);
  if (fcntl(descriptor, F_SETLK, &lock) < 0) {
    const SystemError error = last_error();
    // POSIX allows either error for a lock held by another process.
    if (error.number == EAGAIN || error.number == EACCES) refuse_second_instance(descriptor);
    fail("Error, pidfile \"%s\" is not a regular file (errno: %d:%s)\n", path, error.number, error.text);
  }

  if (ftruncate(descriptor, 0) < 0) {
    const SystemError error = last_error();
    fail("Unable to truncate pidfile: %s (errno: %d:%s)\n", path, error.number, error.text);
  }

  char text[16];
  const int length = std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(getpid()));
  if (pwrite(descriptor, text, static_cast<std::size_t>(length), 0) != length) {
    const SystemError error = last_error();
    fail("Unable to write pid to: %s (errno: %d:%s)\n", path, error.number, error.text);
  }

  if (fstat(descriptor, &held.identity) < 0) {
    const SystemError error = last_error();
    fail("Unable to fstat pid file: %s (errno: %d:%s)\n", path, error.number, error.text);
  }

  held.path = path;
  held.located = absolute_path(path);
  held.descriptor = descriptor;
}

void release_pid_file() noexcept {
  if (held.descriptor < 0) return;
  const char *located = held.located ? held.located.get() : held.path;

  struct stat now {};
  if (stat(located, &now) == 0 && same_file(now, held.identity)) {
    if (unlink(located) < 0) {
      const SystemError error = last_error();
      log_line("%s Quorvane: Unable to remove pidfile \"%s\" on exit (errno: %d:%s)\n", log_timestamp().text,
               held.path, error.number, error.text);
    }
  } else {
    log_line("%s Quorvane: Aborting removal of pidfile \"%s\" on exit, file has been changed\n",
             log_timestamp().text, held.path);
  }

  struct flock unlock = whole_file_lock(F_UNLCK);
  if (fcntl(held.descriptor, F_SETLK, &unlock) < 0) {
    const SystemError error = last_error();
    log_line("%s Quorvane: Unable to remove lock on pidfile \"%s\" on exit (errno: %d:%s)\n",
             log_timestamp().text, held.path, error.number, error.text);
  }

  if (close(held.descriptor) < 0) {
    const SystemError error = last_error();
    log_line("%s Quorvane: Unable to close pidfile \"%s\" on exit (errno: %d:%s)\n", log_timestamp().text,
             held.path, error.number, error.text);
  }
  held.descriptor = -1;
}
