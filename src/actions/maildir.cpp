// Maildir: delivers the message as a file of its own into the Maildir that
// the action's template names, once or once per selected recipient: every
// one is tried, and the action fails when any of them failed.
//
// No lock is taken. Each delivery writes a file under a name nobody else
// uses (seconds, then microseconds, process id and a per-process counter,
// then the host name and the file's size: "1700000000.M123456P4321Q7.host,S=2048"),
// in tmp/, makes it durable, and only then links it into new/, where readers
// look; new/ is synced before the action succeeds. So a reader never sees a
// partial message, and writers on several hosts sharing the directory over
// NFS never meet: link(2) and the unique names need no lock manager.
//
// The steps, each named in the ERROR line of its failure
// "Could not deliver to maildir '<path>': <step>.":
//   create  a missing Maildir is made (mode 0700; its parent must exist,
//           or With Create makes the missing levels above it, mode 0750),
//           and whichever of tmp, new and cur are missing when tmp/ or new/
//           is. An expanded path that is empty or ends in "/" (a
//           placeholder that gave nothing) would make the parent the
//           Maildir: it fails here and nothing is made.
//   write   the file in tmp/, created exclusively with mode 0600
//   sync    fsync of the file; after the link, of new/
//   link    the link into new/; the tmp/ name is removed after it
// A failure removes the file written in tmp/; directories made stay, each
// synced into its parent. Once the file is in new/ it stays there, even when
// syncing new/ fails: a reader may have taken it already.
//
// Placeholder values are made path-safe on expansion, as for Store In. When
// the Maildir's name or a directory level above it is the sender's, each
// of those names, and tmp/ and new/ inside, is opened without following a
// link that root or the daemon's user did not make (safe_path.h).
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "actions/action_support.h"
#include "actions/actions.h"
#include "actions/safe_path.h"
#include "message/record.h"

namespace {

constexpr const char *kWhere = "ActionMaildir";

// Tries with a fresh name when the name is taken (a process id reused within
// the same microsecond after a restart, or a clock set back).
constexpr int kNameAttempts = 5;

// The host name as Maildir names carry it: "/" and ":" written as "\057"
// and "\072", so that the name stays one path component and the ":" before
// a reader's flags stays unambiguous.
struct HostName {
  char text[4 * 256 + 1] = "localhost";
  HostName() noexcept {
    char raw[256] = {};
    if (gethostname(raw, sizeof raw - 1) != 0 || raw[0] == '\0') return;
    char *out = text;
    for (const char *in = raw; *in != '\0'; ++in) {
      if (*in == '/' || *in == ':') {
        std::memcpy(out, *in == '/' ? "\\057" : "\\072", 4);
        out += 4;
      } else {
        *out++ = *in;
      }
    }
    *out = '\0';
  }
};

const char *host_name() noexcept {
  static const HostName name;  // read once, on first use
  return name.text;
}

std::atomic<unsigned long> deliveries{0};

// The name of one delivery's file, in tmp/ and then in new/.
class DeliveryName {
 public:
  // Gives the delivery the next unique name for a file of `size` bytes.
  void next(std::int64_t size) noexcept {
    timeval now{};
    gettimeofday(&now, nullptr);
    const unsigned long counter = deliveries.fetch_add(1) + 1;
    std::snprintf(name_, sizeof name_, "%lld.M%06ldP%ldQ%lu.%s,S=%" PRId64, static_cast<long long>(now.tv_sec),
                  static_cast<long>(now.tv_usec), static_cast<long>(getpid()), counter, host_name(), size);
  }
  const char *text() const noexcept { return name_; }

 private:
  char name_[sizeof(HostName::text) + 96] = {};
};

int fail(const ActionEnv &env, const char *maildir, const char *step) noexcept {
  char after[32];
  std::snprintf(after, sizeof after, "': %s.", step);
  log_error_naming(env.log, kWhere, "Could not deliver to maildir '", maildir, after);
  return 0;
}

// mkdirat that counts an existing entry as done. Sets `made` when it made one.
bool make_directory(int at, const char *path, bool &made) noexcept {
  if (mkdirat(at, path, 0700) == 0) {
    made = true;
    return true;
  }
  return errno == EEXIST;
}

// Makes whichever of tmp, new and cur are missing in the Maildir open as
// `maildir`, and syncs it when it made one.
bool make_subdirectories(int maildir) noexcept {
  bool made = false;
  for (const char *name : {"tmp", "new", "cur"})
    if (!make_directory(maildir, name, made)) return false;
  return !made || fsync(maildir) == 0;
}

// Opens the Maildir `path` as a directory; makes it first (and syncs its
// parent) when it is missing. Returns the descriptor, or -1 with errno set.
int open_maildir(const char *path) noexcept {
  const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  int maildir = open(path, flags);
  if (maildir >= 0 || errno != ENOENT) return maildir;
  bool made = false;
  if (!make_directory(AT_FDCWD, path, made)) return -1;
  if (made && !sync_parent_directory(path)) return -1;
  return open(path, flags);
}

// The same for a Maildir whose name, or a directory level above it, is the
// sender's: found name by name, no link followed but a trusted one
// (safe_path.h).
int open_senders_maildir(const char *path, std::size_t sender_from) noexcept {
  PathParent parent;
  if (!open_parent_safely(path, sender_from, parent)) return -1;
  bool through_link = false;
  int maildir = open_last_safely(parent, O_RDONLY | O_DIRECTORY, 0, through_link);
  if (maildir < 0 && errno == ENOENT) {
    bool made = false;
    if (make_directory(parent.dir, parent.name, made) && (!made || sync_directory_at(parent.dir)))
      maildir = open_last_safely(parent, O_RDONLY | O_DIRECTORY, 0, through_link);
  }
  close_keeping_errno(parent.dir);
  return maildir;
}

// Opens the Maildir's subdirectory `name`, making the missing ones first when
// it is missing (`make_failed` then set if that failed). In a Maildir of the
// sender's a link there is followed only when it is trusted. Returns the
// descriptor, or -1 with errno set.
int open_subdirectory(int maildir, const char *name, bool senders, bool &make_failed) noexcept {
  make_failed = false;
  PathParent at;
  at.dir = maildir;
  std::memcpy(at.name, name, std::strlen(name) + 1);
  for (bool made = false;; made = true) {
    bool through_link = false;
    const int dir = senders ? open_last_safely(at, O_RDONLY | O_DIRECTORY, 0, through_link)
                            : openat(maildir, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0 || errno != ENOENT || made) return dir;
    if (!make_subdirectories(maildir)) {
      make_failed = true;
      return -1;
    }
  }
}

// The file in tmp/ under a fresh name, created exclusively. Returns the
// descriptor, or -1 with errno set.
int create_in_tmp(int tmp, std::int64_t size, DeliveryName &name) noexcept {
  name.next(size);
  for (int attempt = 1;; ++attempt) {
    const int fd = openat(tmp, name.text(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST || attempt == kNameAttempts) return fd;
    name.next(size);
  }
}

// Writes the message to `fd`, syncs and closes it. Returns null, or the step
// that failed with errno set.
const char *write_file(int fd, const MessageContext &msg, bool with_envelope) noexcept {
  std::FILE *stream = fdopen(fd, "w");
  if (stream == nullptr) {
    close_keeping_errno(fd);
    return "write";
  }
  errno = 0;
  PrintMaildirMessage(stream, msg, with_envelope);
  const char *step = nullptr;
  if (std::fflush(stream) != 0 || std::ferror(stream) != 0) step = "write";
  else if (fsync(fd) != 0) step = "sync";
  const int saved_errno = errno != 0 ? errno : EIO;
  if (std::fclose(stream) != 0 && step == nullptr) return "write";
  errno = saved_errno;
  return step;
}

// Links the file into new/. Over NFS a link whose reply was lost is sent
// again and then fails with EEXIST although it was made: the same file
// under both names means it was. Returns whether it is linked.
bool link_into_new(int tmp, int new_dir, const DeliveryName &name) noexcept {
  if (linkat(tmp, name.text(), new_dir, name.text(), 0) == 0) return true;
  if (errno != EEXIST) return false;
  struct stat in_tmp{}, in_new{};
  if (fstatat(tmp, name.text(), &in_tmp, AT_SYMLINK_NOFOLLOW) == 0 &&
      fstatat(new_dir, name.text(), &in_new, AT_SYMLINK_NOFOLLOW) == 0 && in_tmp.st_dev == in_new.st_dev &&
      in_tmp.st_ino == in_new.st_ino)
    return true;
  errno = EEXIST;
  return false;
}

// The steps after tmp/ and new/ are open. Returns null, or the step that
// failed.
const char *deliver_between(int tmp, int new_dir, std::int64_t size, bool with_envelope,
                            const MessageContext &msg) noexcept {
  DeliveryName name;
  const int fd = create_in_tmp(tmp, size, name);
  if (fd < 0) return "write";
  const char *step = write_file(fd, msg, with_envelope);
  if (step == nullptr && !link_into_new(tmp, new_dir, name)) step = "link";
  // Linked or not, the tmp/ name goes: the message is in new/ or nowhere.
  const int saved_errno = errno;
  unlinkat(tmp, name.text(), 0);
  errno = saved_errno;
  if (step != nullptr) return step;
  return fsync(new_dir) == 0 ? nullptr : "sync";
}

// The steps after the Maildir is open. Returns null, or the step that failed.
const char *deliver_into(int maildir, bool senders, std::int64_t size, bool with_envelope,
                         const MessageContext &msg) noexcept {
  bool make_failed = false;
  const int tmp = open_subdirectory(maildir, "tmp", senders, make_failed);
  if (tmp < 0) return make_failed ? "create" : "write";
  const int new_dir = open_subdirectory(maildir, "new", senders, make_failed);
  if (new_dir < 0) {
    close_keeping_errno(tmp);
    return make_failed ? "create" : "link";
  }
  const char *step = deliver_between(tmp, new_dir, size, with_envelope, msg);
  close_keeping_errno(new_dir);
  close_keeping_errno(tmp);
  return step;
}

// Delivers one file into the Maildir `path`. Returns 1 on success.
int deliver_one(const char *path, const Inserts &inserts, std::int64_t size, bool with_envelope, const ActionEnv &env,
                const MessageContext &msg) noexcept {
  const std::size_t length = std::strlen(path);
  if (length == 0 || path[length - 1] == '/') {
    errno = EINVAL;
    return fail(env, path, "create");
  }
  // Every later step works relative to the Maildir as opened here: one that
  // is renamed away meanwhile takes the delivery with it, whole.
  const bool senders = inserts.sender_from != Inserts::kNone;
  const int maildir = senders ? open_senders_maildir(path, inserts.sender_from) : open_maildir(path);
  if (maildir < 0) return fail(env, path, "create");
  const char *step = deliver_into(maildir, senders, size, with_envelope, msg);
  close_keeping_errno(maildir);
  return step == nullptr ? 1 : fail(env, path, step);
}

}  // namespace

int ActionMaildir(const Action &action, const ActionEnv &env, const MessageContext &msg, const RuleMatch &match) noexcept {
  const bool with_envelope = (action.with & WITH_ENVELOPE) != 0;
  const std::int64_t size = maildir_message_size(msg, with_envelope);
  return for_each_target(action, msg, match, INSERT_PATH_SAFE, env.log, kWhere, [&](const Target &target) {
    if (target.per_recipient && env.trace.on(1)) env.trace.print("%s, ", target.text);
    if (target.inserts.empty_at_component_start) {
      // A placeholder that gave nothing would make another directory the
      // Maildir: nothing is made.
      errno = EINVAL;
      return fail(env, target.text, "create");
    }
    if ((action.with & WITH_CREATE) != 0 && !make_missing_directories(target.text, target.inserts.sender_from))
      return fail(env, target.text, "create");
    return deliver_one(target.text, target.inserts, size, with_envelope, env, msg);
  });
}
