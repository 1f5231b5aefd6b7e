// Action templates: parsing into pieces at load, expansion per message.
#include "rules/template.h"

#include <cstddef>
#include <cstring>
#include <ctime>
#include <new>

#include "message/message_context.h"

namespace {

struct Placeholder {
  const char *rest;  // the bytes after the opening "%", closing "%" included
  std::uint32_t kind;
  std::uint32_t uses;
};

// "%%" is listed with the others: it is a literal piece that inserts nothing.
constexpr Placeholder kPlaceholders[] = {
    {"SENDER%", PIECE_SENDER, 0},
    {"SENDER.USER%", PIECE_SENDER_USER, 0},
    {"SENDER.DOMAIN%", PIECE_SENDER_DOMAIN, 0},
    {"FROM%", PIECE_FROM, 0},
    {"FROM.USER%", PIECE_FROM_USER, 0},
    {"FROM.DOMAIN%", PIECE_FROM_DOMAIN, 0},
    {"TO%", PIECE_TO, USES_FIRST_TO},
    {"TO.USER%", PIECE_TO_USER, USES_FIRST_TO},
    {"TO.DOMAIN%", PIECE_TO_DOMAIN, USES_FIRST_TO},
    {"ALLTO%", PIECE_ALLTO, USES_EACH_TO},
    {"ALLTO.USER%", PIECE_ALLTO_USER, USES_EACH_TO},
    {"ALLTO.DOMAIN%", PIECE_ALLTO_DOMAIN, USES_EACH_TO},
    {"YEAR%", PIECE_YEAR, 0},
    {"MONTH%", PIECE_MONTH, 0},
    {"DAY%", PIECE_DAY, 0},
    {"1%", PIECE_CAPTURE + 0, USES_CAPTURES},
    {"1.USER%", PIECE_CAPTURE + 1, USES_CAPTURES},
    {"1.DOMAIN%", PIECE_CAPTURE + 2, USES_CAPTURES},
    {"2%", PIECE_CAPTURE + 3, USES_CAPTURES},
    {"2.USER%", PIECE_CAPTURE + 4, USES_CAPTURES},
    {"2.DOMAIN%", PIECE_CAPTURE + 5, USES_CAPTURES},
    {"3%", PIECE_CAPTURE + 6, USES_CAPTURES},
    {"3.USER%", PIECE_CAPTURE + 7, USES_CAPTURES},
    {"3.DOMAIN%", PIECE_CAPTURE + 8, USES_CAPTURES},
    {"4%", PIECE_CAPTURE + 9, USES_CAPTURES},
    {"4.USER%", PIECE_CAPTURE + 10, USES_CAPTURES},
    {"4.DOMAIN%", PIECE_CAPTURE + 11, USES_CAPTURES},
    {"5%", PIECE_CAPTURE + 12, USES_CAPTURES},
    {"5.USER%", PIECE_CAPTURE + 13, USES_CAPTURES},
    {"5.DOMAIN%", PIECE_CAPTURE + 14, USES_CAPTURES},
    {"6%", PIECE_CAPTURE + 15, USES_CAPTURES},
    {"6.USER%", PIECE_CAPTURE + 16, USES_CAPTURES},
    {"6.DOMAIN%", PIECE_CAPTURE + 17, USES_CAPTURES},
    {"7%", PIECE_CAPTURE + 18, USES_CAPTURES},
    {"7.USER%", PIECE_CAPTURE + 19, USES_CAPTURES},
    {"7.DOMAIN%", PIECE_CAPTURE + 20, USES_CAPTURES},
    {"8%", PIECE_CAPTURE + 21, USES_CAPTURES},
    {"8.USER%", PIECE_CAPTURE + 22, USES_CAPTURES},
    {"8.DOMAIN%", PIECE_CAPTURE + 23, USES_CAPTURES},
    {"9%", PIECE_CAPTURE + 24, USES_CAPTURES},
    {"9.USER%", PIECE_CAPTURE + 25, USES_CAPTURES},
    {"9.DOMAIN%", PIECE_CAPTURE + 26, USES_CAPTURES},
    {"%", PIECE_LITERAL, 0},
};

// Length of `rest` when `text` starts with it, else 0. Stops at the first
// differing byte, so it never reads past the end of `text`.
std::size_t match_rest(const char *text, const char *rest) noexcept {
  std::size_t i = 0;
  for (; rest[i] != '\0'; ++i)
    if (text[i] != rest[i]) return 0;
  return i;
}

int append_piece(Action &action, std::uint32_t kind, const char *from, std::size_t length, bool keep_empty) noexcept {
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

// The part of `value` that a placeholder kind inserts: the whole value, the
// user part before the first "@", or the domain part after it.
Inserted part_of(const Value &value, std::uint32_t kind) noexcept {
  switch ((kind - 1) % 3) {
  case 0: return {value.text, value.length};
  case 1: return {value.text, value.at};
  default:
    if (value.length - value.at < 2) return {};
    return {value.text + value.at + 1, value.length - value.at - 1};
  }
}

Inserted inserted_by(std::uint32_t kind, const Value values[4], Date &date, const MessageContext &msg,
                     const RuleMatch &match) noexcept {
  if (const std::uint32_t number = capture_number(kind); number != 0) {
    std::size_t length = 0;
    const char *text = match.capture(number, length);
    return part_of(take_value(text, length), kind);
  }
  switch (kind) {
  case PIECE_SENDER: case PIECE_SENDER_USER: case PIECE_SENDER_DOMAIN: return part_of(values[0], kind);
  case PIECE_FROM: case PIECE_FROM_USER: case PIECE_FROM_DOMAIN: return part_of(values[1], kind);
  case PIECE_TO: case PIECE_TO_USER: case PIECE_TO_DOMAIN: return part_of(values[2], kind);
  case PIECE_ALLTO: case PIECE_ALLTO_USER: case PIECE_ALLTO_DOMAIN: return part_of(values[3], kind);
  case PIECE_YEAR: case PIECE_MONTH: case PIECE_DAY: {
    const char *digits = date_digits(date, msg.message_time);
    if (digits[0] == '\0') return {};
    if (kind == PIECE_YEAR) return {digits, 4};
    return {digits + (kind == PIECE_MONTH ? 4 : 6), 2};
  }
  default: return {};
  }
}

}  // namespace

int parse_template(const char *text, Rule &rule, Action &action) noexcept {
  const char *segment = text;
  const char *scan = text;
  while ((scan = std::strchr(scan, '%')) != nullptr) {
    const Placeholder *found = nullptr;
    std::size_t length = 0;
    for (const Placeholder &p : kPlaceholders) {
      length = match_rest(scan + 1, p.rest);
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
    rule.template_uses |= found->uses;
    if (found->uses & USES_EACH_TO) action.each_recipient = 1;
    scan += 1 + length;
    segment = scan;
  }
  return append_piece(action, PIECE_LITERAL, segment, std::strlen(segment), true);
}

const char *placeholder_name(std::uint32_t kind) noexcept {
  if (kind == PIECE_LITERAL) return nullptr;
  for (const Placeholder &p : kPlaceholders)
    if (p.kind == kind) return p.rest;
  return nullptr;
}

std::int32_t template_literal_length(const TemplatePiece *first) noexcept {
  std::size_t sum = 0;
  for (const TemplatePiece *piece = first; piece != nullptr; piece = piece->next.get())
    if (piece->literal) sum += std::strlen(piece->literal.get());
  return static_cast<std::int32_t>(sum + 1);
}

namespace {

// The placeholders whose values the mail's sender chooses: the envelope's,
// and what a test captured from the message.
bool chosen_by_sender(std::uint32_t kind) noexcept {
  return (kind >= PIECE_SENDER && kind <= PIECE_ALLTO_DOMAIN) || capture_number(kind) != 0;
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
