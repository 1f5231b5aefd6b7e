// End-of-message dispatch: completes the record count, runs the rules in file
// order with the actions of every rule that matches, and releases the message
// with the verdict that its actions earned.
//
// The message time is read once, here, and every Store In and Pipe of the
// message writes it, so each record matches record_size. The trace goes to
// standard output at verbose level 1 and above.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>

#include "actions/actions.h"
#include "frontend/log.h"
#include "milter/filter.h"
#include "milter/message_context.h"
#include "rules/evaluate.h"
#include "rules/template.h"

namespace {

sfsistat dispatch(SMFICTX *ctx, MessageContext *msg) noexcept;

// The milter library's main loop returns without waiting for the connection
// threads, and the rules are released right after it. These two keep a
// message from running its rules while, or after, they are released.
std::atomic<int> dispatches_running{0};
std::atomic<bool> dispatch_closed{false};

// How an action's placeholder values are inserted: the trace shows the text
// that the action itself will use.
InsertMode insert_mode_of(const Action &action) noexcept {
  switch (action.kind) {
  case ACTION_STORE_IN: return INSERT_PATH_SAFE;
  case ACTION_PIPE: return INSERT_SHELL_SAFE;
  default: return INSERT_AS_IS;
  }
}

// Runs one action of a matching rule with its trace. Returns its result.
int run_action(const Action &action, SMFICTX *ctx, const std::time_t &message_time, MessageContext &msg) noexcept {
  if (verbose_level >= 1) {
    Text expanded;
    const char *description = "Each matched to address:";
    if (action.each_recipient == 0) {
      expanded = expand_template(action, msg, insert_mode_of(action));
      description = expanded ? expanded.get() : "";
    }
    switch (action.kind) {
    case ACTION_STORE_IN: std::printf("Action: Store In '%s' ", description); break;
    case ACTION_ADD_HEADER: std::printf("Action: Add Header '%s' ", description); break;
    default: std::printf("Action: Pipe '%s' ", description); break;
    }
  }

  int result = 0;
  switch (action.kind) {
  case ACTION_STORE_IN: result = ActionStoreIn(action, message_time, msg); break;
  case ACTION_ADD_HEADER: result = ActionAddHeader(action, ctx, msg); break;
  case ACTION_PIPE: result = ActionPipe(action, message_time, msg); break;
  default: break;
  }

  if (verbose_level >= 1) std::printf("- %s ", result != 0 ? "Success." : "Failed.");
  // The next per-recipient action starts again from the first recipient.
  if (result == 0 && action.each_recipient != 0) msg.cursor = nullptr;
  return result;
}

}  // namespace

bool close_dispatch(int timeout_ms) noexcept {
  dispatch_closed.store(true);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (dispatches_running.load() != 0) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

sfsistat mlfi_eom(SMFICTX *ctx) {
  MessageContext *msg = static_cast<MessageContext *>(smfi_getpriv(ctx));
  if (msg == nullptr) {
    log_event("mlfi_eom", "private data", LOG_NO_PRIVATE_DATA);
    return failure_verdict();
  }
  dispatches_running.fetch_add(1);
  if (dispatch_closed.load()) {
    // Shutting down: the rules may be gone. Unfiltered, the message must not
    // be accepted; the MTA will offer it again.
    mlfi_cleanup(ctx, 1);
    dispatches_running.fetch_sub(1);
    return SMFIS_TEMPFAIL;
  }
  const sfsistat verdict = dispatch(ctx, msg);
  dispatches_running.fetch_sub(1);
  return verdict;
}

namespace {

// Runs the rules for one message and releases it with the verdict.
sfsistat dispatch(SMFICTX *ctx, MessageContext *msg) noexcept {
  // The date line, the blank line after the headers and the two final
  // newlines complete the record.
  const std::time_t message_time = std::time(nullptr);
  msg->record_size += static_cast<std::int64_t>(std::strlen(format_ctime(message_time).text)) + 1 + 3;
  if (rule_list.empty()) return mlfi_cleanup(ctx, 1);

  int ok = 1;
  for (const Rule *rule = rule_list.head.get(); rule != nullptr; rule = rule->next.get()) {
    if (evaluate_rule(*rule, *msg) == 0) {
      if (verbose_level >= 1) std::putchar('\n');
      continue;
    }
    msg->any_rule_matched = 1;
    for (const Action *action = rule->actions.head.get(); action != nullptr; action = action->next.get())
      if (run_action(*action, ctx, message_time, *msg) == 0) ok = 0;
    if (rule->halt != 0) {
      if (verbose_level >= 1) std::fputs("Halting.\n", stdout);
      break;
    }
    if (verbose_level >= 1) std::putchar('\n');
  }
  return mlfi_cleanup(ctx, ok);
}

}  // namespace
