// Pipe: runs the action's expanded template as a shell command and writes the
// mailbox record to its standard input, once or once per matched recipient.
// The command's exit status decides the outcome.
//
// Placeholder values are made shell-safe on expansion, so an envelope
// address cannot add words, redirections or commands of its own.
//
// The command is started like popen(3) does, "/bin/sh -c command" with the
// read end of a pipe as its standard input, but through posix_spawn so that
// it starts with the default action for every signal and an empty signal
// mask. The milter library ignores SIGPIPE for the whole process and an
// ignored signal survives exec: a command started by popen would ignore it
// too, and a pipeline inside it (`producer | head`) would no longer end when
// its reader does.
//
// A command that exits without reading its input turns our writes into
// SIGPIPE, which would end the whole filter. The signal is blocked in this
// thread while the record is written and the command waited for, and a
// SIGPIPE left pending is taken away before the mask is restored.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio_ext.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "actions/action_support.h"
#include "actions/actions.h"
#include "message/record.h"

namespace {

constexpr const char *kWhere = "ActionPipe";

struct Command {
  std::FILE *input = nullptr;  // the write end of the command's standard input
  pid_t pid = -1;
};

// Starts "/bin/sh -c command" with its standard input on a new pipe. Returns
// false with errno set when it could not be started.
bool start_command(const char *command, Command &started) noexcept {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return false;

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  // dup2 onto descriptor 0 clears close-on-exec on the copy only.
  posix_spawn_file_actions_adddup2(&actions, ends[0], STDIN_FILENO);
  sigset_t defaults, empty;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGXFSZ);
  sigemptyset(&empty);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &empty);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

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
    return false;
  }
  started.input = fdopen(ends[1], "w");
  if (started.input == nullptr) {
    const int saved = errno;
    close(ends[1]);
    while (waitpid(started.pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    errno = saved;
    return false;
  }
  return true;
}

// Closes the command's input and waits for it, with no time limit. Returns
// its wait status (0 for exit status 0), or -1 when the wait failed. For a
// command that ended with another status errno is 0: no call failed.
int finish_command(Command &command) noexcept {
  std::fclose(command.input);
  int status = 0;
  while (waitpid(command.pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  errno = 0;
  return status;
}

// Writes the record to the command and waits for it with SIGPIPE held off
// this thread. Returns the command's wait status, -1 when the wait failed.
int feed_and_finish(Command &command, const ActionEnv &env, const MessageContext &msg) noexcept {
  sigset_t sigpipe, previous;
  sigemptyset(&sigpipe);
  sigaddset(&sigpipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &sigpipe, &previous);

  // Write errors are left to the exit status: whatever could not be written
  // (the command exited without reading) is dropped.
  PrintMail(command.input, env.message_time, msg, env.log);
  std::fflush(command.input);
  __fpurge(command.input);
  const int status = finish_command(command);
  const int saved_errno = errno;

  if (!sigismember(&previous, SIGPIPE)) {
    const timespec no_wait{0, 0};
    while (sigtimedwait(&sigpipe, nullptr, &no_wait) == SIGPIPE) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = saved_errno;
  return status;
}

// Runs the command once. Returns 1 on exit status 0, 0 when it failed, and
// -1 when it could not be started.
int run_one(const char *command, const ActionEnv &env, const MessageContext &msg) noexcept {
  Command started;
  if (!start_command(command, started)) {
    log_error_naming(env.log, kWhere, "Could not open program '", command, "'.");
    return -1;
  }
  if (feed_and_finish(started, env, msg) != 0) {
    log_error_naming(env.log, kWhere, "Failure executing program '", command, "'.");
    return 0;
  }
  return 1;
}

}  // namespace

int ActionPipe(const Action &action, const ActionEnv &env, MessageContext &msg) noexcept {
  start_recipient_walk(action, msg);
  int result = 1;
  do {
    Text command = expand_template(action, msg, INSERT_SHELL_SAFE);
    if (!command) {
      env.log.event(kWhere, "expanded template", LOG_NO_MEMORY);
      return 0;
    }
    const int ran = run_one(command.get(), env, msg);
    if (ran < 0) return 0;  // the remaining recipients are not run
    if (ran == 0) result = 0;
  } while (next_recipient(action, msg));
  return result;
}
