// The pid file: exclusive record lock, decimal id, guarded removal.
#include "frontend/pid_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "base/fatal.h"
#include "frontend/absolute_path.h"

namespace {

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
constexpr int kFailed = 70;

// Another process holds the lock: show what its file says, or why it cannot.
[[noreturn]] void refuse_second_instance(int descriptor) noexcept {
  char running[16];
  const ssize_t count = pread(descriptor, running, 15, 0);
  if (count < 0) {
    const SystemError error = last_error();
    fail_start(kFailed, "Program is already running, but pidfile was unreadable (errno: %d:%s)\n", error.number, error.text);
  }
  running[count] = '\0';
  fail_start(kFailed, "Program is already running, pid: %s\n", running);
}

bool is_symbolic_link(const char *path) noexcept {
  struct stat status {};
  return lstat(path, &status) == 0 && S_ISLNK(status.st_mode);
}

bool same_file(const struct stat &a, const struct stat &b) noexcept {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_mode == b.st_mode && a.st_uid == b.st_uid &&
         a.st_gid == b.st_gid && a.st_rdev == b.st_rdev;
}

}  // namespace

void PidFile::acquire(const char *path) noexcept {
  // The daemon may run as root in a directory others can write to: a link
  // planted at the path must not make it truncate and rewrite what the link
  // names. Close-on-exec: commands run by Pipe actions have no business with it.
  const int descriptor = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
  if (descriptor < 0) {
    const SystemError error = last_error();
    if (error.number == ELOOP && is_symbolic_link(path))
      fail_start(kFailed, "Error, pidfile \"%s\" is a symbolic link\n", path);
    fail_start(kFailed, "Unable to write pid to: %s (errno: %d:%s)\n", path, error.number, error.text);
  }

  if (fstat(descriptor, &identity_) < 0) {
    const SystemError error = last_error();
    fail_start(kFailed, "Unable to fstat pid file: %s (errno: %d:%s)\n", path, error.number, error.text);
  }
  if (!S_ISREG(identity_.st_mode)) fail_start(kFailed, "Error, pidfile \"%s\" is not a regular file\n", path);
  // A second name for the file could be anything a local user linked there
  // (hard links need no write access to the target).
  if (identity_.st_nlink > 1)
    fail_start(kFailed, "Error, pidfile \"%s\" has other hard links (links: %ju)\n", path,
               static_cast<std::uintmax_t>(identity_.st_nlink));

  struct flock lock = whole_file_lock(F_WRLCK);
  if (fcntl(descriptor, F_SETLK, &lock) < 0) {
    const SystemError error = last_error();
    // POSIX allows either error for a lock held by another process.
    if (error.number == EAGAIN || error.number == EACCES) refuse_second_instance(descriptor);
    fail_start(kFailed, "Error, pidfile \"%s\" is not a regular file (errno: %d:%s)\n", path, error.number, error.text);
  }

  if (ftruncate(descriptor, 0) < 0) {
    const SystemError error = last_error();
    fail_start(kFailed, "Unable to truncate pidfile: %s (errno: %d:%s)\n", path, error.number, error.text);
  }

  char text[16];
  const int length = std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(getpid()));
  if (pwrite(descriptor, text, static_cast<std::size_t>(length), 0) != length) {
    const SystemError error = last_error();
    fail_start(kFailed, "Unable to write pid to: %s (errno: %d:%s)\n", path, error.number, error.text);
  }

  path_ = path;
  located_ = absolute_path(path);
  descriptor_ = descriptor;
}

void PidFile::release(const Log &log) noexcept {
  if (descriptor_ < 0) return;
  const char *located = located_ ? located_.get() : path_;

  struct stat now {};
  if (stat(located, &now) == 0 && same_file(now, identity_)) {
    if (unlink(located) < 0) {
      const SystemError error = last_error();
      log.lifecycle("Unable to remove pidfile \"%s\" on exit (errno: %d:%s)", path_, error.number, error.text);
    }
  } else {
    log.lifecycle("Aborting removal of pidfile \"%s\" on exit, file has been changed", path_);
  }

  struct flock unlock = whole_file_lock(F_UNLCK);
  if (fcntl(descriptor_, F_SETLK, &unlock) < 0) {
    const SystemError error = last_error();
    log.lifecycle("Unable to remove lock on pidfile \"%s\" on exit (errno: %d:%s)", path_, error.number,
                  error.text);
  }

  if (close(descriptor_) < 0) {
    const SystemError error = last_error();
    log.lifecycle("Unable to close pidfile \"%s\" on exit (errno: %d:%s)", path_, error.number, error.text);
  }
  descriptor_ = -1;
}
