// Rule file parser: the model built from accepted files, the exact message of
// every syntax error, the connector warning, token limits and deep nesting.
#include "rules/parser.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "base/trace.h"
#include "message/message_context.h"
#include "rules/evaluate.h"
#include "rules/listing.h"
#include "rules/template.h"

using namespace std::literals;

namespace {

// Collects what a function writes to a FILE*.
class Capture {
 public:
  Capture() : stream_(open_memstream(&buffer_, &length_)) {}
  ~Capture() {
    if (stream_) std::fclose(stream_);
    std::free(buffer_);
  }
  std::FILE *stream() { return stream_; }
  std::string text() {
    std::fflush(stream_);
    return std::string(buffer_, length_);
  }

 private:
  char *buffer_ = nullptr;
  std::size_t length_ = 0;
  std::FILE *stream_;
};

struct Parsed {
  RuleSet set;
  RuleList &rules = set.rules;
  int ok = 0;
  std::string error;
  std::string diagnostics;
};

std::unique_ptr<Parsed> parse(std::string_view text) {
  auto p = std::make_unique<Parsed>();
  Capture diagnostics;
  p->ok = parse_rule_text(text.data(), text.size(), p->set, diagnostics.stream(), p->error) ? 1 : 0;
  p->diagnostics = diagnostics.text();
  return p;
}

constexpr const char *kPlaceholderNames[] = {
    "",       "%SENDER%", "%SENDER.USER%", "%SENDER.DOMAIN%", "%FROM%",       "%FROM.USER%",        "%FROM.DOMAIN%",
    "%TO%",   "%TO.USER%", "%TO.DOMAIN%",  "%ALLTO%",         "%ALLTO.USER%", "%ALLTO.DOMAIN%",
    "%YEAR%", "%MONTH%",   "%DAY%",
};

// The template written back from its pieces.
std::string unparse(const Action &action) {
  std::string text;
  for (const TemplatePiece *piece = action.pieces.head.get(); piece; piece = piece->next.get()) {
    if (piece->literal) text += piece->literal.get();
    text += kPlaceholderNames[piece->kind];
  }
  return text;
}

// The letter an action kind shows as in describe().
const char *kind_letter(ActionType kind) {
  switch (kind) {
  case ACTION_STORE_IN: return " S";
  case ACTION_PIPE: return " P";
  case ACTION_ADD_HEADER: return " A";
  case ACTION_MAILDIR: return " M";
  case ACTION_ADD_RECIPIENT: return " R";
  }
  return " ?";
}

// One line per rule: its listing, its actions (S, P, A or M; "*" when the
// action runs per recipient), "halt" and the template_uses bits.
std::string describe(const RuleList &rules) {
  std::string text;
  for (const Rule *rule = rules.head.get(); rule; rule = rule->next.get()) {
    Capture listing;
    if (rule->condition) print_condition(listing.stream(), *rule->condition);
    text += listing.text();
    for (const Action *action = rule->actions.head.get(); action; action = action->next.get()) {
      text += kind_letter(action->kind);
      if (action->each_recipient) text += "*";
      if (action->with & WITH_ENVELOPE) text += "+envelope";
      if (action->with & WITH_CREATE) text += "+create";
      text += "[" + unparse(*action) + "]";
      EXPECT_EQ(action->literal_length, template_literal_length(action->pieces.head.get()));
    }
    if (rule->halt) text += " halt";
    if (rule->template_uses) text += " uses=" + std::to_string(rule->template_uses);
    text += ";";
  }
  return text;
}

constexpr const char kCommaOrSemicolon[] =
    "Parsing error - expected , or ;\nBe aware that the config file format now requires rules to end in \";\", "
    "so your config file may be out of date\n";

TEST(RuleParser, AcceptedFilesBuildTheModel) {
  struct Case {
    std::string_view text;
    const char *want_model;
    const char *want_diagnostics;
  } cases[] = {
      // Files without rules.
      {""sv, "", ""},
      {" \t\r\n\v# only a comment { From is x } Halt;\n"sv, "", ""},
      {"# a comment that ends the file"sv, "", ""},
      // A NUL ends the file, inside a comment too.
      {"{ Match all } Halt;\0{ garbage"sv, "([Always True] ) halt;", ""},
      {"# note \0\n{ Match all } Halt;"sv, "", ""},
      // Keywords: any case, no separating blanks needed, ")" and "}" alike.
      {"{ MATCH ALL } STORE IN x;"sv, "([Always True] ) S[x];", ""},
      {"{match all}store in x;"sv, "([Always True] ) S[x];", ""},
      {"{Fromis\"x\"}Halt;"sv, "(From Address is \"x\") halt;", ""},
      {"{ From is x ) Halt;"sv, "(From Address is \"x\") halt;", ""},
      {"{ nOT MATCHED } hALT;"sv, "(No Rule has been matched yet ) halt;", ""},
      // CR LF line ends, comments wherever a blank may stand.
      {"{ From is X\r\n}\r\nStore In /a/b\r\n;\r\n"sv, "(From Address is \"x\") S[/a/b];", ""},
      {"{ # c {\n From # c\n is # c\n x # c\n } # c\n Halt # c\n , # c\n Halt # c\n ; # c"sv,
       "(From Address is \"x\") halt;", ""},
      // Patterns: From and To lower-cased, Sender kept.
      {"{ From is MiXeD and To is UP or Sender is KeepMe } Halt;"sv,
       "(From Address is \"mixed\" and (To Address is \"up\" or (SMTP Sender is \"KeepMe\"))) halt;", ""},
      // Negations and grouping.
      {"{ ! From is a and To !contains B } Halt;"sv, "(!From Address is \"a\" and (To Address !contains \"b\")) halt;",
       ""},
      {"{ (From is a or From is b) and To is c } Halt;"sv,
       "((From Address is \"a\" or (From Address is \"b\")) and (To Address is \"c\")) halt;", ""},
      {"{ !(Sender starts x} } Halt;"sv, "(!(SMTP Sender starts with \"x\")) halt;", ""},
      {"{ From ends a or From contains b } Halt;"sv,
       "(From Address ends with \"a\" or (From Address contains \"b\")) halt;", ""},
      // Tokens: quoting anywhere, escapes, terminators, empty arguments.
      {R"({ Match all } Store In "a;b", Store In a\;b, Store In a";"b;)"sv, "([Always True] ) S[a;b] S[a;b] S[a;b];",
       ""},
      {R"({ Match all } Store In ab" c"d;)"sv, "([Always True] ) S[ab cd];", ""},
      {R"({ Match all } Store In "", Store In ;)"sv, "([Always True] ) S[] S[];", ""},
      {R"({ Match all } Pipe \"\\\ x;)"sv, "([Always True] ) P[\"\\ x];", ""},
      {"{ Match all } Store In a\\\nb;"sv, "([Always True] ) S[a\nb];", ""},
      {"{ Match all } Store In a#b(c\"}\";"sv, "([Always True] ) S[a#b(c}];", ""},
      {"{ From is \"\" } Halt;"sv, "(From Address is \"\") halt;", ""},
      // Actions, Halt twice, template bits.
      {R"({ Match all } Add Header "X-A: %FROM%", Pipe "/bin/x %TO%", Store In /m/%ALLTO.USER%, Halt, Halt;)"sv,
       "([Always True] ) A[X-A: %FROM%] P[/bin/x %TO%] S*[/m/%ALLTO.USER%] halt uses=3;", ""},
      {"{ Match all } Maildir /m/%ALLTO.USER%, MAILDIR x, maildir\"y z\", Halt;"sv,
       "([Always True] ) M*[/m/%ALLTO.USER%] M[x] M[y z] halt uses=2;", ""},
      {"{Match all}Maildir;"sv, "([Always True] ) M[];", ""},
      // Two rules in file order.
      {"{ Match all } Halt;\n{ Not matched } Store In x;\n"sv,
       "([Always True] ) halt;(No Rule has been matched yet ) S[x];", ""},
      // A missing connector is reported and taken as the close.
      {"{ From is x ] Halt;"sv, "(From Address is \"x\") halt;", "Parsing error - expected o, a or ), found \"]\"\n"},
  };
  for (const Case &c : cases) {
    auto p = parse(c.text);
    EXPECT_EQ(p->ok, 1) << c.text << ": " << p->error;
    EXPECT_EQ(p->error, "") << c.text;
    EXPECT_EQ(describe(p->rules), c.want_model) << c.text;
    EXPECT_EQ(p->diagnostics, c.want_diagnostics) << c.text;
  }
}

// Each rule keeps the line of its "{" (the metrics label rules with it):
// every newline counts, inside comments and tokens too.
TEST(RuleParser, RulesKeepTheLineOfTheirBrace) {
  struct Case {
    std::string_view text;
    std::vector<std::uint32_t> want_lines;
  } cases[] = {
      {"{ Match all } Halt;"sv, {1}},
      {"# comment\n\n  { Match all } Halt;\n{ Not matched } Halt;\n"sv, {3, 4}},
      {"{ Match all } Halt; { Not matched } Halt;"sv, {1, 1}},
      {"{\n From is x\n }\n Halt;\n{ Match all } Halt;"sv, {1, 5}},
      {"\r\n\r\n{ Match all } Halt;"sv, {3}},
      {"{ Match all } Store In \"a\nb\", Store In c\\\nd;\n{ Match all } Halt;"sv, {1, 4}},
      {"# { not a rule\n{ Match all } Halt;"sv, {2}},
  };
  for (const Case &c : cases) {
    auto p = parse(c.text);
    ASSERT_EQ(p->ok, 1) << c.text << ": " << p->error;
    std::vector<std::uint32_t> lines;
    for (const Rule *rule = p->rules.head.get(); rule != nullptr; rule = rule->next.get()) lines.push_back(rule->line);
    EXPECT_EQ(lines, c.want_lines) << c.text;
  }
}

TEST(RuleParser, FailuresStopWithTheirMessage) {
  struct Case {
    std::string_view text;
    const char *want_error;
    const char *want_diagnostics;
  } cases[] = {
      // Top level.
      {"x"sv, "Parsing error - unexpected character: 'x'\n", ""},
      {"\f"sv, "Parsing error - unexpected character: '\f'\n", ""},
      {"{ Match all } Store In a;b"sv, "Parsing error - unexpected character: 'b'\n", ""},
      // Operands.
      {"{"sv, "Parsing error - unexpected End of File\n", ""},
      {"{ # a comment up to the end"sv, "Parsing error - unexpected End of File\n", ""},
      {"{ From is a and \0 } Halt;"sv, "Parsing error - unexpected End of File\n", ""},
      {"{ ? }"sv, "Parsing error - unexpected character ?\n", ""},
      {"{ Frm is x } Halt;"sv, "Parsing error - expected From\n", ""},
      {"{ Match  all } Halt;"sv, "Parsing error - expected Match All\n", ""},
      {"{ Not matchd } Halt;"sv, "Parsing error - expected Not Matched\n", ""},
      {"{ Sendr is x } Halt;"sv, "Parsing error - expected Sender\n", ""},
      {"{ Tx is x } Halt;"sv, "Parsing error - expected To\n", ""},
      // Connectors.
      {"{ From is a an"sv, "Parsing error - expected AND\n", ""},
      {"{ From is a ox"sv, "Parsing error - expected OR\n", ""},
      // Operators.
      {"{ From contain x } Halt;"sv, "Parsing error; expected \"Contains\"\n", ""},
      {"{ From end x } Halt;"sv, "Parsing error; expected \"Ends\"\n", ""},
      {"{ From iz x } Halt;"sv, "Parsing error; expected \"Is\"\n", ""},
      {"{ From start x } Halt;"sv, "Parsing error; expected \"Starts\"\n", ""},
      {"{ From x } Halt;"sv, "Parsing error; expected a field location\n", ""},
      {"{ From ! ! is x } Halt;"sv, "Parsing error; expected a field location\n", ""},
      {"{ From"sv, "Parsing error; expected a field location\n", ""},
      // Tokens cut short.
      {"{ From is"sv, "Unexpected end-of-file while trying to parse string.\n", ""},
      {"{ From is \"abc } Halt;"sv, "Unexpected end-of-file while trying to parse string.\n", ""},
      {"{ From is a\\"sv, "Unexpected end-of-file while trying to parse string.\n", ""},
      {"{ From is a\\\0b } Halt;"sv, "Unexpected end-of-file while trying to parse string.\n", ""},
      {"{ From is ab\0c } Halt;"sv, "Unexpected end-of-file while trying to parse string.\n", ""},
      // Action keywords.
      {"{ Match all } Add Headr x;"sv, "Parsing error - expected Add Header\n", ""},
      {"{ Match all } Add  Header x;"sv, "Parsing error - expected Add Header\n", ""},
      {"{ Match all } Hlt;"sv, "Parsing error - expected Halt\n", ""},
      {"{ Match all } Pip x;"sv, "Parsing error - expected Pipe\n", ""},
      {"{ Match all } Store  In x;"sv, "Parsing error - expected Store In\n", ""},
      {"{ Match all } Store\tIn x;"sv, "Parsing error - expected Store In\n", ""},
      // Before Maildir an "M" started no action: whatever is not the whole
      // keyword still fails as it did.
      {"{ Match all } M;"sv, "Parsing error - expected at least one action\n", ""},
      {"{ Match all } Mailbox x;"sv, "Parsing error - expected at least one action\n", ""},
      {"{ Match all } Mail dir x;"sv, "Parsing error - expected at least one action\n", ""},
      {"{ Match all } Maildi"sv, "Parsing error - expected at least one action\n", ""},
      {"{ Match all } Halt, Move x;"sv, "Parsing error - expected at least one action\n", ""},
      // The whole keyword reads its argument like any other action.
      {"{ Match all } Maildir"sv, "Unexpected end-of-file while trying to parse string.\n", ""},
      {"{ Match all } Maildir x y;"sv, kCommaOrSemicolon, ""},
      // No action.
      {"{ Match all } ;"sv, "Parsing error - expected at least one action\n", ""},
      {"{ Match all }"sv, "Parsing error - expected at least one action\n", ""},
      {"{ Match all } # c"sv, "Parsing error - expected at least one action\n", ""},
      {"{ Sender is x };"sv, "Parsing error - expected at least one action\n", ""},
      {"{ Match all } Halt, ;"sv, "Parsing error - expected at least one action\n", ""},
      // The warning consumes the character it reports.
      {"{ From is x Store In y;"sv, "Parsing error - expected at least one action\n",
       "Parsing error - expected o, a or ), found \"S\"\n"},
      {"{ From is x "sv, "Parsing error - expected at least one action\n",
       "Parsing error - expected o, a or ), found \"EOF\"\n"},
      // Neither "," nor ";".
      {"{ Match all } Halt"sv, kCommaOrSemicolon, ""},
      {"{ Match all } Halt # c"sv, kCommaOrSemicolon, ""},
      {"{ Match all } Halt\n{ Match all } Halt;"sv, kCommaOrSemicolon, ""},
      {"{ Match all } Store In x y;"sv, kCommaOrSemicolon, ""},
  };
  for (const Case &c : cases) {
    auto p = parse(c.text);
    EXPECT_EQ(p->ok, 0) << c.text;
    EXPECT_EQ(p->error, c.want_error) << c.text;
    EXPECT_EQ(p->diagnostics, c.want_diagnostics) << c.text;
  }
}

TEST(RuleParser, HeaderSizeMatchesAndRegexBuildTheModel) {
  struct Case {
    std::string_view text;
    const char *want_model;
  } cases[] = {
      // Header: the name is a string token kept as written; the pattern is
      // lower-cased as for From and To.
      {"{ Header \"List-Id\" contains \"<DEV.example.org>\" } Store In \"/srv/lists/dev\";",
       "(Header \"List-Id\" contains \"<dev.example.org>\") S[/srv/lists/dev];"},
      {"{ HEADER x-Spam !is YES } Halt;", "(Header \"x-Spam\" !is \"yes\") halt;"},
      // Address: a field name as Header has it.
      {"{ Address From is \"Ann@Example.org\" or address \"Resent-To\" regex ^A } Halt;",
       "(Address \"From\" is \"ann@example.org\" or (Address \"Resent-To\" matches regex \"^A\")) halt;"},
      // Size: bytes, K, M and G in either case, up to 2^64 - 1.
      {"{ Size over 20M } Halt;", "(Message Size is over 20971520 bytes) halt;"},
      {"{ size UNDER 0 } Halt;", "(Message Size is under 0 bytes) halt;"},
      {"{ Size !over 1k or ! Size under \"2G\" } Halt;",
       "(Message Size !is over 1024 bytes or (!Message Size is under 2147483648 bytes)) halt;"},
      {"{ Size over 18446744073709551615 } Halt;", "(Message Size is over 18446744073709551615 bytes) halt;"},
      {"{ Size over 17179869183G} Halt;", "(Message Size is over 18446744072635809792 bytes) halt;"},
      {"{ Size over 007} Halt;", "(Message Size is over 7 bytes) halt;"},
      // "S" then "i" is Size, anything else Sender.
      {"{ SIZE over 1 and SENDER is X } Halt;", "(Message Size is over 1 bytes and (SMTP Sender is \"X\")) halt;"},
      // Matches: lower-cased but for Sender; Regex: kept as written for all.
      {"{ From MATCHES \"*@[A-F]x.ORG\" or Sender matches \"A?\" } Halt;",
       "(From Address matches wildcard \"*@[a-f]x.org\" or (SMTP Sender matches wildcard \"A?\")) halt;"},
      {"{ To Regex \"\\\\S+@Example\" and Sender !regex ^A } Halt;",
       "(To Address matches regex \"\\S+@Example\" and (SMTP Sender !matches regex \"^A\")) halt;"},
      // The date placeholders in any template.
      {"{ Match all } Store In \"/srv/archive/%YEAR%-%MONTH%/%ALLTO%\", Pipe \"x %DAY%\";",
       "([Always True] ) S*[/srv/archive/%YEAR%-%MONTH%/%ALLTO%] P[x %DAY%] uses=2;"},
  };
  for (const Case &c : cases) {
    auto p = parse(c.text);
    EXPECT_EQ(p->ok, 1) << c.text << ": " << p->error;
    EXPECT_EQ(describe(p->rules), c.want_model) << c.text;
    EXPECT_EQ(p->diagnostics, "") << c.text;
  }

  // Each expression is compiled once, at load, into its term.
  auto p = parse("{ From regex a and From is a } Halt;");
  ASSERT_EQ(p->ok, 1);
  const ConditionNode *root = p->rules.head->condition.get();
  EXPECT_NE(root->left_term->regex, nullptr);
  EXPECT_EQ(root->right->left_term->regex, nullptr);
}

TEST(RuleParser, NewFormFailuresStopWithTheirMessage) {
  struct Case {
    std::string_view text;
    const char *want_error;
  } cases[] = {
      // Misspelt keywords; "S" followed by anything but "i" is still Sender.
      {"{ Hedaer x is y } Halt;"sv, "Parsing error - expected Header\n"},
      // Before Address an "A" started no test, and a misspelt one still fails so.
      {"{ Adress From is x } Halt;"sv, "Parsing error - unexpected character A\n"},
      {"{ a } Halt;"sv, "Parsing error - unexpected character a\n"},
      {"{ Address \"Fr:om\" is x } Halt;"sv, "Parsing error - invalid header name \"Fr:om\"\n"},
      {"{ H"sv, "Parsing error - expected Header\n"},
      {"{ Siz over 1 } Halt;"sv, "Parsing error - expected Size\n"},
      {"{ Si"sv, "Parsing error - expected Size\n"},
      {"{ Sze over 1 } Halt;"sv, "Parsing error - expected Sender\n"},
      {"{ S"sv, "Parsing error - expected Sender\n"},
      {"{ S\0ize over 1 } Halt;"sv, "Parsing error - expected Sender\n"},
      {"{ From matchs x } Halt;"sv, "Parsing error; expected \"Matches\"\n"},
      {"{ From regx x } Halt;"sv, "Parsing error; expected \"Regex\"\n"},
      {"{ Size ovr 1 } Halt;"sv, "Parsing error; expected \"Over\"\n"},
      {"{ Size undr 1 } Halt;"sv, "Parsing error; expected \"Under\"\n"},
      {"{ Size is 1 } Halt;"sv, "Parsing error; expected \"Over\" or \"Under\"\n"},
      {"{ Size"sv, "Parsing error; expected \"Over\" or \"Under\"\n"},
      {"{ Size ! ! over 1 } Halt;"sv, "Parsing error; expected \"Over\" or \"Under\"\n"},
      {"{ Header X } Halt;"sv, "Parsing error; expected a field location\n"},
      {"{ Header X Over 1 } Halt;"sv, "Parsing error; expected a field location\n"},
      // Header names: printable ASCII without ":", at least one byte.
      {"{ Header \"List-Id:\" is y } Halt;"sv, "Parsing error - invalid header name \"List-Id:\"\n"},
      {"{ Header \"\" is y } Halt;"sv, "Parsing error - invalid header name \"\"\n"},
      {"{ Header \"a b\" is y } Halt;"sv, "Parsing error - invalid header name \"a b\"\n"},
      {"{ Header \"caf\xc3\xa9\" is y } Halt;"sv, "Parsing error - invalid header name \"caf\xc3\xa9\"\n"},
      {"{ Header"sv, "Unexpected end-of-file while trying to parse string.\n"},
      // Sizes: digits and one suffix, within 64 bits.
      {"{ Size over -1 } Halt;"sv, "Parsing error - expected a size, found \"-1\"\n"},
      {"{ Size over +1 } Halt;"sv, "Parsing error - expected a size, found \"+1\"\n"},
      {"{ Size over 1T } Halt;"sv, "Parsing error - expected a size, found \"1T\"\n"},
      {"{ Size over 1KB } Halt;"sv, "Parsing error - expected a size, found \"1KB\"\n"},
      {"{ Size over 0x10 } Halt;"sv, "Parsing error - expected a size, found \"0x10\"\n"},
      {"{ Size over M } Halt;"sv, "Parsing error - expected a size, found \"M\"\n"},
      {"{ Size over \"1 M\" } Halt;"sv, "Parsing error - expected a size, found \"1 M\"\n"},
      {"{ Size over } Halt;"sv, "Parsing error - expected a size, found \"\"\n"},
      {"{ Size over 18446744073709551616 } Halt;"sv,
       "Parsing error - expected a size, found \"18446744073709551616\"\n"},
      {"{ Size over 99999999999999999999999 } Halt;"sv,
       "Parsing error - expected a size, found \"99999999999999999999999\"\n"},
      {"{ Size over 17179869184G } Halt;"sv, "Parsing error - expected a size, found \"17179869184G\"\n"},
      {"{ Size over 16777216T } Halt;"sv, "Parsing error - expected a size, found \"16777216T\"\n"},
      // An unclosed "[" and an expression RE2 refuses, shown as written.
      {"{ From matches \"*[A-Z\" } Halt;"sv, "Parsing error - unclosed [ in wildcard pattern \"*[A-Z\"\n"},
      {"{ From matches \"[]\" } Halt;"sv, "Parsing error - unclosed [ in wildcard pattern \"[]\"\n"},
      {"{ Sender matches \"[a\\\\]\" } Halt;"sv, "Parsing error - unclosed [ in wildcard pattern \"[a\\]\"\n"},
      {"{ To regex \"(A\" } Halt;"sv, "Parsing error - invalid regular expression \"(A\": missing ): (A\n"},
      {"{ To regex \"a{2,1}\" } Halt;"sv,
       "Parsing error - invalid regular expression \"a{2,1}\": invalid repetition size: {2,1}\n"},
      {"{ Header X regex \"\\\\8\" } Halt;"sv,
       "Parsing error - invalid regular expression \"\\8\": invalid escape sequence: \\8\n"},
      {"{ Sender regex \"caf\xe9\" } Halt;"sv,
       "Parsing error - invalid regular expression \"caf\xe9\": invalid UTF-8\n"},
  };
  for (const Case &c : cases) {
    auto p = parse(c.text);
    EXPECT_EQ(p->ok, 0) << c.text;
    EXPECT_EQ(p->error, c.want_error) << c.text;
    EXPECT_EQ(p->diagnostics, "") << c.text;
  }
}

TEST(RuleParser, TokensHoldAtMost255Bytes) {
  const std::string overflow = "Buffer overflow! Perhaps the configuration file is missing a closing quote?\n";
  const std::string eof = "Unexpected end-of-file while trying to parse string.\n";
  std::string escaped;  // 255 stored bytes: the backslashes are not stored
  for (int i = 0; i < 255; ++i) escaped += "\\;";
  struct Case {
    std::string text;
    std::string want_error;
    std::string want_pattern;  // when accepted
  } cases[] = {
      {"{ From is " + std::string(255, 'a') + " } Halt;", "", std::string(255, 'a')},
      {"{ From is \"" + std::string(255, 'a') + "\" } Halt;", "", std::string(255, 'a')},  // quotes do not count
      {"{ From is " + std::string(255, 'A') + "} Halt;", "", std::string(255, 'a')},
      {"{ From is " + escaped + " } Halt;", "", std::string(255, ';')},
      {"{ From is " + std::string(256, 'a') + ";", overflow, ""},
      {"{ From is " + std::string(256, 'a'), overflow, ""},
      {"{ From is \"" + std::string(255, 'a') + "\"a } Halt;", overflow, ""},
      {"{ Match all } Store In \"abc;\n" + std::string(300, 'x'), overflow, ""},
      {"{ Match all } Store In \"abc;\n" + std::string(200, 'x'), eof, ""},
  };
  for (const Case &c : cases) {
    auto p = parse(c.text);
    EXPECT_EQ(p->ok, c.want_error.empty() ? 1 : 0) << c.text;
    EXPECT_EQ(p->error, c.want_error) << c.text;
    if (p->ok) {
      EXPECT_EQ(p->rules.head->condition->left_term->pattern.get(), c.want_pattern);
    }
  }
}

TEST(RuleParser, ChainsNestToTheRight) {
  auto p = parse("{ From is a and Sender is b or ! To is c } Halt;");
  ASSERT_EQ(p->ok, 1);
  const ConditionNode *root = p->rules.head->condition.get();
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->op, COND_AND);
  EXPECT_EQ(root->left, nullptr);
  EXPECT_EQ(root->left_term->field, FIELD_FROM);
  EXPECT_EQ(root->right_term, nullptr);
  const ConditionNode *second = root->right.get();
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->op, COND_OR);
  EXPECT_EQ(second->left_term->field, FIELD_SMTP_SENDER);
  const ConditionNode *third = second->right.get();
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(third->op, COND_NONE);
  EXPECT_EQ(third->negated, 1u);
  EXPECT_EQ(third->left_term->field, FIELD_TO);
  EXPECT_EQ(third->left_term->op, OP_IS);
  EXPECT_EQ(third->right, nullptr);

  auto group = parse("{ (Not matched) and Match all } Halt;");
  ASSERT_EQ(group->ok, 1);
  const ConditionNode *top = group->rules.head->condition.get();
  ASSERT_NE(top->left, nullptr);
  EXPECT_EQ(top->left_term, nullptr);
  EXPECT_EQ(top->left->left_term->field, FIELD_NOT_MATCHED);
  EXPECT_EQ(top->left->left_term->pattern, nullptr);
  EXPECT_EQ(top->left->left_term->op, OP_NONE);
  EXPECT_EQ(top->right->left_term->field, FIELD_MATCH_ALL);
}

// Add Recipient, and the With clause of Store In, Maildir and Pipe.
TEST(RuleParser, AddRecipientAndWithEnvelope) {
  struct Case {
    std::string_view text;
    const char *want_model;  // or the error
  } cases[] = {
      {"{ Match all } Add Recipient \"j@a\", ADD recipient %ALLTO.USER%+j@a;"sv,
       "([Always True] ) R[j@a] R*[%ALLTO.USER%+j@a] uses=2;"},
      {"{ Match all } Store In /j With Envelope, Maildir /m with ENVELOPE;"sv,
       "([Always True] ) S+envelope[/j] M+envelope[/m];"},
      {"{ Match all } Pipe \"cat\"\n  With\tEnvelope and envelope # both\n;"sv, "([Always True] ) P+envelope[cat];"},
      {"{ Match all } Store In /j With Envelope,Halt;"sv, "([Always True] ) S+envelope[/j] halt;"},
      // Misspelt: what failed before keeps its message.
      {"{ Match all } Add Recipent x;"sv, "Parsing error - expected Add Header\n"},
      {"{ Match all } Add Rx;"sv, "Parsing error - expected Add Header\n"},
      {"{ Match all } Store In x Wiht Envelope;"sv, kCommaOrSemicolon},
      {"{ Match all } Store In x Without;"sv, kCommaOrSemicolon},
      {"{ Match all } Store In x With Envelope an;"sv, kCommaOrSemicolon},
      {"{ Match all } Add Header \"X: y\" With Envelope;"sv, kCommaOrSemicolon},
      {"{ Match all } Add Recipient x With Envelope;"sv, kCommaOrSemicolon},
      // A modifier that is not one, with its line.
      {"{ Match all } Store In /j With Create and Envelope, Maildir /m WITH create;"sv,
       "([Always True] ) S+envelope+create[/j] M+create[/m];"},
      {"{ Match all }\n Store In x With Envelop;"sv,
       "Parsing error - line 2: expected Create or Envelope after With, found \"Envelop\"\n"},
      {"{ Match all } Pipe x With Envelope and\n\n Create;"sv,
       "Parsing error - line 3: expected Envelope after With, found \"Create\"\n"},
      {"{ Match all } Pipe x With ;"sv, "Parsing error - line 1: expected Envelope after With, found \"\"\n"},
  };
  for (const Case &c : cases) {
    auto p = parse(c.text);
    EXPECT_EQ(p->ok ? describe(p->set.rules) : p->error, c.want_model) << c.text;
  }
  auto adding = parse("{ Match all } Add Recipient j@a;");
  EXPECT_TRUE(adding->set.has_add_recipient);
  EXPECT_FALSE(adding->set.has_add_header);
  EXPECT_FALSE(parse("{ Match all } Add Header \"X: y\";")->set.has_add_recipient);
}

TEST(RuleParser, RuleSetTellsWhetherAnAddHeaderStandsInIt) {
  auto plain = parse("{ Match all } Store In x;");
  EXPECT_EQ(plain->ok, 1);
  EXPECT_FALSE(plain->set.has_add_header);
  auto adding = parse("{ Match all } Store In x, Add Header \"X-Y: z\";");
  EXPECT_EQ(adding->ok, 1);
  EXPECT_TRUE(adding->set.has_add_header);
  auto empty = parse("");
  EXPECT_EQ(empty->ok, 1);
  EXPECT_FALSE(empty->set.has_add_header);
}

TEST(RuleParser, RulesBuiltBeforeAnErrorStayInTheList) {
  auto p = parse("{ Match all } Store In /a;\n{ Not matched } Store In /b, Pipe");
  EXPECT_EQ(p->ok, 0);
  EXPECT_EQ(p->error, "Unexpected end-of-file while trying to parse string.\n");
  ASSERT_NE(p->rules.head, nullptr);
  EXPECT_EQ(unparse(*p->rules.head->actions.head), "/a");
  const Rule *second = p->rules.head->next.get();
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second, p->rules.tail);
  ASSERT_NE(second->condition, nullptr);
  EXPECT_EQ(unparse(*second->actions.head), "/b");

  // A rule is in the list from its "{" on, even when its condition fails.
  auto cut = parse("{ Match all } Halt; { From");
  ASSERT_NE(cut->rules.tail, nullptr);
  EXPECT_NE(cut->rules.head.get(), cut->rules.tail);
  EXPECT_EQ(cut->rules.tail->condition, nullptr);
}

std::string repeat(std::string_view piece, int count) {
  std::string text;
  text.reserve(piece.size() * static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) text += piece;
  return text;
}

TEST(RuleParser, DeepNestingFailsInsteadOfOverflowingTheStack) {
  const std::string too_deep = "Parsing error - conditions nested too deeply\n";
  EXPECT_EQ(parse("{" + repeat("(", 300000))->error, too_deep);
  EXPECT_EQ(parse("{" + repeat("! From is a and ", 300000) + "Match all } Halt;")->error, too_deep);
  EXPECT_EQ(parse("{" + repeat("(", 10000) + "Match all" + repeat(")", 10000) + "} Halt;")->error, too_deep);

  // The deepest accepted trees can still be listed, evaluated and released.
  const struct {
    std::string text;
    std::string want_listing;
  } deepest[] = {
      {"{" + repeat("(", 9999) + "Match all" + repeat(")", 9999) + "} Halt;",
       repeat("(", 10000) + "[Always True] " + repeat(")", 10000)},
      {"{" + repeat("Match all and ", 9999) + "Match all } Halt;",
       repeat("([Always True]  and ", 9999) + "([Always True] " + repeat(")", 10000)},
  };
  for (const auto &c : deepest) {
    auto p = parse(c.text);
    ASSERT_EQ(p->ok, 1) << p->error;
    Capture listing;
    print_rules(listing.stream(), p->rules);
    EXPECT_TRUE(listing.text() == c.want_listing);
    MessageContext msg;
    RuleMatch match;
    EXPECT_EQ(evaluate_rule(*p->rules.head, msg, match, Trace{}), 1);
  }
}

std::filesystem::path source_dir() { return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path(); }

TEST(RuleParser, ExampleRuleFileLoadsCleanly) {
  const std::filesystem::path path = source_dir() / "examples" / "rules.conf";
  std::FILE *in = std::fopen(path.c_str(), "r");
  ASSERT_NE(in, nullptr) << path;
  RuleSet set;
  const RuleList &rules = set.rules;
  std::string error;
  Capture diagnostics;
  EXPECT_TRUE(parse_rule_file(in, set, diagnostics.stream(), error)) << error;
  std::fclose(in);
  EXPECT_EQ(error, "");
  EXPECT_EQ(diagnostics.text(), "");
  int count = 0;
  for (const Rule *rule = rules.head.get(); rule; rule = rule->next.get()) ++count;
  EXPECT_EQ(count, 8);
  EXPECT_TRUE(set.has_add_header);
}

class LoadRuleFile : public ::testing::Test {
 protected:
  std::string write(const char *name, std::string_view text) {
    const std::string path = ::testing::TempDir() + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
};

TEST_F(LoadRuleFile, FillsTheRuleSet) {
  RuleSet set;
  std::string error;
  EXPECT_TRUE(load_rule_file(write("quorvane_rules_ok.conf", "{ Match all } Halt;\n{ Not matched } Store In /x;\n").c_str(),
                             set, nullptr, error));
  EXPECT_EQ(error, "");
  ASSERT_NE(set.rules.head, nullptr);
  EXPECT_EQ(set.rules.head->next.get(), set.rules.tail);
  EXPECT_EQ(set.rules.tail->actions.head->kind, ACTION_STORE_IN);
}

// The caller gets the exact text start-up prints before it exits 70.
TEST_F(LoadRuleFile, ReportsFailuresToItsCaller) {
  struct Case {
    std::string path;
    std::string want_error;
    std::string want_diagnostics;
  };
  const Case cases[] = {
      {"/nonexistent/quorvane.conf",
       "Unable to open config file at \"/nonexistent/quorvane.conf\" (errno: 2:No such file or directory). Aborting.\n",
       ""},
      {write("quorvane_rules_broken.conf", "{ Match all } Halt;\n{ Frm is x } Halt;\n"),
       "Parsing error - expected From\n", ""},
      {write("quorvane_rules_warned.conf", "{ From is x Store In y;"), "Parsing error - expected at least one action\n",
       "Parsing error - expected o, a or ), found \"S\"\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path);
    RuleSet set;
    std::string error;
    Capture diagnostics;
    EXPECT_FALSE(load_rule_file(c.path.c_str(), set, diagnostics.stream(), error));
    EXPECT_EQ(error, c.want_error);
    EXPECT_EQ(diagnostics.text(), c.want_diagnostics);
  }
}

}  // namespace
