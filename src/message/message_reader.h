// The message reader: a saved RFC 5322 message, as bytes, into a
// MessageContext, with the message builders and in the form an MTA passes
// the same message to the capture callbacks.
//
// add_saved_message adds to `msg` each header up to the first empty line (or
// the first line that is neither a header nor a folded continuation of one)
// as name and value: the name as written, the value after the colon less the
// one space that follows it, its folded lines joined with LF and kept with
// their blanks. Everything after is the body, every line ending in CR LF (a
// last line without a line break is given one), added in chunks of at most
// kBodyChunkSize bytes. A leading mailbox "From " line is skipped, so that a
// record cut from a Store In file reads back. Lines may end in LF or CR LF;
// the bytes need no NUL and may hold any byte.
//
// The envelope and end_message are the caller's. Returns null, or the name
// of what could not be allocated ("header value", "message body", ...):
// what was added before stays whole. It never logs. Any thread may call it
// for a context that thread owns.
#pragma once

#include <cstddef>

#include "message/message_context.h"

// The largest body chunk the milter library hands a filter.
constexpr std::size_t kBodyChunkSize = 65535;

const char *add_saved_message(MessageContext &msg, const char *bytes, std::size_t length) noexcept;
