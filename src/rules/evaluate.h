// Condition evaluation.
//
// evaluate_rule tells whether a rule's condition holds for a message and, as
// a side effect, selects recipients (and %TO%) in `match` for the rule's
// actions. A rule whose templates use recipients starts from an empty
// selection; any other adds to what `match` holds. Not matched reads
// match.earlier_rule_matched. At trace level 1 and above it traces every node
// and test. Allocates nothing (a Regex term lets RE2 grow the cache it
// matches with); runs on the message's thread, writes only `match`, and
// `match` must be prepared for the message's recipients.
#pragma once

#include "base/trace.h"
#include "message/message_context.h"
#include "rules/rule.h"
#include "rules/rule_match.h"

int evaluate_rule(const Rule &rule, const MessageContext &msg, RuleMatch &match, const Trace &trace) noexcept;
