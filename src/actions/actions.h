// The delivery actions run by mlfi_eom for a matching rule.
//
// Each returns 1 on success and 0 on failure, logs its own failures (Add
// Header logs nothing), and for a per-recipient action walks `msg.cursor`
// over the matched recipients. Safe on any connection thread.
#pragma once

#include <ctime>

#include "milter/message_context.h"
#include "rules/rule.h"

int ActionStoreIn(const Action &action, const std::time_t &message_time, MessageContext &msg) noexcept;
int ActionPipe(const Action &action, const std::time_t &message_time, MessageContext &msg) noexcept;
int ActionAddHeader(const Action &action, SMFICTX *ctx, MessageContext &msg) noexcept;
