// The delivery actions run for a matching rule, and the table of action kinds.
//
// Each action returns 1 on success and 0 on failure and logs its own failures
// on `env.log` (Add Header logs nothing but running out of memory). A
// per-recipient action runs for every recipient the rule selected (`match`),
// even after one failed, and fails when any did (for_each_target). Safe on
// any connection thread.
//
// The table gives each kind its trace label, its name in the metrics, how its
// placeholder values are inserted into its template, and its function; the
// daemon's dispatch, its trace, its counters and quorvane-test all read it.
#pragma once

#include <cstddef>
#include <ctime>

#include "actions/message_editor.h"
#include "base/log.h"
#include "base/trace.h"
#include "message/message_context.h"
#include "rules/rule.h"
#include "rules/rule_match.h"
#include "rules/template.h"

// What an action needs besides its rule and its message.
struct ActionEnv {
  const Log &log;
  const Trace &trace;                     // the verbose trace, or none
  std::time_t message_time = 0;           // the record's date
  MessageEditor *editor = nullptr;        // Add Header, Add Recipient: set when they are granted
  bool add_headers_enabled = false;       // adding headers and recipients, granted at negotiation
  long record_lock_wait_ms = 60 * 1000;   // Store In: other processes' locks
  int pipe_time_limit_s = 120;            // Pipe: seconds a command may run, 0: no limit
};

int ActionStoreIn(const Action &action, const ActionEnv &env, const MessageContext &msg, const RuleMatch &match) noexcept;
int ActionPipe(const Action &action, const ActionEnv &env, const MessageContext &msg, const RuleMatch &match) noexcept;
int ActionAddHeader(const Action &action, const ActionEnv &env, const MessageContext &msg, const RuleMatch &match) noexcept;
int ActionMaildir(const Action &action, const ActionEnv &env, const MessageContext &msg, const RuleMatch &match) noexcept;
int ActionAddRecipient(const Action &action, const ActionEnv &env, const MessageContext &msg, const RuleMatch &match) noexcept;

struct ActionKind {
  const char *label;   // "Store In", as in the trace
  const char *metric;  // "store_in", the kind label of the metrics
  InsertMode insert;   // how placeholder values are made safe
  int (*run)(const Action &, const ActionEnv &, const MessageContext &, const RuleMatch &) noexcept;
};

// Rows of the table: the ActionType values run from 0 to one below this.
inline constexpr std::size_t kActionKindCount = 5;

const ActionKind &action_kind(ActionType kind) noexcept;

// A header text split into name and value, pointing into the text itself.
struct HeaderParts {
  char *name = nullptr;   // null when the text is empty or only colons
  char *value = nullptr;  // null when no byte follows the colon after the name
};

// How Add Header asks for `text`: leading colons are skipped; the name runs
// to the next colon, which is overwritten with the terminator; the value is
// everything after it, unchanged.
HeaderParts split_header(char *text) noexcept;

// Whether a header name is To, Cc or Bcc in any case: its value is then also
// added as an envelope recipient.
bool names_recipient(const char *name) noexcept;
