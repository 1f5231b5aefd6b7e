// The daemon's delivery: runs each action of a matching rule for real, with
// the verbose trace of the rule walk ("Action: Store In '...' - Success. ",
// "Halting."), for one message. Lives on the stack of the end-of-message
// callback; safe on any connection thread.
#pragma once

#include "actions/actions.h"
#include "rules/walk.h"

class ActionDelivery final : public Delivery {
 public:
  explicit ActionDelivery(const ActionEnv &env) noexcept : env_(env) {}

  void rule_evaluated(int number, const Rule &rule, bool matched) noexcept override;
  bool deliver(const Action &action, MessageContext &msg) noexcept override;
  void rule_done(const Rule &rule) noexcept override;

 private:
  const ActionEnv &env_;
};
