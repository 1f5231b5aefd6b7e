// The rule walk over one message.
#include "rules/walk.h"

#include <cstddef>

#include "rules/evaluate.h"

namespace {

std::size_t count_recipients(const MessageContext &msg) noexcept {
  std::size_t count = 0;
  for (const Recipient *recipient = msg.recipients.head.get(); recipient != nullptr; recipient = recipient->next.get())
    ++count;
  return count;
}

// The walk proper, over the completed message.
bool walk_completed(const RuleList &rules, const MessageContext &msg, const Trace &trace, Delivery &delivery) noexcept {
  RuleMatch match;
  if (!match.prepare(count_recipients(msg))) {
    delivery.no_memory("rule match");
    return false;
  }
  bool ok = true;
  int number = 0;
  for (const Rule *rule = rules.head.get(); rule != nullptr; rule = rule->next.get()) {
    const bool matched = evaluate_rule(*rule, msg, match, trace) != 0;
    delivery.rule_evaluated(++number, *rule, matched);
    if (!matched) continue;
    match.earlier_rule_matched = true;
    for (const Action *action = rule->actions.head.get(); action != nullptr; action = action->next.get())
      if (!delivery.deliver(*action, msg, match)) ok = false;
    delivery.rule_done(*rule);
    if (rule->halt != 0) break;
  }
  return ok;
}

}  // namespace

bool walk_rules(const RuleList &rules, MessageContext &msg, std::time_t message_time, const Trace &trace,
                Delivery &delivery) noexcept {
  end_message(msg, message_time);
  return walk_completed(rules, msg, trace, delivery);
}
