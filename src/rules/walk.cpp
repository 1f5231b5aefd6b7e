// The rule walk over one message.
#include "rules/walk.h"

#include "rules/evaluate.h"

bool walk_rules(const RuleList &rules, MessageContext &msg, std::time_t message_time, const Trace &trace,
                Delivery &delivery) noexcept {
  end_message(msg, message_time);
  bool ok = true;
  int number = 0;
  for (const Rule *rule = rules.head.get(); rule != nullptr; rule = rule->next.get()) {
    const bool matched = evaluate_rule(*rule, msg, trace) != 0;
    delivery.rule_evaluated(++number, *rule, matched);
    if (!matched) continue;
    msg.any_rule_matched = 1;
    for (const Action *action = rule->actions.head.get(); action != nullptr; action = action->next.get())
      if (!delivery.deliver(*action, msg)) ok = false;
    delivery.rule_done(*rule);
    if (rule->halt != 0) break;
  }
  return ok;
}
