// Action templates: parsing into pieces at load, expansion per message.
#include "rules/template.h"

#include <cstddef>
#include <cstring>
#include <ctime>
#include <new>

#include "message/message_context.h"
#include "rules/vocabulary.h"

namespace {

// The Rule::template_uses bits of a placeholder family.
std::uint32_t uses_of(PieceFamily family) noexcept {
  switch (family) {
  case FAMILY_FIRST_TO: return USES_FIRST_TO;
  case FAMILY_EACH_TO: return USES_EACH_TO;
  case FAMILY_CAPTURE: return USES_CAPTURES;
  case FAMILY_NONE:
  case FAMILY_SENDER:
  case FAMILY_FROM:
  case FAMILY_DATE: return 0;
  }
  return 0;
}

// Length of `rest` when `text` starts with it, else 0. Stops at the first
// differing byte, so it never reads past the end of `text`.
std::size_t match_rest(const char *text, const char *rest) noexcept {
  std::size_t i = 0;
  for (; rest[i] != '\0'; ++i)
    if (text[i] != rest[i]) return 0;
  return i;
}

int append_piece(Action &action, PieceKind kind, const char *from, std::size_t length, bool keep_empty) noexcept {
  std::unique_ptr<TemplatePiece> piece(new (std::nothrow) TemplatePiece());
  if (!piece) return 0;
  piece->kind = kind;
  if (length > 0 || keep_empty) {
    piece->literal = copy_text(from, length);
    if (!piece->literal) return 0;
  }
  action.pieces.append(std::move(piece));
  return 1;
}

// A value split at its first "@".
struct Value {
  const char *text = nullptr;
  std::size_t length = 0;
  std::size_t at = 0;  // bytes before the first "@"; `length` when there is none
};

Value take_value(const char *text, std::size_t length) noexcept {
  Value value;
  if (text == nullptr) return value;
  value.text = text;
  value.length = length;
  const void *at = std::memchr(text, '@', value.length);
  value.at = at ? static_cast<std::size_t>(static_cast<const char *>(at) - text) : value.length;
  return value;
}

Value take_value(const char *text) noexcept { return take_value(text, text != nullptr ? std::strlen(text) : 0); }

bool shell_safe(unsigned char byte) noexcept {
  if (byte >= 0x80) return true;
  if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9')) return true;
  return std::strchr("@._+-=,:", byte) != nullptr && byte != '\0';
}

// Appends `length` bytes of an inserted value at `out`, made safe for `insert`.
// A shell-safe value may not begin with "-": placed as a word of its own
// (`ssh %FROM%`), a sender "-oProxyCommand=..." would be read as an option.
char *put_value(char *out, const char *bytes, std::size_t length, InsertMode insert) noexcept {
  std::memcpy(out, bytes, length);
  if (insert == INSERT_PATH_SAFE) {
    if (out[0] == '.') out[0] = '_';
    for (std::size_t i = 0; i < length; ++i)
      if (out[i] == '/') out[i] = '_';
  } else if (insert == INSERT_SHELL_SAFE) {
    if (out[0] == '-') out[0] = '_';
    for (std::size_t i = 0; i < length; ++i)
      if (!shell_safe(static_cast<unsigned char>(out[i]))) out[i] = '_';
  }
  return out + length;
}

// The message date for the date placeholders: "YYYYMMDD", local time.
// Empty when the time cannot be converted or its year has more than four
// digits.
struct Date {
  char digits[9] = {};
  bool made = false;
};

const char *date_digits(Date &date, std::time_t when) noexcept {
  if (date.made) return date.digits;
  date.made = true;
  std::tm local{};
  if (localtime_r(&when, &local) == nullptr || local.tm_year < -1900 || local.tm_year > 9999 - 1900) return date.digits;
  const int fields[] = {(local.tm_year + 1900) / 100, (local.tm_year + 1900) % 100, local.tm_mon + 1, local.tm_mday};
  char *out = date.digits;
  for (const int field : fields) {
    *out++ = static_cast<char>('0' + field / 10);
    *out++ = static_cast<char>('0' + field % 10);
  }
  return date.digits;
}

// What a piece inserts after its literal: bytes and length.
struct Inserted {
  const char *bytes = nullptr;
  std::size_t length = 0;
};

// The part of `value` that a placeholder inserts: the whole value, the user
// part before the first "@", or the domain part after it. A date part of a
// value inserts nothing (no row pairs them).
Inserted part_of(const Value &value, PiecePart part) noexcept {
  switch (part) {
  case PART_WHOLE: return {value.text, value.length};
  case PART_USER: return {value.text, value.at};
  case PART_DOMAIN:
    if (value.length - value.at < 2) return {};
    return {value.text + value.at + 1, value.length - value.at - 1};
  case PART_YEAR:
  case PART_MONTH:
  case PART_DAY: return {};
  }
  return {};
}

// The digits of the date that a date part inserts.
Inserted date_part(PiecePart part, Date &date, const MessageContext &msg) noexcept {
  const char *digits = date_digits(date, msg.message_time);
  if (digits[0] == '\0') return {};
  switch (part) {
  case PART_YEAR: return {digits, 4};
  case PART_MONTH: return {digits + 4, 2};
  case PART_DAY: return {digits + 6, 2};
  case PART_WHOLE:
  case PART_USER:
  case PART_DOMAIN: return {};
  }
  return {};
}

// values: the SMTP user, the envelope sender, %TO% and the %ALLTO% recipient.
Inserted inserted_by(PieceKind kind, const Value values[4], Date &date, const MessageContext &msg,
                     const RuleMatch &match) noexcept {
  const PieceRow *row = piece_row(kind);
  if (row == nullptr) return {};  // a piece not built by the parser
  switch (row->family) {
  case FAMILY_CAPTURE: {
    std::size_t length = 0;
    const char *text = match.capture(row->capture, length);
    return part_of(take_value(text, length), row->part);
  }
  case FAMILY_NONE: return {};
  case FAMILY_SENDER: return part_of(values[0], row->part);
  case FAMILY_FROM: return part_of(values[1], row->part);
  case FAMILY_FIRST_TO: return part_of(values[2], row->part);
  case FAMILY_EACH_TO: return part_of(values[3], row->part);
  case FAMILY_DATE: return date_part(row->part, date, msg);
  }
  return {};
}

}  // namespace

int parse_template(const char *text, Rule &rule, Action &action) noexcept {
  const char *segment = text;
  const char *scan = text;
  while ((scan = std::strchr(scan, '%')) != nullptr) {
    const PieceRow *found = nullptr;
    std::size_t length = 0;
    for (const PieceRow &p : kPieceRows) {
      // The literal row stands for "%%": a literal piece that inserts nothing.
      length = match_rest(scan + 1, p.name != nullptr ? p.name : "%");
      if (length > 0) {
        found = &p;
        break;
      }
    }
    if (found == nullptr) {
      ++scan;
      continue;
    }
    if (!append_piece(action, found->kind, segment, static_cast<std::size_t>(scan - segment), false)) return 0;
    const std::uint32_t uses = uses_of(found->family);
    rule.template_uses |= uses;
    if (uses & USES_EACH_TO) action.each_recipient = 1;
    scan += 1 + length;
    segment = scan;
  }
  return append_piece(action, PIECE_LITERAL, segment, std::strlen(segment), true);
}

const char *placeholder_name(PieceKind kind) noexcept {
  const PieceRow *row = piece_row(kind);
  return row != nullptr ? row->name : nullptr;
}

std::int32_t template_literal_length(const TemplatePiece *first) noexcept {
  std::size_t sum = 0;
  for (const TemplatePiece *piece = first; piece != nullptr; piece = piece->next.get())
    if (piece->literal) sum += std::strlen(piece->literal.get());
  return static_cast<std::int32_t>(sum + 1);
}

namespace {

// The placeholders whose values the mail's sender chooses.
bool chosen_by_sender(PieceKind kind) noexcept {
  const PieceRow *row = piece_row(kind);
  if (row == nullptr) return false;
  switch (row->family) {
  case FAMILY_SENDER:
  case FAMILY_FROM:
  case FAMILY_FIRST_TO:
  case FAMILY_EACH_TO:
  case FAMILY_CAPTURE: return true;  // captured from the message
  case FAMILY_NONE:
  case FAMILY_DATE: return false;
  }
  return false;
}

}  // namespace

Text expand_template(const Action &action, const MessageContext &msg, const RuleMatch &match, const char *each_to,
                     InsertMode insert, Inserts *inserts) noexcept {
  const Value values[4] = {
      take_value(msg.smtp_sender.get()),
      take_value(msg.from.get()),
      take_value(match.first_to),
      take_value(each_to),
  };
  Date date;

  std::size_t size = static_cast<std::size_t>(action.literal_length) + 1;
  for (const TemplatePiece *piece = action.pieces.head.get(); piece != nullptr; piece = piece->next.get())
    size += inserted_by(piece->kind, values, date, msg, match).length;

  Text result(new (std::nothrow) char[size]);
  if (!result) return result;
  char *const start = result.get();
  char *out = start;
  for (const TemplatePiece *piece = action.pieces.head.get(); piece != nullptr; piece = piece->next.get()) {
    if (piece->literal) {
      const std::size_t length = std::strlen(piece->literal.get());
      std::memcpy(out, piece->literal.get(), length);
      out += length;
    }
    if (piece->kind == PIECE_LITERAL) continue;
    const Inserted value = inserted_by(piece->kind, values, date, msg, match);
    if (inserts != nullptr) {
      const std::size_t at = static_cast<std::size_t>(out - start);
      if (chosen_by_sender(piece->kind) && inserts->sender_from == Inserts::kNone) inserts->sender_from = at;
      if (value.length == 0 && (at == 0 || out[-1] == '/')) inserts->empty_at_component_start = true;
    }
    if (value.length > 0) out = put_value(out, value.bytes, value.length, insert);
  }
  *out = '\0';
  return result;
}
