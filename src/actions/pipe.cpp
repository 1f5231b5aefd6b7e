// Pipe: runs the action's expanded template as a shell command and writes the
// mailbox record (with the envelope lines first under With Envelope) to its
// standard input, once or once per selected recipient.
// The command's exit status decides the outcome.
//
// Placeholder values are made shell-safe on expansion, so an envelope
// address cannot add words, redirections or commands of its own.
//
// The command is started like popen(3) does, "/bin/sh -c command" with the
// read end of a pipe as its standard input, but through posix_spawn so that
// it starts with the default action for every signal and an empty signal
// mask, in a process group of its own, with descriptors 0, 1 and 2 and no
// others. The milter library ignores SIGPIPE for the whole process and an
// ignored signal survives exec: a command started by popen would ignore it
// too, and a pipeline inside it (`producer | head`) would no longer end when
// its reader does.
//
// Time limit (ActionEnv::pipe_time_limit_s, 0: none): counted from the
// start of each command. The record is written to a non-blocking pipe,
// waiting for room with poll up to the limit, and the command's exit is
// waited for on a pidfd, so neither a command that does not read nor one
// that does not exit holds the connection thread past the limit. At the
// limit the command's whole group gets SIGTERM, and SIGKILL when it is still
// there 5 seconds later; the action then fails with "Program '%s' ended
// after the time limit of %d s." and returns once the group is gone. The
// command, whose id names the group, is reaped only after the last signal:
// an id we no longer own may already name someone else's group.
//
// A command that exits without reading its input turns our writes into
// SIGPIPE, which would end the whole filter. The signal is blocked in this
// thread while the record is written and the command waited for, and a
// SIGPIPE left pending is taken away before the mask is restored.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio_ext.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "actions/action_support.h"
#include "actions/actions.h"
#include "message/record.h"

namespace {

constexpr const char *kWhere = "ActionPipe";

// From SIGTERM to SIGKILL.
constexpr int kGraceMs = 5000;
// After SIGKILL, how long the group's other processes may take to be
// reaped by their parents before we stop looking.
constexpr int kKilledWaitMs = 1000;
// How often a group that is not our child is looked at while it ends.
constexpr long kGroupPollNs = 10'000'000;  // 10 ms

// A point on the monotonic clock, or none (no limit).
struct Deadline {
  bool set = false;
  timespec at{};

  static Deadline after_ms(long ms) noexcept {
    Deadline d;
    d.set = true;
    clock_gettime(CLOCK_MONOTONIC, &d.at);
    d.at.tv_sec += ms / 1000;
    d.at.tv_nsec += (ms % 1000) * 1'000'000;
    if (d.at.tv_nsec >= 1'000'000'000) {
      d.at.tv_sec += 1;
      d.at.tv_nsec -= 1'000'000'000;
    }
    return d;
  }

  // Milliseconds left for poll: -1 without a deadline, 0 once it is past.
  int poll_ms() const noexcept {
    if (!set) return -1;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long left =
        (static_cast<long long>(at.tv_sec) - now.tv_sec) * 1000 + (at.tv_nsec - now.tv_nsec + 999'999) / 1'000'000;
    if (left <= 0) return 0;
    return left > 1'000'000'000 ? 1'000'000'000 : static_cast<int>(left);
  }
  bool passed() const noexcept { return set && poll_ms() == 0; }
};

struct Command {
  pid_t pid = -1;                // also the id of its process group
  int input = -1;                // the write end of its standard input, non-blocking
  std::FILE *stream = nullptr;   // writes to `input`, waiting for room
  int exited = -1;               // a pidfd that polls readable once it has exited, or -1
  Deadline deadline;             // the time limit
  bool timed_out = false;
  bool with_envelope = false;    // the record starts with the envelope lines
};

// The write function of the command's stream: waits for room up to the
// deadline. Returns the bytes written, or -1 (errno EPIPE when the command
// stopped reading, ETIME at the deadline).
ssize_t write_input(void *cookie, const char *bytes, std::size_t length) noexcept {
  Command &command = *static_cast<Command *>(cookie);
  for (;;) {
    if (command.timed_out) {
      errno = ETIME;
      return -1;
    }
    const ssize_t written = write(command.input, bytes, length);
    if (written >= 0) return written;
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return -1;
    pollfd room{command.input, POLLOUT, 0};
    const int ready = poll(&room, 1, command.deadline.poll_ms());
    if (ready == 0) command.timed_out = true;
    if (ready < 0 && errno != EINTR) return -1;
  }
}

int close_input(void *cookie) noexcept {
  Command &command = *static_cast<Command *>(cookie);
  const int closed = command.input >= 0 ? close(command.input) : 0;
  command.input = -1;
  return closed;
}

// Closes a stream that was never used; returns false with errno kept.
bool drop_stream(Command &command) noexcept {
  const int saved = errno;
  std::fclose(command.stream);
  command.stream = nullptr;
  errno = saved;
  return false;
}

// Starts "/bin/sh -c command" in a new process group with its standard input
// on a new pipe. Returns false with errno set when it could not be started.
bool start_command(const char *command, Command &started) noexcept {
  const cookie_io_functions_t functions{nullptr, write_input, nullptr, close_input};
  started.stream = fopencookie(&started, "w", functions);
  if (started.stream == nullptr) return false;
  int ends[2];
  // Only our end is non-blocking: the command reads as usual.
  if (pipe2(ends, O_CLOEXEC) != 0) return drop_stream(started);
  if (fcntl(ends[1], F_SETFL, O_NONBLOCK) != 0) {
    close(ends[0]);
    close(ends[1]);
    return drop_stream(started);
  }

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  // dup2 onto descriptor 0 clears close-on-exec on the copy only. Then
  // everything from 3 up goes, whether or not it is close-on-exec: what the
  // milter library, our parent or a library we call left inheritable must
  // not reach the command, least of all a copy of a locked mailbox's
  // descriptor, which would keep the lock for as long as anything the
  // command leaves behind runs.
  int refused = posix_spawn_file_actions_adddup2(&actions, ends[0], STDIN_FILENO);
  if (refused == 0) refused = posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  if (refused != 0) {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(ends[0]);
    close(ends[1]);
    errno = refused;
    return drop_stream(started);
  }
  sigset_t defaults, empty;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGXFSZ);
  sigemptyset(&empty);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &empty);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

  char shell[] = "/bin/sh";
  char dash_c[] = "-c";
  char *argv[] = {shell, dash_c, const_cast<char *>(command), nullptr};
  const int failed = posix_spawn(&started.pid, shell, &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(ends[0]);
  if (failed != 0) {
    close(ends[1]);
    errno = failed;
    return drop_stream(started);
  }
  started.input = ends[1];
  // Without a pidfd (an old kernel, a sandbox that refuses it) the exit is
  // looked for with waitpid every few milliseconds instead.
  // (The C library's own pidfd_open cannot be called from C++ before glibc 2.37.)
  started.exited = static_cast<int>(syscall(SYS_pidfd_open, started.pid, 0));
  return true;
}

// Writes the record to the command's input and closes it. Write errors are
// left to the exit status: whatever could not be written (the command
// exited without reading) is dropped. Sets `timed_out` at the deadline.
void feed(Command &command, const ActionEnv &env, const MessageContext &msg) noexcept {
  PrintMail(command.stream, env.message_time, msg, env.log, command.with_envelope);
  std::fflush(command.stream);
  __fpurge(command.stream);
  std::fclose(command.stream);
  command.stream = nullptr;
}

// Whether the command has exited. It is left unreaped: until it is reaped
// its id, which also names its group, cannot be given to another process,
// so signalling the group reaches no one else's. Also true when it cannot be
// waited for at all, for reap to report.
bool has_exited(const Command &command) noexcept {
  siginfo_t info{};
  int waited;
  do waited = waitid(P_PID, static_cast<id_t>(command.pid), &info, WEXITED | WNOHANG | WNOWAIT);
  while (waited < 0 && errno == EINTR);
  return waited < 0 || info.si_pid != 0;
}

// Waits up to `deadline` for the command to exit, without reaping it.
bool wait_for_exit(const Command &command, const Deadline &deadline) noexcept {
  for (;;) {
    if (has_exited(command)) return true;
    if (deadline.passed()) return false;
    pollfd exit{command.exited, POLLIN, 0};
    if (command.exited < 0 || poll(&exit, 1, deadline.poll_ms()) < 0) {
      const timespec pause{0, 2'000'000};
      nanosleep(&pause, nullptr);
    }
  }
}

// Reaps the exited command: its wait status, or -1 with errno set.
int reap(const Command &command) noexcept {
  int status = 0;
  pid_t done;
  do done = waitpid(command.pid, &status, 0);
  while (done < 0 && errno == EINTR);
  return done < 0 ? -1 : status;
}

// The process group of /proc/<name>, or -1 when `name` is not a process or
// it has just gone.
long group_of(int proc, const char *name) noexcept {
  if (*name < '0' || *name > '9') return -1;
  char path[64];
  std::snprintf(path, sizeof path, "%s/stat", name);
  const int fd = openat(proc, path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char stat[512];
  ssize_t got;
  do got = read(fd, stat, sizeof stat - 1);
  while (got < 0 && errno == EINTR);
  close(fd);
  if (got <= 0) return -1;
  stat[got] = '\0';
  // "pid (name) state parent group ...", where the name may hold ")" too.
  const char *after_name = std::strrchr(stat, ')');
  char state;
  long parent, group;
  if (after_name == nullptr || std::sscanf(after_name + 1, " %c %ld %ld", &state, &parent, &group) != 3) return -1;
  return group;
}

// Whether a process other than the command is in its group, exited ones not
// yet reaped by their parents too. Looked up in /proc, as kill(-group, 0)
// would count the command, which is kept unreaped. When /proc does not show
// the command in its group either (not mounted, another pid namespace's),
// the others are taken to be there.
bool others_in_group(const Command &command) noexcept {
  DIR *proc = opendir("/proc");
  if (proc == nullptr) return true;
  bool seen_command = false, others = false;
  while (const dirent *entry = readdir(proc)) {
    if (group_of(dirfd(proc), entry->d_name) != command.pid) continue;
    const bool is_command = std::strtol(entry->d_name, nullptr, 10) == command.pid;
    seen_command = seen_command || is_command;
    others = others || !is_command;
    if (others) break;
  }
  closedir(proc);
  return others || !seen_command;
}

// Waits until the command has exited and nothing else of its group is
// left, or `until`. True when so.
bool wait_for_group(const Command &command, const Deadline &until) noexcept {
  if (!wait_for_exit(command, until)) return false;
  for (;;) {
    if (!others_in_group(command)) return true;
    if (until.passed()) return false;
    const timespec pause{0, kGroupPollNs};
    nanosleep(&pause, nullptr);
  }
}

// Ends the command's group at its time limit: SIGTERM, then SIGKILL when
// anything of it is left after the grace time. The command is reaped last,
// so that both signals reach its group and no other. Returns once the
// command is reaped and its group is gone (after SIGKILL, a moment for its
// processes to be reaped by their parents at most).
void end_group(const Command &command) noexcept {
  kill(-command.pid, SIGTERM);
  if (!wait_for_group(command, Deadline::after_ms(kGraceMs))) {
    kill(-command.pid, SIGKILL);
    wait_for_exit(command, Deadline{});
    wait_for_group(command, Deadline::after_ms(kKilledWaitMs));
  }
  reap(command);
}

// Writes the record to the command and waits for it, both with SIGPIPE held
// off this thread. Returns the command's wait status, or -1 when it ran into
// the time limit (its group is then ended) or the wait failed.
int feed_and_finish(Command &command, const ActionEnv &env, const MessageContext &msg) noexcept {
  sigset_t sigpipe, previous;
  sigemptyset(&sigpipe);
  sigaddset(&sigpipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &sigpipe, &previous);

  feed(command, env, msg);
  int status = -1;
  if (!command.timed_out && wait_for_exit(command, command.deadline)) {
    status = reap(command);
  } else {
    command.timed_out = true;
    end_group(command);
  }
  const int saved_errno = errno;
  if (command.exited >= 0) close(command.exited);

  if (!sigismember(&previous, SIGPIPE)) {
    const timespec no_wait{0, 0};
    while (sigtimedwait(&sigpipe, nullptr, &no_wait) == SIGPIPE) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = saved_errno;
  return status;
}

// Runs the command once. Returns 1 on exit status 0, 0 when it could not be
// started, failed or ran into the time limit.
int run_one(const char *command, bool with_envelope, const ActionEnv &env, const MessageContext &msg) noexcept {
  Command started;
  started.with_envelope = with_envelope;
  if (env.pipe_time_limit_s > 0) started.deadline = Deadline::after_ms(env.pipe_time_limit_s * 1000L);
  if (!start_command(command, started)) {
    log_error_naming(env.log, kWhere, "Could not open program '", command, "'.");
    return 0;
  }
  const int status = feed_and_finish(started, env, msg);
  if (started.timed_out) {
    char after[64];
    std::snprintf(after, sizeof after, "' ended after the time limit of %d s.", env.pipe_time_limit_s);
    errno = ETIME;
    log_error_naming(env.log, kWhere, "Program '", command, after);
    return 0;
  }
  if (status != 0) {
    // For a command that ended with another status no call failed.
    if (status > 0) errno = 0;
    log_error_naming(env.log, kWhere, "Failure executing program '", command, "'.");
    return 0;
  }
  return 1;
}

}  // namespace

int ActionPipe(const Action &action, const ActionEnv &env, const MessageContext &msg, const RuleMatch &match) noexcept {
  return for_each_target(action, msg, match, INSERT_SHELL_SAFE, env.log, kWhere,
                         [&](const Target &target) {
                           return run_one(target.text, (action.with & WITH_ENVELOPE) != 0, env, msg);
                         });
}
