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

// One warning line: its rule's line and its text.
std::string at(int line, const std::string &text) {
  return "Warning - line " + std::to_string(line) + ": " + text + "\n";
}
const std::string kNoToTest = " is always empty, the rule has no To test";
const std::string kNoneSelected = " is always empty, the rule's To tests select no recipient when it matches";
const std::string kWhenEmpty = "Store In path names a directory when ";
const std::string kSlash = "Store In path ends in \"/\" and names a directory";
const std::string kNoColon = "Add Header text has no \":\", the whole text is taken as the header name";
std::string never_reached(int line, int halting) {
  return at(line, "rule is never reached, the rule at line " + std::to_string(halting) + " always matches and halts");
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
        LintCase{"ToWithoutToTest", "{ Sender is ann } Pipe \"notify %TO.USER%\";", at(1, "%TO.USER%" + kNoToTest)},
        LintCase{"ToWithToTest", "{ To ends \"@example.org\" } Pipe \"notify %TO.USER%\";", ""},
        LintCase{"AllToWithoutToTest", "{ From is a@b } Add Header \"X-To: %ALLTO%\";", at(1, "%ALLTO%" + kNoToTest)},
        LintCase{"EachFamilyOnceFirstNamed",
                 "{ Match all } Pipe \"a %TO.DOMAIN% %TO%\", Pipe \"b %ALLTO.USER%\", Pipe \"c %ALLTO%\";",
                 at(1, "%TO.DOMAIN%" + kNoToTest) + at(1, "%ALLTO.USER%" + kNoToTest)},
        // The group's "!" does not reach the test: it selects the
        // recipients that are b, and the rule holds only when none is.
        LintCase{"NegatedGroupSelectsNothing", "{ !(To is b@x) } Pipe \"deliver %ALLTO.USER%\";",
                 at(1, "%ALLTO.USER%" + kNoneSelected)},
        LintCase{"NegatedOperandSelectsTheOthers", "{ ! To is b@x } Pipe \"deliver %ALLTO.USER%\";", ""},
        LintCase{"NegatedTermSelectsTheOthers", "{ To !is b@x } Pipe \"deliver %ALLTO.USER%\";", ""},
        LintCase{"ToTestNeverEvaluated", "{ Match all or To is b@x } Pipe \"deliver %TO%\";",
                 at(1, "%TO%" + kNoneSelected)},
        LintCase{"ToTestDecidesSometimes", "{ To is b@x or Match all } Pipe \"deliver %TO%\";", ""},
        LintCase{"RuleThatNeverHolds", "{ ! Match all } Pipe \"deliver %TO%\", Store In /x/;", ""}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    StoreInDirectories, Lint,
    ::testing::Values(
        LintCase{"ArchivePerDomainWithoutToTest", "{ Match all } Store In \"/srv/archive/%TO.DOMAIN%\";",
                 at(1, "%TO.DOMAIN%" + kNoToTest) + at(1, kWhenEmpty + "%TO.DOMAIN% is empty")},
        LintCase{"ArchivePerDomainWithToTest", "{ To ends \"@example.org\" } Store In \"/srv/archive/%TO.DOMAIN%\";",
                 ""},
        LintCase{"RecipientOnlyOnOneSide", "{ Sender is ann or To is b@x } Store In \"/y/%ALLTO%\";",
                 at(1, kWhenEmpty + "%ALLTO% is empty")},
        LintCase{"EndsInSlash", "{ Match all } Store In /var/lib/quorvane/;", at(1, kSlash)},
        LintCase{"EndsInAFileName", "{ Match all } Store In /var/lib/quorvane/all;", ""},
        LintCase{"EscapedPercentInsertsNothing", "{ Match all } Store In \"/var/lib/%%\";", at(1, kSlash)},
        LintCase{"NullSender", "{ Match all } Store In \"/srv/%FROM.USER%\";",
                 at(1, kWhenEmpty + "%FROM.USER% is empty")},
        LintCase{"FromTestShowsTheSender", "{ From ends \"@example.org\" } Store In \"/srv/%FROM.USER%\";", ""},
        LintCase{"NegatedFromTestShowsNothing", "{ From !ends \"@example.org\" } Store In \"/srv/%FROM.USER%\";",
                 at(1, kWhenEmpty + "%FROM.USER% is empty")},
        LintCase{"EmptyPatternShowsNothing", "{ From contains \"\" } Store In \"/srv/%FROM%\";",
                 at(1, kWhenEmpty + "%FROM% is empty")},
        LintCase{"NoAuthentication", "{ Sender is ann or From is a@x } Store In \"/srv/%SENDER%\";",
                 at(1, kWhenEmpty + "%SENDER% is empty")},
        LintCase{"SenderTestShowsTheUser", "{ Sender contains ann } Store In \"/srv/%SENDER.USER%\";", ""},
        // Matches and Regex show a value when they cannot match an empty one.
        LintCase{"SenderExpressionShowsTheUser", "{ Sender regex ^sales- } Store In \"/srv/%SENDER%\";", ""},
        LintCase{"ExpressionMatchingNothing", "{ Sender regex \"^x?\" } Store In \"/srv/%SENDER%\";",
                 at(1, kWhenEmpty + "%SENDER% is empty")},
        LintCase{"WildcardShowsTheSender", "{ From matches \"?*@example.org\" } Store In \"/srv/%FROM%\";", ""},
        LintCase{"WildcardMatchingNothing", "{ From matches \"*\" } Store In \"/srv/%FROM%\";",
                 at(1, kWhenEmpty + "%FROM% is empty")},
        LintCase{"HeaderAndSizeShowNothing",
                 "{ Header X-Sender is ann and Size over 1 } Store In \"/srv/%SENDER%\";",
                 at(1, kWhenEmpty + "%SENDER% is empty")},
        LintCase{"UserNamesOftenHaveNoDomain", "{ Sender contains ann } Store In \"/srv/%SENDER.DOMAIN%\";",
                 at(1, kWhenEmpty + "%SENDER.DOMAIN% is empty")},
        LintCase{"LastOfTheEmptyPlaceholdersNamed", "{ Match all } Store In \"/srv/%FROM.USER%%SENDER%\";",
                 at(1, kWhenEmpty + "%SENDER% is empty")},
        // A name that a placeholder starts is another name, or none, without it.
        LintCase{"TextAfterThePlaceholder",
                 "{ Match all } Store In \"/srv/%FROM%.mbox\", Maildir \"/srv/%FROM.DOMAIN%/%FROM.USER%/x\";",
                 at(1, "Store In path has a name that starts with %FROM%, the action fails when it is empty") +
                     at(1, "Maildir path has a name that starts with %FROM.DOMAIN%, the action fails when it is empty")},
        LintCase{"NamesStartedByAPlaceholderThatIsThere",
                 "{ From is ann@x } Store In \"/srv/%FROM.DOMAIN%/%FROM.USER%.mbox\";", ""},
        LintCase{"PlaceholderBeforeTheEndOfTheName", "{ Match all } Store In \"/srv/%FROM.USER%%YEAR%\";",
                 at(1, "Store In path has a name that starts with %FROM.USER%, the action fails when it is empty")},
        LintCase{"NoSlashBeforeThePlaceholder", "{ Match all } Store In \"/srv/box-%FROM%\";", ""},
        LintCase{"OnlyStoreInAndMaildir", "{ Match all } Pipe \"ls /tmp/\", Add Header \"X-Dir: /tmp/\";", ""},
        LintCase{"MaildirEndsInSlash", "{ Match all } Maildir /var/mail/;",
                 at(1, "Maildir path ends in \"/\", the action always fails")},
        LintCase{"MaildirPerRecipient", "{ Match all } Maildir \"/var/mail/%ALLTO.USER%\";",
                 at(1, "%ALLTO.USER%" + kNoToTest) +
                     at(1, "Maildir path ends in \"/\" when %ALLTO.USER% is empty, the action then fails")},
        LintCase{"MaildirPerSelectedRecipient", "{ To ends \"@example.org\" } Maildir \"/var/mail/%ALLTO.USER%\";",
                 ""}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    HaltAndHeaders, Lint,
    ::testing::Values(
        LintCase{"RulesAfterAnUnconditionalHalt",
                 "{ Match all } Halt;\n{ From is x } Store In /a;\n{ To is y } Halt;\n{ Match all } Halt;\n",
                 never_reached(2, 1) + never_reached(3, 1) + never_reached(4, 1)},
        LintCase{"AlwaysHoldsThroughOr", "{ From is x or Match all } Store In /all, Halt;\n{ From is x } Store In /a;",
                 never_reached(2, 1)},
        LintCase{"ConditionalHalt",
                 "{ Match all and From is x } Halt;\n{ Not matched } Halt;\n{ To is y } Store In /a;", ""},
        LintCase{"UnconditionalWithoutHalt", "{ Match all } Store In /all;\n{ From is x } Store In /a;", ""},
        LintCase{"UnconditionalHaltLast", "{ From is x } Store In /a;\n{ Match all } Halt;", ""},
        // Lines count from 1 at the rule's "{", through comments (a "{"
        // there included), blank lines and a newline inside an argument.
        LintCase{
            "LinesOfTheBraces",
            "# a { in a comment\n\n  { Match all }\n  Store In \"/a\nb\",\n  Halt;\n{ From is x\n} Store In /a/;\n",
            never_reached(7, 3) + at(7, kSlash)},
        LintCase{"HeaderWithoutColon", "{ Match all } Add Header \"X-Flag yes\";", at(1, kNoColon)},
        LintCase{"HeaderWithColon", "{ Match all } Add Header \"X-Flag: yes\", Add Header \"X-Empty:\";", ""},
        LintCase{"ColonOnlyFromAValue", "{ Match all } Add Header \"%FROM%\";", at(1, kNoColon)},
        // %1% to %9% beyond what the condition's tests can capture; a test
        // under "!" captures nothing.
        LintCase{"CaptureWithoutACapturingTest", "{ Match all or From !regex \"(a)\" } Pipe \"x %1%\";",
                 at(1, "%1% is always empty, the rule has no Regex or Matches test that captures")},
        LintCase{"CaptureBeyondTheGroups", "{ From regex \"(a)(b)?\" or Header S matches \"*\" } Pipe \"%2% %3.USER%\";",
                 at(1, "%3.USER% is always empty, the rule's Regex and Matches tests capture at most 2")},
        LintCase{"CapturesThatAreThere", "{ ! From is x and Header List-Id matches \"*<*.*>\" } Pipe \"%3%\";", ""}),
    case_name);

// Kinds that other parts may add later draw no warning: a test field that is
// not known here may come out either way and shows nothing, a placeholder
// that is not known inserts something, an action that is not known is left
// alone.
TEST(LintKinds, UnknownKindsDrawNoWarning) {
  RuleSet set;
  parse("{ To is b } Store In \"/srv/%TO%\", Store In \"/srv/\", Halt;\n{ Match all } Store In /a;", set);
  Rule &rule = *set.rules.head;
  rule.condition->left_term->field = static_cast<TestField>(99);
  Action &first = *rule.actions.head;
  first.pieces.head->kind = static_cast<PieceKind>(99);
  first.next->kind = static_cast<ActionType>(99);
  EXPECT_EQ(warnings_of(set.rules).text, "");
}

// The checks' judgement of a condition against what evaluation does, on
// every message of a small grid: a rule with %ALLTO% draws the "select no
// recipient" warning exactly when it matches some message and never with a
// recipient selected, and a rule with Halt makes the next one unreachable
// exactly when it matches every message.
std::unique_ptr<MessageContext> message(const char *sender, const char *from, std::vector<const char *> to) {
  auto msg = std::make_unique<MessageContext>();
  if (sender != nullptr) msg->smtp_sender = copy_text(sender);
  msg->from = copy_text(from);
  for (const char *address : to) {
    auto recipient = std::make_unique<Recipient>();
    recipient->address = copy_text(address);
    msg->recipients.append(std::move(recipient));
  }
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
  struct Sample {
    std::unique_ptr<MessageContext> msg;
    bool earlier_match;  // some earlier rule matched
  };
  std::vector<Sample> grid;
  for (const char *sender : {static_cast<const char *>(nullptr), "ann"})
    for (const char *from : {"a@x", ""})
      for (const std::vector<const char *> &to :
           {std::vector<const char *>{"b@x"}, {"c@y"}, {"b@x", "c@y"}, {"c@y", "b@x"}})
        for (int earlier : {0, 1}) grid.push_back({message(sender, from, to), earlier != 0});

  for (const char *condition : conditions) {
    SCOPED_TRACE(condition);
    RuleSet set;
    parse(std::string("{ ") + condition + " } Pipe \"%ALLTO%\", Halt;\n{ Match all } Halt;\n", set);
    const std::string warned = warnings_of(set.rules).text;
    bool matched_once = false, matched_always = true, selected_once = false;
    for (const Sample &sample : grid) {
      const MessageContext &msg = *sample.msg;
      std::size_t count = 0;
      for (const Recipient *r = msg.recipients.head.get(); r; r = r->next.get()) ++count;
      RuleMatch match;
      ASSERT_TRUE(match.prepare(count));
      match.earlier_rule_matched = sample.earlier_match;
      const bool matched = evaluate_rule(*set.rules.head, msg, match, Trace{}) != 0;
      bool selected = false;
      for (std::size_t i = 0; i < count; ++i) selected = selected || match.selected(i);
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
