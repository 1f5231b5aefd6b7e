// Condition evaluation.
//
// Walks a rule's condition tree for one message. AND and OR stop as soon as
// the left side decides; a chain groups to the right with no precedence. A
// node's "!" inverts its left operand only, and for a To test it also makes
// the test select the recipients that do not satisfy the term. The recipient
// test stops at the first satisfying recipient unless the rule's templates
// need every selected one (USES_EACH_TO).
//
// A Header test reads the values that add_header prepared, and stops at the
// first field of that name that satisfies the term. An Address test reads
// each field of that name as an address list (message/address_list.h) and
// stops at the first address that satisfies it. A Size test compares
// message_size with its limit.
//
// For a rule whose templates use %1% to %9%, a Matches or Regex test that
// holds keeps what its groups took in the RuleMatch: the last such test of
// the evaluation wins, a test over several values captures from the first
// that matched, and a test under "!" (its own or a node's) captures nothing.
// Other rules run their expressions without groups.
//
// At trace level 1 and above every node and test is traced with plain,
// unflushed writes; the caller ends the line. Nothing is allocated but by an
// Address test, for the addresses it reads (RE2 may grow its own cache while
// a Regex term matches), and only the RuleMatch is written.
#include "rules/evaluate.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include <memory>
#include <new>

#include "message/address_list.h"
#include "rules/regex.h"
#include "rules/vocabulary.h"
#include "rules/wildcard.h"

namespace {

// What one evaluation needs besides the tree: the message, the match it
// fills, the trace and the rule's template_uses bits.
struct Evaluation {
  const MessageContext &msg;
  RuleMatch &match;
  const Trace &out;
  std::uint32_t uses;
  // Captures, only for a rule whose templates use them: how many "!" the
  // test being evaluated is under, and whether it captured already (from the
  // first of its values that matched).
  mutable int negations = 0;
  mutable bool term_captured = false;

  bool may_capture(const MatchTerm &term) const noexcept {
    return (uses & USES_CAPTURES) != 0 && negations == 0 && term.negated == 0 && !term_captured &&
           (term.op == OP_MATCHES || term.op == OP_REGEX);
  }

  void trace(const char *text) const noexcept {
    if (out.on(1)) out.put(text);
  }
  void trace_quoted(const char *text) const noexcept {
    if (out.on(1)) out.print("\"%s\" ", text);
  }
};

// The trace's word for `op`; a term not built by the parser is "confused".
const char *operator_word(MatchOp op) noexcept {
  const OperatorRow *row = operator_row(op);
  return row != nullptr ? row->trace : "confused";
}

// Matches and Regex look at every value; the fixed-text operators fail a
// value shorter than their pattern without a comparison.
bool sees_every_value(MatchOp op) noexcept { return op == OP_MATCHES || op == OP_REGEX; }

// The operator alone, before the term's own negation.
int compare(const MatchTerm &term, const char *value, std::size_t vlen, const char *pattern,
            std::size_t plen) noexcept {
  switch (term.op) {
  case OP_STARTS: return plen > 0 && std::memcmp(value, pattern, plen) == 0;
  case OP_ENDS: return plen > 0 && std::memcmp(value + (vlen - plen), pattern, plen) == 0;
  case OP_CONTAINS: return std::strstr(value, pattern) != nullptr;
  case OP_IS: return std::strcmp(value, pattern) == 0;
  case OP_MATCHES: return wildcard_match(pattern, plen, value, vlen);
  case OP_REGEX: return term.regex && regex_found(*term.regex, value, vlen);
  case OP_NONE:
  case OP_OVER:
  case OP_UNDER: return 0;  // no text comparison
  }
  return 0;  // an operator not built by the parser
}

// compare for a Matches or Regex term whose groups the rule's actions use:
// on a match the value and its groups are kept in the RuleMatch.
int compare_capturing(const Evaluation &w, const MatchTerm &term, const char *value, std::size_t vlen,
                      const char *pattern, std::size_t plen) noexcept {
  RuleMatch::Group groups[kMaxCaptures];
  std::size_t count = 0;
  if (term.op == OP_MATCHES) {
    WildcardSpan spans[kMaxCaptures];
    if (!wildcard_match_groups(pattern, plen, value, vlen, spans, kMaxCaptures)) return 0;
    count = wildcard_groups(pattern, plen);
    if (count > kMaxCaptures) count = kMaxCaptures;
    for (std::size_t i = 0; i < count; ++i) groups[i] = {spans[i].start, spans[i].length, true};
  } else {
    RegexSpan spans[kMaxCaptures];
    if (!term.regex || !regex_found_groups(*term.regex, value, vlen, spans, kMaxCaptures)) return 0;
    count = regex_groups(*term.regex);
    if (count > kMaxCaptures) count = kMaxCaptures;
    for (std::size_t i = 0; i < count; ++i) groups[i] = {spans[i].start, spans[i].length, spans[i].taken};
  }
  w.term_captured = true;
  // Out of memory: the test still holds; its captures are empty.
  w.match.set_captures(value, vlen, groups, count);
  return 1;
}

// The term applied to one value (null when the message has none), its own
// negation included. A value shorter than the pattern fails every fixed-text
// operator.
int match_value(const Evaluation &w, const MatchTerm &term, const char *value) noexcept {
  const char *pattern = term.pattern ? term.pattern.get() : "";
  const std::size_t plen = std::strlen(pattern);
  int m = 0;
  if (value != nullptr) {
    const std::size_t vlen = std::strlen(value);
    w.trace_quoted(value);
    if (vlen >= plen || sees_every_value(term.op)) {
      if (term.negated) w.trace("!");
      w.trace(operator_word(term.op));
      w.trace(" ");
      m = w.may_capture(term) ? compare_capturing(w, term, value, vlen, pattern, plen)
                              : compare(term, value, vlen, pattern, plen);
    }
  } else {
    w.trace("[no data] ");
    w.trace(operator_word(term.op));
    w.trace(" ");
    m = plen == 0;
  }
  const int result = term.negated ? !m : m;
  w.trace_quoted(pattern);
  w.trace(result ? "[true]" : "[false]");
  return result;
}

// Whether some recipient satisfies `term`. Selects the recipients for which
// the term's result differs from `invert`.
int match_recipients(const Evaluation &w, const MatchTerm &term, std::uint32_t invert) noexcept {
  RuleMatch &match = w.match;
  const std::uint32_t uses = w.uses;
  int result = 0;
  std::size_t index = 0;
  for (const Recipient *recipient = w.msg.recipients.head.get(); recipient != nullptr;
       recipient = recipient->next.get(), ++index) {
    const int m = match_value(w, term, recipient->address.get());
    if (static_cast<std::uint32_t>(m) != invert) {
      match.select(index);
      if ((uses & USES_FIRST_TO) && match.first_to == nullptr) match.first_to = recipient->address.get();
    }
    if (m) {
      result = 1;
      if (!(uses & USES_EACH_TO)) return 1;
    }
    w.trace(", ");
  }
  return result;
}

// Whether some header field named as the term says satisfies it. Traced as
// the name as written, a colon, and each value tested; a message without the
// field gives no value. Kept out of line, as match_size is, so that
// evaluate_operand stays small enough to be inlined where the envelope tests
// are evaluated: inlined, these two cost the envelope tests a tenth more.
[[gnu::noinline]] int match_headers(const Evaluation &w, const MatchTerm &term) noexcept {
  const char *name = term.header_name ? term.header_name.get() : "";
  if (w.out.on(1)) w.out.print("%s: ", name);
  bool any = false;
  for (const HeaderField *header = w.msg.headers.head.get(); header != nullptr; header = header->next.get()) {
    if (!equal_ignoring_case(header->name.get(), name)) continue;
    if (any) w.trace(", ");
    any = true;
    if (match_value(w, term, header->tested != nullptr ? header->tested : header->value.get())) return 1;
  }
  return any ? 0 : match_value(w, term, nullptr);
}

// The term applied to one address: lower-cased into `buffer` (or a copy of
// its own when it does not fit), as the envelope's addresses are.
int match_address(const Evaluation &w, const MatchTerm &term, const char *address, std::size_t length) noexcept {
  char buffer[512];
  std::unique_ptr<char[]> large;
  char *lower = buffer;
  if (length >= sizeof buffer) {
    large.reset(new (std::nothrow) char[length + 1]);
    if (!large) return 0;  // out of memory: the address is skipped
    lower = large.get();
  }
  std::memcpy(lower, address, length);
  lower[length] = '\0';
  return match_value(w, term, lowercase_in_place(lower));
}

// Whether some address in the header fields named as the term says
// satisfies it. Traced like a Header test, each address as a value; fields
// that yield no address count as a missing field.
[[gnu::noinline]] int match_addresses(const Evaluation &w, const MatchTerm &term) noexcept {
  const char *name = term.header_name ? term.header_name.get() : "";
  if (w.out.on(1)) w.out.print("%s: ", name);
  bool any = false;
  int result = 0;
  for (const HeaderField *header = w.msg.headers.head.get(); header != nullptr && result == 0;
       header = header->next.get()) {
    if (!equal_ignoring_case(header->name.get(), name)) continue;
    const char *value = header->value.get();
    for_each_address(value, std::strlen(value), [&](const char *address, std::size_t length) noexcept {
      if (length == 0) return true;  // the null sender's <>
      if (any) w.trace(", ");
      any = true;
      result = match_address(w, term, address, length);
      return result == 0;
    });
  }
  return any ? result : match_value(w, term, nullptr);
}

// A Size test: "size", the message size, the operator and the limit.
[[gnu::noinline]] int match_size(const Evaluation &w, const MatchTerm &term) noexcept {
  const auto size = static_cast<std::uint64_t>(w.msg.message_size > 0 ? w.msg.message_size : 0);
  const int m = term.op == OP_OVER ? size > term.size : term.op == OP_UNDER ? size < term.size : 0;
  const int result = term.negated ? !m : m;
  if (w.out.on(1))
    w.out.print("size %" PRIu64 " %s%s %" PRIu64 " %s", size, term.negated ? "!" : "", operator_word(term.op),
                term.size, result ? "[true]" : "[false]");
  return result;
}

int evaluate_node(const Evaluation &w, const ConditionNode &node) noexcept;

int evaluate_operand(const Evaluation &w, const ConditionNode *subtree, const MatchTerm *term,
                     std::uint32_t invert) noexcept {
  const MessageContext &msg = w.msg;
  if (term != nullptr) {
    w.term_captured = false;
    switch (term->field) {
    case FIELD_SMTP_SENDER: return match_value(w, *term, msg.smtp_sender.get());
    case FIELD_FROM: return match_value(w, *term, msg.from.get());
    case FIELD_TO: return match_recipients(w, *term, invert);
    case FIELD_HEADER: return match_headers(w, *term);
    case FIELD_ADDRESS: return match_addresses(w, *term);
    case FIELD_SIZE: return match_size(w, *term);
    case FIELD_NOT_MATCHED: {
      w.trace("not matched by a previous rule ");
      const int r = !w.match.earlier_rule_matched;
      w.trace(r ? "[true]" : "[false]");
      return r;
    }
    case FIELD_MATCH_ALL: w.trace("match all [true]"); return 1;
    case FIELD_UNDEFINED: return 0;
    }
    return 0;  // a field not built by the parser
  }
  if (subtree != nullptr) return evaluate_node(w, *subtree);
  return 1;
}

// The right side of a node that is itself a node is a tail call: it is
// followed in a loop, closing the parentheses at the end, so that a long
// "and"/"or" chain costs no stack on the connection thread. Only groups
// recurse, and the parser bounds their depth.
int evaluate_node(const Evaluation &w, const ConditionNode &first) noexcept {
  int open = 0;
  int r = 0;
  const ConditionNode *node = &first;
  while (node != nullptr) {
    w.trace("(");
    ++open;
    if (node->negated) {
      w.trace("!(");
      ++w.negations;  // nothing under it captures
    }
    r = evaluate_operand(w, node->left.get(), node->left_term.get(), node->negated);
    if (node->negated) {
      --w.negations;
      w.trace(r ? ") [false] " : ") [true] ");
      r = !r;
    }
    // AND goes on only when the left side holds; OR (and any other connector)
    // only when it does not.
    const bool decided = node->op == COND_NONE || (node->op == COND_AND ? r == 0 : r != 0);
    if (decided) break;
    if (node->right_term != nullptr || node->right == nullptr) {
      r = evaluate_operand(w, nullptr, node->right_term.get(), 0);
      break;
    }
    node = node->right.get();
  }
  while (open-- > 0) w.trace(")");
  return r;
}

}  // namespace

int evaluate_rule(const Rule &rule, const MessageContext &msg, RuleMatch &match, const Trace &trace) noexcept {
  // Only a rule whose templates read the selection needs it fresh; the others
  // leave clearing it to the next rule that does.
  if (rule.template_uses != 0) match.clear_selection();
  if ((rule.template_uses & USES_CAPTURES) != 0) match.clear_captures();
  // A loaded rule always has a condition; one cut short by a syntax error never matches.
  if (!rule.condition) return 0;
  const Evaluation w{msg, match, trace, rule.template_uses};
  return evaluate_node(w, *rule.condition);
}
