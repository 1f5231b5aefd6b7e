// Message writers: the mailbox record, and the file of a Maildir message.
//
// PrintMail writes one message to `out`: the "From " line dated `message_time`,
// the headers, a blank line, the body and two newlines: exactly record_size
// bytes. It does not open, lock or close `out`; write errors are left for the
// stream's owner to find. A message without headers is written all the same,
// with a WARNING line on `log`. Safe on any connection thread.
//
// The record's fixed lengths, which the message builders add to record_size,
// are declared here beside the writer of those bytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>

#include "base/log.h"
#include "message/message_context.h"

// "From <" and ">  " around the sender, before the date.
inline constexpr std::int64_t kRecordFromLineFixed = 9;
// The newline after the date.
inline constexpr std::int64_t kRecordDateLineEnd = 1;
// ": " between a header's name and value, and its newline.
inline constexpr std::int64_t kRecordHeaderFixed = 3;
// The blank line after the headers.
inline constexpr std::int64_t kRecordBlankLine = 1;
// The blank line and the two newlines after the body.
inline constexpr std::int64_t kRecordEndFixed = kRecordBlankLine + 2;

void PrintMail(std::FILE *out, const std::time_t &message_time, const MessageContext &msg, const Log &log,
               bool with_envelope = false) noexcept;

// With the envelope (`with_envelope`, an action's With Envelope), both
// writers put these lines right before the message's own headers (after the
// From line, after Return-Path):
//   X-Envelope-From: <sender>       once, "<>" for the null sender
//   X-Envelope-To: <recipient>      for every recipient, in the order given
// with the addresses as captured and every byte below 0x20 and 0x7F written
// as "_", so that no address can start a line of its own. They add
// envelope_lines_size(msg) bytes to what is written.
std::int64_t envelope_lines_size(const MessageContext &msg) noexcept;

// PrintMaildirMessage writes one message as the file of a Maildir message:
// "Return-Path: <sender>" (the sender as the record's From line has it, "<>"
// for the null sender), the headers and the blank line as the record has
// them, then the body with each CR LF pair turned into LF (a lone CR stays,
// a pair split across two body chunks is still one line end). No From line
// and nothing after the body: exactly maildir_message_size(msg) bytes. Like
// PrintMail it leaves opening, errors and closing to the owner of `out`, and
// logs nothing. Safe on any connection thread.
void PrintMaildirMessage(std::FILE *out, const MessageContext &msg, bool with_envelope = false) noexcept;

// The number of bytes PrintMaildirMessage writes for `msg` (which Maildir
// readers expect in the file's name). Reads the whole body once.
std::int64_t maildir_message_size(const MessageContext &msg, bool with_envelope = false) noexcept;
