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
// Once the lock is taken, the append checks that its descriptor is still the
// file at the path: a mail reader that rewrote the mailbox meanwhile renamed
// a new file over it, and the append then starts again on that one. One
// deadline, the record-lock wait limit from when the append starts, covers
// all of its waiting; when it passes the lock line is logged (EAGAIN).
//
// Placeholder values are made path-safe on expansion: an envelope address
// cannot add a directory level or climb out of the template's directory.
// The names the sender's values make are opened without following a link
// that root or the daemon's user did not make, and the file there must be a
// regular file with no other name (safe_path.h). With Create, the missing
// directories of the path are made first (mode 0750, each synced).
#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "actions/action_support.h"
#include "actions/actions.h"
#include "actions/file_lock.h"
#include "actions/safe_path.h"
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
                 const MessageContext &msg, bool with_envelope) noexcept {
  const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  std::FILE *stream = copy >= 0 ? fdopen(copy, "a") : nullptr;
  if (stream == nullptr) {
    env.log.event(kWhere, "Could not connect stream to FD.", LOG_ERROR);
    if (copy >= 0) close(copy);
    return 0;
  }

  errno = 0;
  PrintMail(stream, env.message_time, msg, env.log, with_envelope);
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

// The mailbox as this append opened it.
struct Mailbox {
  int fd = -1;
  PathParent parent;          // where it was found, when the path was walked (parent.dir >= 0)
  bool through_link = false;  // reached through a trusted link at the last name
  ~Mailbox() {
    if (parent.dir >= 0) close(parent.dir);
  }
  // The directory to sync its new name into, or -1: the path's own parent.
  int name_dir() const noexcept { return through_link ? -1 : parent.dir; }
};

// Opens the mailbox `path`: as the administrator wrote it when no name of it
// is the sender's, else name by name (safe_path.h). A file reached without
// a trusted link must be a regular file with one name: a hard link planted
// at the sender's name would be another file of its own (EMLINK). Returns
// false with errno set.
bool open_mailbox(const char *path, std::size_t sender_from, Mailbox &box) noexcept {
  constexpr int kFlags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
  if (sender_from == Inserts::kNone) {
    box.fd = open(path, kFlags, 0620);
    return box.fd >= 0;
  }
  if (!open_parent_safely(path, sender_from, box.parent)) return false;
  bool &through_link = box.through_link;
  // O_NONBLOCK: a FIFO planted at the name must not stop the append.
  const int fd = open_last_safely(box.parent, kFlags | O_NONBLOCK | O_NOCTTY, 0620, through_link);
  if (fd < 0) return false;
  struct stat info{};
  int refused = 0;
  if (fstat(fd, &info) != 0) refused = errno;
  else if (!through_link && !S_ISREG(info.st_mode)) refused = EINVAL;
  else if (!through_link && info.st_nlink != 1) refused = EMLINK;
  else if (!through_link && fcntl(fd, F_SETFL, O_APPEND) != 0) refused = errno;  // O_NONBLOCK off
  if (refused != 0) {
    close(fd);
    errno = refused;
    return false;
  }
  box.fd = fd;
  return true;
}

// Whether the mailbox is still the file at `path`, looked up the way it was
// opened (for the sender's names, at the last name in the directory found
// then): a mail reader that rewrites a mailbox renames a new file over it,
// and an append that waited for the reader's lock would land in the old one.
bool still_at_path(const Mailbox &box, const char *path) noexcept {
  struct stat held{}, now{};
  if (fstat(box.fd, &held) != 0 || held.st_nlink == 0) return false;
  if (box.parent.dir < 0) {
    if (stat(path, &now) != 0) return false;
  } else {
    bool through_link = false;
    const int found = open_last_safely(box.parent, O_PATH, 0, through_link);
    if (found < 0) return false;
    const bool known = fstat(found, &now) == 0;
    close(found);
    if (!known) return false;
  }
  return held.st_dev == now.st_dev && held.st_ino == now.st_ino;
}

// One try at appending a record to `path`: 1 stored, 0 failed (logged), -1
// the file at the path was replaced while this append waited for its lock.
int append_once(const char *path, std::size_t sender_from, LockDeadline deadline, const ActionEnv &env,
                const MessageContext &msg, bool with_envelope) noexcept {
  FileLockEntry *spare = new_file_lock_entry();
  if (spare == nullptr) {
    env.log.event(kWhere, "file lock", LOG_NO_MEMORY);
    return 0;
  }
  Mailbox box;
  struct stat identity{};
  if (!open_mailbox(path, sender_from, box) || fstat(box.fd, &identity) != 0) {
    log_error_naming(env.log, kWhere, "Could not open file '", path, "'.");
    if (box.fd >= 0) close(box.fd);
    discard_file_lock_entry(spare);
    return 0;
  }
  const int fd = box.fd;
  FileLockEntry *file_lock = acquire_file_lock(identity.st_dev, identity.st_ino, spare, deadline);
  if (file_lock == nullptr) {
    log_error_naming(env.log, kWhere, "Could not get write lock on '", path, "'.");
    close(fd);
    return 0;
  }

  int stored = 0;
  bool writing = true;  // this append may still write
  bool kept = false;    // the entry keeps `fd` for the end-of-file lock
  struct stat before{};
  if (!lock_end_of_file(file_lock, fd, deadline, kept) || fstat(fd, &before) != 0) {
    log_error_naming(env.log, kWhere, "Could not get write lock on '", path, "'.");
  } else if (!still_at_path(box, path)) {
    stored = -1;
  } else if (write_record(fd, before, path, env, msg, with_envelope) != 0) {
    // A device or a FIFO has nothing to sync.
    stored = 1;
    if (S_ISREG(before.st_mode)) {
      writing = false;
      stored = sync_appended(file_lock, fd, before.st_size, path, box.name_dir());
      if (stored == 0) log_error_naming(env.log, kWhere, "Could not write to file '", path, "'.");
    }
  }
  release_file_lock(file_lock, writing);
  if (!kept) close(fd);
  return stored;
}

// Appends one record to the file that `path` names. Returns 1 on success.
// The append has one deadline, from now on, for its turn in the process,
// other processes' locks and any new try after a mailbox was replaced.
int store_one(const char *path, const Inserts &inserts, bool with_envelope, const ActionEnv &env,
              const MessageContext &msg) noexcept {
  const LockDeadline deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(env.record_lock_wait_ms);
  for (;;) {
    const int stored = append_once(path, inserts.sender_from, deadline, env, msg, with_envelope);
    if (stored >= 0) return stored;
    if (std::chrono::steady_clock::now() >= deadline) {
      errno = EAGAIN;
      log_error_naming(env.log, kWhere, "Could not get write lock on '", path, "'.");
      return 0;
    }
  }
}

}  // namespace

int ActionStoreIn(const Action &action, const ActionEnv &env, const MessageContext &msg, const RuleMatch &match) noexcept {
  return for_each_target(action, msg, match, INSERT_PATH_SAFE, env.log, kWhere, [&](const Target &target) {
    if (target.per_recipient && env.trace.on(1)) env.trace.print("%s, ", target.text);
    if (target.inserts.empty_at_component_start) {
      // A placeholder that gave nothing would make another path of it.
      errno = EINVAL;
      log_error_naming(env.log, kWhere, "Could not open file '", target.text, "'.");
      return 0;
    }
    if ((action.with & WITH_CREATE) != 0 && !make_missing_directories(target.text, target.inserts.sender_from)) {
      log_error_naming(env.log, kWhere, "Could not open file '", target.text, "'.");
      return 0;
    }
    return store_one(target.text, target.inserts, (action.with & WITH_ENVELOPE) != 0, env, msg);
  });
}
