// Building the message model in arrival order, with its record length.
#include "message/message_context.h"

#include <cstring>
#include <limits>
#include <new>

#include "message/record.h"

Text normalize_address(const char *address) noexcept {
  std::size_t length = std::strlen(address);
  if (length >= 2 && address[0] == '<' && address[length - 1] == '>') {
    ++address;
    length -= 2;
  }
  Text normal(new (std::nothrow) char[length + 1]);
  if (!normal) return normal;
  for (std::size_t i = 0; i < length; ++i)
    normal[i] = static_cast<char>(ascii_tolower(static_cast<unsigned char>(address[i])));
  normal[length] = '\0';
  return normal;
}

const char *set_smtp_sender(MessageContext &msg, const char *user) noexcept {
  if (user == nullptr) return nullptr;
  msg.smtp_sender = copy_text(user);
  return msg.smtp_sender ? nullptr : "SMTP sender";
}

const char *set_sender(MessageContext &msg, const char *address) noexcept {
  msg.from = normalize_address(address != nullptr ? address : "");
  if (!msg.from) return "sender address";
  msg.record_size += static_cast<std::int64_t>(std::strlen(msg.from.get())) + kRecordFromLineFixed;
  return nullptr;
}

const char *add_recipient(MessageContext &msg, const char *address) noexcept {
  std::unique_ptr<Recipient> recipient(new (std::nothrow) Recipient());
  if (!recipient) return "recipient structure";
  recipient->address = normalize_address(address);
  if (!recipient->address) return "recipient address";
  msg.recipients.append(std::move(recipient));
  return nullptr;
}

namespace {

bool is_header_blank(char ch) noexcept { return ch == ' ' || ch == '\t'; }

// Writes at `out` the `length` bytes of `value` as header tests see them and
// a NUL: without CR and LF, without blanks at either end, lower-cased.
void put_tested_value(char *out, const char *value, std::size_t length) noexcept {
  char *end = out;
  for (std::size_t i = 0; i < length; ++i) {
    const char ch = value[i];
    if (ch == '\r' || ch == '\n') continue;
    if (end == out && is_header_blank(ch)) continue;
    *end++ = static_cast<char>(ascii_tolower(static_cast<unsigned char>(ch)));
  }
  while (end > out && is_header_blank(end[-1])) --end;
  *end = '\0';
}

}  // namespace

const char *add_header(MessageContext &msg, const char *name, const char *value) noexcept {
  std::unique_ptr<HeaderField> header(new (std::nothrow) HeaderField());
  if (!header) return "header structure";
  header->name = copy_text(name);
  if (!header->name) return "header name";
  // A header without a value is kept with the empty one, which the record
  // writes and counts like any other. The tested value follows it in the
  // same allocation: header tests allocate nothing, and a header costs no
  // more allocations than before.
  if (value == nullptr) value = "";
  const std::size_t length = std::strlen(value);
  header->value.reset(new (std::nothrow) char[2 * (length + 1)]);
  if (!header->value) return "header value";
  std::memcpy(header->value.get(), value, length + 1);
  char *tested = header->value.get() + length + 1;
  put_tested_value(tested, value, length);
  header->tested = tested;
  const std::int64_t line = static_cast<std::int64_t>(std::strlen(header->name.get()) + length) + kRecordHeaderFixed;
  msg.record_size += line;
  msg.message_size += line;
  msg.headers.append(std::move(header));
  return nullptr;
}

const char *add_body_chunk(MessageContext &msg, const char *bytes, std::size_t length) noexcept {
  std::unique_ptr<BodyChunk> chunk(new (std::nothrow) BodyChunk());
  if (!chunk) return "body structure";
  // The milter library hands chunks of at most 64 KiB; a count that does not
  // fit the chunk's length field cannot be held either.
  if (length > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) return "body data";
  chunk->data.reset(new (std::nothrow) char[length]);
  if (!chunk->data) return "body data";
  if (length > 0) std::memcpy(chunk->data.get(), bytes, length);
  chunk->length = static_cast<std::int32_t>(length);
  msg.record_size += chunk->length;
  msg.message_size += chunk->length;
  msg.body.append(std::move(chunk));
  return nullptr;
}

void end_message(MessageContext &msg, std::time_t message_time) noexcept {
  msg.record_size += static_cast<std::int64_t>(std::strlen(format_ctime(message_time).text)) + kRecordDateLineEnd +
                     kRecordEndFixed;
  msg.message_size += kRecordBlankLine;
  msg.message_time = message_time;
}
