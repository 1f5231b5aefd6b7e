// Add Recipient: asks the MTA to add the text that the action's template
// expands to as an envelope recipient, and nothing else: no header names it.
// Runs once or once per selected recipient, every one tried, and only when
// the MTA granted these changes at negotiation (otherwise it is skipped and
// succeeds, like Add Header). An empty text asks for nothing and fails.
// Logs nothing but running out of memory: a refusal shows in the trace and
// the verdict.
#include "actions/action_support.h"
#include "actions/actions.h"

int ActionAddRecipient(const Action &action, const ActionEnv &env, const MessageContext &msg, const RuleMatch &match) noexcept {
  if (!env.add_headers_enabled) {
    if (env.trace.on(2)) env.trace.print("%s ", "Adding recipients NOT supported by MTA - Ignoring action");
    return 1;
  }
  return for_each_target(action, msg, match, INSERT_AS_IS, env.log, "ActionAddRecipient", [&](const Target &target) {
    if (env.trace.on(2)) env.trace.print("Rcpt: %s ", target.text);
    if (target.text[0] == '\0') return 0;
    return env.editor->add_recipient(target.text) ? 1 : 0;
  });
}
