// Store In: appends the mailbox record to the file that the action's template
// names, once or once per selected recipient: every one is tried, and the
// action fails when any of them failed.
//
// An append either lands whole or not at all, and succeeds only once it is
// on disk. It writes holding the file's per-process entry and, inside it, an
// fcntl lock on the end of the file from where the record starts; the
// record is flushed and checked there, and a failed write (disk full, quota,
// EFBIG, I/O error) is cut back to the file's length before the record, so a
// reader never sees half a message. The record is then synced (fdatasync)
// together with the records other appends to the file wrote meanwhile, and
// for a file that was empty before (one this append created, in particular)
// its directory too, so that its name survives a crash as well; a failed
// sync cuts the file back and fails every record it cut (file_lock.h).
//
// Placeholder values are made path-safe on expansion: an envelope address
// cannot add a directory level or climb out of the template's directory.
#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "actions/action_support.h"
#include "actions/actions.h"
#include "actions/file_lock.h"
#include "message/record.h"

namespace {

constexpr const char *kWhere = "mlfi_eom";

// Writes the record through a stream on a copy of `fd` (the descriptor
// stays open: the end-of-file lock may be on it) at the end of the file,
// which holds `before.st_size` bytes. A failed write is cut back while this
// append may still write. Returns 1 when the whole record is in the file.
// The copy is close-on-exec like every descriptor here: a command a Pipe
// starts on another thread meanwhile must not inherit the mailbox, nor with
// it the lock.
int write_record(int fd, const struct stat &before, const char *path, const ActionEnv &env,
                 const MessageContext &msg) noexcept {
  const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  std::FILE *stream = copy >= 0 ? fdopen(copy, "a") : nullptr;
  if (stream == nullptr) {
    env.log.event(kWhere, "Could not connect stream to FD.", LOG_ERROR);
    if (copy >= 0) close(copy);
    return 0;
  }

  errno = 0;
  PrintMail(stream, env.message_time, msg, env.log);
  bool written = std::fflush(stream) == 0 && std::ferror(stream) == 0;
  int write_errno = errno != 0 ? errno : EIO;
  if (!written) __fpurge(stream);  // nothing may reach the file after the cut
  // The close of the copy releases no lock, and a close that reports a
  // failed write late (a network file system) can still be cut back.
  if (std::fclose(stream) != 0 && written) {
    written = false;
    write_errno = errno;
  }
  if (written) return 1;
  if (ftruncate(fd, before.st_size) != 0) {
    // The record's partial bytes stay; the failure below is still reported.
  }
  errno = write_errno;
  log_error_naming(env.log, kWhere, "Could not write to file '", path, "'.");
  return 0;
}

// Appends one record to the file that `path` names. Returns 1 on success.
int store_one(const char *path, const Inserts &inserts, const ActionEnv &env, const MessageContext &msg) noexcept {
  (void)inserts;
  FileLockEntry *spare = new_file_lock_entry();
  if (spare == nullptr) {
    env.log.event(kWhere, "file lock", LOG_NO_MEMORY);
    return 0;
  }
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0620);
  struct stat identity{};
  if (fd < 0 || fstat(fd, &identity) != 0) {
    log_error_naming(env.log, kWhere, "Could not open file '", path, "'.");
    if (fd >= 0) close(fd);
    discard_file_lock_entry(spare);
    return 0;
  }
  FileLockEntry *file_lock = acquire_file_lock(identity.st_dev, identity.st_ino, spare);

  int stored = 0;
  bool writing = true;  // this append may still write
  bool kept = false;    // the entry keeps `fd` for the end-of-file lock
  struct stat before{};
  if (!lock_end_of_file(file_lock, fd, env.record_lock_wait_ms, kept) || fstat(fd, &before) != 0) {
    log_error_naming(env.log, kWhere, "Could not get write lock on '", path, "'.");
  } else if (write_record(fd, before, path, env, msg) != 0) {
    // A device or a FIFO has nothing to sync.
    stored = 1;
    if (S_ISREG(before.st_mode)) {
      writing = false;
      stored = sync_appended(file_lock, fd, before.st_size, path);
      if (stored == 0) log_error_naming(env.log, kWhere, "Could not write to file '", path, "'.");
    }
  }
  release_file_lock(file_lock, writing);
  if (!kept) close(fd);
  return stored;
}

}  // namespace

int ActionStoreIn(const Action &action, const ActionEnv &env, const MessageContext &msg) noexcept {
  return for_each_target(action, msg, INSERT_PATH_SAFE, env.log, kWhere, [&](const Target &target) {
    if (target.per_recipient && env.trace.on(1)) env.trace.print("%s, ", target.text);
    if (target.inserts.empty_at_component_start) {
      // A placeholder that gave nothing would make another path of it.
      errno = EINVAL;
      log_error_naming(env.log, kWhere, "Could not open file '", target.text, "'.");
      return 0;
    }
    return store_one(target.text, target.inserts, env, msg);
  });
}
