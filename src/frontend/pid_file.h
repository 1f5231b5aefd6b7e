// The pid file.
//
// PidFile::acquire records the process id in a file and holds an exclusive
// fcntl record lock on the whole file until release, so that a second
// instance naming the same file is refused. The file holds the id in decimal
// with no newline. At release the file is removed only when the path still
// names the file that was written (same device, inode, mode, owner, group and
// rdev); a rewrite of its contents in place does not count as a change.
// The path must name a regular file with no other name, or nothing (it is
// then made, mode 0600): a symbolic link, a device or a file with further
// hard links is refused before anything is written to it.
//
// acquire writes its failures to standard error and ends the process
// (status 70); release reports each problem as a timestamped line on
// the log stream and goes on. The path is made absolute at acquisition, so a
// relative path is found again after the process has changed directory.
// Both run on the initial thread only, outside the milter main loop.
#pragma once

#include <sys/stat.h>

#include <memory>

#include "base/log.h"

class PidFile {
 public:
  PidFile() = default;
  PidFile(const PidFile &) = delete;
  PidFile &operator=(const PidFile &) = delete;

  // Takes the pid file at `path` (not empty) for this process, or ends it.
  void acquire(const char *path) noexcept;

  // Removes the file when unchanged, then drops the lock and closes it,
  // logging each problem on `log`. Does nothing when no pid file is held.
  void release(const Log &log) noexcept;

 private:
  const char *path_ = nullptr;       // the -r text, for messages
  std::unique_ptr<char[]> located_;  // absolute form of `path_`, for stat and unlink
  int descriptor_ = -1;
  struct stat identity_ {};
};
