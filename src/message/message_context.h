// The message model: one MessageContext per SMTP transaction in progress,
// and the functions that build it.
//
// The context is built in arrival order: the sender, the recipients, each
// header, each body chunk, then end_message. These functions alone keep
// `record_size`, the exact byte length of the message's mailbox record
// (record.h writes those bytes), and `message_size`, what a Size test sees.
// The context owns every text, recipient, header and body chunk in it. Once
// its end is reached the rule walk only reads it; what the walk finds lives
// in its RuleMatch (rules/rule_match.h).
//
// The builders allocate with new (std::nothrow) and never log: each returns
// null on success, else the name of what could not be allocated ("header
// name", ...) for the caller's log line; what was added before stays whole.
//
// Threads: a context is touched only by the thread that owns it (in the
// daemon, its own connection's thread).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>

#include "base/tail_list.h"
#include "base/text.h"

struct Recipient {
  Text address;  // normalised: brackets stripped, lower-cased
  std::unique_ptr<Recipient> next;
};

struct HeaderField {
  Text name;   // as received, case kept
  Text value;  // as received; the empty text when the MTA gave none
  // The value as header tests see it: every CR and LF removed, blanks (space,
  // tab) at both ends removed, lower-cased. It lives in value's allocation;
  // null in a header that add_header did not build.
  const char *tested = nullptr;
  std::unique_ptr<HeaderField> next;
};

struct BodyChunk {
  std::unique_ptr<char[]> data;  // counted bytes, not NUL-terminated
  std::int32_t length = 0;
  std::unique_ptr<BodyChunk> next;
};

struct MessageContext {
  TailList<Recipient> recipients;
  TailList<HeaderField> headers;
  TailList<BodyChunk> body;
  Text smtp_sender;                // "{auth_authen}", or null
  Text from;                       // normalised envelope sender
  std::int64_t record_size = 0;    // 64 bits: a record may exceed 2 GiB
  // The record without its From line and its two final newlines: each
  // header line, the blank line, the body.
  std::int64_t message_size = 0;
  std::time_t message_time = 0;  // set by end_message: the record's date
};

// Strips one outer pair of angle brackets and lower-cases in the POSIX locale.
// Returns a new text owned by the caller, or null when memory runs out.
Text normalize_address(const char *address) noexcept;

// The authenticated user (null: none).
const char *set_smtp_sender(MessageContext &msg, const char *user) noexcept;

// The envelope sender as the MTA gives it (null: the null sender).
const char *set_sender(MessageContext &msg, const char *address) noexcept;

// One envelope recipient as the MTA gives it.
const char *add_recipient(MessageContext &msg, const char *address) noexcept;

// One header: its name and its value (null: the empty value), with the
// value that header tests see.
const char *add_header(MessageContext &msg, const char *name, const char *value) noexcept;

// One chunk of the body as received (at most INT32_MAX bytes).
const char *add_body_chunk(MessageContext &msg, const char *bytes, std::size_t length) noexcept;

// End of message: completes record_size and message_size for a record dated
// `message_time`, and keeps that time for the date placeholders.
void end_message(MessageContext &msg, std::time_t message_time) noexcept;
