// The words of the rule language, one row per test field, operator and
// placeholder: what the parser reads, what the listing (-n) and the verbose
// trace print, and what a placeholder inserts. Row i of each table describes
// the value i of its enum (checked at compile time), so a new value is added
// here once and every switch over it then fails to compile until it learns
// the value.
//
// The parser's error texts stay beside the parser: they name the keyword as
// an administrator writes it ("Match All"), which only the parser needs.
// Read-only constants; safe on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

#include "rules/rule.h"

struct FieldRow {
  TestField field;
  const char *keyword;  // as the parser reads it, in any case ("not matched"); null: none
  const char *listing;  // the listing's phrase ("From Address ")
};

inline constexpr FieldRow kFieldRows[] = {
    {FIELD_UNDEFINED, nullptr, "[Undefined Field] "},
    {FIELD_SMTP_SENDER, "sender", "SMTP Sender "},
    {FIELD_FROM, "from", "From Address "},
    {FIELD_TO, "to", "To Address "},
    {FIELD_NOT_MATCHED, "not matched", "No Rule has been matched yet "},
    {FIELD_MATCH_ALL, "match all", "[Always True] "},
    {FIELD_HEADER, "header", "Header "},
    {FIELD_SIZE, "size", "Message Size "},
    {FIELD_ADDRESS, "address", "Address "},
};

struct OperatorRow {
  MatchOp op;
  const char *keyword;  // as the parser reads it, in any case; null: none
  const char *listing;  // the listing's phrase ("starts with ")
  const char *trace;    // the verbose trace's word ("starts")
};

inline constexpr OperatorRow kOperatorRows[] = {
    {OP_NONE, nullptr, "is operated on in some way by ", "confused"},
    {OP_STARTS, "starts", "starts with ", "starts"},
    {OP_ENDS, "ends", "ends with ", "ends"},
    {OP_CONTAINS, "contains", "contains ", "contains"},
    {OP_IS, "is", "is ", "is"},
    {OP_MATCHES, "matches", "matches wildcard ", "matches"},
    {OP_REGEX, "regex", "matches regex ", "regex"},
    {OP_OVER, "over", "is over ", "over"},
    {OP_UNDER, "under", "is under ", "under"},
};

// Whose value a placeholder inserts.
enum PieceFamily : std::uint32_t {
  FAMILY_NONE,      // a literal piece inserts nothing
  FAMILY_SENDER,    // the SMTP user
  FAMILY_FROM,      // the envelope sender
  FAMILY_FIRST_TO,  // the first recipient the rule selected
  FAMILY_EACH_TO,   // each recipient the rule selected, in turn
  FAMILY_DATE,      // the message time
  FAMILY_CAPTURE,   // what the rule's last capturing test captured (PieceRow::capture)
};

// Which part of the value it inserts.
enum PiecePart : std::uint32_t {
  PART_WHOLE,
  PART_USER,    // before the first "@"
  PART_DOMAIN,  // after the first "@"
  PART_YEAR,    // of the date: four digits
  PART_MONTH,   // 01 to 12
  PART_DAY,     // 01 to 31
};

struct PieceRow {
  PieceKind kind;
  const char *name;  // its placeholder without the opening "%" ("FROM.USER%"); null: none
  PieceFamily family;
  PiecePart part;
  std::uint32_t capture = 0;  // FAMILY_CAPTURE: which one, 1 to 9
};

inline constexpr PieceRow kPieceRows[] = {
    {PIECE_LITERAL, nullptr, FAMILY_NONE, PART_WHOLE},
    {PIECE_SENDER, "SENDER%", FAMILY_SENDER, PART_WHOLE},
    {PIECE_SENDER_USER, "SENDER.USER%", FAMILY_SENDER, PART_USER},
    {PIECE_SENDER_DOMAIN, "SENDER.DOMAIN%", FAMILY_SENDER, PART_DOMAIN},
    {PIECE_FROM, "FROM%", FAMILY_FROM, PART_WHOLE},
    {PIECE_FROM_USER, "FROM.USER%", FAMILY_FROM, PART_USER},
    {PIECE_FROM_DOMAIN, "FROM.DOMAIN%", FAMILY_FROM, PART_DOMAIN},
    {PIECE_TO, "TO%", FAMILY_FIRST_TO, PART_WHOLE},
    {PIECE_TO_USER, "TO.USER%", FAMILY_FIRST_TO, PART_USER},
    {PIECE_TO_DOMAIN, "TO.DOMAIN%", FAMILY_FIRST_TO, PART_DOMAIN},
    {PIECE_ALLTO, "ALLTO%", FAMILY_EACH_TO, PART_WHOLE},
    {PIECE_ALLTO_USER, "ALLTO.USER%", FAMILY_EACH_TO, PART_USER},
    {PIECE_ALLTO_DOMAIN, "ALLTO.DOMAIN%", FAMILY_EACH_TO, PART_DOMAIN},
    {PIECE_YEAR, "YEAR%", FAMILY_DATE, PART_YEAR},
    {PIECE_MONTH, "MONTH%", FAMILY_DATE, PART_MONTH},
    {PIECE_DAY, "DAY%", FAMILY_DATE, PART_DAY},
    {PIECE_CAPTURE_1, "1%", FAMILY_CAPTURE, PART_WHOLE, 1},
    {PIECE_CAPTURE_1_USER, "1.USER%", FAMILY_CAPTURE, PART_USER, 1},
    {PIECE_CAPTURE_1_DOMAIN, "1.DOMAIN%", FAMILY_CAPTURE, PART_DOMAIN, 1},
    {PIECE_CAPTURE_2, "2%", FAMILY_CAPTURE, PART_WHOLE, 2},
    {PIECE_CAPTURE_2_USER, "2.USER%", FAMILY_CAPTURE, PART_USER, 2},
    {PIECE_CAPTURE_2_DOMAIN, "2.DOMAIN%", FAMILY_CAPTURE, PART_DOMAIN, 2},
    {PIECE_CAPTURE_3, "3%", FAMILY_CAPTURE, PART_WHOLE, 3},
    {PIECE_CAPTURE_3_USER, "3.USER%", FAMILY_CAPTURE, PART_USER, 3},
    {PIECE_CAPTURE_3_DOMAIN, "3.DOMAIN%", FAMILY_CAPTURE, PART_DOMAIN, 3},
    {PIECE_CAPTURE_4, "4%", FAMILY_CAPTURE, PART_WHOLE, 4},
    {PIECE_CAPTURE_4_USER, "4.USER%", FAMILY_CAPTURE, PART_USER, 4},
    {PIECE_CAPTURE_4_DOMAIN, "4.DOMAIN%", FAMILY_CAPTURE, PART_DOMAIN, 4},
    {PIECE_CAPTURE_5, "5%", FAMILY_CAPTURE, PART_WHOLE, 5},
    {PIECE_CAPTURE_5_USER, "5.USER%", FAMILY_CAPTURE, PART_USER, 5},
    {PIECE_CAPTURE_5_DOMAIN, "5.DOMAIN%", FAMILY_CAPTURE, PART_DOMAIN, 5},
    {PIECE_CAPTURE_6, "6%", FAMILY_CAPTURE, PART_WHOLE, 6},
    {PIECE_CAPTURE_6_USER, "6.USER%", FAMILY_CAPTURE, PART_USER, 6},
    {PIECE_CAPTURE_6_DOMAIN, "6.DOMAIN%", FAMILY_CAPTURE, PART_DOMAIN, 6},
    {PIECE_CAPTURE_7, "7%", FAMILY_CAPTURE, PART_WHOLE, 7},
    {PIECE_CAPTURE_7_USER, "7.USER%", FAMILY_CAPTURE, PART_USER, 7},
    {PIECE_CAPTURE_7_DOMAIN, "7.DOMAIN%", FAMILY_CAPTURE, PART_DOMAIN, 7},
    {PIECE_CAPTURE_8, "8%", FAMILY_CAPTURE, PART_WHOLE, 8},
    {PIECE_CAPTURE_8_USER, "8.USER%", FAMILY_CAPTURE, PART_USER, 8},
    {PIECE_CAPTURE_8_DOMAIN, "8.DOMAIN%", FAMILY_CAPTURE, PART_DOMAIN, 8},
    {PIECE_CAPTURE_9, "9%", FAMILY_CAPTURE, PART_WHOLE, 9},
    {PIECE_CAPTURE_9_USER, "9.USER%", FAMILY_CAPTURE, PART_USER, 9},
    {PIECE_CAPTURE_9_DOMAIN, "9.DOMAIN%", FAMILY_CAPTURE, PART_DOMAIN, 9},
};

namespace vocabulary_detail {
template <class Row, std::size_t N, class Value>
constexpr bool rows_in_order(const Row (&rows)[N], Value Row::*value) {
  for (std::size_t i = 0; i < N; ++i)
    if (static_cast<std::size_t>(rows[i].*value) != i) return false;
  return true;
}
}  // namespace vocabulary_detail
static_assert(vocabulary_detail::rows_in_order(kFieldRows, &FieldRow::field));
static_assert(vocabulary_detail::rows_in_order(kOperatorRows, &OperatorRow::op));
static_assert(vocabulary_detail::rows_in_order(kPieceRows, &PieceRow::kind));

// The row of `value`, or null for a value no row describes (a term or piece
// not built by the parser).
inline const FieldRow *field_row(TestField field) noexcept {
  return field < std::size(kFieldRows) ? &kFieldRows[field] : nullptr;
}
inline const OperatorRow *operator_row(MatchOp op) noexcept {
  return op < std::size(kOperatorRows) ? &kOperatorRows[op] : nullptr;
}
inline const PieceRow *piece_row(PieceKind kind) noexcept {
  return kind < std::size(kPieceRows) ? &kPieceRows[kind] : nullptr;
}
