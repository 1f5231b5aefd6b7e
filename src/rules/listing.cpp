// Rule listing for -n.
//
// Prints each rule's condition fully parenthesised, so that an administrator
// can see how the parser grouped and negated it: one "(...)" per node, the
// node's "!" right after its "(", and a phrase per test. Patterns are printed
// as stored (From, To and Header patterns lower-cased, Regex expressions as
// written), unescaped; a Header test names its field, a Size test gives its
// limit in bytes. Actions are not listed. Nothing separates two rules and no
// newline follows the last one.
#include "rules/listing.h"

#include <cinttypes>

#include "rules/vocabulary.h"

namespace {

// The phrases of a field and an operator; nothing for one not built by the parser.
const char *phrase(TestField field) noexcept {
  const FieldRow *row = field_row(field);
  return row != nullptr ? row->listing : "";
}

const char *phrase(MatchOp op) noexcept {
  const OperatorRow *row = operator_row(op);
  return row != nullptr ? row->listing : "";
}

void print_side(std::FILE *out, const ConditionNode *subtree, const MatchTerm *term) noexcept {
  if (subtree != nullptr)
    print_condition(out, *subtree);
  else if (term != nullptr)
    print_term(out, *term);
}

}  // namespace

void print_condition(std::FILE *out, const ConditionNode &node) noexcept {
  std::fputs("(", out);
  if (node.negated) std::fputs("!", out);
  print_side(out, node.left.get(), node.left_term.get());
  if (node.op == COND_OR)
    std::fputs(" or ", out);
  else if (node.op == COND_AND)
    std::fputs(" and ", out);
  print_side(out, node.right.get(), node.right_term.get());
  std::fputs(")", out);
}

void print_term(std::FILE *out, const MatchTerm &term) noexcept {
  std::fputs(phrase(term.field), out);
  if (term.field == FIELD_NOT_MATCHED || term.field == FIELD_MATCH_ALL) return;
  if (term.field == FIELD_HEADER || term.field == FIELD_ADDRESS)
    std::fprintf(out, "\"%s\" ", term.header_name ? term.header_name.get() : "");
  if (term.negated) std::fputs("!", out);
  std::fputs(phrase(term.op), out);
  if (term.field == FIELD_SIZE)
    std::fprintf(out, "%" PRIu64 " bytes", term.size);
  else
    std::fprintf(out, "\"%s\"", term.pattern ? term.pattern.get() : "");
}

void print_rules(std::FILE *out, const RuleList &rules) noexcept {
  for (const Rule *rule = rules.head.get(); rule != nullptr; rule = rule->next.get())
    if (rule->condition) print_condition(out, *rule->condition);
}
