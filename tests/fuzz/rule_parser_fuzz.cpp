// Fuzz target for the rule file parser.
//
// Parses the input as a rule file. A failed parse must leave a message; an
// accepted one must satisfy the model's invariants (rule lines counted from 1
// in file order among them), and is then looked over for warnings, listed
// and evaluated, traced, against a small message with headers, with every
// action's template expanded for each recipient in every insert mode.
// Aborts on a broken invariant.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/trace.h"
#include "message/message_context.h"
#include "rules/evaluate.h"
#include "rules/lint.h"
#include "rules/listing.h"
#include "rules/parser.h"
#include "rules/template.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

bool has_upper_case(const char *text) {
  for (; *text != '\0'; ++text)
    if (*text >= 'A' && *text <= 'Z') return true;
  return false;
}

void check_term(const MatchTerm &term) {
  if (term.field == FIELD_NOT_MATCHED || term.field == FIELD_MATCH_ALL) {
    require(!term.pattern && term.op == OP_NONE && term.negated == 0);
    return;
  }
  if (term.field == FIELD_SIZE) {
    require(!term.pattern && !term.regex && !term.header_name);
    require(term.op == OP_OVER || term.op == OP_UNDER);
    return;
  }
  require(term.field == FIELD_SMTP_SENDER || term.field == FIELD_FROM || term.field == FIELD_TO ||
          term.field == FIELD_HEADER || term.field == FIELD_ADDRESS);
  require((term.field == FIELD_HEADER || term.field == FIELD_ADDRESS) == (term.header_name != nullptr));
  if (term.header_name) require(*term.header_name.get() != '\0' && std::strchr(term.header_name.get(), ':') == nullptr);
  require(term.op >= OP_STARTS && term.op <= OP_REGEX);
  require((term.op == OP_REGEX) == (term.regex != nullptr));
  require(term.pattern != nullptr && std::strlen(term.pattern.get()) <= 255);
  if (term.field != FIELD_SMTP_SENDER && term.op != OP_REGEX) require(!has_upper_case(term.pattern.get()));
}

// Walks the right-nested chain in a loop and recurses only into groups.
void check_condition(const ConditionNode *node) {
  for (; node != nullptr; node = node->right.get()) {
    require((node->left != nullptr) != (node->left_term != nullptr));
    require(node->right_term == nullptr);
    require((node->op == COND_NONE) == (node->right == nullptr));
    require(node->op == COND_NONE || node->op == COND_AND || node->op == COND_OR);
    if (node->left_term) check_term(*node->left_term);
    if (node->left) check_condition(node->left.get());
  }
}

void check_rule(const Rule &rule) {
  require(rule.condition != nullptr);
  check_condition(rule.condition.get());
  require(rule.halt == 1 || !rule.actions.empty());
  for (const Action *action = rule.actions.head.get(); action; action = action->next.get()) {
    require(!action->pieces.empty());
    require(action->literal_length == template_literal_length(action->pieces.head.get()));
    if (action->each_recipient) require(rule.template_uses & USES_EACH_TO);
  }
}

void run_rules(const RuleList &rules, std::FILE *sink) {
  MessageContext msg;
  msg.from = copy_text("ann@example.org");
  msg.smtp_sender = copy_text("Ann");
  for (const char *address : {"bob@example.org", "cy@example.net", ""}) {
    auto recipient = std::make_unique<Recipient>();
    recipient->address = copy_text(address);
    msg.recipients.append(std::move(recipient));
  }
  require(add_header(msg, "Subject", "[Dev] Hello") == nullptr);
  require(add_header(msg, "Received", "from a\r\n\tby b") == nullptr);
  require(add_header(msg, "received", "") == nullptr);
  require(add_header(msg, "From", "\"Ann, B\" <Ann@X.test>, team: c@y, (c) d@z;") == nullptr);
  require(add_body_chunk(msg, "body\r\n", 6) == nullptr);
  end_message(msg, 1700000000);
  const Trace trace{sink, 1};
  std::size_t count = 0;
  for (const Recipient *r = msg.recipients.head.get(); r; r = r->next.get()) ++count;
  RuleMatch match;
  require(match.prepare(count));
  for (const Rule *rule = rules.head.get(); rule; rule = rule->next.get()) {
    if (evaluate_rule(*rule, msg, match, trace)) match.earlier_rule_matched = true;
    for (const Action *action = rule->actions.head.get(); action; action = action->next.get()) {
      for (const Recipient *r = msg.recipients.head.get(); r; r = r->next.get()) {
        for (InsertMode mode : {INSERT_AS_IS, INSERT_PATH_SAFE, INSERT_SHELL_SAFE}) {
          Text text = expand_template(*action, msg, match, r->address.get(), mode);
          require(text != nullptr);
          std::fputs(text.get(), sink);
        }
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static std::FILE *sink = std::fopen("/dev/null", "w");
  RuleSet set;
  const RuleList &rules = set.rules;
  std::string error;
  const bool ok = parse_rule_text(reinterpret_cast<const char *>(data), size, set, sink, error);
  if (!ok) {
    require(!error.empty() && error.back() == '\n');
    return 0;
  }
  require(error.empty());
  int line = 1;
  for (const Rule *rule = rules.head.get(); rule; rule = rule->next.get()) {
    check_rule(*rule);
    require(rule->line >= line);
    line = rule->line;
  }
  require(warn_rules(rules, sink) >= 0);
  print_rules(sink, rules);
  run_rules(rules, sink);
  return 0;
}
