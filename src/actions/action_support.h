// Pieces shared by the delivery actions: the walk over the recipients that a
// rule selected, error lines that name an expanded path or command, and
// syncing directories.
//
// The per-recipient walk moves MessageContext::cursor, which belongs to the
// message's own connection thread. log_error_naming keeps errno for
// log_event; the path or command it names has no length limit, so the line is
// put together in a buffer of its exact size (a fixed one, cut short, only
// when memory has run out).
#pragma once

#include "base/log.h"
#include "message/message_context.h"
#include "rules/rule.h"

// Start of a per-recipient action: when `action` runs once per recipient and
// no walk is under way, points `cursor` at the first matched recipient (or
// leaves it null when none is matched).
void start_recipient_walk(const Action &action, MessageContext &msg) noexcept;

// End of one expansion: true when `action` must run again for the next
// matched recipient, which `cursor` then points to. False when the action is
// not per-recipient, no recipient was matched, or the last one is done
// (`cursor` is then null).
bool next_recipient(const Action &action, MessageContext &msg) noexcept;

// Writes the LOG_ERROR line for `where` on `log` whose text is `before`,
// `subject` and `after` joined.
void log_error_naming(const Log &log, const char *where, const char *before, const char *subject, const char *after) noexcept;

// fsync of the directory `path`. Returns false with errno set.
bool sync_directory(const char *path) noexcept;

// fsync of the directory that holds the entry `path` names (its text up to
// the last "/", or the working directory). Returns false with errno set.
bool sync_parent_directory(const char *path) noexcept;
