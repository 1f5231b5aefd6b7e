// The daemon's delivery: runs each action of a matching rule for real, with
// the verbose trace of the rule walk ("Action: Store In '...' - Success. ",
// "Halting."), for one message, and counts what it did: each matching rule in
// Rule::matches, each action by kind and result with the time it took in
// ActionCounters. Lives on the stack of the end-of-message callback; safe on
// any connection thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "actions/actions.h"
#include "rules/walk.h"

// Actions run since start-up, by kind (indexed by ActionType). Written with
// relaxed atomics from every connection thread, read by the metrics writer:
// each counter is exact, but a reader may see one action's count before its
// time.
class ActionCounters {
 public:
  struct Kind {
    std::atomic<std::uint64_t> succeeded{0};
    std::atomic<std::uint64_t> failed{0};
    std::atomic<std::uint64_t> nanoseconds{0};  // time spent running them
  };

  void count(ActionType kind, bool ok, std::uint64_t nanoseconds) noexcept {
    Kind &slot = kinds_[kind];
    (ok ? slot.succeeded : slot.failed).fetch_add(1, std::memory_order_relaxed);
    slot.nanoseconds.fetch_add(nanoseconds, std::memory_order_relaxed);
  }
  const Kind &of(ActionType kind) const noexcept { return kinds_[kind]; }

 private:
  Kind kinds_[kActionKindCount];
};

class ActionDelivery final : public Delivery {
 public:
  // `counters` may be null: nothing is counted.
  explicit ActionDelivery(const ActionEnv &env, ActionCounters *counters = nullptr) noexcept
      : env_(env), counters_(counters) {}

  void rule_evaluated(int number, const Rule &rule, bool matched) noexcept override;
  bool deliver(const Action &action, const MessageContext &msg, const RuleMatch &match) noexcept override;
  void rule_done(const Rule &rule) noexcept override;
  void no_memory(const char *what) noexcept override;

 private:
  const ActionEnv &env_;
  ActionCounters *counters_;
};
