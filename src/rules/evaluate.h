// Condition evaluation.
//
// evaluate_rule tells whether a rule's condition holds for a message and, as
// a side effect, selects recipients (Recipient::matched, first_to) for the
// rule's actions. At verbose_level 1 and above it traces every node and test
// on standard output. Allocates nothing; runs on the message's connection
// thread and writes only the message's own context.
#pragma once

#include "milter/message_context.h"
#include "rules/rule.h"

int evaluate_rule(const Rule &rule, MessageContext &msg) noexcept;
