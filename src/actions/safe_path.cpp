// The name-by-name walk of a path that the sender partly chose.
#include "actions/safe_path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "actions/action_support.h"

namespace {

// Whether a link owned by `uid` may be followed: root's or the daemon's own,
// which no other local user can have planted.
bool trusted_owner(uid_t uid) noexcept { return uid == 0 || uid == geteuid(); }

// Opens what the symbolic link `link` (an O_PATH|O_NOFOLLOW descriptor of
// it, found in `dir`) points to, when its owner is trusted. The target is
// read from that descriptor, so it is the text of the very link whose owner
// was checked, even if the name is replaced meanwhile.
int follow_trusted_link(int dir, int link, int flags, mode_t mode) noexcept {
  struct stat info{};
  if (fstat(link, &info) != 0) return -1;
  if (!trusted_owner(info.st_uid)) {
    errno = ELOOP;
    return -1;
  }
  char target[PATH_MAX];
  const ssize_t length = readlinkat(link, "", target, sizeof target);
  if (length < 0) return -1;
  if (static_cast<std::size_t>(length) >= sizeof target) {
    errno = ENAMETOOLONG;
    return -1;
  }
  target[length] = '\0';
  return openat(dir, target, (flags & ~O_NONBLOCK) | O_CLOEXEC, mode);
}

// After an open with O_NOFOLLOW of `name` in `dir` failed with `error`:
// when a symbolic link is there, opens what a trusted one points to;
// otherwise fails with `error`.
int open_through_link(int dir, const char *name, int flags, mode_t mode, int error) noexcept {
  const int link = openat(dir, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  struct stat info{};
  if (link < 0 || fstat(link, &info) != 0 || !S_ISLNK(info.st_mode)) {
    if (link >= 0) close(link);
    errno = error;
    return -1;
  }
  const int fd = follow_trusted_link(dir, link, flags, mode);
  close_keeping_errno(link);
  return fd;
}

// One directory level of the sender's names: `name` in `dir`.
int open_directory_level(int dir, const char *name) noexcept {
  bool through_link = false;
  PathParent level;
  level.dir = dir;
  std::memcpy(level.name, name, std::strlen(name) + 1);
  return open_last_safely(level, O_PATH | O_DIRECTORY, 0, through_link);
}

// Copies the name of `length` bytes at `start` into `name`.
bool copy_name(const char *start, std::size_t length, char (&name)[NAME_MAX + 1]) noexcept {
  if (length > NAME_MAX) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memcpy(name, start, length);
  name[length] = '\0';
  return true;
}

// Walks the directory levels of `path` from offset `at` up to `last` (where
// its last name starts), each found in the one before it, from `dir`, which
// it takes over: `open_level(dir, name, end)` opens the level `name`, which
// ends at offset `end`. Returns the last level's descriptor, or -1 with
// errno set.
template <class OpenLevel>
int walk_levels(int dir, const char *path, std::size_t at, std::size_t last, OpenLevel open_level) noexcept {
  while (at < last) {
    const char *slash = std::strchr(path + at, '/');
    const std::size_t name_length = static_cast<std::size_t>(slash - (path + at));
    char name[NAME_MAX + 1];
    if (!copy_name(path + at, name_length, name)) {
      close_keeping_errno(dir);
      return -1;
    }
    const std::size_t end = at + name_length;
    at = end + 1;
    if (name_length == 0) continue;  // "//"
    const int next = open_level(dir, name, end);
    close_keeping_errno(dir);
    if (next < 0) return -1;
    dir = next;
  }
  return dir;
}

}  // namespace

bool open_parent_safely(const char *path, std::size_t sender_from, PathParent &parent) noexcept {
  parent.dir = -1;
  const std::size_t length = std::strlen(path);
  if (length >= PATH_MAX) {
    errno = ENAMETOOLONG;
    return false;
  }
  if (sender_from > length) sender_from = length;
  const char *last_slash = std::strrchr(path, '/');
  const std::size_t last = last_slash == nullptr ? 0 : static_cast<std::size_t>(last_slash - path) + 1;

  // The template's own directory: the text before the name that holds the
  // sender's first value.
  std::size_t start = sender_from;
  while (start > 0 && path[start - 1] != '/') --start;
  char literal[PATH_MAX] = ".";
  if (start > 0) {
    std::memcpy(literal, path, start);
    literal[start] = '\0';
  }
  int dir = open(literal, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return false;

  // The sender's directory levels.
  dir = walk_levels(dir, path, start, last,
                    [](int at, const char *name, std::size_t) noexcept { return open_directory_level(at, name); });
  if (dir < 0) return false;

  if (!copy_name(path + last, length - last, parent.name)) {
    close_keeping_errno(dir);
    return false;
  }
  if (parent.name[0] == '\0') std::memcpy(parent.name, ".", 2);
  parent.dir = dir;
  return true;
}

int open_last_safely(const PathParent &parent, int flags, mode_t mode, bool &through_link) noexcept {
  through_link = false;
  const int fd = openat(parent.dir, parent.name, flags | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) {
    // O_NOFOLLOW refuses a link with ELOOP, or with ENOTDIR when a directory
    // was asked for.
    if (errno != ELOOP && errno != ENOTDIR) return -1;
    const int followed = open_through_link(parent.dir, parent.name, flags, mode, errno);
    through_link = followed >= 0;
    return followed;
  }
  if ((flags & O_PATH) == 0) return fd;
  // O_PATH with O_NOFOLLOW opens a link itself.
  struct stat info{};
  if (fstat(fd, &info) != 0) {
    close_keeping_errno(fd);
    return -1;
  }
  if (!S_ISLNK(info.st_mode)) {
    if ((flags & O_DIRECTORY) != 0 && !S_ISDIR(info.st_mode)) {
      close(fd);
      errno = ENOTDIR;
      return -1;
    }
    return fd;
  }
  const int followed = follow_trusted_link(parent.dir, fd, flags, mode);
  close_keeping_errno(fd);
  through_link = followed >= 0;
  return followed;
}

namespace {

// Makes the directory `name` in `dir` with mode 0750 exactly and syncs it
// into `dir`. A directory someone else made first counts as made.
bool make_directory_level(int dir, const char *name) noexcept {
  if (mkdirat(dir, name, 0750) != 0) return errno == EEXIST;
  // The umask took bits away: give them back on the directory itself, not
  // through whatever may have replaced its name.
  const int made = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (made < 0) return false;
  const bool fixed = fchmod(made, 0750) == 0;
  close_keeping_errno(made);
  return fixed && sync_directory_at(dir);
}

}  // namespace

bool make_missing_directories(const char *path, std::size_t sender_from) noexcept {
  const std::size_t length = std::strlen(path);
  if (length >= PATH_MAX) {
    errno = ENAMETOOLONG;
    return false;
  }
  const char *last_slash = std::strrchr(path, '/');
  if (last_slash == nullptr) return true;  // a name in the working directory
  const std::size_t last = static_cast<std::size_t>(last_slash - path) + 1;
  const int root = open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (root < 0) return false;
  const int dir = walk_levels(root, path, path[0] == '/' ? 1 : 0, last, [&](int at, const char *name, std::size_t end) noexcept {
    const bool senders = sender_from != static_cast<std::size_t>(-1) && end >= sender_from;
    for (bool tried = false;; tried = true) {
      const int next = senders ? open_directory_level(at, name) : openat(at, name, O_PATH | O_DIRECTORY | O_CLOEXEC);
      if (next >= 0 || errno != ENOENT || tried || !make_directory_level(at, name)) return next;
    }
  });
  if (dir < 0) return false;
  close(dir);
  return true;
}

bool sync_directory_at(int dir) noexcept {
  // An O_PATH descriptor cannot be synced; one opened from it can.
  const int readable = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (readable < 0) return false;
  const bool synced = fsync(readable) == 0;
  close_keeping_errno(readable);
  return synced;
}
