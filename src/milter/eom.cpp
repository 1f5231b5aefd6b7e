// End-of-message dispatch: runs the rule walk for the connection's message
// with the daemon's delivery and releases the message with the verdict its
// actions earned.
//
// The message time is read once, here, and every Store In and Pipe of the
// message writes it, so each record matches record_size. The message keeps
// the rule set it started with to the end of its walk, even when a reload
// swaps the filter's set meanwhile.
#include <ctime>

#include "actions/delivery.h"
#include "milter/callbacks.h"
#include "milter/editor.h"
#include "rules/walk.h"

sfsistat mlfi_eom(SMFICTX *ctx) {
  Filter &filter = installed_filter();
  Connection *connection = attached_connection(ctx);
  if (connection == nullptr || !connection->message) {
    filter.log.event("mlfi_eom", "private data", LOG_NO_PRIVATE_DATA);
    return failure_verdict(filter);
  }
  if (!filter.enter_dispatch()) {
    // Shutting down: the rules may be gone. Unfiltered, the message must not
    // be accepted; the MTA will offer it again.
    mlfi_cleanup(ctx, 1);
    return SMFIS_TEMPFAIL;
  }
  bool ok = true;
  {
    // One snapshot of the rule set for the whole walk. It is dropped before
    // the dispatch is left: a replaced set whose last message this was is
    // freed here, before shutdown stops waiting for the running messages.
    const std::shared_ptr<const RuleSet> rules = filter.rules();
    MilterEditor editor(ctx);
    const ActionEnv env{filter.log,
                        filter.trace,
                        std::time(nullptr),
                        &editor,
                        connection->add_headers_enabled,
                        filter.record_lock_wait_ms,
                        filter.settings.pipe_time_limit_s};
    ActionDelivery delivery(env, &filter.counters.actions);
    ok = walk_rules(rules->rules, *connection->message, env.message_time, filter.trace, delivery);
  }
  filter.counters.messages.fetch_add(1, std::memory_order_relaxed);
  const sfsistat verdict = mlfi_cleanup(ctx, ok ? 1 : 0);
  filter.leave_dispatch();
  return verdict;
}
