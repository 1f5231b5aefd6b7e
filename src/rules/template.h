// Action templates.
//
// parse_template splits an action argument into TemplatePiece records once, at
// start-up, and records on the rule and the action which recipient
// placeholders it uses. expand_template turns the pieces into the text for one
// message with a single allocation. Placeholder values (SMTP user, sender,
// recipients: all chosen by the sender of the mail) are passed through
// `insert` so that an action can make them safe for where they land; literal
// template text is never changed. The date placeholders insert digits of the
// message time (MessageContext::message_time) in local time.
//
// Threads: parsing on the initial thread; expansion on any connection thread,
// reading only the shared pieces and the caller's own message and match.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rules/rule.h"
#include "rules/rule_match.h"
#include "base/text.h"

struct MessageContext;

// How placeholder values are inserted.
enum InsertMode : std::uint32_t {
  INSERT_AS_IS = 0,       // unchanged (Add Header, verbose descriptions of headers)
  INSERT_PATH_SAFE = 1,   // "/" becomes "_", and a leading "." becomes "_"
  INSERT_SHELL_SAFE = 2,  // bytes other than [A-Za-z0-9@._+=,:-] and >= 0x80 become "_",
                          // and a leading "-" becomes "_" (no value reads as an option)
};

// Parses `text` into a new piece list on `action`, adding bits to
// `rule.template_uses` and setting `action.each_recipient`. Returns 0 when
// memory runs out (the action is then left with a partial list), else 1.
int parse_template(const char *text, Rule &rule, Action &action) noexcept;

// The placeholder that inserts a piece of `kind`, without its opening "%"
// ("TO.DOMAIN%"); null for PIECE_LITERAL and kinds without a placeholder.
const char *placeholder_name(PieceKind kind) noexcept;

// Sum of the lengths of the present literals, plus 1.
std::int32_t template_literal_length(const TemplatePiece *first) noexcept;

// Where the placeholders of one expansion landed, for the checks of a path.
struct Inserts {
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  // Offset of the first value the mail's sender chose (SMTP user, envelope
  // sender, recipients), empty or not; kNone when the template has none.
  // Every name of the path from the one that holds it on is the sender's.
  std::size_t sender_from = kNone;
  // Some placeholder at the start of a path component (the start of the
  // text, or right after a "/") inserted nothing: the component is then
  // missing or another name than the template meant.
  bool empty_at_component_start = false;
};

// The text of `action`'s template for `msg`, with match.first_to as the
// value of the %TO...% placeholders and `each_to` (a selected recipient's
// address, or null) as the value of the %ALLTO...% placeholders; owned by the
// caller, null when memory cannot be allocated. Fills `inserts` when given.
Text expand_template(const Action &action, const MessageContext &msg, const RuleMatch &match, const char *each_to,
                     InsertMode insert = INSERT_AS_IS, Inserts *inserts = nullptr) noexcept;
