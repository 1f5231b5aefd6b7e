// Pipe: runs the action's expanded template as a shell command and writes the
// mailbox record to its standard input, once or once per matched recipient.
// The command's exit status decides the outcome.
//
// Placeholder values are made shell-safe on expansion, so an envelope
// address cannot add words, redirections or commands of its own.
//
// A command that exits without reading its input turns our writes into
// SIGPIPE, which would end the whole filter. The signal is blocked in this
// thread while the record is written and the command waited for, and a
// SIGPIPE left pending is taken away before the mask is restored. The mask is
// changed only after popen, so that the command does not inherit it.
#include <signal.h>
#include <stdio_ext.h>

#include <cstdio>
#include <ctime>

#include "actions/action_support.h"
#include "actions/actions.h"
#include "actions/mailbox.h"
#include "frontend/log.h"
#include "rules/template.h"

namespace {

constexpr const char *kWhere = "ActionPipe";

// Writes the record to `pipe` and closes it with SIGPIPE held off this
// thread. Returns pclose's result.
int feed_and_close(std::FILE *pipe, const std::time_t &message_time, const MessageContext &msg) noexcept {
  sigset_t sigpipe, previous;
  sigemptyset(&sigpipe);
  sigaddset(&sigpipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &sigpipe, &previous);

  // Write errors are left to the exit status. pclose would also report a
  // failed final flush, hiding the status of a command that exited without
  // reading, so whatever could not be written is dropped first.
  PrintMail(pipe, message_time, msg);
  std::fflush(pipe);
  __fpurge(pipe);
  const int status = pclose(pipe);

  if (!sigismember(&previous, SIGPIPE)) {
    const timespec no_wait{0, 0};
    while (sigtimedwait(&sigpipe, nullptr, &no_wait) == SIGPIPE) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return status;
}

// Runs the command once. Returns 1 on exit status 0, 0 when it failed, and
// -1 when it could not be started.
int run_one(const char *command, const std::time_t &message_time, const MessageContext &msg) noexcept {
  std::FILE *pipe = popen(command, "w");
  if (pipe == nullptr) {
    log_error_naming(kWhere, "Could not open program '", command, "'.");
    return -1;
  }
  if (feed_and_close(pipe, message_time, msg) != 0) {
    log_error_naming(kWhere, "Failure executing program '", command, "'.");
    return 0;
  }
  return 1;
}

}  // namespace

int ActionPipe(const Action &action, const std::time_t &message_time, MessageContext &msg) noexcept {
  start_recipient_walk(action, msg);
  int result = 1;
  do {
    Text command = expand_template(action, msg, INSERT_SHELL_SAFE);
    if (!command) {
      log_event(kWhere, "expanded template", LOG_NO_MEMORY);
      return 0;
    }
    const int ran = run_one(command.get(), message_time, msg);
    if (ran < 0) return 0;  // the remaining recipients are not run
    if (ran == 0) result = 0;
  } while (next_recipient(action, msg));
  return result;
}
