// Add Header: asks the MTA to add the header that the action's template
// expands to; a To, Cc or Bcc header also adds its value as an envelope
// recipient. Runs once or once per selected recipient, and only when the MTA
// granted these changes at negotiation. Logs nothing but running out of
// memory: a refusal shows in the trace and the verdict.
#include <cstdio>
#include <cstring>

#include "actions/action_support.h"
#include "actions/actions.h"

HeaderParts split_header(char *text) noexcept {
  HeaderParts parts;
  while (*text == ':') ++text;
  if (*text == '\0') return parts;
  parts.name = text;
  char *colon = std::strchr(text, ':');
  if (colon == nullptr) return parts;
  *colon = '\0';
  if (colon[1] != '\0') parts.value = colon + 1;
  return parts;
}

// The lower-cased copy needs at most four bytes, so it lives on the stack.
bool names_recipient(const char *name) noexcept {
  char lower[4];
  const std::size_t length = std::strlen(name);
  if (length >= sizeof lower) return false;
  std::memcpy(lower, name, length + 1);
  lowercase_in_place(lower);
  return std::strcmp(lower, "to") == 0 || std::strcmp(lower, "cc") == 0 || std::strcmp(lower, "bcc") == 0;
}

namespace {

// Asks for the header `text` (split in place). Returns 1 when the MTA took
// everything asked of it, else 0.
int add_one(char *text, const ActionEnv &env) noexcept {
  const HeaderParts parts = split_header(text);
  if (env.trace.on(2)) {
    env.trace.print("Name: %s ", parts.name != nullptr ? parts.name : "(null)");
    env.trace.print("Val: %s ", parts.value != nullptr ? parts.value : "(null)");
  }
  if (parts.name == nullptr) return 0;

  MessageEditor &editor = *env.editor;
  if (parts.value == nullptr) return editor.add_header(parts.name, "") ? 1 : 0;
  int ok = 1;
  if (names_recipient(parts.name)) {
    if (env.trace.on(2)) env.trace.print("%s ", "Adding recipient");
    // A refused recipient does not keep the header from being asked for.
    if (!editor.add_recipient(parts.value)) ok = 0;
  }
  if (!editor.add_header(parts.name, parts.value)) ok = 0;
  return ok;
}

}  // namespace

int ActionAddHeader(const Action &action, const ActionEnv &env, const MessageContext &msg, const RuleMatch &match) noexcept {
  if (!env.add_headers_enabled) {
    if (env.trace.on(2)) env.trace.print("%s ", "Adding headers NOT supported by MTA - Ignoring action");
    return 1;
  }
  return for_each_target(action, msg, match, INSERT_AS_IS, env.log, "ActionAddHeader",
                         [&](const Target &target) { return add_one(target.text, env); });
}
