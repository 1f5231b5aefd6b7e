// Maildir: delivers the message as a file of its own into the Maildir that
// the action's template names, once or once per matched recipient.
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
//   create  the Maildir is made (mode 0700: the directory and whichever of
//           tmp, new and cur are missing) when tmp/ or new/ is missing; its
//           parent must exist. An expanded path that is empty or ends in "/"
//           (a placeholder that gave nothing) would make the parent the
//           Maildir: it fails here and nothing is made.
//   write   the file in tmp/, created exclusively with mode 0600
//   sync    fsync of the file; after the link, of new/
//   link    the link into new/; the tmp/ name is removed after it
// A failure removes the file written in tmp/; directories made stay. Once
// the file is in new/ it stays there, even when syncing new/ fails: a reader
// may have taken it already.
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
#include <memory>
#include <new>

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

// The paths of one delivery, in one allocation: the file in tmp/, the same
// name in new/, and new/ itself (the first part of the new/ file's path).
class DeliveryPaths {
 public:
  // False when memory cannot be allocated.
  bool make(const char *maildir, std::int64_t size) noexcept {
    dir_length_ = std::strlen(maildir);
    size_ = size;
    name_room_ = std::strlen(host_name()) + 96;
    const std::size_t one = dir_length_ + 5 + name_room_;
    buffer_.reset(new (std::nothrow) char[2 * one + dir_length_ + 5]);
    if (!buffer_) return false;
    tmp_ = buffer_.get();
    new_ = tmp_ + one;
    new_dir_ = new_ + one;
    std::memcpy(new_dir_, maildir, dir_length_);
    std::memcpy(new_dir_ + dir_length_, "/new", 5);
    return true;
  }

  // Gives the delivery the next unique name.
  void next_name() noexcept {
    timeval now{};
    gettimeofday(&now, nullptr);
    const unsigned long counter = deliveries.fetch_add(1) + 1;
    for (char *path : {tmp_, new_}) {
      std::memcpy(path, new_dir_, dir_length_);
      std::memcpy(path + dir_length_, path == tmp_ ? "/tmp/" : "/new/", 5);
    }
    std::snprintf(tmp_ + dir_length_ + 5, name_room_, "%lld.M%06ldP%ldQ%lu.%s,S=%" PRId64,
                  static_cast<long long>(now.tv_sec), static_cast<long>(now.tv_usec), static_cast<long>(getpid()),
                  counter, host_name(), size_);
    std::memcpy(new_ + dir_length_ + 5, tmp_ + dir_length_ + 5, name_room_);
  }

  const char *tmp_file() const noexcept { return tmp_; }
  const char *new_file() const noexcept { return new_; }
  const char *new_dir() const noexcept { return new_dir_; }

 private:
  std::unique_ptr<char[]> buffer_;
  char *tmp_ = nullptr;
  char *new_ = nullptr;
  char *new_dir_ = nullptr;
  std::size_t dir_length_ = 0;
  std::size_t name_room_ = 0;
  std::int64_t size_ = 0;
};

int fail(const ActionEnv &env, const char *maildir, const char *step) noexcept {
  char after[32];
  std::snprintf(after, sizeof after, "': %s.", step);
  log_error_naming(env.log, kWhere, "Could not deliver to maildir '", maildir, after);
  return 0;
}

// mkdir that counts an existing entry as done. Sets `made` when it made one.
bool make_directory(const char *path, bool &made) noexcept {
  if (mkdir(path, 0700) == 0) {
    made = true;
    return true;
  }
  return errno == EEXIST;
}

// Makes the Maildir and whichever of its tmp, new and cur are missing, and
// syncs the directories whose entries changed. The parent must exist.
bool make_maildir(const char *maildir) noexcept {
  const std::size_t length = std::strlen(maildir);
  std::unique_ptr<char[]> sub(new (std::nothrow) char[length + 5]);
  if (!sub) {
    errno = ENOMEM;
    return false;
  }
  bool made_maildir = false, made_sub = false;
  if (!make_directory(maildir, made_maildir)) return false;
  std::memcpy(sub.get(), maildir, length);
  for (const char *name : {"/tmp", "/new", "/cur"}) {
    std::memcpy(sub.get() + length, name, 5);
    if (!make_directory(sub.get(), made_sub)) return false;
  }
  if (made_maildir && !sync_parent_directory(maildir)) return false;
  return !(made_maildir || made_sub) || sync_directory(maildir);
}

// The file in tmp/ under a fresh name, created exclusively; the Maildir is
// made first when tmp/ is missing. Returns the descriptor, or -1 with
// `step` naming what failed.
int create_in_tmp(const char *maildir, DeliveryPaths &paths, const char *&step) noexcept {
  bool made = false;
  paths.next_name();
  for (int attempt = 0; attempt < kNameAttempts;) {
    const int fd = open(paths.tmp_file(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    if (errno == ENOENT && !made) {
      made = true;
      if (!make_maildir(maildir)) {
        step = "create";
        return -1;
      }
      continue;  // the same name again, in the made Maildir
    }
    if (errno != EEXIST || ++attempt == kNameAttempts) break;
    paths.next_name();
  }
  step = "write";
  return -1;
}

// Writes the message to `fd`, syncs and closes it. Returns null, or the step
// that failed with errno set.
const char *write_file(int fd, const MessageContext &msg) noexcept {
  std::FILE *stream = fdopen(fd, "w");
  if (stream == nullptr) {
    const int saved_errno = errno;
    close(fd);
    errno = saved_errno;
    return "write";
  }
  errno = 0;
  PrintMaildirMessage(stream, msg);
  const char *step = nullptr;
  if (std::fflush(stream) != 0 || std::ferror(stream) != 0) step = "write";
  else if (fsync(fd) != 0) step = "sync";
  const int saved_errno = errno != 0 ? errno : EIO;
  if (std::fclose(stream) != 0 && step == nullptr) return "write";
  errno = saved_errno;
  return step;
}

// Links the file into new/; when new/ alone is missing it is made like a
// missing Maildir first. Returns null, or the step that failed.
const char *link_into_new(const char *maildir, const DeliveryPaths &paths) noexcept {
  if (link(paths.tmp_file(), paths.new_file()) == 0) return nullptr;
  if (errno != ENOENT) return "link";
  if (!make_maildir(maildir)) return "create";
  return link(paths.tmp_file(), paths.new_file()) == 0 ? nullptr : "link";
}

// Delivers one file into the Maildir `maildir`. Returns 1 on success.
int deliver_one(const char *maildir, std::int64_t size, const ActionEnv &env, const MessageContext &msg) noexcept {
  const std::size_t length = std::strlen(maildir);
  if (length == 0 || maildir[length - 1] == '/') {
    errno = EINVAL;
    return fail(env, maildir, "create");
  }
  DeliveryPaths paths;
  if (!paths.make(maildir, size)) {
    env.log.event(kWhere, "maildir path", LOG_NO_MEMORY);
    return 0;
  }
  const char *step = nullptr;
  const int fd = create_in_tmp(maildir, paths, step);
  if (fd < 0) return fail(env, maildir, step);

  step = write_file(fd, msg);
  if (step == nullptr) step = link_into_new(maildir, paths);
  // Linked or not, the tmp/ name goes: the message is in new/ or nowhere.
  const int saved_errno = errno;
  unlink(paths.tmp_file());
  errno = saved_errno;
  if (step != nullptr) return fail(env, maildir, step);
  if (!sync_directory(paths.new_dir())) return fail(env, maildir, "sync");
  return 1;
}

}  // namespace

int ActionMaildir(const Action &action, const ActionEnv &env, MessageContext &msg) noexcept {
  const std::int64_t size = maildir_message_size(msg);
  start_recipient_walk(action, msg);
  do {
    Text path = expand_template(action, msg, INSERT_PATH_SAFE);
    if (!path) {
      env.log.event(kWhere, "expanded template", LOG_NO_MEMORY);
      return 0;
    }
    if (action.each_recipient != 0 && env.trace.on(1)) env.trace.print("%s, ", path.get());
    if (!deliver_one(path.get(), size, env, msg)) return 0;
  } while (next_recipient(action, msg));
  return 1;
}
