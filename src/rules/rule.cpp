// The rule model's records: building and releasing them.
#include "rules/rule.h"

#include <new>
#include <utility>

std::unique_ptr<Rule> new_rule() noexcept { return std::unique_ptr<Rule>(new (std::nothrow) Rule()); }

Rule *append_rule(RuleList &list, std::unique_ptr<Rule> rule) noexcept {
  Rule *raw = rule.get();
  list.append(std::move(rule));
  return raw;
}

Action *add_action(Rule &rule) noexcept {
  std::unique_ptr<Action> action(new (std::nothrow) Action());
  if (!action) return nullptr;
  Action *raw = action.get();
  rule.actions.append(std::move(action));
  return raw;
}

ConditionNode::~ConditionNode() {
  // A long "and"/"or" chain nests to the right: walk it instead of recursing.
  std::unique_ptr<ConditionNode> rest = std::move(right);
  while (rest) rest = std::move(rest->right);
}

void free_condition(std::unique_ptr<ConditionNode> node) noexcept { node.reset(); }

void free_rule_contents(Rule &rule) noexcept {
  rule.actions.clear();
  free_condition(std::move(rule.condition));
}

void free_rule_list(RuleList &list) noexcept {
  while (list.head) {
    std::unique_ptr<Rule> next = std::move(list.head->next);
    free_rule_contents(*list.head);
    list.head = std::move(next);
  }
  list.tail = nullptr;
}

RuleSet::~RuleSet() { free_rule_list(rules); }
