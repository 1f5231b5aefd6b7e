// Pieces shared by the delivery actions: the walk over the texts an action
// uses (its template expanded once, or once for every recipient the rule
// selected), error lines that name an expanded path or command, and syncing
// directories.
//
// log_error_naming keeps errno for log_event; the path or command it names
// has no length limit, so the line is put together in a buffer of its exact
// size (a fixed one, cut short, only when memory has run out).
#pragma once

#include <cstddef>
#include <utility>

#include "base/log.h"
#include "message/message_context.h"
#include "rules/rule.h"
#include "rules/rule_match.h"
#include "rules/template.h"

// One text an action uses.
struct Target {
  char *text;                 // the template, expanded (the action may change it in place)
  const Recipient *recipient; // the selected recipient it was expanded for, or null
  bool per_recipient;         // the action runs once per selected recipient
  Inserts inserts;            // where its placeholders landed
};

// The first recipient `match` selected from `recipient` (at position `index`
// of the message's list) on, or null; `index` follows it.
const Recipient *first_selected_from(const Recipient *recipient, std::size_t &index, const RuleMatch &match) noexcept;

// Calls `one(target)` for every text `action` uses, expanded with `insert`:
// once, or once for each recipient `match` selected (once with nothing
// inserted for %ALLTO...% when it selected none). Every text is tried, even
// after one failed. `one` returns 1 on success and logs its own failures; a
// text that cannot be made for lack of memory is logged for `where` and
// counts as failed. Returns 1 when every text succeeded, else 0. The walk
// lives on the caller's stack: nothing of it stays in the message.
template <class One>
int for_each_target(const Action &action, const MessageContext &msg, const RuleMatch &match, InsertMode insert,
                    const Log &log, const char *where, One &&one) noexcept {
  const bool per_recipient = action.each_recipient != 0;
  std::size_t index = 0;
  const Recipient *recipient = per_recipient ? first_selected_from(msg.recipients.head.get(), index, match) : nullptr;
  int all = 1;
  do {
    Target target{nullptr, recipient, per_recipient, Inserts{}};
    Text text = expand_template(action, msg, match, recipient != nullptr ? recipient->address.get() : nullptr, insert,
                                &target.inserts);
    if (!text) {
      log.event(where, "expanded template", LOG_NO_MEMORY);
      all = 0;
    } else {
      target.text = text.get();
      if (one(std::as_const(target)) != 1) all = 0;
    }
    if (recipient != nullptr) recipient = first_selected_from(recipient->next.get(), ++index, match);
  } while (recipient != nullptr);
  return all;
}

// Writes the LOG_ERROR line for `where` on `log` whose text is `before`,
// `subject` and `after` joined.
void log_error_naming(const Log &log, const char *where, const char *before, const char *subject, const char *after) noexcept;

// close() that keeps errno for the caller's report.
void close_keeping_errno(int fd) noexcept;

// fsync of the directory `path`. Returns false with errno set.
bool sync_directory(const char *path) noexcept;

// fsync of the directory that holds the entry `path` names (its text up to
// the last "/", or the working directory). Returns false with errno set.
bool sync_parent_directory(const char *path) noexcept;
