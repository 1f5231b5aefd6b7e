// Running the actions of a matching rule, with their trace and counters.
#include "actions/delivery.h"

#include <chrono>

void ActionDelivery::rule_evaluated(int, const Rule &rule, bool matched) noexcept {
  if (matched && counters_ != nullptr) rule.matches.fetch_add(1, std::memory_order_relaxed);
  if (!matched && env_.trace.on(1)) env_.trace.put("\n");
}

bool ActionDelivery::deliver(const Action &action, const MessageContext &msg, const RuleMatch &match) noexcept {
  const ActionKind &kind = action_kind(action.kind);
  const Trace &trace = env_.trace;
  if (trace.on(1)) {
    // The trace shows the text that the action itself will use.
    Text expanded;
    const char *description = "Each matched to address:";
    if (action.each_recipient == 0) {
      expanded = expand_template(action, msg, match, nullptr, kind.insert);
      description = expanded ? expanded.get() : "";
    }
    trace.print("Action: %s '%s' ", kind.label, description);
  }
  const auto started = std::chrono::steady_clock::now();
  const int result = kind.run(action, env_, msg, match);
  if (counters_ != nullptr) {
    const auto took = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - started);
    counters_->count(action.kind, result != 0, static_cast<std::uint64_t>(took.count()));
  }
  if (trace.on(1)) trace.print("- %s ", result != 0 ? "Success." : "Failed.");
  return result != 0;
}

void ActionDelivery::rule_done(const Rule &rule) noexcept {
  if (env_.trace.on(1)) env_.trace.put(rule.halt != 0 ? "Halting.\n" : "\n");
}

// Logged for the end of message, like the actions' own allocation failures.
void ActionDelivery::no_memory(const char *what) noexcept { env_.log.event("mlfi_eom", what, LOG_NO_MEMORY); }
