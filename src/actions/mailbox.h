// Mailbox record writer.
//
// PrintMail writes one message to `out`: the "From " line dated `message_time`,
// the headers, a blank line, the body and two newlines: exactly record_size
// bytes. It does not open, lock or close `out`; write errors are left for the
// stream's owner to find. Safe on any connection thread.
#pragma once

#include <cstdio>
#include <ctime>

#include "milter/message_context.h"

void PrintMail(std::FILE *out, const std::time_t &message_time, const MessageContext &msg) noexcept;
