// Condition evaluation.
//
// Walks a rule's condition tree for one message. AND and OR stop as soon as
// the left side decides; a chain groups to the right with no precedence. A
// node's "!" inverts its left operand only, and for a To test it also makes
// the test select the recipients that do not satisfy the term. The recipient
// test stops at the first satisfying recipient unless the rule's templates
// need every selected one (USES_EACH_TO).
//
// At verbose_level 1 and above every node and test is traced on standard
// output with plain, unflushed writes; the caller ends the line. Nothing is
// allocated and only the message's own context is written.
#include "rules/evaluate.h"

#include <cstdio>
#include <cstring>

#include "frontend/log.h"

namespace {

void trace(const char *text) noexcept {
  if (verbose_level >= 1) std::fputs(text, stdout);
}

void trace_quoted(const char *text) noexcept {
  if (verbose_level >= 1) std::printf("\"%s\" ", text);
}

const char *operator_word(std::uint32_t op) noexcept {
  switch (op) {
  case OP_STARTS: return "starts";
  case OP_ENDS: return "ends";
  case OP_CONTAINS: return "contains";
  case OP_IS: return "is";
  default: return "confused";
  }
}

// The operator alone, before the term's own negation.
int compare(std::uint32_t op, const char *value, std::size_t vlen, const char *pattern, std::size_t plen) noexcept {
  switch (op) {
  case OP_STARTS: return plen > 0 && std::memcmp(value, pattern, plen) == 0;
  case OP_ENDS: return plen > 0 && std::memcmp(value + (vlen - plen), pattern, plen) == 0;
  case OP_CONTAINS: return std::strstr(value, pattern) != nullptr;
  case OP_IS: return std::strcmp(value, pattern) == 0;
  default: return 0;
  }
}

// The term applied to one value (null when the message has none), its own
// negation included. A value shorter than the pattern fails every operator.
int match_value(const MatchTerm &term, const char *value) noexcept {
  const char *pattern = term.pattern ? term.pattern.get() : "";
  const std::size_t plen = std::strlen(pattern);
  int m = 0;
  if (value != nullptr) {
    const std::size_t vlen = std::strlen(value);
    trace_quoted(value);
    if (vlen >= plen) {
      if (term.negated) trace("!");
      trace(operator_word(term.op));
      trace(" ");
      m = compare(term.op, value, vlen, pattern, plen);
    }
  } else {
    trace("[no data] ");
    trace(operator_word(term.op));
    trace(" ");
    m = plen == 0;
  }
  const int result = term.negated ? !m : m;
  trace_quoted(pattern);
  trace(result ? "[true]" : "[false]");
  return result;
}

// Whether some recipient satisfies `term`. Selects the recipients for which
// the term's result differs from `invert`.
int match_recipients(const MatchTerm &term, MessageContext &msg, std::uint32_t invert) noexcept {
  const std::uint32_t uses = msg.current_rule != nullptr ? msg.current_rule->template_uses : 0;
  int result = 0;
  for (Recipient *recipient = msg.recipients.head.get(); recipient != nullptr; recipient = recipient->next.get()) {
    const int m = match_value(term, recipient->address.get());
    if (static_cast<std::uint32_t>(m) != invert) {
      recipient->matched = 1;
      if ((uses & USES_FIRST_TO) && msg.first_to == nullptr) msg.first_to = recipient->address.get();
    }
    if (m) {
      result = 1;
      if (!(uses & USES_EACH_TO)) return 1;
    }
    trace(", ");
  }
  return result;
}

int evaluate_node(const ConditionNode &node, MessageContext &msg) noexcept;

int evaluate_operand(const ConditionNode *subtree, const MatchTerm *term, MessageContext &msg,
                     std::uint32_t invert) noexcept {
  if (term != nullptr) {
    switch (term->field) {
    case FIELD_SMTP_SENDER: return match_value(*term, msg.smtp_sender.get());
    case FIELD_FROM: return match_value(*term, msg.from.get());
    case FIELD_TO: return match_recipients(*term, msg, invert);
    case FIELD_NOT_MATCHED: {
      trace("not matched by a previous rule ");
      const int r = msg.any_rule_matched == 0;
      trace(r ? "[true]" : "[false]");
      return r;
    }
    case FIELD_MATCH_ALL: trace("match all [true]"); return 1;
    default: return 0;
    }
  }
  if (subtree != nullptr) return evaluate_node(*subtree, msg);
  return 1;
}

// The right side of a node that is itself a node is a tail call: it is
// followed in a loop, closing the parentheses at the end, so that a long
// "and"/"or" chain costs no stack on the connection thread. Only groups
// recurse, and the parser bounds their depth.
int evaluate_node(const ConditionNode &first, MessageContext &msg) noexcept {
  int open = 0;
  int r = 0;
  const ConditionNode *node = &first;
  while (node != nullptr) {
    trace("(");
    ++open;
    if (node->negated) trace("!(");
    r = evaluate_operand(node->left.get(), node->left_term.get(), msg, node->negated);
    if (node->negated) {
      trace(r ? ") [false] " : ") [true] ");
      r = !r;
    }
    // AND goes on only when the left side holds; OR (and any other connector)
    // only when it does not.
    const bool decided = node->op == COND_NONE || (node->op == COND_AND ? r == 0 : r != 0);
    if (decided) break;
    if (node->right_term != nullptr || node->right == nullptr) {
      r = evaluate_operand(nullptr, node->right_term.get(), msg, 0);
      break;
    }
    node = node->right.get();
  }
  while (open-- > 0) trace(")");
  return r;
}

}  // namespace

int evaluate_rule(const Rule &rule, MessageContext &msg) noexcept {
  msg.current_rule = &rule;
  if (rule.template_uses != 0) {
    msg.first_to = nullptr;
    for (Recipient *recipient = msg.recipients.head.get(); recipient != nullptr; recipient = recipient->next.get())
      recipient->matched = 0;
  }
  // A loaded rule always has a condition; one cut short by a syntax error never matches.
  if (!rule.condition) return 0;
  return evaluate_node(*rule.condition, msg);
}
