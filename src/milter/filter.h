// The filter the milter library calls: its description, its callbacks and
// the state they share.
//
// A Filter holds what every connection thread reads: the settings, the log,
// the trace, the current rule set, the shutdown state and the counters. The callbacks reach
// it through the one pointer install_filter sets, since the milter library
// hands them nothing but the connection; the front end installs its Filter
// before smfi_main and keeps it alive until the process ends.
//
// Per connection, the callbacks attach a Connection with smfi_setpriv: what
// that MTA granted at negotiation, and the message in progress (built by the
// capture callbacks, released by mlfi_cleanup with the verdict). mlfi_close
// releases the Connection.
//
// The rule set is swapped whole (set_rules, from the daemon's reload thread):
// each end of message takes the set of that moment and keeps it to the end of
// its walk, so no message sees two sets, and an old set is released when the
// last message using it is done. Each negotiation reads the set of its moment.
//
// Threads: callbacks run on the milter library's connection threads; each
// touches only its own connection's data, reads the Filter and adds to its
// counters (relaxed atomics: counting takes no lock). Taking the rule set
// copies a shared_ptr under a mutex held for just that.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

#include "actions/delivery.h"
#include "base/log.h"
#include "base/settings.h"
#include "base/trace.h"
#include "message/message_context.h"
#include "rules/rule.h"

// What the filter did since start-up, for the metrics.
struct FilterCounters {
  std::atomic<std::uint64_t> messages{0};  // ends of message whose rules ran
  std::atomic<std::uint64_t> failed{0};    // messages released with the failure verdict
  ActionCounters actions;
};

class Filter {
 public:
  Filter(const Settings &settings, Log &log, std::shared_ptr<const RuleSet> rules) noexcept;
  Filter(const Filter &) = delete;
  Filter &operator=(const Filter &) = delete;

  const Settings settings;
  Log &log;
  const Trace trace;  // standard output from -v on, else none
  long record_lock_wait_ms = 60 * 1000;

  FilterCounters counters;

  // The rule set a message starts its walk with; it stays alive for the walk.
  std::shared_ptr<const RuleSet> rules() const noexcept {
    const std::lock_guard<std::mutex> held(rules_mutex_);
    return rules_;
  }
  // Makes `rules` the set of every later call of rules(); the replaced one is
  // released here unless a message still holds it.
  void set_rules(std::shared_ptr<const RuleSet> rules) noexcept {
    std::shared_ptr<const RuleSet> replaced;
    {
      const std::lock_guard<std::mutex> held(rules_mutex_);
      replaced = std::exchange(rules_, std::move(rules));
    }
  }

  // Shutdown: makes every later end of message refuse its message with a
  // temporary failure (the MTA keeps it and retries), then waits up to
  // `timeout_ms` for the messages whose rules are running to finish. Returns
  // true when none is left running.
  bool close_dispatch(int timeout_ms) noexcept;

  // Used by mlfi_eom around the walk: false when dispatch is closed.
  bool enter_dispatch() noexcept;
  void leave_dispatch() noexcept { dispatches_running_.fetch_sub(1); }


 private:
  // Held only to copy or swap the pointer, never while a set is in use or
  // released. Not std::atomic<std::shared_ptr>: libstdc++ 12 unlocks its
  // internal lock with relaxed order right after reading the pointer, which
  // ThreadSanitizer reports as a race with the store of a reload.
  mutable std::mutex rules_mutex_;
  std::shared_ptr<const RuleSet> rules_;
  std::atomic<int> dispatches_running_{0};
  std::atomic<bool> dispatch_closed_{false};
};

// Makes `filter` the one the callbacks use (null: none).
void install_filter(Filter *filter) noexcept;

// The installed filter (for the callbacks of this layer).
Filter &installed_filter() noexcept;
