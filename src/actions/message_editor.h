// The changes an action may ask the MTA to make to the message in progress.
//
// Add Header and Add Recipient ask through a MessageEditor, so the actions
// need no milter library: the daemon's editor (milter/editor.h) passes each
// request on to its MTA connection, and a tester or a test may stand in with
// one of its own. Each call returns true when the change was taken; a refusal
// is the caller's to report. The editor lives as long as the message's walk
// and is called only on the thread that owns the message.
#pragma once

class MessageEditor {
 public:
  virtual ~MessageEditor() = default;
  // Adds the header `name` with `value` (without the colon; may be empty).
  virtual bool add_header(const char *name, const char *value) noexcept = 0;
  // Adds `address` as an envelope recipient.
  virtual bool add_recipient(const char *address) noexcept = 0;
};
