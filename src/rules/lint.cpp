// Rule-file warnings.
//
// What a rule's actions get depends on what its condition established when
// it held, so the condition is first turned into its outcomes: every way it
// can come out, as its value and the facts that the tests evaluated on the
// way showed (a recipient selected, the SMTP user or the envelope sender
// present). Each test may come out either way, independently of the others,
// except Match all, which always holds. The walk follows evaluate_node: a
// chain groups to the right, AND and OR stop once the left side decides,
// and a node's "!" inverts its left operand and makes a To test there select
// the recipients that do not satisfy it. A message is taken to have a
// recipient: the MTA passes none without one.
//
// Which placeholders may be empty when the rule matches:
//   %SENDER%, %SENDER.USER%  unless a Sender test showed the SMTP user
//   %SENDER.DOMAIN%          always: SMTP user names often have no "@"
//   %FROM...%                unless a From test showed a sender other than
//                            the null sender
//   %TO...%, %ALLTO...%      unless a To test selected a recipient
// A test shows its value present when it holds without a negated term, with
// a known operator and a non-empty pattern: a shorter value fails them all;
// a Matches or Regex pattern must also fail the empty value.
// A present address is taken to have its user and domain parts.
#include "rules/lint.h"

#include <cstdarg>
#include <cstdint>
#include <cstring>

#include "rules/regex.h"
#include "rules/template.h"
#include "rules/vocabulary.h"
#include "rules/wildcard.h"

namespace {

// What the tests evaluated on the way to an outcome established.
constexpr unsigned FACT_SELECTED = 1;  // a To test selected a recipient
constexpr unsigned FACT_SENDER = 2;    // the SMTP user is present
constexpr unsigned FACT_FROM = 4;      // the envelope sender is not the null sender
constexpr unsigned kFactSets = 8;

// A set of outcomes: bit `facts` for each way to false, bit kFactSets +
// `facts` for each way to true.
using Outcomes = std::uint32_t;

constexpr Outcomes kFalse = (Outcomes{1} << kFactSets) - 1;  // every way to false
constexpr Outcomes kTrue = kFalse << kFactSets;              // every way to true

constexpr Outcomes outcome(bool value, unsigned facts) noexcept {
  return Outcomes{1} << ((value ? kFactSets : 0) + facts);
}

// The fact sets of the outcomes with `value`, one bit each.
constexpr unsigned fact_sets(Outcomes outcomes, bool value) noexcept {
  return (outcomes >> (value ? kFactSets : 0)) & kFalse;
}

constexpr Outcomes inverted(Outcomes outcomes) noexcept {
  return fact_sets(outcomes, true) | (fact_sets(outcomes, false) << kFactSets);
}

// `then` evaluated after ways that established the fact sets `before`.
Outcomes after(unsigned before, Outcomes then) noexcept {
  Outcomes result = 0;
  for (unsigned known = 0; known < kFactSets; ++known) {
    if ((before & (1u << known)) == 0) continue;
    for (unsigned facts = 0; facts < kFactSets; ++facts) {
      if (fact_sets(then, false) & (1u << facts)) result |= outcome(false, known | facts);
      if (fact_sets(then, true) & (1u << facts)) result |= outcome(true, known | facts);
    }
  }
  return result;
}

// A term that holds shows its value is there: not negated, a known operator
// and a non-empty pattern; for Matches and Regex, a pattern that does not
// match the empty value.
bool shows_value(const MatchTerm &term) noexcept {
  if (term.negated != 0 || !term.pattern || term.pattern[0] == '\0') return false;
  switch (term.op) {
    case OP_STARTS:
    case OP_ENDS:
    case OP_CONTAINS:
    case OP_IS: return true;
    case OP_MATCHES: return !wildcard_match(term.pattern.get(), std::strlen(term.pattern.get()), "", 0);
    case OP_REGEX: return term.regex && !regex_found(*term.regex, "", 0);
    case OP_NONE:
    case OP_OVER:
    case OP_UNDER: return false;
  }
  return false;
}

// A test's outcomes, before its node's "!" inverts them; `node_negated`
// tells a To test which recipients to select.
Outcomes term_outcomes(const MatchTerm &term, bool node_negated) noexcept {
  switch (term.field) {
    case FIELD_MATCH_ALL: return outcome(true, 0);
    case FIELD_TO:
      // Selects the recipients whose result differs from the node's "!": those
      // that satisfy the term, which exist when it holds; or those that do
      // not, which are all of them when it does not hold.
      if (!node_negated) return outcome(true, FACT_SELECTED) | outcome(false, 0);
      return outcome(false, FACT_SELECTED) | outcome(true, FACT_SELECTED) | outcome(true, 0);
    case FIELD_SMTP_SENDER: return outcome(true, shows_value(term) ? FACT_SENDER : 0) | outcome(false, 0);
    case FIELD_FROM: return outcome(true, shows_value(term) ? FACT_FROM : 0) | outcome(false, 0);
    case FIELD_UNDEFINED:
    case FIELD_NOT_MATCHED:
    case FIELD_HEADER:
    case FIELD_ADDRESS:
    case FIELD_SIZE: return outcome(true, 0) | outcome(false, 0);
  }
  return outcome(true, 0) | outcome(false, 0);  // a test not known here
}

struct Walk {
  bool has_to_test = false;
};

Outcomes node_outcomes(Walk &walk, const ConditionNode &first) noexcept;

Outcomes operand_outcomes(Walk &walk, const ConditionNode *subtree, const MatchTerm *term, bool node_negated) noexcept {
  if (term != nullptr) {
    if (term->field == FIELD_TO) walk.has_to_test = true;
    return term_outcomes(*term, node_negated);
  }
  if (subtree != nullptr) return node_outcomes(walk, *subtree);
  return outcome(true, 0);  // an empty operand holds, as in evaluate_operand
}

// Like evaluate_node, the chain is followed in a loop and only groups
// recurse, to the depth the parser allows. Every node is visited, even past
// the point where no way goes on, so that every To test is seen.
Outcomes node_outcomes(Walk &walk, const ConditionNode &first) noexcept {
  Outcomes decided = 0;
  unsigned going = 1u << 0;  // the ways not decided yet: at first one, knowing nothing
  for (const ConditionNode *node = &first; node != nullptr; node = node->right.get()) {
    Outcomes left = operand_outcomes(walk, node->left.get(), node->left_term.get(), node->negated != 0);
    if (node->negated != 0) left = inverted(left);
    const Outcomes so_far = after(going, left);
    if (node->op == COND_NONE) return decided | so_far;
    // AND goes on only when the left side holds; OR (and any other
    // connector) only when it does not.
    const bool goes_on_when = node->op == COND_AND;
    decided |= so_far & (goes_on_when ? kFalse : kTrue);
    going = fact_sets(so_far, goes_on_when);
    if (node->right_term != nullptr || node->right == nullptr)
      return decided | after(going, operand_outcomes(walk, nullptr, node->right_term.get(), false));
  }
  return decided;
}

// What the checks need to know about one rule's condition.
struct Condition {
  unsigned holds = 0;  // the fact sets of the ways it holds
  bool can_fail = false;
  bool has_to_test = false;
};

Condition look_at(const Rule &rule) noexcept {
  Condition c;
  if (!rule.condition) return c;  // cut short by a syntax error: never holds
  Walk walk;
  const Outcomes outcomes = node_outcomes(walk, *rule.condition);
  c.holds = fact_sets(outcomes, true);
  c.can_fail = fact_sets(outcomes, false) != 0;
  c.has_to_test = walk.has_to_test;
  return c;
}

// Whether some way the rule holds lacks `fact`.
bool may_lack(const Condition &c, unsigned fact) noexcept {
  for (unsigned facts = 0; facts < kFactSets; ++facts)
    if ((c.holds & (1u << facts)) != 0 && (facts & fact) == 0) return true;
  return false;
}

// Whether no way the rule holds has `fact`.
bool always_lacks(const Condition &c, unsigned fact) noexcept {
  for (unsigned facts = 0; facts < kFactSets; ++facts)
    if ((c.holds & (1u << facts)) != 0 && (facts & fact) != 0) return false;
  return true;
}

bool in_family(PieceKind kind, PieceFamily family) noexcept {
  const PieceRow *row = piece_row(kind);
  return row != nullptr && row->family == family;
}

// Which capture (1 to 9) the placeholder of `kind` inserts, or 0.
std::uint32_t capture_of(PieceKind kind) noexcept {
  const PieceRow *row = piece_row(kind);
  return row != nullptr ? row->capture : 0;
}

bool names_first_to(PieceKind kind) noexcept { return in_family(kind, FAMILY_FIRST_TO); }

bool names_each_to(PieceKind kind) noexcept { return in_family(kind, FAMILY_EACH_TO); }

// Whether the placeholder of `kind` may insert nothing when the rule holds.
// Kinds not known here are taken to insert something.
bool may_be_empty(PieceKind kind, const Condition &c) noexcept {
  const PieceRow *row = piece_row(kind);
  if (row == nullptr) return false;
  switch (row->family) {
    case FAMILY_SENDER: return row->part == PART_DOMAIN || may_lack(c, FACT_SENDER);
    case FAMILY_FROM: return may_lack(c, FACT_FROM);
    case FAMILY_FIRST_TO:
    case FAMILY_EACH_TO: return may_lack(c, FACT_SELECTED);
    case FAMILY_NONE:
    case FAMILY_DATE:
    case FAMILY_CAPTURE: return false;  // check_captures says when one is always empty
  }
  return false;
}

// The first placeholder of the rule's actions that `in_family` accepts.
const TemplatePiece *first_placeholder(const Rule &rule, bool (*in_family)(PieceKind)) noexcept {
  for (const Action *action = rule.actions.head.get(); action != nullptr; action = action->next.get())
    for (const TemplatePiece *piece = action->pieces.head.get(); piece != nullptr; piece = piece->next.get())
      if (in_family(piece->kind)) return piece;
  return nullptr;
}

const char *name_of(const TemplatePiece &piece) noexcept {
  const char *name = placeholder_name(piece.kind);
  return name != nullptr ? name : "?%";
}

// The first placeholder that may be empty where a name of the path starts
// (the start of the text, or after a "/"): a path in which it gives nothing
// names another file or directory than the rule meant, so the action fails.
// `text_follows` tells whether literal text comes after it.
const TemplatePiece *empty_at_name_start(const Action &action, const Condition &c, bool &text_follows) noexcept {
  bool at_start = true;
  const TemplatePiece *found = nullptr;
  text_follows = false;
  for (const TemplatePiece *piece = action.pieces.head.get(); piece != nullptr; piece = piece->next.get()) {
    if (piece->literal && piece->literal[0] != '\0') {
      if (found != nullptr) {
        text_follows = true;
        return found;
      }
      at_start = piece->literal[std::strlen(piece->literal.get()) - 1] == '/';
    }
    if (piece->kind == PIECE_LITERAL) continue;
    if (!may_be_empty(piece->kind, c)) at_start = false;
    else if (at_start && found == nullptr) found = piece;
  }
  return found;
}

// The most groups a test of the condition can capture: a Matches or Regex
// test under no "!"; -1 when there is none. The chain is followed in a loop
// and only groups recurse, to the depth the parser allows.
long capture_groups(const ConditionNode &first) noexcept {
  long most = -1;
  const auto groups_of = [](const MatchTerm *term) noexcept -> long {
    if (term == nullptr || term->negated != 0 || !term->pattern) return -1;
    if (term->op == OP_MATCHES) return static_cast<long>(wildcard_groups(term->pattern.get(), std::strlen(term->pattern.get())));
    if (term->op == OP_REGEX && term->regex) return static_cast<long>(regex_groups(*term->regex));
    return -1;
  };
  for (const ConditionNode *node = &first; node != nullptr; node = node->right.get()) {
    if (node->negated == 0) {
      long left = groups_of(node->left_term.get());
      if (node->left) left = capture_groups(*node->left);
      if (left > most) most = left;
    }
    const long right = groups_of(node->right_term.get());
    if (right > most) most = right;
  }
  return most;
}

class Warnings {
 public:
  explicit Warnings(std::FILE *out) noexcept : out_(out) {}
  int count() const noexcept { return count_; }

  // %TO...% and %ALLTO...% in a rule that never selects a recipient when it holds.
  void check_recipients(const Rule &rule, const Condition &c) noexcept {
    if (!always_lacks(c, FACT_SELECTED)) return;
    for (auto *family : {names_first_to, names_each_to}) {
      const TemplatePiece *piece = first_placeholder(rule, family);
      if (piece == nullptr) continue;
      if (c.has_to_test)
        say("Warning - line %d: %%%s is always empty, the rule's To tests select no recipient when it matches\n",
            rule.line, name_of(*piece));
      else
        say("Warning - line %d: %%%s is always empty, the rule has no To test\n", rule.line, name_of(*piece));
    }
  }

  // A path whose expansion may end in "/": inserted values never hold one
  // (Store In and Maildir make them path-safe), so only a literal can end
  // that way, with nothing or only placeholders that may be empty after it.
  // Store In cannot open such a path; Maildir refuses it.
  void check_path(const Rule &rule, const Action &action, const Condition &c) noexcept {
    bool slash = false;
    const TemplatePiece *empty_at_end = nullptr;  // the last placeholder after that "/"
    for (const TemplatePiece *piece = action.pieces.head.get(); piece != nullptr; piece = piece->next.get()) {
      if (piece->literal && piece->literal[0] != '\0') {
        slash = piece->literal[std::strlen(piece->literal.get()) - 1] == '/';
        empty_at_end = nullptr;
      }
      if (piece->kind == PIECE_LITERAL) continue;
      if (!may_be_empty(piece->kind, c)) {
        slash = false;
        empty_at_end = nullptr;
      } else if (slash) {
        empty_at_end = piece;
      }
    }
    const bool maildir = action.kind == ACTION_MAILDIR;
    // At the end of a path that may end in "/", the warnings below say it.
    bool text_follows = false;
    const TemplatePiece *starts_name = empty_at_name_start(action, c, text_follows);
    if (starts_name != nullptr && (text_follows || !slash))
      say("Warning - line %d: %s path has a name that starts with %%%s, the action fails when it is empty\n",
          rule.line, maildir ? "Maildir" : "Store In", name_of(*starts_name));
    if (!slash) return;
    if (empty_at_end == nullptr)
      say(maildir ? "Warning - line %d: Maildir path ends in \"/\", the action always fails\n"
                  : "Warning - line %d: Store In path ends in \"/\" and names a directory\n",
          rule.line);
    else if (maildir)
      say("Warning - line %d: Maildir path ends in \"/\" when %%%s is empty, the action then fails\n", rule.line,
          name_of(*empty_at_end));
    else
      say("Warning - line %d: Store In path names a directory when %%%s is empty\n", rule.line, name_of(*empty_at_end));
  }

  // %1% to %9% beyond what the condition can capture.
  void check_captures(const Rule &rule) noexcept {
    if ((rule.template_uses & USES_CAPTURES) == 0 || !rule.condition) return;
    const long groups = capture_groups(*rule.condition);
    for (const Action *action = rule.actions.head.get(); action != nullptr; action = action->next.get())
      for (const TemplatePiece *piece = action->pieces.head.get(); piece != nullptr; piece = piece->next.get()) {
        const std::uint32_t number = capture_of(piece->kind);
        if (number == 0 || static_cast<long>(number) <= groups) continue;
        if (groups < 0)
          say("Warning - line %d: %%%s is always empty, the rule has no Regex or Matches test that captures\n",
              rule.line, name_of(*piece));
        else
          say("Warning - line %d: %%%s is always empty, the rule's Regex and Matches tests capture at most %ld\n",
              rule.line, name_of(*piece), groups);
        return;
      }
  }

  // A colon that an inserted value brings does not count: values are
  // addresses and user names.
  void check_add_header(const Rule &rule, const Action &action) noexcept {
    for (const TemplatePiece *piece = action.pieces.head.get(); piece != nullptr; piece = piece->next.get())
      if (piece->literal && std::strchr(piece->literal.get(), ':') != nullptr) return;
    say("Warning - line %d: Add Header text has no \":\", the whole text is taken as the header name\n", rule.line);
  }

  void never_reached(const Rule &rule, const Rule &halting) noexcept {
    say("Warning - line %d: rule is never reached, the rule at line %d always matches and halts\n", rule.line,
        halting.line);
  }

 private:
  [[gnu::format(printf, 2, 3)]] void say(const char *format, ...) noexcept {
    std::va_list args;
    va_start(args, format);
    std::vfprintf(out_, format, args);
    va_end(args);
    ++count_;
  }

  std::FILE *out_;
  int count_ = 0;
};

}  // namespace

int warn_rules(const RuleList &rules, std::FILE *out) noexcept {
  Warnings warnings(out);
  const Rule *halting = nullptr;  // the first rule that always matches and halts
  for (const Rule *rule = rules.head.get(); rule != nullptr; rule = rule->next.get()) {
    if (halting != nullptr) warnings.never_reached(*rule, *halting);
    const Condition c = look_at(*rule);
    if (c.holds == 0) continue;  // its actions never run: a rule switched off with "! Match all"
    if (halting == nullptr && rule->halt != 0 && !c.can_fail) halting = rule;
    warnings.check_recipients(*rule, c);
    warnings.check_captures(*rule);
    // Other action kinds draw no warning: tested one by one rather than in a
    // switch, so that a new kind needs nothing here.
    for (const Action *action = rule->actions.head.get(); action != nullptr; action = action->next.get()) {
      if (action->kind == ACTION_STORE_IN || action->kind == ACTION_MAILDIR) warnings.check_path(*rule, *action, c);
      if (action->kind == ACTION_ADD_HEADER) warnings.check_add_header(*rule, *action);
    }
  }
  return warnings.count();
}
