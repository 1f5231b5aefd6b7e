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
//   create  a missing Maildir is made (mode 0700; its parent must exist),
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
// Placeholder values are made path-safe on expansion, as for Store In.
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

// The names of one delivery, relative to the Maildir: "tmp/<name>" and
// "new/<name>".
class DeliveryName {
 public:
  // Gives the delivery the next unique name for a file of `size` bytes.
  void next(std::int64_t size) noexcept {
    timeval now{};
    gettimeofday(&now, nullptr);
    const unsigned long counter = deliveries.fetch_add(1) + 1;
    std::snprintf(in_tmp_, sizeof in_tmp_, "tmp/%lld.M%06ldP%ldQ%lu.%s,S=%" PRId64,
                  static_cast<long long>(now.tv_sec), static_cast<long>(now.tv_usec), static_cast<long>(getpid()),
                  counter, host_name(), size);
    std::memcpy(in_new_, in_tmp_, sizeof in_new_);
    std::memcpy(in_new_, "new", 3);
  }
  const char *in_tmp() const noexcept { return in_tmp_; }
  const char *in_new() const noexcept { return in_new_; }

 private:
  char in_tmp_[sizeof(HostName::text) + 96] = {};
  char in_new_[sizeof(HostName::text) + 96] = {};
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

// The file in tmp/ under a fresh name, created exclusively; tmp/ is made
// first when it is missing. Returns the descriptor, or -1 with `step`
// naming what failed.
int create_in_tmp(int maildir, std::int64_t size, DeliveryName &name, const char *&step) noexcept {
  bool made = false;
  name.next(size);
  for (int attempt = 0; attempt < kNameAttempts;) {
    const int fd = openat(maildir, name.in_tmp(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    if (errno == ENOENT && !made) {
      made = true;
      if (!make_subdirectories(maildir)) {
        step = "create";
        return -1;
      }
      continue;  // the same name again, in the made tmp/
    }
    if (errno != EEXIST || ++attempt == kNameAttempts) break;
    name.next(size);
  }
  step = "write";
  return -1;
}

// Writes the message to `fd`, syncs and closes it. Returns null, or the step
// that failed with errno set.
const char *write_file(int fd, const MessageContext &msg, bool with_envelope) noexcept {
  std::FILE *stream = fdopen(fd, "w");
  if (stream == nullptr) {
    const int saved_errno = errno;
    close(fd);
    errno = saved_errno;
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

// Links the file into new/; when new/ is missing it is made first. Returns
// null, or the step that failed.
const char *link_into_new(int maildir, const DeliveryName &name) noexcept {
  if (linkat(maildir, name.in_tmp(), maildir, name.in_new(), 0) == 0) return nullptr;
  if (errno != ENOENT) return "link";
  if (!make_subdirectories(maildir)) return "create";
  return linkat(maildir, name.in_tmp(), maildir, name.in_new(), 0) == 0 ? nullptr : "link";
}

// fsync of new/.
bool sync_new(int maildir) noexcept {
  const int dir = openat(maildir, "new", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return false;
  const bool synced = fsync(dir) == 0;
  const int saved_errno = errno;
  close(dir);
  errno = saved_errno;
  return synced;
}

// The steps after the Maildir is open. Returns null, or the step that failed.
const char *deliver_into(int maildir, std::int64_t size, bool with_envelope, const MessageContext &msg) noexcept {
  DeliveryName name;
  const char *step = nullptr;
  const int fd = create_in_tmp(maildir, size, name, step);
  if (fd < 0) return step;
  step = write_file(fd, msg, with_envelope);
  if (step == nullptr) step = link_into_new(maildir, name);
  // Linked or not, the tmp/ name goes: the message is in new/ or nowhere.
  const int saved_errno = errno;
  unlinkat(maildir, name.in_tmp(), 0);
  errno = saved_errno;
  if (step != nullptr) return step;
  return sync_new(maildir) ? nullptr : "sync";
}

// Delivers one file into the Maildir `path`. Returns 1 on success.
int deliver_one(const char *path, const Inserts &inserts, std::int64_t size, bool with_envelope, const ActionEnv &env,
                const MessageContext &msg) noexcept {
  (void)inserts;
  const std::size_t length = std::strlen(path);
  if (length == 0 || path[length - 1] == '/') {
    errno = EINVAL;
    return fail(env, path, "create");
  }
  // Every later step works relative to the Maildir as opened here: one that
  // is renamed away meanwhile takes the delivery with it, whole.
  const int maildir = open_maildir(path);
  if (maildir < 0) return fail(env, path, "create");
  const char *step = deliver_into(maildir, size, with_envelope, msg);
  const int saved_errno = errno;
  close(maildir);
  errno = saved_errno;
  return step == nullptr ? 1 : fail(env, path, step);
}

}  // namespace

int ActionMaildir(const Action &action, const ActionEnv &env, const MessageContext &msg) noexcept {
  const bool with_envelope = (action.with & WITH_ENVELOPE) != 0;
  const std::int64_t size = maildir_message_size(msg, with_envelope);
  return for_each_target(action, msg, INSERT_PATH_SAFE, env.log, kWhere, [&](const Target &target) {
    if (target.per_recipient && env.trace.on(1)) env.trace.print("%s, ", target.text);
    if (target.inserts.empty_at_component_start) {
      // A placeholder that gave nothing would make another directory the
      // Maildir: nothing is made.
      errno = EINVAL;
      return fail(env, target.text, "create");
    }
    return deliver_one(target.text, target.inserts, size, with_envelope, env, msg);
  });
}
