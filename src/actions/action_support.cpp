// The selected recipients, the error lines and the directory syncs of the
// delivery actions.
#include "actions/action_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <new>


const Recipient *first_selected_from(const Recipient *recipient, std::size_t &index, const RuleMatch &match) noexcept {
  for (; recipient != nullptr && !match.selected(index); ++index) recipient = recipient->next.get();
  return recipient;
}

void log_error_naming(const Log &log, const char *where, const char *before, const char *subject, const char *after) noexcept {
  const int saved_errno = errno;
  const char *parts[3] = {before, subject, after};
  const std::size_t lengths[3] = {std::strlen(before), std::strlen(subject), std::strlen(after)};
  const std::size_t size = lengths[0] + lengths[1] + lengths[2] + 1;

  char fallback[1024];
  std::unique_ptr<char[]> exact(new (std::nothrow) char[size]);
  char *text = exact ? exact.get() : fallback;
  const std::size_t room = exact ? size : sizeof fallback;

  std::size_t used = 0;
  for (int i = 0; i < 3; ++i) {
    const std::size_t left = room - 1 - used;
    const std::size_t take = lengths[i] < left ? lengths[i] : left;
    std::memcpy(text + used, parts[i], take);
    used += take;
  }
  text[used] = '\0';
  errno = saved_errno;
  log.event(where, text, LOG_ERROR);
}

void close_keeping_errno(int fd) noexcept {
  const int saved_errno = errno;
  close(fd);
  errno = saved_errno;
}

bool sync_directory(const char *path) noexcept {
  const int dir = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return false;
  const bool synced = fsync(dir) == 0;
  close_keeping_errno(dir);
  return synced;
}

bool sync_parent_directory(const char *path) noexcept {
  const char *slash = std::strrchr(path, '/');
  if (slash == nullptr) return sync_directory(".");
  // No allocation: the entry was just opened or made, so its path, and the
  // parent's with it, is shorter than PATH_MAX.
  char parent[PATH_MAX];
  const std::size_t length = slash == path ? 1 : static_cast<std::size_t>(slash - path);
  if (length >= sizeof parent) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memcpy(parent, path, length);
  parent[length] = '\0';
  return sync_directory(parent);
}
