// Condition evaluation.
//
// evaluate_rule tells whether a rule's condition holds for a message and, as
// a side effect, selects recipients (Recipient::matched, first_to) for the
// rule's actions. At trace level 1 and above it traces every node and test.
// Allocates nothing (a Regex term lets RE2 grow the cache it matches with);
// runs on the message's thread and writes only the message's own context.
#pragma once

#include "base/trace.h"
#include "message/message_context.h"
#include "rules/rule.h"

int evaluate_rule(const Rule &rule, MessageContext &msg, const Trace &trace) noexcept;
