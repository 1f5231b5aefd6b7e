// The rule walk: what happens to one message at its end.
//
// walk_rules completes the message's record length for `message_time`, then
// evaluates the rules in file order and hands every action of each matching
// rule to a Delivery with the rule's RuleMatch; a rule with Halt ends the
// walk. From then on the message is only read: what the walk works with (the
// selection, %TO%, whether a rule matched) is its own RuleMatch, on its stack.
// When the match cannot be allocated (a large envelope) the walk tells the
// delivery, runs no rule and fails. The daemon's delivery
// runs the actions for real and writes the verbose trace; quorvane-test's
// shows what would be done. Evaluation traces on `trace`.
//
// Threads: runs on the thread that owns `msg`; reads the rules only.
#pragma once

#include <ctime>

#include "base/trace.h"
#include "message/message_context.h"
#include "rules/rule.h"
#include "rules/rule_match.h"

class Delivery {
 public:
  virtual ~Delivery() = default;
  // After a rule's condition was evaluated; `number` counts from 1.
  virtual void rule_evaluated(int number, const Rule &rule, bool matched) noexcept = 0;
  // One action of a matching rule, with what its evaluation selected.
  // Returns false when it failed.
  virtual bool deliver(const Action &action, const MessageContext &msg, const RuleMatch &match) noexcept = 0;
  // After the actions of a matching rule (before the walk ends on Halt).
  virtual void rule_done(const Rule &rule) noexcept = 0;
  // The walk's own state (`what`) could not be allocated; no rule runs.
  virtual void no_memory(const char *what) noexcept = 0;
};

// Returns true when every action delivered succeeded (and memory sufficed).
bool walk_rules(const RuleList &rules, MessageContext &msg, std::time_t message_time, const Trace &trace,
                Delivery &delivery) noexcept;
