// Rule-file warnings: each warning with rule files that draw it and close
// ones that do not, the line numbers they name, kinds the checks do not know,
// and the recipient and always-holds judgements against real evaluation.
#include "rules/lint.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/trace.h"
#include "message/message_context.h"
#include "rules/evaluate.h"
#include "rules/parser.h"

namespace {

struct Warned {
  int count = 0;
  std::string text;
};

Warned warnings_of(const RuleList &rules) {
  char *buffer = nullptr;
  std::size_t length = 0;
  std::FILE *out = open_memstream(&buffer, &length);
  Warned warned;
  warned.count = warn_rules(rules, out);
  std::fclose(out);
  warned.text.assign(buffer, length);
  std::free(buffer);
  return warned;
}

void parse(const std::string &text, RuleSet &set) {
  std::string error;
  ASSERT_TRUE(parse_rule_text(text.data(), text.size(), set, nullptr, error)) << text << error;
}

struct LintCase {
  const char *name;
  std::string rules;
  std::string want;  // the warnings, one line each
};

void PrintTo(const LintCase &c, std::ostream *os) { *os << c.name; }

// Lines of the warning texts, for the table below.
std::string no_to_test(int line, const char *placeholder) {
  return "Warning - line " + std::to_string(line) + ": " + placeholder + " is always empty, the rule has no To test\n";
}
std::string none_selected(int line, const char *placeholder) {
  return "Warning - line " + std::to_string(line) + ": " + placeholder +
         " is always empty, the rule's To tests select no recipient when it matches\n";
}
std::string ends_in_slash(int line) {
  return "Warning - line " + std::to_string(line) + ": Store In path ends in \"/\" and names a directory\n";
}
std::string directory_when_empty(int line, const char *placeholder) {
  return "Warning - line " + std::to_string(line) + ": Store In path names a directory when " + placeholder +
         " is empty\n";
}
std::string never_reached(int line, int halting) {
  return "Warning - line " + std::to_string(line) + ": rule is never reached, the rule at line " +
         std::to_string(halting) + " always matches and halts\n";
}
std::string no_colon(int line) {
  return "Warning - line " + std::to_string(line) +
         ": Add Header text has no \":\", the whole text is taken as the header name\n";
}

class Lint : public ::testing::TestWithParam<LintCase> {};

std::string case_name(const ::testing::TestParamInfo<LintCase> &param) { return param.param.name; }

TEST_P(Lint, WarnsAboutWhatRulesCannotDo) {
  const LintCase &c = GetParam();
  RuleSet set;
  parse(c.rules, set);
  const Warned warned = warnings_of(set.rules);
  EXPECT_EQ(warned.text, c.want) << c.rules;
  int lines = 0;
  for (char ch : c.want) lines += ch == '\n';
  EXPECT_EQ(warned.count, lines);
}

INSTANTIATE_TEST_SUITE_P(
    RecipientPlaceholders, Lint,
    ::testing::Values(
        LintCase{"ToWithoutToTest", "{ Sender is ann } Pipe \"notify %TO.USER%\";", no_to_test(1, "%TO.USER%")},
        LintCase{"ToWithToTest", "{ To ends \"@example.org\" } Pipe \"notify %TO.USER%\";", ""},
        LintCase{"AllToWithoutToTest", "{ From is a@b } Add Header \"X-To: %ALLTO%\";", no_to_test(1, "%ALLTO%")},
        LintCase{"EachFamilyOnceFirstNamed",
                 "{ Match all } Pipe \"a %TO.DOMAIN% %TO%\", Pipe \"b %ALLTO.USER%\", Pipe \"c %ALLTO%\";",
                 no_to_test(1, "%TO.DOMAIN%") + no_to_test(1, "%ALLTO.USER%")},
        // The group's "!" does not reach the test: it selects the
        // recipients that are b, and the rule holds only when none is.
        LintCase{"NegatedGroupSelectsNothing", "{ !(To is b@x) } Pipe \"deliver %ALLTO.USER%\";",
                 none_selected(1, "%ALLTO.USER%")},
        LintCase{"NegatedOperandSelectsTheOthers", "{ ! To is b@x } Pipe \"deliver %ALLTO.USER%\";", ""},
        LintCase{"NegatedTermSelectsTheOthers", "{ To !is b@x } Pipe \"deliver %ALLTO.USER%\";", ""},
        LintCase{"NegatedOperandInsideNegatedGroup", "{ !(! To is b@x) } Pipe \"deliver %ALLTO%\";", ""},
        LintCase{"ToTestNeverEvaluated", "{ Match all or To is b@x } Pipe \"deliver %TO%\";",
                 none_selected(1, "%TO%")},
        LintCase{"ToTestDecidesSometimes", "{ To is b@x or Match all } Pipe \"deliver %TO%\";", ""},
        LintCase{"ToTestAfterAnd", "{ Not matched and (From is a@x and To is b@x) } Pipe \"deliver %TO%\";", ""},
        LintCase{"RuleThatNeverHolds", "{ ! Match all } Pipe \"deliver %TO%\", Store In /x/;", ""}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    StoreInDirectories, Lint,
    ::testing::Values(
        LintCase{"ArchivePerDomainWithoutToTest", "{ Match all } Store In \"/srv/archive/%TO.DOMAIN%\";",
                 no_to_test(1, "%TO.DOMAIN%") + directory_when_empty(1, "%TO.DOMAIN%")},
        LintCase{"ArchivePerDomainWithToTest", "{ To ends \"@example.org\" } Store In \"/srv/archive/%TO.DOMAIN%\";",
                 ""},
        LintCase{"RecipientOnlyOnOneSide", "{ Sender is ann or To is b@x } Store In \"/y/%ALLTO%\";",
                 directory_when_empty(1, "%ALLTO%")},
        LintCase{"EndsInSlash", "{ Match all } Store In /var/lib/quorvane/;", ends_in_slash(1)},
        LintCase{"EndsInAFileName", "{ Match all } Store In /var/lib/quorvane/all;", ""},
        LintCase{"EscapedPercentInsertsNothing", "{ Match all } Store In \"/var/lib/%%\";", ends_in_slash(1)},
        LintCase{"NullSender", "{ Match all } Store In \"/srv/%FROM.USER%\";", directory_when_empty(1, "%FROM.USER%")},
        LintCase{"FromTestShowsTheSender", "{ From ends \"@example.org\" } Store In \"/srv/%FROM.USER%\";", ""},
        LintCase{"NegatedFromTestShowsNothing", "{ From !ends \"@example.org\" } Store In \"/srv/%FROM.USER%\";",
                 directory_when_empty(1, "%FROM.USER%")},
        LintCase{"EmptyPatternShowsNothing", "{ From contains \"\" } Store In \"/srv/%FROM%\";",
                 directory_when_empty(1, "%FROM%")},
        LintCase{"NoAuthentication", "{ Sender is ann or From is a@x } Store In \"/srv/%SENDER%\";",
                 directory_when_empty(1, "%SENDER%")},
        LintCase{"SenderTestShowsTheUser", "{ Sender contains ann } Store In \"/srv/%SENDER.USER%\";", ""},
        LintCase{"UserNamesOftenHaveNoDomain", "{ Sender contains ann } Store In \"/srv/%SENDER.DOMAIN%\";",
                 directory_when_empty(1, "%SENDER.DOMAIN%")},
        LintCase{"LastOfTheEmptyPlaceholdersNamed", "{ Match all } Store In \"/srv/%FROM.USER%%SENDER%\";",
                 directory_when_empty(1, "%SENDER%")},
        LintCase{"TextAfterThePlaceholder", "{ Match all } Store In \"/srv/%FROM%.mbox\", Store In \"/srv/%FROM%/all\";",
                 ""},
        LintCase{"NoSlashBeforeThePlaceholder", "{ Match all } Store In \"/srv/box-%FROM%\";", ""},
        LintCase{"OnlyStoreIn", "{ Match all } Pipe \"ls /tmp/\", Add Header \"X-Dir: /tmp/\";", ""}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    HaltAndHeaders, Lint,
    ::testing::Values(
        LintCase{"RulesAfterAnUnconditionalHalt",
                 "{ Match all } Halt;\n{ From is x } Store In /a;\n{ To is y } Halt;\n{ Match all } Halt;\n",
                 never_reached(2, 1) + never_reached(3, 1) + never_reached(4, 1)},
        LintCase{"AlwaysHoldsThroughOr", "{ From is x or Match all } Store In /all, Halt;\n{ From is x } Store In /a;",
                 never_reached(2, 1)},
        LintCase{"ConditionalHalt", "{ Match all and From is x } Halt;\n{ Not matched } Halt;\n{ To is y } Store In /a;",
                 ""},
        LintCase{"UnconditionalWithoutHalt", "{ Match all } Store In /all;\n{ From is x } Store In /a;", ""},
        LintCase{"UnconditionalHaltLast", "{ From is x } Store In /a;\n{ Match all } Halt;", ""},
        // Lines count from 1 at the rule's "{", through comments (a "{"
        // there included), blank lines and a newline inside an argument.
        LintCase{"LinesOfTheBraces",
                 "# a { in a comment\n\n  { Match all }\n  Store In \"/a\nb\",\n  Halt;\n{ From is x\n} Store In /a/;\n",
                 never_reached(7, 3) + ends_in_slash(7)},
        LintCase{"HeaderWithoutColon", "{ Match all } Add Header \"X-Flag yes\";", no_colon(1)},
        LintCase{"HeaderWithColon", "{ Match all } Add Header \"X-Flag: yes\", Add Header \"X-Empty:\";", ""},
        LintCase{"ColonOnlyFromAValue", "{ Match all } Add Header \"%FROM%\";", no_colon(1)}),
    case_name);

// Kinds that other parts may add later draw no warning: a test field that is
// not known here may come out either way and shows nothing, a placeholder
// that is not known inserts something, an action that is not known is left
// alone.
TEST(LintKinds, UnknownKindsDrawNoWarning) {
  RuleSet set;
  parse("{ To is b } Store In \"/srv/%TO%\", Store In \"/srv/\", Halt;\n{ Match all } Store In /a;", set);
  Rule &rule = *set.rules.head;
  rule.condition->left_term->field = 99;
  Action &first = *rule.actions.head;
  first.pieces.head->kind = 99;
  first.next->kind = static_cast<ActionType>(99);
  EXPECT_EQ(warnings_of(set.rules).text, "");
}

// The checks' judgement of a condition against what evaluation does, on
// every message of a small grid: a rule with %ALLTO% draws the "select no
// recipient" warning exactly when it matches some message and never with a
// recipient selected, and a rule with Halt makes the next one unreachable
// exactly when it matches every message.
std::unique_ptr<MessageContext> message(const char *sender, const char *from, std::vector<const char *> to,
                                        int earlier_match) {
  auto msg = std::make_unique<MessageContext>();
  if (sender != nullptr) msg->smtp_sender = copy_text(sender);
  msg->from = copy_text(from);
  for (const char *address : to) {
    auto recipient = std::make_unique<Recipient>();
    recipient->address = copy_text(address);
    msg->recipients.append(std::move(recipient));
  }
  msg->any_rule_matched = earlier_match;
  return msg;
}

TEST(LintKinds, JudgesConditionsAsEvaluationDoes) {
  const char *conditions[] = {
      "Match all",
      "To is b@x",
      "! To is b@x",
      "To !is b@x",
      "!(To is b@x)",
      "!(! To is b@x)",
      "Match all or To is b@x",
      "To is b@x or Match all",
      "From is a@x and To is b@x",
      "!(From is a@x and To is b@x)",
      "!(From is a@x or To is b@x)",
      "Not matched or To is b@x",
      "!(To is b@x) and To is c@y",
      "Sender is ann or ! Match all",
      "From is a@x or (Match all)",
      "!(! Match all and To is b@x)",
  };
  std::vector<std::unique_ptr<MessageContext>> grid;
  for (const char *sender : {static_cast<const char *>(nullptr), "ann"})
    for (const char *from : {"a@x", ""})
      for (const std::vector<const char *> &to :
           {std::vector<const char *>{"b@x"}, {"c@y"}, {"b@x", "c@y"}, {"c@y", "b@x"}})
        for (int earlier : {0, 1}) grid.push_back(message(sender, from, to, earlier));

  for (const char *condition : conditions) {
    SCOPED_TRACE(condition);
    RuleSet set;
    parse(std::string("{ ") + condition + " } Pipe \"%ALLTO%\", Halt;\n{ Match all } Halt;\n", set);
    const std::string warned = warnings_of(set.rules).text;
    bool matched_once = false, matched_always = true, selected_once = false;
    for (const auto &msg : grid) {
      for (Recipient *r = msg->recipients.head.get(); r; r = r->next.get()) r->matched = 0;
      const bool matched = evaluate_rule(*set.rules.head, *msg, Trace{}) != 0;
      bool selected = false;
      for (const Recipient *r = msg->recipients.head.get(); r; r = r->next.get()) selected = selected || r->matched;
      matched_once = matched_once || matched;
      matched_always = matched_always && matched;
      selected_once = selected_once || (matched && selected);
    }
    const bool warned_recipients = warned.find("%ALLTO% is always empty") != std::string::npos;
    EXPECT_EQ(warned_recipients, matched_once && !selected_once) << warned;
    EXPECT_EQ(warned.find("never reached") != std::string::npos, matched_always) << warned;
  }
}

}  // namespace
