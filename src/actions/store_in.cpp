// Store In: appends the mailbox record to the file that the action's template
// names, once or once per matched recipient.
//
// An append either lands whole or not at all. The file is held under this
// process's per-file lock from open to close and, inside it, under an fcntl
// record lock on the end of the file, from where the record starts. The
// record is flushed, synced to disk (fdatasync) and checked while both locks
// are held; when the write or the sync fails (disk full, quota, EFBIG, I/O
// error) the file is cut back to its length before the record, so a reader
// never sees half a message and a success is only reported for a record
// that is on disk. A file that was empty before the record (one this append
// created, in particular) also has its directory synced, so that its name
// survives a crash as well; that failing undoes the record the same way.
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

// Makes the record durable: the file's data, and for a file that was empty
// before it (created by this append, or by another writer whose entry may
// not be on disk yet) the directory entry. Only regular files: a device or a
// FIFO has nothing to sync. Returns false with errno set.
bool sync_record(int fd, const char *path, const struct stat &before) noexcept {
  if (!S_ISREG(before.st_mode)) return true;
  if (fdatasync(fd) != 0) return false;
  return before.st_size != 0 || sync_parent_directory(path);
}

// Writes the record through a stream on the locked descriptor, which starts
// at `before.st_size` bytes (the file's length before the record), syncs it
// and closes it. A failed write or sync is undone before the close drops the
// record lock. Returns 1 when the whole record is in the file and on disk.
int write_record(int fd, const struct stat &before, const char *path, const ActionEnv &env,
                 const MessageContext &msg) noexcept {
  std::FILE *stream = fdopen(fd, "a");
  if (stream == nullptr) {
    env.log.event(kWhere, "Could not connect stream to FD.", LOG_ERROR);
    close(fd);
    return 0;
  }

  errno = 0;
  PrintMail(stream, env.message_time, msg, env.log);
  // Flushed and synced here, under the lock: fclose would report a failed
  // write only after its close had released the lock.
  bool written = std::fflush(stream) == 0 && std::ferror(stream) == 0;
  if (written) {
    errno = 0;
    written = sync_record(fd, path, before);
  }
  if (!written) {
    const int write_errno = errno != 0 ? errno : EIO;
    __fpurge(stream);  // nothing may reach the file after the cut
    if (ftruncate(fd, before.st_size) != 0) {
      // The record's partial bytes stay; the failure below is still reported.
    }
    std::fclose(stream);
    errno = write_errno;
    log_error_naming(env.log, kWhere, "Could not write to file '", path, "'.");
    return 0;
  }
  // Everything is written; a close that still fails (a network file system
  // reporting late) is reported too, but the file can no longer be cut safely.
  if (std::fclose(stream) != 0) {
    log_error_naming(env.log, kWhere, "Could not write to file '", path, "'.");
    return 0;
  }
  return 1;
}

// Appends one record to the file that `path` names. Returns 1 on success.
int store_one(const char *path, const ActionEnv &env, const MessageContext &msg) noexcept {
  FileLockEntry *spare = new_file_lock_entry();
  if (spare == nullptr) {
    env.log.event(kWhere, "file lock", LOG_NO_MEMORY);
    return 0;
  }
  const int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0620);
  struct stat identity{};
  if (fd < 0 || fstat(fd, &identity) != 0) {
    log_error_naming(env.log, kWhere, "Could not open file '", path, "'.");
    if (fd >= 0) close(fd);
    discard_file_lock_entry(spare);
    return 0;
  }
  FileLockEntry *file_lock = acquire_file_lock(identity.st_dev, identity.st_ino, spare);

  int stored = 0;
  struct stat before{};
  // The lock reaches past the record to wherever the file may grow: another
  // process could otherwise append behind a record that is written but not
  // yet synced, and a failed sync, cutting the file back, would take its
  // record away too.
  if (!take_record_lock(fd, 0, env.record_lock_wait_ms) || fstat(fd, &before) != 0) {
    log_error_naming(env.log, kWhere, "Could not get write lock on '", path, "'.");
    close(fd);
  } else {
    stored = write_record(fd, before, path, env, msg);
  }
  // Given back only once the descriptor is closed: any close of the file by
  // this process drops every record lock the process holds on it.
  release_file_lock(file_lock);
  return stored;
}

}  // namespace

int ActionStoreIn(const Action &action, const ActionEnv &env, MessageContext &msg) noexcept {
  start_recipient_walk(action, msg);
  do {
    Text path = expand_template(action, msg, INSERT_PATH_SAFE);
    if (!path) {
      env.log.event(kWhere, "expanded template", LOG_NO_MEMORY);
      return 0;
    }
    if (action.each_recipient != 0 && env.trace.on(1)) env.trace.print("%s, ", path.get());
    if (!store_one(path.get(), env, msg)) return 0;
  } while (next_recipient(action, msg));
  return 1;
}
